#!/usr/bin/env python3
"""Soak: acd against simulated APs that keep changing, for a set time.

APs appear and vanish, change their addresses, switch to boot-agent mode and
back, answer the statistics poll with broken HTTP, redirects to host names,
deeply nested or large answers, and a sender on the APs' host floods acd's vex
port with garbage and with responses from a thousand made-up MACs; meanwhile a client
calls every acd method in a loop, now and then with set_config tables nested
far deeper than JSON text allows, and links are planted at acd's files in
/tmp. Name lookups go to a name server that never answers. Every few seconds
acd's open file descriptors and memory are sampled. Then the APs are made
healthy again and must all come back, with their statistics, and a settings
push must be answered by every one. At the end acd is stopped with SIGTERM and
its sanitizer leak report (a build with -DAPCTL_SANITIZE=ON) is read.

    soak.py --build BUILD [--time SECONDS] [--aps N] [--seed N]

Prints the samples and a closing "N passed, N failed" line over the checks:
acd still running and never restarted, no call timed out, descriptors and
memory bounded, no name looked up, no planted link followed, nothing lost,
no sanitizer report. Traffic stays inside the soak's own network namespaces."""
import argparse
import glob
import json
import os
import random
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lab"))

# Sends garbage to acd's vex port from the APs' host: random bytes, and vex
# datagrams with valid heads and broken bodies. Runs until killed.
GARBAGE_SENDER = r"""
import os, random, socket, struct, sys, time
rnd = random.Random(int(sys.argv[1]))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
def head(t):
    mac = bytes([2, 0, 0, 9, rnd.randrange(4), rnd.randrange(256)])
    return struct.pack(">HH", 2, 0) + mac + struct.pack(">HHHI", 6, t, 0, 0x01945AE0) + bytes(20)
while True:
    kind = rnd.randrange(4)
    if kind == 0:
        d = os.urandom(rnd.randrange(0, 200))
    elif kind == 1:
        d = head(rnd.choice([2, 4, 11, 12, 99]))
        d += os.urandom(rnd.randrange(0, 64))
    elif kind == 2:
        d = head(2) + struct.pack(">HH", rnd.randrange(200), rnd.randrange(65536)) + os.urandom(8)
    else:
        d = head(2) + b"".join(struct.pack(">HH", t, 4 + 40) + bytes([65]) * 40 for t in range(1, 120))
    try:
        s.sendto(d, ("10.77.0.1", 64519))
    except OSError:
        pass
    time.sleep(0.01)
"""

BROKEN_HTTP = [
    {"mode": "never"}, {"mode": "close_early"}, {"mode": "drop"}, {"listen": False},
    {"status": 500}, {"framing": "chunked"}, {"framing": "close"}, {"body": "{\"jsonrpc\":"},
    {"body": "\x01\x02 not json"}, {"jsonrpc": 2}, {"id": "108"}, {"status_element": 1},
    {"redirect": "/elsewhere"}, {"delay_ms": 3000},
    {"redirect": "/elsewhere", "redirect_host": "ap.soak.lan"}, {"nest": 31}, {"nest": 33},
    {"nest": 20000}, {"body": "[" * 200000}, {"framing": "chunked", "body": " " * 900000 + "{}"},
]

# A name server that never answers; each query it hears is a line in a file.
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

# Files acd writes in /tmp, where links to a victim are planted now and then.
TMP_FILES = ["/tmp/group1.json", "/tmp/cfg.csv", "/tmp/.pwd_status", "/tmp/.firmware_status",
             "/tmp/.config_status", "/tmp/.ckeck-key.tar.gz"]


