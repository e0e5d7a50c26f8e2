"""The two real waits of uploads and checks, side by side: a TFTP transfer to an
AP that accepts but never answers (the client gives up after 25 s) and a
firmware checker that runs past the runner's 30 s limit."""
import os
import time
import unittest

from apsim import ap_conf, ap_ip
from lab import run_tests, wait_for
from upload_world import UploadWorld, checker, record

FW = b"\x5a" * 4096


class Slow(unittest.TestCase):
    def test_tftp_failure_and_runner_timeout(self):
        with UploadWorld([ap_conf(1, tftp=False)]) as lab:
            w = lab.world
            w.write("/tmp/bin/apfw_check", checker("path"), mode=0o755)
            lab.start(env=dict(os.environ, PATH="/tmp/bin:" + os.environ["PATH"]))
            w.write("/tmp/firmware.bin", FW)
            lab.wait_aps(1)

            start = time.monotonic()
            slow = lab.ubus_async("ac.apfw.check", "apfw_check", {"Model": "slow"}, timeout=60)
            wait_for(lambda: w.exists("/tmp/slow.pid"), 5, "the checker to start")
            self.assertEqual(lab.ubus("ac.upgrade", "firmware", {"iplist": [ap_ip(1)], "password": "any"}),
                             (0, []))
            # The loop goes on serving while both wait.
            self.assertEqual(lab.ubus("ac.apfw.check", "apfw_check", {"Model": "quiet"}), (0, [{"code": 0}]))
            self.assertEqual(lab.status("ac.apfw.check", "apfw_pwd_status", ap_ip(1)), 0)

            # The upload child holds nothing of the daemon's but the standard streams,
            # and its own result pipe (3), which it does not pass on to the client.
            uploader = [pid for pid, _ in lab.children() if pid != int(w.read("/tmp/slow.pid"))]
            self.assertEqual(len(uploader), 1)
            fds = sorted(os.listdir(f"/proc/{uploader[0]}/fd"))
            self.assertIn(fds, (["0", "1", "2"], ["0", "1", "2", "3"]))
            if "3" in fds:
                self.assertTrue(os.readlink(f"/proc/{uploader[0]}/fd/3").startswith("pipe:"))

            # The transfer fails: the client's exit status 69 as a raw wait status.
            wait_for(lambda: w.exists("/tmp/.firmware_status"), 40, "the failed upload's record")
            self.assertEqual(w.read("/tmp/.firmware_status", binary=True), record(ap_ip(1), 69 << 8))
            self.assertEqual(lab.status("ac.apfw.check", "apfw_upload_status", ap_ip(1)), 69 << 8)

            # The checker is killed at 30 s; the caller gets status 7 and no reply.
            out, _ = slow.communicate(timeout=40)
            self.assertEqual((slow.returncode, out), (7, ""))
            self.assertGreater(time.monotonic() - start, 29.5)
            pid = int(w.read("/tmp/slow.pid"))
            wait_for(lambda: not os.path.exists(f"/proc/{pid}"), 5, "the killed checker to be gone")
            lab.wait_no_children(5)


if __name__ == "__main__":
    run_tests()
