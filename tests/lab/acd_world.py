"""A lab world with the access-controller daemon: bridge "br-lan", simulated APs
on a host of their own, our bus daemon and acd, for system tests and the demo.

    from acd_world import AcdWorld
    from apsim import ap_conf
    with AcdWorld(aps=[ap_conf(1), ap_conf(2)]) as lab:
        lab.wait_aps(2)
        rc, replies = lab.call("ac.get.config", "get_config")
        lab.sim.set(0, silent=True)

acd's standard output and error go to files inside the world ("/tmp/acd.out",
"/tmp/acd.err"), line-buffered; read them with lab.acd_out() / lab.acd_err().
"""
import json
import os
import time

from lab import World, build_path, wait_for
from apsim import ApSim

__all__ = ["AcdWorld", "parse_replies", "pairs_to_dict"]


def parse_replies(text, ordered=False):
    """The JSON replies that `ubus call` printed, one after the other (a long
    list may come as several replies). ordered=True keeps members as
    [(name, value), ...] lists so their order can be checked."""
    dec = json.JSONDecoder(object_pairs_hook=list if ordered else None)
    out, i = [], 0
    text = text.strip()
    while i < len(text):
        obj, end = dec.raw_decode(text, i)
        out.append(obj)
        i = end
        while i < len(text) and text[i].isspace():
            i += 1
    return out


def pairs_to_dict(pairs):
    """Ordered pairs (from parse_replies(ordered=True)) back to plain dicts."""
    if isinstance(pairs, list) and all(isinstance(p, tuple) and len(p) == 2 for p in pairs):
        return {k: pairs_to_dict(v) for k, v in pairs}
    if isinstance(pairs, list):
        return [pairs_to_dict(v) for v in pairs]
    return pairs


class AcdWorld:
    """World + br-lan + apsim host + ubusd + acd. Options:
    aps / sim_config: the simulated APs (a list of apsim AP entries, or a whole
    apsim configuration); lan: br-lan's address; start_acd / start_ubusd: set
    False to start them by hand (e.g. to watch start-up failures)."""

    def __init__(self, aps=None, sim_config=None, lan="10.77.0.1/24", start_ubusd=True,
                 start_acd=True, log_limit=500):
        self.aps_conf = aps
        self.sim_config = sim_config
        self.lan = lan
        self.start_ubusd = start_ubusd
        self.start_acd_now = start_acd
        self.log_limit = log_limit
        self.world = None
        self.sim = None
        self.acd = None
        self.ubusd = None

    def __enter__(self):
        self.world = World()
        self.world.__enter__()
        try:
            self.world.bridge("br-lan", self.lan)
            self.host = self.world.host("aps")
            config = self.sim_config or {"aps": self.aps_conf or []}
            self.sim = ApSim(self.host, config, log_limit=self.log_limit)
            if self.start_ubusd:
                self.ubusd = self.world.ubusd()
            if self.start_acd_now:
                self.start_acd()
        except BaseException:
            self.world.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        self.world.__exit__(*exc)
        return False

    # -- the daemon ------------------------------------------------------------
    def start_acd(self, wait=True, out="/tmp/acd.out", err="/tmp/acd.err"):
        """Starts acd (stdout line-buffered) and, if wait, until its objects are on the bus."""
        self.world.write(out, "")
        self.world.write(err, "")
        fo = open(self.world.path(out), "w")
        fe = open(self.world.path(err), "w")
        self.acd = self.world.spawn(["stdbuf", "-oL", "-eL", build_path("acd/acd")], stdout=fo, stderr=fe)
        fo.close()
        fe.close()
        if wait:
            wait_for(lambda: self.acd.poll() is not None or
                     self.world.ubus("list", "ac.apcfg.check").returncode == 0,
                     10, "acd's objects on the bus")
            if self.acd.poll() is not None:
                raise RuntimeError(f"acd exited with {self.acd.returncode}: {self.acd_err()}")
        return self.acd

    def run_acd(self, timeout=20):
        """Runs acd to its end (start-up failures); returns (rc, stdout, stderr)."""
        r = self.world.run([build_path("acd/acd")], timeout=timeout)
        return r.returncode, r.stdout, r.stderr

    def acd_out(self):
        return self.world.read("/tmp/acd.out")

    def acd_err(self):
        return self.world.read("/tmp/acd.err")

    def acd_cpu_seconds(self):
        """User + system CPU time acd has used so far."""
        with open(f"/proc/{self.acd.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    # -- the bus -----------------------------------------------------------------
    def call(self, obj, method, args=None, ordered=False, timeout=30):
        """`ubus call`; returns (exit status, [replies])."""
        cmd = ["call", obj, method]
        if args is not None:
            cmd.append(args if isinstance(args, str) else json.dumps(args))
        r = self.world.ubus(*cmd, timeout=timeout)
        return r.returncode, parse_replies(r.stdout, ordered) if r.stdout.strip() else []

    def device_list(self, ordered=False):
        """get_config's "Device_List", joined over all replies."""
        rc, replies = self.call("ac.get.config", "get_config", ordered=ordered)
        if rc != 0:
            raise RuntimeError(f"get_config failed with {rc}")
        out = []
        for r in replies:
            out += dict(r)["Device_List"] if ordered else r["Device_List"]
        return out

    def wait_aps(self, n, timeout=10, pred=None):
        """Waits until get_config lists n APs (and pred(list) holds); returns the list."""
        found = []

        def check():
            found[:] = self.device_list()
            return len(found) == n and (pred is None or pred(found))
        wait_for(check, timeout, f"{n} APs in get_config")
        return found

    def lan_mac(self):
        return self.world.run(["cat", "/sys/class/net/br-lan/address"]).stdout.strip()
