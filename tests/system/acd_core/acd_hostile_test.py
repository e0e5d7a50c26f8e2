"""acd against hostile input and a hostile environment: an AP redirecting to a
host name (no lookup may block the loop), set_config tables nested far deeper
than any JSON text, a stack overflow (the crash handler must still run), and
links planted at the fixed files acd writes in /tmp."""
import json
import os
import sys
import time
import unittest

from acd_world import AcdWorld
from apsim import ap_conf, ap_ip
from lab import build_path, run_tests, wait_for

DEEP_CALL = build_path("tests/system/acd_core/deep_call")
CRASH_PROBE = build_path("tests/system/acd_core/crash_probe")

# A name server that never answers; each query it hears is one line in a file.
SILENT_DNS = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 53))
open(sys.argv[2], "a").close()
while True:
    data, peer = s.recvfrom(4096)
    with open(sys.argv[2], "a") as f:
        f.write(peer[0] + "\n")
"""

RESTART_SCRIPT = "#!/bin/sh\necho restarted >> /tmp/restarted\n"


def private_tmp(world):
    """The world's /tmp is its own tmpfs, not the host's: stop otherwise."""
    out = world.run(["findmnt", "-n", "-o", "SOURCE", "/tmp"]).stdout.strip()
    if out != "lab-tmp":
        raise RuntimeError(f"/tmp in the lab is {out!r}, not the lab's tmpfs")


class Hostile(unittest.TestCase):
    def test_redirect_to_a_host_name_is_refused_without_a_lookup(self):
        with AcdWorld(aps=[ap_conf(1)], start_acd=False) as lab:
            w = lab.world
            private_tmp(w)
            lab.host.add_addr("10.77.0.53/24")
            lab.host.spawn([sys.executable, "-c", SILENT_DNS, "10.77.0.53", "/tmp/dns.log"])
            # A lookup would wait 30 s for this name server.
            w.write("/tmp/resolv.conf", "nameserver 10.77.0.53\noptions timeout:30 attempts:1\n")
            w.run(["mount", "--bind", "/tmp/resolv.conf", "/etc/resolv.conf"], check=True)
            wait_for(lambda: w.exists("/tmp/dns.log"), 10, "the name server")
            w.run(["timeout", "3", "getent", "hosts", "control.lan"])
            heard = w.read("/tmp/dns.log")
            self.assertTrue(heard, "a lookup reaches the name server")

            lab.sim.call("http", ap=0, redirect="/moved", redirect_host="ap-1.lan")
            lab.start_acd()
            lab.wait_aps(1)
            line = f"AP {ap_ip(1)} redirects to a host name, not followed"
            wait_for(lambda: line in lab.acd_err(), 40, "the refused redirect")
            start = time.monotonic()
            rc, _ = lab.call("ac.get.apinfo", "wlan_info", timeout=60)
            self.assertEqual(rc, 0)
            self.assertLess(time.monotonic() - start, 10, "the loop answers at once")
            err = lab.acd_err()
            self.assertIn("HTTP error 302", err)
            self.assertNotIn("Redirected to", err)
            self.assertEqual(w.read("/tmp/dns.log"), heard, "acd asked no name server")
            self.assertIsNone(lab.acd.poll())

    def test_deep_set_config_and_deep_answers_are_refused_and_acd_lives(self):
        # The AP answers every request with 40 nested arrays as its "result".
        with AcdWorld(aps=[ap_conf(1, http={"nest": 40})]) as lab:
            w = lab.world
            private_tmp(w)
            w.install("/usr/bin/ac-proxy-restart", RESTART_SCRIPT)
            self.assertEqual(lab.call("ac.set.config", "set_config", {"config": {"SystemName": "kept"}})[0], 0)
            kept = w.read("/tmp/group1.json")
            # (levels, status): 32 levels is what the JSON parser takes.
            for levels, status in ((32, 0), (33, 1), (100000, 1)):
                r = w.run([DEEP_CALL, str(levels)], timeout=60)
                self.assertEqual((r.returncode, r.stdout.strip()), (0, str(status)), f"{levels}: {r.stderr}")
                self.assertIsNone(lab.acd.poll(), f"acd alive after {levels} levels")
                if status == 0:
                    doc = w.read("/tmp/group1.json")
                    self.assertEqual(doc.count("{"), 32)
                    self.assertTrue(doc.startswith('{"SystemName":"deep","n":{"n":'))
                    self.assertEqual(lab.call("ac.set.config", "set_config",
                                              {"config": {"SystemName": "kept"}})[0], 0)
                else:
                    self.assertEqual(w.read("/tmp/group1.json"), kept, "the document stays")
            msg = "set_config: config nested deeper than 32 levels, not stored \n"
            self.assertEqual(lab.acd_err().count(msg), 2)
            line = f"AP {ap_ip(1)} answers nested deeper than 32 levels, dropped\n"
            wait_for(lambda: line in lab.acd_err(), 30, "the deep answer's message")
            self.assertFalse(w.exists("/tmp/restarted"))
            self.assertEqual(lab.call("ac.get.config", "get_config")[0], 0)
            self.assertIsNone(lab.acd.poll())

    def test_stack_overflow_still_starts_the_restart(self):
        with AcdWorld(aps=[], start_acd=False) as lab:
            w = lab.world
            private_tmp(w)
            w.install("/usr/bin/ac-proxy-restart", RESTART_SCRIPT)
            r = w.run([CRASH_PROBE], timeout=60)
            self.assertIn("diving", r.stdout)
            self.assertEqual(r.returncode, 1, r.stderr)
            wait_for(lambda: w.exists("/tmp/restarted"), 10, "the restart script")
            self.assertEqual(w.read("/tmp/restarted"), "restarted\n")

    def test_links_planted_at_the_tmp_files_are_not_followed(self):
        with AcdWorld(aps=[ap_conf(1)]) as lab:
            w = lab.world
            private_tmp(w)
            w.install("/usr/bin/tftp-hpa", "#!/bin/sh\nexit 3\n")
            lab.wait_aps(1)
            names = ["/tmp/group1.json", "/tmp/cfg.csv", "/tmp/.pwd_status", "/tmp/.firmware_status",
                     "/tmp/.ckeck-key.tar.gz"]
            w.write("/tmp/victim", "precious")
            for n in names:
                w.remove(n)
                os.symlink("/tmp/victim", w.path(n))
            ip = ap_ip(1)
            self.assertEqual(lab.call("ac.set.config", "set_config", {"config": {"SystemName": "x"}})[0], 0)
            self.assertEqual(lab.call("ac.get.config", "gen_export_config", {"iplist": [ip]})[0], 0)
            self.assertEqual(lab.call("ac.upgrade", "firmware", {"iplist": [ip], "password": "any"})[0], 0)
            rc, replies = lab.call("ac.apcfg.check", "apcfg_enc_key_check", {"key": "k"})
            self.assertEqual(rc, 0)
            self.assertNotEqual(replies[0]["status"], 0)

            def regular(n):
                return w.exists(n) and not os.path.islink(w.path(n))
            wait_for(lambda: regular("/tmp/.pwd_status") and regular("/tmp/.firmware_status"), 20,
                     "the upload's status records")
            self.assertEqual(w.read("/tmp/victim"), "precious")
            self.assertEqual(w.read("/tmp/group1.json"), '{"SystemName":"x"}')
            self.assertIn("\n02-00-00-00-00-01,ap-1,", w.read("/tmp/cfg.csv"))
            self.assertEqual(w.read("/tmp/.pwd_status", binary=True), f"{ip} 0".encode().ljust(64, b"\0"))
            self.assertEqual(w.read("/tmp/.firmware_status", binary=True),
                             f"{ip} {3 << 8}".encode().ljust(64, b"\0"))
            self.assertFalse(w.exists("/tmp/.ckeck-key.tar.gz"))
            left = sorted(f for f in os.listdir(w.path("/tmp")) if f.count(".") and f.rsplit(".", 1)[-1].isalnum()
                          and len(f.rsplit(".", 1)[-1]) == 8 and f.rsplit(".", 1)[0] in
                          [n[5:] for n in names])
            self.assertEqual(left, [], "no temporary file left behind")

    def test_fifos_at_the_files_acd_reads_do_not_block_it(self):
        with AcdWorld(aps=[ap_conf(1)]) as lab:
            w = lab.world
            private_tmp(w)
            lab.wait_aps(1)
            ip = ap_ip(1)
            for name in ("/tmp/config.bin", "/tmp/cfg.csv", "/tmp/group1.json", "/tmp/.pwd_status",
                         "/tmp/.firmware_status"):
                w.remove(name)
                os.mkfifo(w.path(name))
            # (object, method, arguments, status): a FIFO reads as an empty file.
            for obj, method, args, status in (
                    ("ac.apcfg.check", "apcfg_valid_check", None, 0),
                    ("ac.get.config", "get_export_config", None, 0),
                    ("ac.exec.config", "exec_config", {"iplist": [ip]}, 0),
                    ("ac.apfw.check", "apfw_pwd_status", {"ip": ip}, 0),
                    ("ac.apfw.check", "apfw_upload_status", {"ip": ip}, 0)):
                cmd = ["-t", "10", "call", obj, method] + ([json.dumps(args)] if args else [])
                r = w.ubus(*cmd, timeout=30)
                self.assertEqual(r.returncode, status, f"{method}: {r.stdout} {r.stderr}")
            self.assertEqual(lab.call("ac.apcfg.check", "apcfg_valid_check"), (0, [{"status": 1}]))
            self.assertEqual(lab.call("ac.apfw.check", "apfw_pwd_status", {"ip": ip}), (0, [{"status": -2}]))
            self.assertIsNone(lab.acd.poll())


if __name__ == "__main__":
    run_tests()
