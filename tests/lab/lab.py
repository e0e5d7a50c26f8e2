"""Private worlds for system tests and the demo.

A World is a network namespace plus a mount namespace of its own, with
private tmpfs over /tmp and /run (so /var/run too). Programs started in it
see the fixed paths they expect ("/var/run/ubus.sock", "/tmp/...", "br-lan")
while the host's files, interfaces and routes stay as they were. Hosts (the
simulated APs' side of the LAN) are further network namespaces joined to the
world's bridge by veth pairs; they share the world's mounts.

Everything is torn down when the `with` block ends, also on failure.
Needs root, iproute2 and util-linux (nsenter).
"""
import itertools
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time
import unittest

__all__ = ["World", "Host", "build_path", "source_path", "runner_cmd", "path_dir"]

_counter = itertools.count()


def build_path(rel):
    """Path of a built file under the build folder (APCTL_BUILD), or under the
    target build folder (APCTL_TARGET_BUILD, another architecture) when that
    one has it."""
    target = os.environ.get("APCTL_TARGET_BUILD")
    if target and os.path.exists(os.path.join(target, rel)):
        return os.path.join(target, rel)
    return os.path.join(os.environ.get("APCTL_BUILD", "build"), rel)


def _runs_on_target(path):
    target = os.environ.get("APCTL_TARGET_BUILD")
    return (target and os.environ.get("APCTL_RUNNER") and isinstance(path, str)
            and os.path.abspath(path).startswith(os.path.join(os.path.abspath(target), ""))
            and not path.endswith(".so") and os.access(path, os.X_OK))


def _place(path, make):
    """Creates a file of the runner folder once, atomically (tests run in parallel)."""
    if not os.path.lexists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        tmp = f"{path}.{os.getpid()}"
        make(tmp)
        os.replace(tmp, path)
    return path


def _runner_for(program):
    """The runner's words for program. The emulator is started through a link
    named after the program, so the process carries the program's name (killall,
    /proc/<pid>/comm) as it does on the router."""
    runner = shlex.split(os.environ["APCTL_RUNNER"])
    link = os.path.join(os.environ["APCTL_TARGET_BUILD"], "lab-runner", "exe", os.path.basename(program))
    _place(link, lambda tmp: os.symlink(shutil.which(runner[0]), tmp))
    return [link, *runner[1:]]


def runner_cmd(cmd):
    """cmd with the runner (APCTL_RUNNER, e.g. "qemu-mips -L /usr/mips-linux-gnu")
    put in front of the first program of the target build folder
    (APCTL_TARGET_BUILD) it names, also behind wrappers such as stdbuf or
    unshare. The host itself never learns to run foreign programs (no binfmt
    handler)."""
    cmd = list(cmd)
    for i, a in enumerate(cmd):
        if _runs_on_target(a):
            return cmd[:i] + _runner_for(a) + cmd[i:]
    return cmd


def path_dir(program):
    """The folder to put on PATH so that program (a built file) runs by its name:
    its own folder, or for a program of the target build a folder holding a
    script of that name that starts it through the runner."""
    if not _runs_on_target(program):
        return os.path.dirname(os.path.abspath(program))
    script = os.path.join(os.environ["APCTL_TARGET_BUILD"], "lab-runner", "path", os.path.basename(program))

    def make(tmp):
        with open(tmp, "w") as f:
            f.write("#!/bin/sh\nexec " + " ".join(map(shlex.quote, runner_cmd([os.path.abspath(program)])))
                    + ' "$@"\n')
        os.chmod(tmp, 0o755)
    _place(script, make)
    return os.path.dirname(script)


def source_path(rel):
    """Path of a file under the source tree (APCTL_SOURCE)."""
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(os.environ.get("APCTL_SOURCE", os.path.dirname(os.path.dirname(here))), rel)


def _ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


class _Place:
    """Common run/spawn for the world and its hosts: a network namespace entered
    together with the world's mount namespace."""

    def __init__(self, world, netns):
        self.world = world
        self.netns = netns

    def _prefix(self, cwd):
        return ["nsenter", f"--net=/run/netns/{self.netns}",
                f"--mount=/proc/{self.world._keeper.pid}/ns/mnt", f"--wd={cwd or os.getcwd()}", "--"]

    def run(self, cmd, check=False, timeout=120, cwd=None, **kw):
        """Run cmd (a list) to the end inside; text output captured unless told otherwise."""
        kw.setdefault("capture_output", "stdout" not in kw and "stderr" not in kw)
        kw.setdefault("text", True)
        return subprocess.run(self._prefix(cwd) + runner_cmd(cmd), check=check, timeout=timeout, **kw)

    def spawn(self, cmd, cwd=None, **kw):
        """Start cmd in the background inside; it is killed when the world ends."""
        p = subprocess.Popen(self._prefix(cwd) + runner_cmd(cmd), start_new_session=True, **kw)
        self.world._procs.append(p)
        return p

    def sh(self, script, **kw):
        return self.run(["sh", "-c", script], **kw)


