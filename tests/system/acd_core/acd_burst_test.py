"""1,000 simulated APs answer one discovery request at once: get_config must
list every one of them. Prints how long it took (nothing is asserted on time)."""
import os
import time
import unittest

from acd_world import AcdWorld
from lab import run_tests, wait_for

COUNT = int(os.environ.get("APCTL_BURST_APS", "1000"))


def udp_counter(lab, name):
    """A UDP counter of the world's network namespace (/proc/net/snmp)."""
    rows = [l.split() for l in lab.world.run(["cat", "/proc/net/snmp"]).stdout.splitlines()
            if l.startswith("Udp:")]
    return int(rows[1][rows[0].index(name)])


class Burst(unittest.TestCase):
    def test_thousand_aps_after_one_discover(self):
        config = {"generate": {
            "count": COUNT, "first_ip": "10.77.1.1/16", "first_mac": "02:00:00:01:00:01",
            "settings": {"ProductName": "APSIM-AX3000", "SystemName": "ap-{n}", "Version": "2.1.0",
                         "SubnetMask": "255.255.0.0", "2.4GSSID": "apsim-{n}", "5GSSID": "apsim-{n}-5g",
                         "2.4GRadiusPort": 1812, "5GRadiusPort": 1812}}}
        # acd starts with the APs still silent, so its start-up request finds none.
        config["generate"]["silent"] = True
        with AcdWorld(sim_config=config, lan="10.77.0.1/16", log_limit=4) as lab:
            self.assertEqual(lab.device_list(), [])
            lab.sim.set("all", silent=False)
            start = time.monotonic()
            rc, _ = lab.call("ac.get.apinfo", "ap_discover")
            self.assertEqual(rc, 0)
            # Every AP answers the multicast and the broadcast copy.
            wait_for(lambda: lab.acd_out().count("recv ") >= 2 * COUNT, 60, "all responses read",
                     interval=0.02)
            received = time.monotonic() - start
            found = []

            def all_listed():
                found[:] = lab.device_list()
                return len(found) >= COUNT
            try:
                wait_for(all_listed, 60, f"{COUNT} APs", interval=0.2)
            finally:
                print(f"burst: acd read all {2 * COUNT} responses of {COUNT} APs {received:.2f} s after "
                      f"ap_discover; get_config listed {len(found)} APs "
                      f"{time.monotonic() - start:.2f} s after it")
            self.assertEqual(udp_counter(lab, "RcvbufErrors"), 0, "no response lost to a full buffer")
            t = time.monotonic()
            devices = lab.device_list()
            print(f"burst: get_config with {len(devices)} APs took {time.monotonic() - t:.2f} s")
            self.assertEqual(len({d["MACAddress"] for d in devices}), COUNT)
            self.assertEqual(devices[0]["SystemName"], "ap-1")
            self.assertEqual(devices[-1]["SystemName"], f"ap-{COUNT}")


if __name__ == "__main__":
    run_tests()
