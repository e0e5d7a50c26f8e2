"""acd at 100, 300 and 1,000 simulated APs (APCTL_BENCH_SIZES) with acd's soft
descriptor limit at 1,024: per size, the APs with stored statistics after a
poll run, the run's duration, the most descriptors acd held during it,
get_config's time and reply parts, acd's RSS and CPU per run, and the longest a
bus call waited while a run was going out.
Asserts only what is not a matter of time: every AP's statistics are stored
after each run, and acd's descriptors are back at their level between runs."""
import json
import os
import resource
import statistics
import subprocess
import sys
import threading
import time

from acd_world import AcdWorld, parse_replies
from lab import report_failures, wait_for

SIZES = [int(s) for s in os.environ.get("APCTL_BENCH_SIZES", "100,300,1000").split(",")]
RUNS = int(os.environ.get("APCTL_BENCH_RUNS", "2"))
POLL = 10
NOFILE = 1024


def fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def totals(lab):
    r = lab.sim.call("http_stats")["aps"]
    return sum(a["requests"] for a in r), sum(a["answered"] for a in r)


class Prober(threading.Thread):
    """Calls a cheap method (pwd_status) over and over through one bare bus
    client; keeps each call's time."""

    def __init__(self, lab):
        super().__init__(daemon=True)
        self.lab = lab
        self.times = []
        self.stop = False

    def run(self):
        p = self.lab.world.spawn([sys.executable, os.path.join(os.environ["APCTL_SOURCE"], "bench", "rawbus.py"),
                                  "/var/run/ubus.sock", "100000", "ac.set.config", "pwd_status"],
                                 stdout=subprocess.PIPE, text=True)
        for line in p.stdout:
            self.times.append(json.loads(line)["ms"] / 1000)
            if self.stop:
                break
        p.kill()
        p.wait()


def stored(lab):
    r = lab.world.ubus("-S", "call", "ac.get.apinfo", "statistic")
    return sum(1 for rep in parse_replies(r.stdout) for s in rep["statistic"] if s.get("radio2g"))


def raw_calls(lab, repeat, *pairs):
    """Calls through bench/rawbus.py: [{"method", "ms", "parts", "bytes", "status"}, ...]."""
    r = lab.world.run([sys.executable, os.path.join(os.environ["APCTL_SOURCE"], "bench", "rawbus.py"),
                       "/var/run/ubus.sock", str(repeat), *pairs])
    return [json.loads(line) for line in r.stdout.splitlines() if line.strip()]


def get_config(lab):
    """The call's time and parts as a bare client sees them (the best of three),
    and the APs listed when the ubus command line joins the parts."""
    calls = raw_calls(lab, 3, "ac.get.config", "get_config")
    best = min(calls, key=lambda c: c["ms"])
    r = lab.world.ubus("-S", "call", "ac.get.config", "get_config")
    replies = parse_replies(r.stdout) if r.returncode == 0 else []
    devices = sum(len(rep["Device_List"]) for rep in replies)
    return best["ms"] / 1000, best["parts"], devices, r.returncode or best["status"]


def one_size(count, failures):
    config = {"generate": {
        "count": count, "first_ip": "10.77.1.1/16", "first_mac": "02:00:00:01:00:01",
        "settings": {"SystemName": "ap-{n}", "SubnetMask": "255.255.0.0",
                     "2.4G802.11Mode": "11bgn", "5G802.11Mode": "11ac",
                     "2.4GSSID": "apsim-{n}", "5GSSID": "apsim-{n}-5g"}}}
    with AcdWorld(sim_config=config, lan="10.77.0.1/16", log_limit=4) as lab:
        pid = lab.acd.pid
        hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)[1]
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (NOFILE, hard))
        lab.wait_aps(count, timeout=90)
        # A call's time with nothing else going on.
        idle_call = statistics.median(c["ms"] for c in raw_calls(lab, 20, "ac.set.config", "pwd_status")) / 1000

        rows = []
        base_fds = []
        req, ans = totals(lab)
        while len(rows) < RUNS:
            # Wait for the next run to begin, then watch it to its end.
            wait_for(lambda: totals(lab)[0] > req, 2 * POLL + 5, "a poll run", interval=0.02)
            t0 = time.monotonic()
            cpu0 = lab.acd_cpu_seconds()
            prober = Prober(lab)
            prober.start()
            peak = 0
            end = t0 + POLL
            done = None
            while time.monotonic() < end:
                peak = max(peak, fds(pid))
                r, a = totals(lab)
                if a >= ans + 3 * count and done is None:
                    done = time.monotonic() - t0
                    break
                time.sleep(0.02)
            prober.stop = True
            prober.join()
            time.sleep(0.5)
            cpu = lab.acd_cpu_seconds() - cpu0
            req, ans = totals(lab)
            n_stored = stored(lab)
            base_fds.append(fds(pid))
            took, parts, devices, rc = get_config(lab)
            wait = max(prober.times, default=0) - idle_call
            rows.append((n_stored, done, peak, took, parts, devices, rc, rss_kb(pid), cpu, wait))
            if n_stored != count:
                failures.append(f"{count} APs: {n_stored} stored after run {len(rows)}")
            if devices != count or rc != 0:
                failures.append(f"{count} APs: get_config listed {devices} (status {rc})")
            # Wait out the rest of the period so the next run starts afresh.
            req, ans = totals(lab)
        if len(set(base_fds)) != 1:
            failures.append(f"{count} APs: descriptors between runs {base_fds}")
        err = lab.acd_err()
        if err:
            print(f"acd's standard error ({count} APs):\n" + err[:1000])
    return rows, idle_call


def main():
    failures = []
    print(f"bench: acd with RLIMIT_NOFILE soft {NOFILE}; {RUNS} poll runs per size")
    print("   APs  run  stored  run-s  fds-peak  get_config-ms  parts  rss-kB  rss/AP-kB  "
          "cpu-ms/run  cpu-us/AP  longest-wait-ms")
    for count in SIZES:
        rows, idle = one_size(count, failures)
        for i, (n_stored, done, peak, took, parts, devices, rc, rss, cpu, wait) in enumerate(rows):
            print("%6d  %3d  %6d  %5s  %8d  %13.1f  %5d  %6d  %9.2f  %10.1f  %9.1f  %15.1f" % (
                count, i + 1, n_stored, "%.2f" % done if done is not None else ">10", peak,
                took * 1000, parts, rss, rss / count, cpu * 1000, cpu * 1e6 / count, wait * 1000))
        sys.stdout.flush()
    return report_failures(failures)


if __name__ == "__main__":
    sys.exit(main())
