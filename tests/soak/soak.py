#!/usr/bin/env python3
"""Soak: acd against simulated APs that keep changing, for a set time.

APs appear and vanish, change their addresses, switch to boot-agent mode and
back, answer the statistics poll with broken HTTP, and a sender on the APs'
host throws garbage datagrams at acd's vex port; meanwhile a client calls
every acd method in a loop. Every few seconds acd's open file descriptors and
memory are sampled. At the end acd is stopped with SIGTERM and its sanitizer
leak report (a build with -DAPCTL_SANITIZE=ON) is read.

    soak.py --build BUILD [--time SECONDS] [--aps N] [--seed N]

Prints the samples and a closing "N passed, N failed" line over the checks:
acd still running, descriptors bounded, memory bounded, no sanitizer report.
Traffic stays inside the soak's own network namespaces."""
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
]


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
    ap.add_argument("--time", type=int, default=600)
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

    from acd_world import AcdWorld
    from apsim import ap_conf, ap_ip

    n = args.aps
    results = []
    with AcdWorld(aps=[ap_conf(i) for i in range(1, n + 1)], log_limit=20) as lab:
        sender = lab.host.spawn([sys.executable, "-c", GARBAGE_SENDER, str(args.seed)])
        ips = {i: ap_ip(i + 1) for i in range(n)}
        stop = threading.Event()
        calls = {"n": 0, "failed_to_run": 0}

        def client():
            while not stop.is_set():
                for obj, method, a in methods(list(ips.values())):
                    if stop.is_set():
                        break
                    try:
                        lab.world.ubus("call", obj, method, *([json.dumps(a)] if a else []), timeout=30)
                        calls["n"] += 1
                    except Exception:
                        calls["failed_to_run"] += 1

        t = threading.Thread(target=client, daemon=True)
        t.start()
        pid = lab.acd.pid
        samples = []
        start = time.time()
        next_sample = start
        spare = 100
        while time.time() - start < args.time and lab.acd.poll() is None:
            i = rnd.randrange(n)
            action = rnd.randrange(6)
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
                else:
                    lab.sim.set(i, http={})
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
        t.join(60)
        sender.kill()
        alive = lab.acd.poll() is None
        results.append(("acd still running", alive))
        if alive:
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
