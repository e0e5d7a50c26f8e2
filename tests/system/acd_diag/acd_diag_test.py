"""ac.diag: status counters, the per-AP call and the doctor's "why" answers."""
import time
import unittest

from acd_world import AcdWorld
from apsim import ap_conf, ap_ip, ap_mac
from lab import run_tests, wait_for

# The checks apsim's "corrupt" switch breaks, with the name acd gives each.
CORRUPTIONS = ["short", "tlv", "version", "revision", "maclen", "magic", "type"]


class Doctor(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = AcdWorld(aps=[
            ap_conf(1),                                   # listed throughout
            ap_conf(2),                                   # falls silent: expires
            ap_conf(3, silent=True),                      # never answers
            ap_conf(4, corrupt="magic"),                  # every answer fails a check
            ap_conf(5, corrupt="short"),                  # goes through every check
            ap_conf(6, settings={"IPAddress": "10.77.0.99"}),  # names another address
        ])
        cls.lab.__enter__()
        cls.t0 = time.monotonic()
        try:
            cls.lab.wait_aps(3)
            cls.lab.sim.set(1, silent=True)
        except BaseException:
            cls.lab.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lab.__exit__(None, None, None)

    def call(self, method, args=None):
        rc, replies = self.lab.call("ac.diag", method, args)
        return rc, replies[0] if replies else None

    def why(self, **query):
        rc, reply = self.call("why", query)
        self.assertEqual(rc, 0, query)
        return reply

    def test_1_never_heard(self):
        for q in ({"ip": ap_ip(3)}, {"mac": ap_mac(3)}, {"mac": ap_mac(3).upper().replace(":", "-")}):
            r = self.why(**q)
            self.assertEqual(r["verdict"], "unheard", q)
            self.assertTrue(r["text"].startswith("never heard from since acd started "), r)
            self.assertNotIn("heard", r)

    def test_2_failing_checks(self):
        r = wait_for(lambda: (lambda r: r["verdict"] == "failing" and r)(self.why(ip=ap_ip(4))), 10, "AP 4 failing")
        self.assertEqual(r["heard"]["check"], "magic")
        self.assertEqual(r["heard"]["checks"], ["magic"])
        self.assertEqual(r["heard"]["from"], ap_ip(4))
        self.assertEqual(r["heard"]["mac"], ap_mac(4))
        self.assertIn("wrong magic number", r["text"])
        self.assertEqual(self.why(mac=ap_mac(4))["verdict"], "failing")
        _, st = self.call("status")
        self.assertGreaterEqual(st["vex"]["dropped"]["magic"], r["heard"]["count"])
        self.assertGreaterEqual(r["heard"]["count"], 2)  # the multicast and broadcast answers

        # AP 5 through every check, one after the other.
        seen = []
        for kind in CORRUPTIONS:
            with self.subTest(kind=kind):
                self.lab.sim.set(4, corrupt=kind)
                self.lab.call("ac.get.apinfo", "ap_discover")
                r = wait_for(lambda: (lambda r: r.get("heard", {}).get("check") == kind and r)(
                    self.why(ip=ap_ip(5))), 10, f"check {kind}")
                seen.append(kind)
                self.assertEqual(r["verdict"], "failing")
                self.assertEqual(sorted(r["heard"]["checks"]), sorted(seen))
                # A datagram too short for a header names no MAC.
                self.assertEqual("mac" in r["heard"], kind != "short" or len(seen) > 1)
        _, st = self.call("status")
        for kind in CORRUPTIONS:
            self.assertGreater(st["vex"]["dropped"][kind], 0, kind)
        self.assertEqual(st["aps"], len(self.lab.device_list()))

    def test_3_listed_and_elsewhere(self):
        self.assertEqual(self.why(ip=ap_ip(1))["verdict"], "listed")
        r = self.why(mac=ap_mac(1))
        self.assertEqual(r["verdict"], "listed")
        self.assertIn(f"at {ap_ip(1)}", r["text"])
        # AP 6 names 10.77.0.99 in its responses: listed there, not at its own address.
        r = self.why(ip=ap_ip(6))
        self.assertEqual(r["verdict"], "elsewhere")
        self.assertEqual(r["text"], "heard, but its responses name the address 10.77.0.99, where it is listed")
        self.assertEqual(self.why(ip="10.77.0.99")["verdict"], "listed")

    def test_4_per_ap(self):
        # After the first statistics poll the listed AP's slots are filled.
        wait_for(lambda: self.call("status")[1].get("last_poll"), 15, "the first poll run")
        rc, ap = self.call("ap", {"ip": ap_ip(1)})
        self.assertEqual(rc, 0)
        self.assertEqual(ap["mac"], ap_mac(1))
        self.assertEqual(ap["upload"], "none")
        self.assertEqual(sorted(ap["slots"]), ["104", "108", "109"])
        for name in ("wlan_profile", "wlan_statistic", "sta_statistic"):
            self.assertEqual(ap["requests"][name]["outcome"], "stored", name)
        _, st = self.call("status")
        self.assertGreaterEqual(st["http"]["stored"], 3)
        self.assertGreaterEqual(st["last_poll"]["answered"], 1)
        # The CLI exits with the status negated: 4 not found, 2 invalid argument.
        self.assertEqual(self.call("ap", {"ip": ap_ip(3)})[0], 256 - 4)
        for method, args in (("ap", {}), ("why", {"mac": "02:00:00:00:00"}), ("why", {"ip": "10.77.0"}),
                             ("why", {"mac": "02:00:00:00:00:0g"})):
            self.assertEqual(self.call(method, args)[0], 256 - 2, args)

    def test_5_expired(self):
        # AP 2 fell silent after the start-up request; the expiry check at 100 s
        # drops it (and AP 6, whose unicast polls go to an address nobody has).
        wait_for(lambda: ap_ip(2) not in [d["IPAddress"] for d in self.lab.device_list()],
                 130 - (time.monotonic() - self.t0), "AP 2 expired")
        for q in ({"ip": ap_ip(2)}, {"mac": ap_mac(2)}):
            r = self.why(**q)
            self.assertEqual(r["verdict"], "expired", q)
            self.assertGreater(r["dropped"]["silent"], 80)
            self.assertEqual(r["dropped"]["ip"], ap_ip(2))
            self.assertRegex(r["text"], r"^was listed; expired \d+ s ago after \d+ s without an answer$")
        # The listed one stays listed; all_clear is remembered as such.
        self.assertEqual(self.why(ip=ap_ip(1))["verdict"], "listed")
        self.lab.call("ac.get.apinfo", "all_clear")
        self.assertEqual(self.why(ip=ap_ip(1))["verdict"], "cleared")


if __name__ == "__main__":
    run_tests()
