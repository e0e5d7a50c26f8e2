"""corvel in a private world: br-lan with an AP host sending to the provisioning group, fake
udhcpc and provisioning scripts at their fixed paths, and the uptime set by a time namespace."""
import math
import os
import queue
import re
import subprocess
import sys
import threading
import time
import unittest

from lab import World, build_path, run_tests, wait_for

CORVEL = build_path("provisioning/corvel/corvel")
GROUP, PORT = "239.255.255.100", 64516

UDHCPC = """#!/bin/sh
printf '%s\\n' "$@" > /tmp/udhcpc.args
"""
TIMEOUT_SCRIPT = """#!/bin/sh
cut -d' ' -f1 /proc/uptime > /tmp/timeout.ran
"""
SEND = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[1]))
s.sendto(bytes.fromhex(sys.argv[2]), (sys.argv[3], int(sys.argv[4])))
"""


def uptime():
    with open("/proc/uptime") as f:
        return float(f.read().split()[0])


class Lines:
    """Collects a process's output line by line (a line without end is kept when the stream ends)."""

    def __init__(self, stream):
        self.q = queue.Queue()
        self.all = []
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for line in iter(stream.readline, ""):
            self.q.put(line)
        self.q.put(None)

    def next(self, timeout=10):
        line = self.q.get(timeout=timeout)
        if line is not None:
            self.all.append(line)
        return line

    def expect(self, pattern, timeout=10):
        line = self.next(timeout)
        if line is None or not re.fullmatch(pattern, line, re.S):
            raise AssertionError(f"expected {pattern!r}, got {line!r}; so far {self.all!r}")
        return line


