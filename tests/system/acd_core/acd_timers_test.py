"""acd's unicast poll (every 30 s) and expiry check (every 50 s), in real time."""
import time
import unittest

from acd_world import AcdWorld
from apsim import ap_conf, ap_ip
from lab import run_tests, wait_for


class Timers(unittest.TestCase):
    def test_unicast_poll_and_expiry(self):
        with AcdWorld(aps=[ap_conf(1), ap_conf(2)]) as lab:
            t0 = time.monotonic()
            lab.wait_aps(2)
            # AP 2 falls silent right after answering the start-up request.
            lab.sim.set(1, silent=True)

            def unicasts(i):
                return [e for e in lab.sim.log(i) if e["via"] == "unicast"]
            wait_for(lambda: unicasts(0) and unicasts(1), 40, "the first unicast poll")
            polled = time.monotonic() - t0
            self.assertGreater(polled, 28)
            u1, u2 = unicasts(0)[0], unicasts(1)[0]
            for n, u in ((1, u1), (2, u2)):
                self.assertEqual(u["dst"], ap_ip(n))
                self.assertEqual(u["src"], "10.77.0.1:64519")
                self.assertEqual(u["len"], 60)
                self.assertEqual(u["hdr"]["ap_mac"], "00:00:00:00:00:00")
                self.assertEqual(u["tlvs"], [{"type": 129, "len": 16, "value": "00000180" + "00" * 12}])
            self.assertNotEqual(u1["hdr"]["seq"], u2["hdr"]["seq"], "each unicast request has its own number")

            # The check at 50 s keeps AP 2 (silent for only 50 s); the one at 100 s
            # drops it: silent for more than 80 s and polled by unicast 10 s before.
            time.sleep(max(0, 55 - (time.monotonic() - t0)))
            self.assertEqual(len(lab.device_list()), 2)
            devices = lab.wait_aps(1, timeout=60)
            gone = time.monotonic() - t0
            print(f"silent AP dropped {gone:.1f} s after start")
            self.assertGreater(gone, 95)
            self.assertEqual(devices[0]["IPAddress"], ap_ip(1))
            # It comes back as a new record when it answers again.
            lab.sim.set(1, silent=False)
            lab.call("ac.get.apinfo", "ap_discover")
            devices = lab.wait_aps(2)
            self.assertEqual([d["IPAddress"] for d in devices], [ap_ip(1), ap_ip(2)])


if __name__ == "__main__":
    run_tests()
