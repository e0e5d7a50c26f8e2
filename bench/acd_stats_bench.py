"""acd's statistics poll with many simulated APs (200 by default, APCTL_BENCH_APS)
for a minute (APCTL_BENCH_SECONDS): prints, for each poll run, acd's open file
descriptors and memory between runs and the most descriptors seen during it.
Asserts only what is not a matter of time: every AP is reported, and the
descriptors return to their level between runs."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.environ.get("APCTL_SOURCE", "."), "tests", "system", "acd_stats"))

from acd_world import AcdWorld  # noqa: E402
from lab import report_failures, wait_for  # noqa: E402

COUNT = int(os.environ.get("APCTL_BENCH_APS", "200"))
SECONDS = int(os.environ.get("APCTL_BENCH_SECONDS", "60"))
POLL = 10


def proc_status(pid):
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in ("VmRSS", "VmHWM", "VmData"):
                out[k] = int(v.split()[0])
    return out


def fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def main():
    config = {"generate": {
        "count": COUNT, "first_ip": "10.77.1.1/16", "first_mac": "02:00:00:01:00:01",
        "settings": {"SystemName": "ap-{n}", "SubnetMask": "255.255.0.0",
                     "2.4G802.11Mode": "11bgn", "5G802.11Mode": "11ac",
                     "2.4GSSID": "apsim-{n}", "5GSSID": "apsim-{n}-5g"}}}
    failures = []
    with AcdWorld(sim_config=config, lan="10.77.0.1/16", log_limit=4) as lab:
        pid = lab.acd.pid
        lab.wait_aps(COUNT, timeout=60)

        def requests():
            return lab.sim.call("http_stats")["aps"]

        def total():
            return sum(a["requests"] for a in requests())

        # Runs are told apart by the requests the APs received.
        rows = []
        start = time.monotonic()
        seen = total()
        run_max = fds(pid)
        while time.monotonic() - start < SECONDS + POLL:
            time.sleep(0.25)
            run_max = max(run_max, fds(pid))
            now = total()
            if now >= seen + 3 * COUNT:
                # A run went out; half a period later its exchanges are over.
                seen = now
                time.sleep(POLL / 2)
                run_max = max(run_max, fds(pid))
                for method in ("statistic", "sta_statistic", "wlan_profile", "wlan_statistic"):
                    lab.world.ubus("-S", "call", "ac.get.apinfo", method)
                lab.world.ubus("-S", "call", "ac.get.config", "get_config")
                st = proc_status(pid)
                rows.append((len(rows) + 1, fds(pid), run_max, st["VmRSS"], st["VmData"], st["VmHWM"]))
                run_max = 0
                if len(rows) * POLL >= SECONDS:
                    break

        print(f"bench: {COUNT} APs, {len(rows)} poll runs ({3 * COUNT} requests each)")
        print(" run  fds-between  fds-max-during  rss-kB  data-kB  hwm-kB")
        for r in rows:
            print("%4d  %11d  %14d  %6d  %7d  %6d" % r)
        if rows:
            growth = rows[-1][3] - rows[1 if len(rows) > 1 else 0][3]
            print(f"bench: descriptors between runs {sorted(set(r[1] for r in rows))}, "
                  f"at most {max(r[2] for r in rows)} during a run; "
                  f"RSS from run 2 to run {len(rows)}: {growth:+d} kB")

        r = lab.world.ubus("-S", "call", "ac.get.apinfo", "statistic")
        import json
        stats = json.loads(r.stdout)["statistic"]
        filled = sum(1 for s in stats if s.get("radio2g"))
        print(f"bench: statistic lists {len(stats)} APs, {filled} with VAPs")
        if filled != COUNT:
            failures.append(f"{filled} of {COUNT} APs reported")
        if len(rows) < 2 or len(set(r[1] for r in rows)) != 1:
            failures.append("descriptors between runs are not steady")
        err = lab.acd_err()
        if err:
            print("acd's standard error:\n" + err[:2000])
            failures.append("acd printed errors")
    return report_failures(failures)


if __name__ == "__main__":
    sys.exit(main())