def methods(aps_ips):
    ip = random.choice(aps_ips)
    iplist = {"iplist": random.sample(aps_ips, k=min(3, len(aps_ips))) + ["10.77.0.250"]}
    return [
        ("ac.get.apinfo", m, None) for m in
        ["wlan_profile", "wlan_info", "wlan_statistic", "sta_statistic", "statistic", "ap_discover"]
    ] + [
        ("ac.set.config", "set_config", {"config": {"SystemName": "soak", "2.4GChannel": "6"}}),
        ("ac.set.config", "pwd_status", None),
        ("ac.get.config", "get_config", None),
        ("ac.get.config", "gen_export_config", iplist),
        ("ac.get.config", "get_export_config", None),
        ("ac.exec.config", "exec_config", iplist),
        ("ac.upgrade", "firmware", dict(iplist, password="admin")),
        ("ac.upgrade", "config", dict(iplist, password="admin", key="k")),
        ("ac.apfw.check", "apfw_check", {"Model": "AX-1"}),
        ("ac.apfw.check", "apfw_upload_status", {"ip": ip}),
        ("ac.apfw.check", "apfw_pwd_status", {"ip": ip}),
        ("ac.apcfg.check", "apcfg_valid_check", None),
        ("ac.apcfg.check", "apcfg_enc_key_check", None),
        ("ac.apcfg.check", "apcfg_upload_status", {"ip": ip}),
        ("ac.apcfg.check", "apcfg_pwd_status", {"ip": ip}),
        ("ac.get.apinfo", "all_clear", None),
    ]


def _mac(text):
    return text.lower().replace("-", ":")


def settle(lab, n, ips, ap_mac, parse_replies, wait_for):
    """Every AP healthy again: each must come back at its address, with its
    statistics, and answer a settings push. Returns [(check, ok)]."""
    for i in range(n):
        lab.sim.set(i, silent=False, boot=False, http={})
    want = {_mac(ap_mac(i + 1)): ips[i] for i in range(n)}
    out = []

    def listed():
        lab.call("ac.get.apinfo", "ap_discover")
        seen = {}
        for d in lab.device_list():
            seen[_mac(d["MACAddress"])] = d["IPAddress"]
        return all(seen.get(m) == ip for m, ip in want.items())
    try:
        wait_for(listed, 120, "every AP back in get_config", interval=5)
        out.append(("every AP back at its address", True))
    except TimeoutError:
        out.append(("every AP back at its address", False))

    def stats():
        rc, replies = lab.call("ac.get.apinfo", "statistic")
        macs = set()
        for r in replies:
            for ap in r.get("statistic", []):
                for radio in ("radio2g", "radio5g"):
                    for v in ap.get(radio, []):
                        macs.add(_mac(v.get("ap_mac", "")))
        return rc == 0 and set(want) <= macs
    try:
        wait_for(stats, 90, "every AP's statistics", interval=5)
        out.append(("every AP's statistics back", True))
    except TimeoutError:
        out.append(("every AP's statistics back", False))

    lab.call("ac.set.config", "pwd_status")
    lab.call("ac.set.config", "set_config", {"config": {"SystemName": "settled"}})
    lab.call("ac.exec.config", "exec_config", {"iplist": list(ips.values())})
    answered = set()

    def pushed():
        rc, replies = lab.call("ac.set.config", "pwd_status")
        for r in replies:
            for e in r.get("apsStatus", []):
                answered.add(e["ip"])
        return set(ips.values()) <= answered
    try:
        wait_for(pushed, 30, "every AP's push result", interval=2)
        out.append(("every AP answered the settings push", True))
    except TimeoutError:
        print(f"soak: push results missing from {sorted(set(ips.values()) - answered)}")
        out.append(("every AP answered the settings push", False))
    return out


