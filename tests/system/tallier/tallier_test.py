"""tallier inside our host rpcd, on our bus, in a private world.

The world has br-lan (with a simulated AP on it), eth0 (a veth whose other end
sits in the AP's namespace), lo, and a veth pair dn0/dn1 that starts down. IPv6
is off and the neighbours are static, so the only traffic on eth0 is the test's.
"""
import json
import os
import sys
import time
import unittest

from lab import World, build_path, run_tests

CALL_TIMEOUT = 20
COUNTERS = ["rx_bytes", "tx_bytes", "rx_packets", "tx_packets"]
OBJECT = "luci2.network.tallier"

RECEIVER = (
    "import socket,sys\n"
    "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
    "s.bind((sys.argv[1],int(sys.argv[2])))\n"
    "print('ready',flush=True)\n"
    "while True: s.recv(65536)\n"
)
SENDER = (
    "import socket,sys\n"
    "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
    "for i in range(int(sys.argv[3])): s.sendto(b'x'*int(sys.argv[4]),(sys.argv[1],int(sys.argv[2])))\n"
)
# Ethernet + IPv4 + UDP headers around each datagram on a veth
FRAME_OVERHEAD = 14 + 20 + 8


def no_ipv6(place):
    for key in ("all", "default"):
        place.run(["sysctl", "-qw", f"net.ipv6.conf.{key}.disable_ipv6=1"], check=True)


def mac_of(place, ifname):
    # the world's /sys shows the world's interfaces only: ask ip in place
    words = place.run(["ip", "-o", "link", "show", ifname], check=True).stdout.split()
    return words[words.index("link/ether") + 1]


class TallierTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.w = w = World()
        w.__enter__()
        try:
            cls._build_world()
        except BaseException:
            w.close()
            raise

    @classmethod
    def _build_world(cls):
        w = cls.w
        no_ipv6(w)
        w.bridge("br-lan", "10.77.0.1/24")
        cls.ap = ap = w.host("ap", addrs=["10.77.0.11/24"])
        no_ipv6(ap)
        w.link("eth0", "wan0", netns=ap.netns)
        w.ip("addr", "add", "10.78.0.1/24", "dev", "eth0")
        w.ip("link", "set", "eth0", "up")
        ap.run(["ip", "addr", "add", "10.78.0.2/24", "dev", "wan0"], check=True)
        ap.run(["ip", "link", "set", "wan0", "up"], check=True)
        mac_here, mac_there = mac_of(w, "eth0"), mac_of(ap, "wan0")
        w.ip("neigh", "replace", "10.78.0.2", "lladdr", mac_there, "dev", "eth0", "nud", "permanent")
        ap.run(["ip", "neigh", "replace", "10.78.0.1", "lladdr", mac_here, "dev", "wan0", "nud", "permanent"],
               check=True)
        w.link("dn0", "dn1")  # both ends down

        # the bus and the plug-in host; the plug-in directory holds tallier.so only
        w.spawn([build_path("platform/ubus/ubusd"), "-s", "/var/run/ubus.sock"])
        cls._wait(lambda: w.run(["test", "-S", "/var/run/ubus.sock"]).returncode == 0, "ubusd")
        w.run(["mkdir", "-p", "/tmp/rpcd"], check=True)
        w.write("/tmp/rpcd/tallier.so", open(build_path("tallier/tallier.so"), "rb").read())
        cls.rpcd = w.spawn([build_path("platform/rpcd/rpcd"), "-s", "/var/run/ubus.sock", "-p", "/tmp/rpcd"])
        cls._wait(lambda: w.ubus("list", OBJECT).returncode == 0, "the tallier object")
        cls._wait(lambda: cls.call("devices")[1].get("devices"), "a first sample")

        for place, addr, port in ((w, "10.78.0.1", 5000), (ap, "10.78.0.2", 5001)):
            p = place.spawn([sys.executable, "-c", RECEIVER, addr, str(port)], stdout=-1, text=True)
            assert p.stdout.readline().strip() == "ready"

    @classmethod
    def tearDownClass(cls):
        cls.w.close()

    @staticmethod
    def _wait(pred, what, timeout=10):
        end = time.monotonic() + timeout
        while not pred():
            if time.monotonic() > end:
                raise TimeoutError(f"timed out waiting for {what}")
            time.sleep(0.05)

    @classmethod
    def call(cls, method, arg=None):
        cmd = ["-S", "-t", str(CALL_TIMEOUT), "call", OBJECT, method]
        if arg is not None:
            cmd.append(json.dumps(arg))
        r = cls.w.ubus(*cmd)
        return r.returncode, (json.loads(r.stdout) if r.stdout.strip() else None), r.stdout

    def up_interfaces(self):
        names = self.w.run(["ls", "/sys/class/net"]).stdout.split()
        up = []
        for n in names:
            flags = self.w.run(["cat", f"/sys/class/net/{n}/flags"]).stdout.strip()
            if int(flags, 0) & 1:
                up.append(n)
        return up

    def kernel(self, ifname):
        return [int(self.w.run(["cat", f"/sys/class/net/{ifname}/statistics/{c}"]).stdout) for c in COUNTERS]

    def sums(self, ifname):
        rc, reply, _ = self.call("statistics", {"device": ifname})
        self.assertEqual(rc, 0)
        return [sum(reply["statistics"][c]) for c in COUNTERS]

    def assertHistory(self, table):
        self.assertEqual(list(table), COUNTERS)
        for c in COUNTERS:
            self.assertEqual(len(table[c]), 120)
            self.assertTrue(all(isinstance(v, int) for v in table[c]))

    def test_devices_in_byte_order(self):
        rc, reply, _ = self.call("devices")
        self.assertEqual(rc, 0)
        devices = reply["devices"]
        self.assertEqual(devices, sorted(devices, key=lambda s: s.encode()))
        self.assertLess(devices.index("br-lan"), devices.index("eth0"))
        self.assertNotIn("dn1", devices)
        # every interface that is up is tracked
        self.assertTrue(set(self.up_interfaces()) <= set(devices))

    def test_known_traffic_shows_in_the_counters(self):
        # let the sampler settle on the current readings
        time.sleep(1.2)
        k0, s0 = self.kernel("eth0"), self.sums("eth0")
        self.ap.run([sys.executable, "-c", SENDER, "10.78.0.1", "5000", "20", "1000"], check=True)
        self.w.run([sys.executable, "-c", SENDER, "10.78.0.2", "5001", "7", "500"], check=True)
        time.sleep(2.2)
        s1, k1 = self.sums("eth0"), self.kernel("eth0")
        got = [b - a for a, b in zip(s0, s1)]
        self.assertEqual(got, [20 * (1000 + FRAME_OVERHEAD), 7 * (500 + FRAME_OVERHEAD), 20, 7])
        self.assertEqual(got, [b - a for a, b in zip(k0, k1)])
        # one step per second: the 20 datagrams sit in one or two entries
        rc, reply, _ = self.call("statistics", {"device": "eth0"})
        nonzero = [v for v in reply["statistics"]["rx_packets"] if v]
        self.assertIn(len(nonzero), (1, 2))

    def test_interface_down_when_first_seen_appears_once_up(self):
        self.assertNotIn("dn0", self.call("devices")[1]["devices"])
        time.sleep(1.2)
        self.assertNotIn("dn0", self.call("devices")[1]["devices"])
        self.w.ip("link", "set", "dn0", "up")
        self._wait(lambda: "dn0" in self.call("devices")[1]["devices"], "dn0 in devices", timeout=5)
        rc, reply, _ = self.call("statistics", {"device": "dn0"})
        self.assertEqual(rc, 0)
        self.assertHistory(reply["statistics"])
        for c in COUNTERS:
            self.assertEqual(reply["statistics"][c], [0] * 120)
        self.assertNotIn("dn1", self.call("devices")[1]["devices"])

    def test_unknown_device_is_not_found_without_reply(self):
        rc, reply, out = self.call("statistics", {"device": "nosuch0"})
        self.assertEqual(rc, 4)
        self.assertEqual(out, "")

    def test_device_that_is_not_a_string_covers_all(self):
        for arg in ({"device": 5}, {"device": ["eth0"]}, {}, None):
            rc, reply, _ = self.call("statistics", arg)
            self.assertEqual(rc, 0, arg)
            devices = self.call("devices")[1]["devices"]
            self.assertEqual(list(reply), ["statistics"])
            self.assertEqual(list(reply["statistics"]), devices)
            for name in devices:
                self.assertHistory(reply["statistics"][name])

    def test_one_device_reply_shape(self):
        rc, reply, _ = self.call("statistics", {"device": "br-lan"})
        self.assertEqual(rc, 0)
        self.assertEqual(list(reply), ["statistics"])
        self.assertHistory(reply["statistics"])

    def test_method_signatures(self):
        r = self.w.ubus("-v", "list", OBJECT)
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.splitlines()
        self.assertTrue(lines[0].startswith(f"'{OBJECT}' @"))
        self.assertEqual(sorted(lines[1:]), ['\t"devices":{}', '\t"statistics":{"device":"String"}'])


def main():
    if os.geteuid() != 0:
        print("0 passed, 0 failed (needs root)")
        return 0
    run_tests()


if __name__ == "__main__":
    sys.exit(main())