class CorvelTest(unittest.TestCase):
    def world(self, lan=True):
        w = World()
        w.__enter__()
        self.addCleanup(w.__exit__, None, None, None)
        self.ap = None
        if lan:
            w.bridge("br-lan", "10.77.0.1/24")
            self.ap = w.host("ap", addrs=["10.77.0.11/24"])
        w.install("/usr/bin/udhcpc", UDHCPC)
        w.install("/usr/bin/mp.timeout.kill.sh", TIMEOUT_SCRIPT)
        w.install("/usr/bin/mp.up.bulkagent.sh", "#!/bin/sh\nexit 0\n")
        self.assertFalse(os.path.exists("/usr/bin/mp.timeout.kill.sh"), "host /usr/bin touched")
        return w

    def start(self, w, boottime):
        """corvel with the uptime moved by `boottime` seconds; returns (process, stdout lines)."""
        p = w.spawn(["unshare", "--time", "--boottime", str(int(boottime)), "--fork", CORVEL],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                    errors="surrogateescape")
        return p, Lines(p.stdout)

    def send(self, data, dest=GROUP):
        r = self.ap.run([sys.executable, "-c", SEND, "10.77.0.11", data.hex(), dest, str(PORT)])
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_hello_after_other_datagrams_starts_dhcp_client_and_finishes_at_once(self):
        w = self.world()
        p, out = self.start(w, 700)  # uptime already past 600 s
        out.expect(r"corvel\(main@183\): corvel start\.\.\.\n")
        out.expect(r"corvel\(create_socket@143\): Local IP: 10\.77\.0\.1\n")
        out.expect(r"corvel\(main@210\): select\.\.\.\n")
        # 11 characters of the hello are not a hello. The text stops at a zero byte and at 1023
        # characters of a datagram that fills the whole buffer.
        for data, shown in ((b"bulkhello??", "bulkhello??"), (b"note\0bulkhello???", "note"),
                            (b"A" * 1500, "A" * 1023)):
            self.send(data)
            out.expect(r"corvel\(main@236\): From 10\.77\.0\.11:\n")
            out.expect(re.escape(f"'{shown}'\n"))
            rest = out.expect(r"corvel\(main@239\): Rest time: \((\d+)\)s \+ \((\d+)\)us\n")
            secs, usecs = map(int, re.findall(r"\((\d+)\)", rest))
            self.assertTrue(540 <= secs < 600 and usecs < 1000000, rest)
            out.expect(r"corvel\(main@210\): select\.\.\.\n")
        self.assertFalse(w.exists("/tmp/udhcpc.args"))

        self.send(b"bulkhello???" + b" trailing bytes\xff")
        out.expect(r"corvel\(main@236\): From 10\.77\.0\.11:\n")
        out.expect(re.escape("'bulkhello??? trailing bytes\udcff'\n"))  # the raw byte 0xff
        out.expect(r"corvel\(main@243\): Got signal, launch dhcpc\.\.\.\n")
        line = out.expect(r"corvel\(wait_and_kill@51\): uptime=(\d+)\n")
        self.assertGreaterEqual(int(line.split("=")[1]), 700)
        out.expect(r"corvel\(main@252\): corvel exit!\n", timeout=10)
        self.assertIsNone(out.next())
        self.assertEqual(p.wait(timeout=10), 0)
        self.assertEqual(p.stderr.read(), "")
        wait_for(lambda: w.exists("/tmp/udhcpc.args") and w.exists("/tmp/timeout.ran"), 10, "the scripts")
        self.assertEqual(w.read("/tmp/udhcpc.args").split("\n"),
                         ["-i", "br-lan", "-p", "/tmp/dhcpc.pid", "-s", "/usr/bin/mp.up.bulkagent.sh", ""])
        self.assertEqual(os.readlink(w.path("/tmp/default_info.shtml")),
                         "/apps/web/httpd/html/default_info.html")

    def test_hello_before_600s_of_uptime_waits_for_it(self):
        w = self.world()
        p, out = self.start(w, 597 - uptime())  # uptime about 597 s inside
        out.expect(r".*corvel start\.\.\.\n")
        out.expect(r".*Local IP: .*\n")
        out.expect(r".*select\.\.\.\n")
        self.send(b"bulkhello???", dest="10.77.0.1")  # unicast reaches the same socket
        out.expect(r".*From 10\.77\.0\.11:\n")
        out.expect(r"'bulkhello\?\?\?'\n")
        out.expect(r".*Got signal, launch dhcpc\.\.\.\n")
        up = int(out.expect(r"corvel\(wait_and_kill@51\): uptime=(59[6-9])\n").split("=")[1])
        time.sleep(max(0, 600 - up - 1.5))
        self.assertFalse(w.exists("/tmp/timeout.ran"), "time-out script ran before 600 s of uptime")
        out.expect(r"corvel\(main@252\): corvel exit!\n", timeout=15)
        self.assertEqual(p.wait(timeout=10), 0)
        wait_for(lambda: w.exists("/tmp/timeout.ran") and w.read("/tmp/timeout.ran").strip(), 10, "time-out script")
        # Whole seconds as the uptime call counts them (rounded up).
        self.assertGreaterEqual(math.ceil(float(w.read("/tmp/timeout.ran"))), 600)

    def test_without_br_lan_exits_255(self):
        w = self.world(lan=False)
        p = w.run([CORVEL], timeout=30)
        self.assertEqual(p.returncode, 255)
        self.assertEqual(p.stdout, "corvel(main@183): corvel start...\n"
                                   "corvel(create_socket@139): get local ip failed.")
        self.assertEqual(p.stderr, "ioctl: No such device\n")
        self.assertFalse(w.exists("/tmp/timeout.ran"))

    def test_port_taken_exits_255_with_bind(self):
        w = self.world()
        holder = w.spawn([sys.executable, "-c",
                          "import socket, time\n"
                          "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                          f"s.bind(('0.0.0.0', {PORT}))\n"
                          "print('bound', flush=True)\n"
                          "time.sleep(120)\n"], stdout=subprocess.PIPE, text=True)
        self.assertEqual(holder.stdout.readline(), "bound\n")
        p = w.run([CORVEL], timeout=30)
        self.assertEqual(p.returncode, 255)
        self.assertEqual(p.stdout, "corvel(main@183): corvel start...\n"
                                   "corvel(create_socket@143): Local IP: 10.77.0.1\n")
        self.assertEqual(p.stderr, "bind: Address already in use\n")
        self.assertFalse(w.exists("/tmp/timeout.ran"))


if __name__ == "__main__":
    run_tests()
