"""The time of each report method (get_config, statistic, sta_statistic,
wlan_profile, wlan_statistic, wlan_info) with many APs of 8 VAPs each (250 and
1,000) and with a few APs reporting thousands of VAPs (3 APs of 1,000 and of
3,000), timed by a bare bus client from the call to its final status (best and
worst of five), with the reply's parts and bytes. Asserts only what is not a
matter of time: every call answers with status 0 and the APs' VAPs are all
listed."""
import json
import os
import sys
import time

from acd_world import AcdWorld, parse_replies
from lab import report_failures, wait_for

METHODS = [("ac.get.config", "get_config"), ("ac.get.apinfo", "statistic"),
           ("ac.get.apinfo", "sta_statistic"), ("ac.get.apinfo", "wlan_profile"),
           ("ac.get.apinfo", "wlan_statistic"), ("ac.get.apinfo", "wlan_info")]
SCENARIOS = [("250 APs x 8 VAPs", 250, 8), ("1000 APs x 8 VAPs", 1000, 8),
             ("3 APs x 1000 VAPs", 3, 1000), ("3 APs x 3000 VAPs", 3, 3000)]
REPEAT = 5


def vaps_listed(lab):
    r = lab.world.ubus("-S", "call", "ac.get.apinfo", "statistic")
    return sum(len(s.get("radio2g", [])) + len(s.get("radio5g", []))
               for rep in parse_replies(r.stdout) for s in rep["statistic"])


def scenario(name, count, vaps, failures):
    config = {"generate": {
        "count": count, "first_ip": "10.77.1.1/16", "first_mac": "02:00:00:01:00:01", "vaps": vaps,
        "settings": {"SystemName": "ap-{n}", "SubnetMask": "255.255.0.0",
                     "2.4G802.11Mode": "11bgn", "5G802.11Mode": "11ac"}}}
    rows = []
    with AcdWorld(sim_config=config, lan="10.77.0.1/16", log_limit=4) as lab:
        lab.wait_aps(count, timeout=90)
        # After the first poll run every AP's VAPs are listed.
        wait_for(lambda: vaps_listed(lab) == count * vaps, 40, f"{count * vaps} VAPs listed", interval=1)
        pairs = [x for m in METHODS for x in m]
        r = lab.world.run([sys.executable, os.path.join(os.environ["APCTL_SOURCE"], "bench", "rawbus.py"),
                           "/var/run/ubus.sock", str(REPEAT), *pairs], timeout=300)
        calls = [json.loads(line) for line in r.stdout.splitlines() if line.strip()]
        for _, method in METHODS:
            mine = [c for c in calls if c["method"] == method]
            if len(mine) != REPEAT or any(c["status"] != 0 for c in mine):
                failures.append(f"{name}: {method} {mine}")
                continue
            ms = sorted(c["ms"] for c in mine)
            rows.append((name, method, ms[0], ms[-1], mine[0]["parts"], mine[0]["bytes"]))
        err = lab.acd_err()
        if err:
            print(f"acd's standard error ({name}):\n" + err[:1000])
    return rows


def main():
    failures = []
    print(f"bench: report methods, {REPEAT} calls each, timed from the call to its final status")
    print("%-20s %-15s %8s %8s %6s %9s" % ("scenario", "method", "best-ms", "worst-ms", "parts", "bytes"))
    for name, count, vaps in SCENARIOS:
        for row in scenario(name, count, vaps, failures):
            print("%-20s %-15s %8.1f %8.1f %6d %9d" % row)
        sys.stdout.flush()
    return report_failures(failures)


if __name__ == "__main__":
    sys.exit(main())
