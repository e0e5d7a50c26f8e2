"""Helpers of the upload and check tests: acd started with a chosen environment
and working directory, raw ubus statuses, acd's children, the simulated APs'
upload log and TFTP folders."""
import json
import os
import subprocess

from acd_world import AcdWorld, parse_replies
from lab import build_path, wait_for



def checker(tag):
    """A firmware checker: apfw_check IMAGE MODEL, behaving as the model asks."""
    return f"""#!/bin/sh
case "$2" in
quiet) exit 0 ;;
big) head -c 300000 /dev/zero | tr '\\0' x; exit 0 ;;
slow) echo $$ > /tmp/slow.pid; exec sleep 45 ;;
crash) kill -SEGV $$ ;;
fds) ls /proc/self/fd ;;
*) echo "$1 for $2"; echo "checked by {tag}" >&2; exit 3 ;;
esac
"""


def record(ip, n):
    """A status record: "%s %d" padded with zero bytes to 64."""
    return f"{ip} {n}".encode().ljust(64, b"\0")


class UploadWorld(AcdWorld):
    """AcdWorld with "/usr/bin/tftp-hpa" in place (Debian's tftp client) and acd
    started by start(env=..., cwd=...)."""

    def __init__(self, aps, **kw):
        super().__init__(aps=aps, start_acd=False, **kw)

    def __enter__(self):
        super().__enter__()
        try:
            self.world.install("/usr/bin/tftp-hpa", source="/usr/bin/tftp")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def start(self, env=None, cwd=None):
        w = self.world
        w.write("/tmp/acd.out", "")
        w.write("/tmp/acd.err", "")
        fo = open(w.path("/tmp/acd.out"), "w")
        fe = open(w.path("/tmp/acd.err"), "w")
        self.acd = w.spawn(["stdbuf", "-oL", "-eL", build_path("acd/acd")], stdout=fo, stderr=fe,
                           env=env, cwd=cwd)
        fo.close()
        fe.close()
        wait_for(lambda: self.acd.poll() is not None or w.ubus("list", "ac.apcfg.check").returncode == 0,
                 10, "acd's objects on the bus")
        if self.acd.poll() is not None:
            raise RuntimeError(f"acd exited with {self.acd.returncode}: {self.acd_err()}")
        return self.acd

    def stop(self):
        self.acd.terminate()
        self.acd.wait(10)

    def ubus(self, obj, method, args=None, timeout=10):
        """`ubus -S call`: (status, [replies]); the status is the call's own."""
        cmd = ["-S", "-t", str(timeout), "call", obj, method]
        if args is not None:
            cmd.append(args if isinstance(args, str) else json.dumps(args))
        r = self.world.ubus(*cmd, timeout=timeout + 10)
        return r.returncode, parse_replies(r.stdout) if r.stdout.strip() else []

    def ubus_async(self, obj, method, args, timeout):
        """The same call in the background: a Popen whose stdout holds the replies."""
        return self.world.spawn([build_path("platform/ubus/ubus"), "-S", "-t", str(timeout), "call", obj,
                                 method, json.dumps(args)], stdout=subprocess.PIPE, text=True)

    def status(self, obj, method, ip):
        rc, replies = self.ubus(obj, method, {"ip": ip})
        assert rc == 0 and len(replies) == 1 and list(replies[0]) == ["status"], (rc, replies)
        return replies[0]["status"]

    def children(self):
        """acd's child processes (zombies included) as [(pid, state)]."""
        out = []
        pid = self.acd.pid
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                for c in f.read().split():
                    try:
                        with open(f"/proc/{c}/stat") as s:
                            out.append((int(c), s.read().rsplit(")", 1)[1].split()[0]))
                    except FileNotFoundError:
                        pass
        return out

    def wait_no_children(self, timeout=30):
        wait_for(lambda: not self.children(), timeout, "acd's children to end and be reaped")

    def uploads(self, ap):
        return self.sim.call("uploads", ap=ap)

    def tftp_file(self, ap, name):
        """What AP (index) stored over TFTP, or None."""
        path = os.path.join(self.uploads(ap)["tftp_dir"], name)
        return self.world.read(path, binary=True) if self.world.exists(path) else None