def read_status(pid):
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, rss


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--time", type=int, default=3600)
    ap.add_argument("--aps", type=int, default=24)
    ap.add_argument("--seed", type=int, default=int(time.time()))
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    os.environ["APCTL_BUILD"] = build
    os.environ["APCTL_SOURCE"] = SOURCE
    reports = os.path.join(build, "soak-reports")
    os.makedirs(reports, exist_ok=True)
    for old in glob.glob(os.path.join(reports, "*")):
        os.remove(old)
    # A small quarantine, so freed memory comes back soon and growth shows.
    os.environ["ASAN_OPTIONS"] = (f"log_path={reports}/asan:detect_leaks=1:quarantine_size_mb=8:"
                                  "verify_asan_link_order=0")
    os.environ["UBSAN_OPTIONS"] = f"log_path={reports}/ubsan:print_stacktrace=1:halt_on_error=1"
    supp = os.path.join(SOURCE, "tests", "hardening", "lsan.supp")
    os.environ["LSAN_OPTIONS"] = f"suppressions={supp}"
    rnd = random.Random(args.seed)
    random.seed(args.seed)
    print(f"soak: {args.time} s, {args.aps} APs, seed {args.seed}")

    from acd_world import AcdWorld, parse_replies
    from apsim import ap_conf, ap_ip, ap_mac
    from lab import wait_for

    n = args.aps
    results = []
    deep_call = os.path.join(build, "tests", "system", "acd_core", "deep_call")
    with AcdWorld(aps=[ap_conf(i) for i in range(1, n + 1)], log_limit=20, start_acd=False) as lab:
        w = lab.world
        if w.run(["findmnt", "-n", "-o", "SOURCE", "/tmp"]).stdout.strip() != "lab-tmp":
            raise RuntimeError("soak: the lab's /tmp is not its own")
        lab.host.add_addr("10.77.0.253/24")
        lab.host.spawn([sys.executable, "-c", SILENT_DNS, "10.77.0.253", "/tmp/dns.log"])
        w.write("/tmp/resolv.conf", "nameserver 10.77.0.253\noptions timeout:30 attempts:1\n")
        w.run(["mount", "--bind", "/tmp/resolv.conf", "/etc/resolv.conf"], check=True)
        w.install("/usr/bin/ac-proxy-restart", "#!/bin/sh\necho restarted >> /tmp/restarted\n")
        w.install("/usr/bin/tftp-hpa", "#!/bin/sh\nsleep 1; exit 3\n")
        w.write("/tmp/victim", "precious")
        wait_for(lambda: w.exists("/tmp/dns.log"), 10, "the silent name server")
        lab.start_acd()
        sender = lab.host.spawn([sys.executable, "-c", GARBAGE_SENDER, str(args.seed)])
        ips = {i: ap_ip(i + 1) for i in range(n)}
        stop = threading.Event()
        calls = {"n": 0, "failed_to_run": 0, "timed_out": 0, "deep": 0, "deep_wrong": 0}

        def call(obj, method, a):
            r = w.ubus("call", obj, method, *([json.dumps(a)] if a else []), timeout=60)
            calls["n"] += 1
            # 7: no answer within the command's 30 s: the loop was blocked
            if r.returncode == 7:
                calls["timed_out"] += 1
                print(f"soak: {obj} {method} timed out")

        def deep():
            levels = rnd_client.choice([32, 33, 1000, 30000, 100000])
            r = w.run([deep_call, str(levels)], timeout=90)
            calls["deep"] += 1
            if r.stdout.strip() != ("0" if levels == 32 else "1"):
                calls["deep_wrong"] += 1
                print(f"soak: deep set_config of {levels} levels: {r.stdout.strip()!r} {r.stderr.strip()}")

        rnd_client = random.Random(args.seed + 1)

        def client():
            while not stop.is_set():
                for obj, method, a in methods(list(ips.values())) + [("deep", None, None)]:
                    if stop.is_set():
                        break
                    try:
                        if obj == "deep":
                            deep()
                        else:
                            call(obj, method, a)
                    except Exception as e:
                        calls["failed_to_run"] += 1
                        print(f"soak: {obj} {method}: {e}")

        t = threading.Thread(target=client, daemon=True)
        t.start()
        pid = lab.acd.pid
        samples = []
        start = time.time()
        next_sample = start
        spare = 100
        while time.time() - start < args.time and lab.acd.poll() is None:
            i = rnd.randrange(n)
            action = rnd.randrange(7)
            try:
                if action == 0:
                    lab.sim.set(i, silent=True)       # vanishes
                elif action == 1:
                    lab.sim.set(i, silent=False)      # comes back
                elif action == 2:
                    spare = spare + 1 if spare < 240 else 100
                    ips[i] = f"10.77.0.{spare}"
                    lab.sim.set(i, ip=f"{ips[i]}/24")  # a new address
                elif action == 3:
                    lab.sim.set(i, boot=rnd.random() < 0.5)
                elif action == 4:
                    lab.sim.set(i, http=rnd.choice(BROKEN_HTTP))
                elif action == 5:
                    lab.sim.set(i, http={})
                else:
                    name = rnd.choice(TMP_FILES)
                    w.remove(name)
                    os.symlink("/tmp/victim", w.path(name))
            except Exception as e:  # a switch the simulator does not know yet
                print(f"soak: apsim set failed: {e}")
            if time.time() >= next_sample:
                fds, rss = read_status(pid)
                samples.append((time.time() - start, fds, rss))
                print(f"soak: {samples[-1][0]:6.0f} s  fds {fds:3d}  rss {rss / 1024:7.1f} MiB  "
                      f"calls {calls['n']}")
                next_sample += max(5, args.time / 40)
            time.sleep(0.5)

        stop.set()
        t.join(120)
        sender.kill()
        sender.wait()
        alive = lab.acd.poll() is None
        results.append(("acd still running", alive))
        results.append(("acd never crashed into its restart", not w.exists("/tmp/restarted")))
        print(f"soak: {calls['n']} calls, {calls['timed_out']} timed out, {calls['failed_to_run']} failed to run, "
              f"{calls['deep']} deep set_config calls, {calls['deep_wrong']} answered wrongly")
        results.append(("no call timed out (the loop never blocked)",
                        calls["timed_out"] == 0 and calls["failed_to_run"] == 0))
        results.append(("every deep set_config refused, none crashed", calls["deep_wrong"] == 0))
        dns = w.read("/tmp/dns.log")
        results.append(("no name looked up", dns == ""))
        results.append(("no planted link followed", w.read("/tmp/victim") == "precious"))
        if alive:
            lost = settle(lab, n, ips, ap_mac, parse_replies, wait_for)
            for what, ok in lost:
                results.append((what, ok))
            alive = lab.acd.poll() is None
            fds, rss = read_status(pid)
            samples.append((time.time() - start, fds, rss))
            lab.acd.send_signal(signal.SIGTERM)
            try:
                lab.acd.wait(60)
            except Exception:
                lab.acd.kill()
        print(f"soak: acd exit status {lab.acd.returncode}, {calls['n']} method calls")
        err = lab.acd_err()

    # Bounded: the last third of the run stays near the first third.
    third = max(1, len(samples) // 3)
    early, late = samples[:third], samples[-third:]
    fd_ok = max(s[1] for s in late) <= max(s[1] for s in early) + 3 * n + 8
    rss_ok = max(s[2] for s in late) <= 1.25 * max(s[2] for s in early) + 8 * 1024
    print(f"soak: fds first third max {max(s[1] for s in early)}, last third max {max(s[1] for s in late)}")
    print(f"soak: rss first third max {max(s[2] for s in early) / 1024:.1f} MiB, "
          f"last third max {max(s[2] for s in late) / 1024:.1f} MiB")
    results.append(("file descriptors bounded", fd_ok))
    results.append(("memory bounded", rss_ok))
    # Reports are named after the process: acd's decide; others are shown.
    found = sorted(glob.glob(os.path.join(reports, "*")))
    mine = [f for f in found if f.rsplit(".", 1)[-1] == str(pid)]
    for f in found:
        print(f"---- {f}{' (acd)' if f in mine else ' (another program)'}")
        with open(f) as fh:
            print(fh.read())
    print(f"soak: acd's leak and sanitizer report: {'clean' if not mine else 'see above'}")
    results.append(("no leak or sanitizer report from acd", not mine))
    if not alive:
        print("soak: acd's standard error:\n" + err[-4000:])
    for name, ok in results:
        print(f"soak: {'ok  ' if ok else 'FAIL'} {name}")
    passed = sum(1 for _, ok in results if ok)
    print(f"{passed} passed, {len(results) - passed} failed")
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
