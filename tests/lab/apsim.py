"""Simulated access points for system tests and the demo (tools/apsim).

    from lab import World
    from apsim import ApSim, ap_conf
    with World() as w:
        w.bridge("br-lan", "10.77.0.1/24")
        h = w.host("aps")                               # the simulator's own netns
        sim = ApSim(h, {"aps": [ap_conf(1), ap_conf(2)]})   # starts it, waits until ready
        sim.set(0, silent=True)                          # per-AP switches while it runs
        sim.log(0)                                       # vex messages AP 0 heard (decoded + raw hex)

Each AP has its own MAC and IPv4 address (added to the host's eth0) and answers
discovery requests by multicast, broadcast or unicast. The configuration is
apsim's JSON (see tools/apsim/apsim.hpp): "aps": [...], "defaults": {...},
"generate": {"count": N, "first_ip": ..., "first_mac": ..., ...}.
"""
import itertools
import json
import os
import socket
import time

from lab import build_path, wait_for

__all__ = ["ApSim", "ap_conf", "ap_mac", "ap_ip"]

_ids = itertools.count()


def ap_mac(n):
    """MAC of simulated AP number n (1-based), 02:00:00:00:HH:LL."""
    return "02:00:00:00:%02x:%02x" % (n >> 8 & 255, n & 255)


def ap_ip(n, net="10.77.0", base=10):
    """Address of simulated AP number n: 10.77.0.(10 + n)."""
    return f"{net}.{base + n}"


def ap_conf(n, settings=None, prefix=24, **switches):
    """One AP's entry for the "aps" list, with typical settings."""
    s = {
        "ProductName": "APSIM-AX%d" % (1000 + n),
        "SystemName": f"ap-{n}",
        "SubnetMask": "255.255.255.0",
        "Gateway": "10.77.0.1",
        "Version": "2.1.%d" % n,
        "2.4GEnabled": 1,
        "2.4GSSID": f"apsim-{n}",
        "2.4GChannel": 6,
        "5GEnabled": 1,
        "5GSSID": f"apsim-{n}-5g",
        "5GChannel": 36,
    }
    if settings:
        s.update(settings)
    conf = {"mac": ap_mac(n), "ip": f"{ap_ip(n)}/{prefix}", "settings": s}
    conf.update(switches)
    return conf


class ApSim:
    """A running apsim inside a lab Host; talks to its control socket."""

    def __init__(self, host, config, ifname="eth0", log_limit=500, timeout=30, stdout=None):
        self.host = host
        self.world = host.world
        n = next(_ids)
        self.conf_path = f"/tmp/apsim-{os.getpid()}-{n}.json"
        self.control = f"/run/apsim-{os.getpid()}-{n}.sock"
        self.world.write(self.conf_path, json.dumps(config))
        self.proc = host.spawn([build_path("tools/apsim/apsim"), "--config", self.conf_path,
                                "--ifname", ifname, "--control", self.control,
                                "--log-limit", str(log_limit)], stdout=stdout)
        wait_for(lambda: self.proc.poll() is not None or self.world.exists(self.control),
                 timeout, "apsim control socket")
        if self.proc.poll() is not None:
            raise RuntimeError(f"apsim exited with {self.proc.returncode}")
        self.call("ping")

    def call(self, cmd, **args):
        """One control request; returns the reply dict, raises on {"ok": false}."""
        args["cmd"] = cmd
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(60)
            s.connect(self.world.path(self.control))
            s.sendall((json.dumps(args) + "\n").encode())
            buf = b""
            while not buf.endswith(b"\n"):
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                buf += chunk
        reply = json.loads(buf)
        if not reply.get("ok"):
            raise RuntimeError(f"apsim {cmd}: {reply.get('error')}")
        return reply

    def set(self, ap, **switches):
        """Per-AP switches: boot, silent, log, ip ("a.b.c.d/p"), settings, or any
        key a module reads. `ap`: index, MAC text, address text or "all"."""
        return self.call("set", ap=ap, **switches)

    def log(self, ap, clear=False):
        """Every vex message the AP heard: dicts with t, src, dst, via, len, raw
        (hex), parsed, hdr {...}, header_ok, tlvs [{type, len, value}]."""
        return self.call("log", ap=ap, clear=clear)["log"]

    def clear_log(self, ap="all"):
        self.call("clear_log", ap=ap)

    def list(self):
        return self.call("list")["aps"]

    def stats(self):
        return self.call("stats")

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.call("quit")
                self.proc.wait(timeout=10)
            except Exception:
                self.proc.terminate()
                self.proc.wait(timeout=10)
