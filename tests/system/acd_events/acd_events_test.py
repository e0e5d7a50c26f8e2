"""acd's bus events as a front end sees them with `ubus listen`, and `ubus
wait_for` on acd's objects. Simulated APs appear, change, are pushed to and
uploaded to, fall silent and are cleared."""
import json
import time
import unittest

from acd_world import AcdWorld
from apsim import ap_conf, ap_ip, ap_mac
from lab import build_path, run_tests, wait_for

FW = bytes(range(256)) * 16


class Listener:
    """`ubus listen ac.*` inside the world, its lines in a file."""

    def __init__(self, world):
        self.world = world
        world.write("/tmp/events.out", "")
        f = open(world.path("/tmp/events.out"), "w")
        self.proc = world.spawn(["stdbuf", "-oL", build_path("platform/ubus/ubus"), "listen", "ac.*"],
                                stdout=f)
        f.close()

    def events(self):
        out = []
        for line in self.world.read("/tmp/events.out").splitlines():
            (name, data), = json.loads(line).items()
            out.append((name, data))
        return out

    def wait(self, name, timeout=15, **members):
        """The first event of that name whose data holds these members."""
        found = []

        def check():
            found[:] = [d for n, d in self.events()
                        if n == name and all(d.get(k) == v for k, v in members.items())]
            return found
        wait_for(check, timeout, f"{name} {members}")
        return found[0]


class Events(unittest.TestCase):
    maxDiff = None

    def test_a_front_end_follows_everything_from_events(self):
        with AcdWorld(aps=[ap_conf(1, password="secret"), ap_conf(2)], start_acd=False) as lab:
            w = lab.world
            w.install("/usr/bin/tftp-hpa", source="/usr/bin/tftp")
            w.write("/tmp/firmware.bin", FW)
            ev = Listener(w)
            wait_for(lambda: w.ubus("list").returncode == 0, 10, "the bus")
            time.sleep(0.3)  # the listener's registration
            t0 = time.monotonic()
            lab.start_acd()
            mac1, mac2, ip1, ip2 = ap_mac(1), ap_mac(2), ap_ip(1), ap_ip(2)

            # discovery: one record per AP
            self.assertEqual(ev.wait("ac.ap.add", mac=mac1), {"mac": mac1, "ip": ip1, "UbootMode": 0})
            self.assertEqual(ev.wait("ac.ap.add", mac=mac2), {"mac": mac2, "ip": ip2, "UbootMode": 0})

            # a refresh that changes nothing is not announced; a new address and the boot agent are
            lab.call("ac.get.apinfo", "ap_discover")
            lab.sim.set(1, ip="10.77.0.42/24")
            lab.call("ac.get.apinfo", "ap_discover")
            self.assertEqual(ev.wait("ac.ap.change", mac=mac2),
                             {"mac": mac2, "ip": "10.77.0.42", "UbootMode": 0, "old_ip": ip2, "old_UbootMode": 0})
            lab.sim.set(1, boot=True)
            lab.call("ac.get.apinfo", "ap_discover")
            self.assertEqual(ev.wait("ac.ap.change", mac=mac2, UbootMode=1),
                             {"mac": mac2, "ip": "10.77.0.42", "UbootMode": 1, "old_ip": "10.77.0.42",
                              "old_UbootMode": 0})

            # a settings push and its result
            self.assertEqual(lab.call("ac.set.config", "set_config", {"config": {"SystemName": "hall"}})[0], 0)
            self.assertEqual(lab.call("ac.exec.config", "exec_config", {"iplist": [ip1]})[0], 0)
            self.assertEqual(ev.wait("ac.push.result"), {"mac": mac1, "ip": ip1, "status": 0})

            # an upload refused, then one accepted and transferred
            lab.call("ac.upgrade", "firmware", {"iplist": [ip1], "password": "wrong"})
            self.assertEqual(ev.wait("ac.upload", stage="offer"),
                             {"mac": mac1, "ip": ip1, "kind": "firmware", "stage": "offer", "result": 1})
            lab.call("ac.upgrade", "firmware", {"iplist": [ip1], "password": "secret"})
            self.assertEqual(ev.wait("ac.upload", stage="offer", result=0)["kind"], "firmware")
            self.assertEqual(ev.wait("ac.upload", stage="transfer", timeout=30),
                             {"mac": mac1, "ip": ip1, "kind": "firmware", "stage": "transfer", "result": 0})
            uploads = [d["stage"] for n, d in ev.events() if n == "ac.upload"]
            self.assertEqual(uploads, ["offer", "offer", "transfer"])

            # the first statistics poll run: three requests per AP, each answered or failed
            run = ev.wait("ac.poll.run", timeout=20)
            self.assertEqual(sorted(run), ["answered", "aps", "asked", "failed", "ms"])
            self.assertEqual((run["aps"], run["asked"]), (2, 6))
            self.assertEqual(run["answered"] + run["failed"], 6)
            self.assertGreaterEqual(run["answered"], 3)

            # AP 2 falls silent: the expiry check drops it (at 100 s, silent > 80 s)
            lab.sim.set(1, silent=True)
            drop = ev.wait("ac.ap.drop", timeout=130 - (time.monotonic() - t0))
            print(f"silent AP dropped {time.monotonic() - t0:.1f} s after start")
            self.assertEqual(drop, {"mac": mac2, "ip": "10.77.0.42", "reason": "expired"})

            # all_clear drops the rest
            self.assertEqual(lab.call("ac.get.apinfo", "all_clear")[0], 0)
            self.assertEqual(ev.wait("ac.ap.drop", reason="all_clear"),
                             {"mac": mac1, "ip": ip1, "reason": "all_clear"})
            names = [n for n, _ in ev.events()]
            self.assertEqual(names.count("ac.ap.add"), 2)
            self.assertEqual(names.count("ac.ap.change"), 2)
            self.assertEqual(names.count("ac.ap.drop"), 2)
            self.assertTrue(all(n.startswith("ac.") for n in names))

    def test_wait_for_returns_when_acd_registers(self):
        with AcdWorld(aps=[ap_conf(1)], start_acd=False) as lab:
            w = lab.world
            objs = ["ac.get.apinfo", "ac.upgrade", "ac.apcfg.check"]
            r = w.ubus("-t", "1", "wait_for", *objs)
            self.assertEqual((r.returncode, r.stderr), (7, "Command failed: Request timed out\n"))
            waiter = w.spawn([build_path("platform/ubus/ubus"), "-t", "30", "wait_for", *objs])
            time.sleep(0.5)
            self.assertIsNone(waiter.poll())
            t0 = time.monotonic()
            lab.start_acd(wait=False)
            self.assertEqual(waiter.wait(timeout=30), 0)
            print(f"wait_for returned {time.monotonic() - t0:.2f} s after acd started")
            self.assertLess(time.monotonic() - t0, 10)
            self.assertEqual(w.ubus("list", "ac.apcfg.check").returncode, 0)
            # everything present already: at once
            r = w.ubus("-t", "5", "wait_for", *objs)
            self.assertEqual(r.returncode, 0)


if __name__ == "__main__":
    run_tests()
