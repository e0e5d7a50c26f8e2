"""relmond in a private world: its configuration, state, scratch files, an
update server on the world's loopback and stand-ins for the programs a router
would run (the upgrade command, reboot). Used by the system tests and the demo.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

from lab import build_path, path_dir, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))

# Stand-ins that only record how they were called.
FAKE_REBOOT = "#!/bin/sh\necho reboot \"$@\" >> /tmp/calls\n"
# The init of relmond's PID namespace: reaps at once whatever is handed to it
# (the recorder of a stopped download is; "kill -0" counts a zombie as alive).
REAPER = """
import os, signal
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGCHLD])
print("ready", flush=True)
while True:
    try:
        os.wait()
    except ChildProcessError:
        signal.sigtimedwait([signal.SIGCHLD], 1)
"""
# usign is the real signify under the router's name; the calls are recorded.
USIGN = ("#!/bin/sh\nprintf 'usign' >> /tmp/usign.calls\n"
         "for a; do printf ' [%s]' \"$a\" >> /tmp/usign.calls; done\necho >> /tmp/usign.calls\n"
         "exec {signify} \"$@\"\n")
FAKE_UPGRADE = "#!/bin/sh\nprintf 'upgrade' >> /tmp/calls\nfor a; do printf ' [%s]' \"$a\" >> /tmp/calls; done\necho >> /tmp/calls\n"


class Result:
    def __init__(self, code, out, err):
        self.code, self.out, self.err = code, out, err

    def __repr__(self):
        return f"Result(code={self.code}, out={self.out!r}, err={self.err!r})"


class RelmondWorld:
    """Wraps a lab World. Paths here are the world's paths. relmond and the
    programs it starts run in a PID namespace of their own, so that
    "relmond stop" (killall) reaches no relmond outside it."""

    SRV = "/tmp/srv"

    def __init__(self, world, port=8000, bind="127.0.0.1", server_place=None):
        """server_place: where the update server runs (a lab Host whose address
        is bind); the world itself by default."""
        self.w = world
        self.port = port
        self.bind = bind
        self.base = f"http://{bind}:{port}/fw/"
        relmond = build_path("relmond/relmond")
        if not os.path.exists(relmond):
            raise RuntimeError(f"relmond is not built: {relmond}")
        self.env = dict(os.environ, PATH=f"/tmp/bin:{path_dir(relmond)}:"
                                         "/usr/sbin:/usr/bin:/sbin:/bin")
        self.env.pop("SHELL", None)
        w = self.w
        # /etc, /var and /usr/sbin become writable in the world only.
        w.install("/etc/openwrt_version", "")
        w.install("/etc/config/system", "")
        w.overlay("/var")
        w.run(["mkdir", "-p", "/var/state"], check=True)
        # reboot must never reach the real one: a stand-in first in PATH and
        # over the real path too.
        w.install("/usr/sbin/reboot", FAKE_REBOOT)
        w.write("/tmp/bin/reboot", FAKE_REBOOT, 0o755)
        w.write("/tmp/bin/fake-upgrade", FAKE_UPGRADE, 0o755)
        # (the package signify-openbsd; missing, every signature fails to check)
        self.signify = shutil.which("signify-openbsd") or "/usr/bin/signify-openbsd"
        w.write("/tmp/bin/usign", USIGN.format(signify=shlex.quote(self.signify)), 0o755)
        found = w.run(["sh", "-c", "command -v reboot"], env=self.env).stdout.strip()
        if found != "/tmp/bin/reboot" or w.read("/usr/sbin/reboot") != FAKE_REBOOT:
            raise RuntimeError("could not put the reboot stand-in in place")
        w.run(["mkdir", "-p", "/tmp/work", self.SRV + "/fw"], check=True)
        # Mounts the world makes later still reach the namespace (slave propagation).
        self.pidns = w.spawn(["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "--propagation",
                              "slave", sys.executable, "-c", REAPER], stdout=subprocess.PIPE, text=True)
        if self.pidns.stdout.readline().strip() != "ready":
            raise RuntimeError("could not start the PID namespace")
        with open(f"/proc/{self.pidns.pid}/task/{self.pidns.pid}/children") as f:
            self.init_pid = int(f.read().split()[0])
        self.server = (server_place or w).spawn([sys.executable, os.path.join(HERE, "update_server.py"), "--root", self.SRV,
                               "--bind", bind, "--port", str(port), "--log", "/tmp/srv.log"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: w.run(["wget", "-q", "-O", "/dev/null", f"http://{bind}:{port}/ping"]).returncode == 8,
                 10, "the update server")

    # -- running relmond ------------------------------------------------------
    def relmond(self, *args, timeout=60, cwd="/tmp/work"):
        """Runs relmond in the world. Output goes through files, not pipes: a
        background download keeps the inherited descriptors open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            # (nsenter would look for the working directory on the host's side)
            p = self.run(["sh", "-c", 'cd "$0" && exec relmond "$@"', cwd, *args],
                         stdout=out, stderr=err, text=False, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return Result(p.returncode, out.read().decode(errors="replace"), err.read().decode(errors="replace"))

    def _inside(self, cmd):
        return ["nsenter", "-t", str(self.init_pid), "-p", "-m", "--", *cmd]

    def run(self, cmd, **kw):
        """Runs cmd in relmond's PID namespace, with relmond's PATH."""
        return self.w.run(self._inside(cmd), env=self.env, **kw)

    def spawn(self, cmd, **kw):
        return self.w.spawn(self._inside(cmd), env=self.env, **kw)

    def sh(self, script, **kw):
        return self.run(["sh", "-c", "cd /tmp/work && " + script], **kw)

    # -- configuration and state ----------------------------------------------
    def config(self, **opts):
        """Writes the relmond package: the settings given and the state section."""
        lines = ["config relmond 'config'"]
        for k, v in opts.items():
            if v is not None:
                lines.append(f"\toption {k} {shlex.quote(str(v))}")
        lines += ["", "config state 'remote'", ""]
        self.w.write("/etc/config/relmond", "\n".join(lines))

    def system_info(self, model="AB-12", build="1.0b3", date="2024-01-01"):
        self.w.write("/etc/config/system", "config info 'info'\n"
                     f"\toption model_number {shlex.quote(model)}\n"
                     f"\toption fw_version_build {shlex.quote(build)}\n"
                     f"\toption fw_date {shlex.quote(date)}\n")

    def installed(self, text):
        if text is None:
            self.w.remove("/etc/openwrt_version")
        else:
            self.w.write("/etc/openwrt_version", text)

    def state(self):
        """The relmond.remote values as the state delta file leaves them."""
        values = {}
        if not self.w.exists("/var/state/relmond"):
            return values
        for line in self.w.read("/var/state/relmond").splitlines():
            m = re.match(r"^(-?)relmond\.remote\.(\w+)(?:=(.*))?$", line)
            if not m:
                continue
            if m.group(1) == "-":
                values.pop(m.group(2), None)
            else:
                values[m.group(2)] = shlex.split(m.group(3))[0] if m.group(3) else ""
        return values

    def set_state(self, key, value):
        with open(self.w.path("/var/state/relmond"), "a") as f:
            f.write(f"relmond.remote.{key}={shlex.quote(value)}\n")

    def reset(self):
        """Fresh state, scratch directory, server files and call records."""
        self.w.run(["sh", "-c", f"rm -rf /var/state/* /tmp/relmond /tmp/calls /tmp/usign.calls /tmp/keys {self.SRV}/fw/* "
                    f"{self.SRV}/.rate /tmp/work/*; : > /tmp/srv.log"], check=True)

    # -- the update server ----------------------------------------------------
    def serve(self, name, data):
        self.w.write(f"{self.SRV}/fw/{name}", data)

    def unserve(self, name):
        self.w.remove(f"{self.SRV}/fw/{name}")

    def slow(self, name, bytes_per_second):
        with open(self.w.path(f"{self.SRV}/.rate"), "a") as f:
            f.write(f"/fw/{name} {bytes_per_second}\n")

    def requests(self):
        return self.w.read("/tmp/srv.log").splitlines()

    def offer(self, fw_name="AB12_FW11.bin", fw=b"", version="1.1.0", date="2024-02-03",
              notes="- faster\n- safer\n", md5=None, size=None, info_name="info.txt",
              rel_name="release.txt", rel=None):
        """Puts an info file, release notes (rel: their whole text) and a firmware
        file on the server."""
        import hashlib
        md5 = md5 if md5 is not None else hashlib.md5(fw).hexdigest()
        size = size if size is not None else len(fw)
        self.serve(info_name, f"filename: {fw_name}\ndate: {date}\nmd5: {md5}\nsize: {size}\n"
                              f"release notes: {rel_name}\n")
        if rel_name not in ("", ".", "..") and "/" not in rel_name:
            self.serve(rel_name, rel if rel is not None else f"Firmware Version: {version}\n------\n{notes}")
        if fw_name not in ("", ".", "..") and "/" not in fw_name:
            self.serve(fw_name, fw)
        return md5

    def wget_running(self, url):
        """Whether a wget fetching url is still alive (seen from the host)."""
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    args = f.read().split(b"\0")
            except OSError:
                continue
            if os.path.basename(args[0]) == b"wget" and url.encode() in args:
                return True
        return False

    def calls(self):
        return self.w.read("/tmp/calls").splitlines() if self.w.exists("/tmp/calls") else []

    def usign_calls(self):
        return self.w.read("/tmp/usign.calls").splitlines() if self.w.exists("/tmp/usign.calls") else []

    # -- signing ------------------------------------------------------------
    def keypair(self, name):
        """A key pair made by signify: (public, secret) key paths in the world."""
        pub, sec = f"/tmp/keys/{name}.pub", f"/tmp/keys/{name}.sec"
        self.w.run(["mkdir", "-p", "/tmp/keys"], check=True)
        self.w.run(["rm", "-f", pub, sec], check=True)
        self.w.run([self.signify, "-G", "-n", "-c", f"{name} key", "-p", pub, "-s", sec], check=True)
        return pub, sec

    def sign(self, data, secret):
        """The signature file signify makes for data with a secret key."""
        self.w.write("/tmp/keys/to-sign", data)
        self.w.run(["rm", "-f", "/tmp/keys/to-sign.sig"], check=True)
        self.w.run([self.signify, "-S", "-s", secret, "-m", "/tmp/keys/to-sign", "-x", "/tmp/keys/to-sign.sig"],
                   check=True)
        return self.w.read("/tmp/keys/to-sign.sig", binary=True)