class Host(_Place):
    """Another machine on the world's LAN (its own netns, veth into the bridge)."""

    def __init__(self, world, name, netns, ifname):
        super().__init__(world, netns)
        self.name = name
        self.ifname = ifname

    def add_addr(self, cidr):
        _ip("-n", self.netns, "addr", "add", cidr, "dev", self.ifname)


class World(_Place):
    def __init__(self, name=None):
        n = next(_counter)
        self.name = name or f"lab{os.getpid()}x{n}"
        super().__init__(self, self.name)
        self._procs = []
        self._hosts = []
        self._keeper = None
        self._veth = itertools.count()

    # -- life cycle -------------------------------------------------------
    def __enter__(self):
        try:
            self._setup()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _setup(self):
        if os.geteuid() != 0:
            raise RuntimeError("the lab needs root")
        _ip("netns", "add", self.name)
        _ip("-n", self.name, "link", "set", "lo", "up")
        # `ip netns exec` gives the keeper a mount namespace of its own (slave to
        # the host's) with /sys showing this netns; the tmpfs mounts stay inside.
        self._keeper = subprocess.Popen(
            ["ip", "netns", "exec", self.name, "sh", "-c",
             "mount -t tmpfs lab-tmp /tmp && mount -t tmpfs lab-run /run && "
             "mkdir -p /run/lock /run/lab && echo ready && exec sleep 2147483647"],
            stdout=subprocess.PIPE, start_new_session=True, text=True)
        line = self._keeper.stdout.readline()
        if line.strip() != "ready":
            raise RuntimeError("lab: could not set up the mount namespace")

    def close(self):
        for p in reversed(self._procs):
            _kill(p)
        self._procs.clear()
        if self._keeper is not None:
            _kill(self._keeper)
            self._keeper = None
        for h in self._hosts:
            _ip("netns", "del", h.netns, check=False)
        self._hosts.clear()
        _ip("netns", "del", self.name, check=False)

    # -- network ----------------------------------------------------------
    def bridge(self, name="br-lan", cidr=None):
        """A bridge in the world (multicast flooded to every port), with an address if given."""
        _ip("-n", self.name, "link", "add", name, "type", "bridge", "mcast_snooping", "0")
        if cidr:
            _ip("-n", self.name, "addr", "add", cidr, "dev", name)
        _ip("-n", self.name, "link", "set", name, "up")
        return name

    def host(self, name, addrs=(), bridge="br-lan", ifname="eth0", mac=None):
        """A host namespace linked to `bridge` by a veth pair; returns a Host."""
        netns = f"{self.name}-{name}"
        _ip("netns", "add", netns)
        h = Host(self, name, netns, ifname)
        self._hosts.append(h)
        port = f"v{self.name[-6:]}{next(self._veth)}"[-15:]
        _ip("-n", self.name, "link", "add", port, "type", "veth", "peer", "name", ifname, "netns", netns)
        _ip("-n", self.name, "link", "set", port, "master", bridge, "up")
        _ip("-n", netns, "link", "set", "lo", "up")
        if mac:
            _ip("-n", netns, "link", "set", ifname, "address", mac)
        for a in addrs:
            _ip("-n", netns, "addr", "add", a, "dev", ifname)
        _ip("-n", netns, "link", "set", ifname, "up")
        return h

    def link(self, name, ifname, netns=None):
        """A veth pair inside the world: `name` stays here, `ifname` goes to `netns` (default: here)."""
        args = ["-n", self.name, "link", "add", name, "type", "veth", "peer", "name", ifname]
        if netns:
            args += ["netns", netns]
        _ip(*args)

    def ip(self, *args, check=True):
        """`ip` inside the world's network namespace."""
        return _ip("-n", self.name, *args, check=check)

    # -- files --------------------------------------------------------------
    def path(self, world_path):
        """Host-side path through which a file inside the world is reached.
        Symbolic links on the way are followed inside the world (an absolute
        link such as /var/run -> /run would otherwise lead back to the host)."""
        root = f"/proc/{self._keeper.pid}/root"
        parts = [p for p in os.path.abspath(world_path).split("/") if p]
        done = []
        hops = 0
        while parts:
            name = parts.pop(0)
            here = root + "/" + "/".join(done + [name])
            if parts and os.path.islink(here) and hops < 40:
                hops += 1
                target = os.readlink(here)
                rest = [p for p in target.split("/") if p]
                if target.startswith("/"):
                    done = []
                parts = rest + parts
                continue
            if name == "..":
                if done:
                    done.pop()
            elif name != ".":
                done.append(name)
        return root + "/" + "/".join(done)

    def write(self, world_path, data, mode=None):
        p = self.path(world_path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        if mode is not None:
            os.chmod(p, mode)

    def read(self, world_path, binary=False):
        with open(self.path(world_path), "rb" if binary else "r") as f:
            return f.read()

    def exists(self, world_path):
        return os.path.lexists(self.path(world_path))

    def remove(self, world_path):
        try:
            os.unlink(self.path(world_path))
        except FileNotFoundError:
            pass

    def tmpfs(self, world_path):
        """A private empty tmpfs over an existing directory inside the world."""
        self.run(["mount", "-t", "tmpfs", "lab-tmpfs", world_path], check=True)

    def bind(self, host_path, world_path):
        """Bind-mount a host file or directory over an existing path inside the world."""
        self.run(["mount", "--bind", host_path, world_path], check=True)

    def overlay(self, world_dir):
        """Make a directory writable inside the world only: a tmpfs-backed overlay
        over it. Files may then be added or replaced there (e.g. /usr/bin/tftp-hpa,
        /etc/config) without touching the host."""
        key = world_dir.strip("/").replace("/", "_") or "root"
        self.run(["sh", "-c", f'mkdir -p /run/lab/{key}/u /run/lab/{key}/w && '
                  f'mount -t overlay lab-ovl -o lowerdir={world_dir},upperdir=/run/lab/{key}/u,'
                  f'workdir=/run/lab/{key}/w {world_dir}'], check=True)

    def install(self, world_path, content=None, source=None, mode=0o755):
        """Place a program (or any file) at a fixed path inside the world, making the
        folder writable by an overlay first. `source`: a host file to copy."""
        d = os.path.dirname(os.path.abspath(world_path))
        if not self._is_overlaid(d):
            if not self.exists(d):
                parent = d
                while not self.exists(parent):
                    parent = os.path.dirname(parent)
                if not self._is_overlaid(parent):
                    self.overlay(parent)
                    self._overlaid.add(parent)
            else:
                self.overlay(d)
                self._overlaid.add(d)
        if source is not None:
            with open(source, "rb") as f:
                content = f.read()
        self.write(world_path, content if content is not None else b"", mode)

    _overlaid_set = None

    @property
    def _overlaid(self):
        if self._overlaid_set is None:
            self._overlaid_set = {"/tmp", "/run"}
        return self._overlaid_set

    def _is_overlaid(self, d):
        return any(d == o or d.startswith(o + "/") for o in self._overlaid)

    # -- services -----------------------------------------------------------
    def ubusd(self, sock="/var/run/ubus.sock", timeout=10):
        """Start our bus daemon inside the world and wait for its socket."""
        p = self.spawn([build_path("platform/ubus/ubusd"), "-s", sock])
        wait_for(lambda: self.exists(sock), timeout, f"ubusd socket {sock}")
        return p

    def ubus(self, *args, timeout=30):
        """Our ubus command line inside the world; returns CompletedProcess."""
        return self.run([build_path("platform/ubus/ubus"), *args], timeout=timeout)


def wait_for(pred, timeout=10, what="condition", interval=0.05):
    """Poll pred() until true; raise TimeoutError naming `what` otherwise."""
    end = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() > end:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(interval)


def report_failures(failures):
    """Prints each failure and the closing "N passed, N failed" line of a
    benchmark; returns its exit status."""
    for f in failures:
        print("FAILED: " + f)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


def run_tests():
    """Runs the calling script's unittest cases, prints the closing
    "N passed, N failed" line and exits non-zero on any failure."""
    result = unittest.main(module="__main__", exit=False, verbosity=2).result
    # A test whose subtests fail several times still counts once.
    failed = len({getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors})
    print(f"{max(result.testsRun - failed, 0)} passed, {failed} failed")
    sys.exit(1 if failed or not result.wasSuccessful() else 0)


def _kill(p):
    if p.poll() is None:
        try:
            os.killpg(p.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
    for s in (p.stdout, p.stderr, p.stdin):
        if s:
            s.close()


if __name__ == "__main__":
    # Smoke check: python3 tests/lab/lab.py
    with World() as w:
        w.bridge("br-lan", "10.77.0.1/24")
        h = w.host("ap", addrs=["10.77.0.11/24"])
        print(w.run(["ip", "-br", "addr"]).stdout)
        srv = w.spawn([sys.executable, "-m", "http.server", "--bind", "10.77.0.1", "8000"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd="/")
        ok = wait_for(lambda: h.run(["wget", "-q", "-O", "/dev/null", "http://10.77.0.1:8000/"]).returncode == 0,
                      10, "http across the bridge")
        print("host reaches the bridge:", ok)
        w.write("/tmp/x", "hello")
        print(w.run(["cat", "/tmp/x"]).stdout, os.path.exists("/tmp/x") and "LEAK" or "private /tmp ok")
        w.install("/usr/bin/tftp-hpa", "#!/bin/sh\necho fake\n")
        print(w.run(["/usr/bin/tftp-hpa"]).stdout.strip(), os.path.exists("/usr/bin/tftp-hpa") and "LEAK" or "host /usr/bin untouched")
        w.install("/etc/config/relmond", "config x\n", mode=0o644)
        print(w.run(["cat", "/etc/config/relmond"]).stdout.strip(), os.path.exists("/etc/config") and "LEAK" or "host /etc untouched")
        print(w.run(["ls", "/sys/class/net"]).stdout.split())
    sys.exit(0)
