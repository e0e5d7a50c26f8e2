"""The demo: a private lab with three simulated access points, the bus daemon and
acd, and a short tour of the bus calls a management front end makes.

    python3 -u tools/demo/demo.py --build build [--keep] [--steps list,discover]

Needs root (the lab uses network and mount namespaces). Every step prints the
calls it makes and their replies; the demo exits non-zero when a step did not
give the expected result. --keep leaves the lab running afterwards and prints
how to reach it by hand.

Adding a step: write a function step_x(tour) -> bool and put it in STEPS. `tour`
has .lab (tests/lab/acd_world.AcdWorld), .say(text) and .ubus(*args) (runs our
ubus command line in the lab and prints the command and its output).
"""
import argparse
import json
import os
import signal
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "lab"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from settings_tour import step_export, step_settings  # noqa: E402
from upload_tour import step_apfw_check, step_config_check, step_upload  # noqa: E402
from tallier_tour import step_tallier  # noqa: E402
from fwsum_tour import step_fwsum  # noqa: E402
from stats_tour import step_radios, step_statistic, step_stations  # noqa: E402


class Tour:
    def __init__(self, lab):
        self.lab = lab

    def say(self, text=""):
        print(text, flush=True)

    def ubus(self, *args):
        """Runs `ubus <args>` in the lab, prints it with its output; returns (rc, stdout)."""
        shown = " ".join(a if " " not in a and "{" not in a else f"'{a}'" for a in args)
        self.say(f"$ ubus {shown}")
        r = self.lab.world.ubus(*args)
        for text in (r.stdout, r.stderr):
            if text.strip():
                self.say(text.rstrip("\n"))
        if r.returncode:
            self.say(f"(exit status {r.returncode})")
        return r.returncode, r.stdout


AC_OBJECTS = ["ac.apcfg.check", "ac.apfw.check", "ac.diag", "ac.exec.config", "ac.get.apinfo",
              "ac.get.config", "ac.set.config", "ac.upgrade"]


def step_list(t):
    """The objects acd registered, with their methods and arguments."""
    rc, out = t.ubus("-v", "list")
    objects = [line.split(" @")[0].strip("'") for line in out.splitlines() if line.startswith("'")]
    return rc == 0 and [o for o in objects if o.startswith("ac.")] == AC_OBJECTS


def step_discover(t):
    """A discovery request to all APs; their answers arrive in the background."""
    rc, out = t.ubus("call", "ac.get.apinfo", "ap_discover")
    if rc != 0 or out.strip():
        return False
    time.sleep(1)
    return True


def step_get_config(t):
    """Every AP acd knows, with the settings it reported."""
    rc, out = t.ubus("call", "ac.get.config", "get_config")
    if rc != 0:
        return False
    devices = json.loads(out)["Device_List"]
    modes = sorted(d["UbootMode"] for d in devices)
    t.say(f"-> {len(devices)} APs: " + ", ".join(f"{d['SystemName'] or '(boot agent)'} at {d['IPAddress']}"
                                               for d in devices))
    return len(devices) == 3 and modes == [0, 0, 1]


def step_diag(t):
    """The doctor: acd's counters, and why an address is not in get_config."""
    rc, out = t.ubus("call", "ac.diag", "status")
    if rc != 0 or json.loads(out)["aps"] != len(t.lab.device_list()):
        return False
    rc, out = t.ubus("call", "ac.diag", "why", '{"ip": "10.77.0.99"}')
    if rc != 0 or json.loads(out)["verdict"] != "unheard":
        return False
    rc, out = t.ubus("call", "ac.diag", "why", '{"ip": "10.77.0.11"}')
    return rc == 0 and json.loads(out)["verdict"] == "listed"


def step_relmond(t):
    """The router's own firmware update tool (its own tour)."""
    try:
        from relmond_tour import tour_relmond
    except ImportError:
        t.say("(no relmond tour in this tree)")
        return True
    return tour_relmond(t.lab.world, say=t.say)


STEPS = [
    ("list", step_list),
    ("discover", step_discover),
    ("get_config", step_get_config),
    ("statistic", step_statistic),
    ("stations", step_stations),
    ("radios", step_radios),
    ("settings", step_settings),
    ("export", step_export),
    ("upload", step_upload),
    ("config_check", step_config_check),
    ("apfw_check", step_apfw_check),
    ("tallier", step_tallier),
    ("diag", step_diag),
    ("relmond", step_relmond),
    ("fwsum", step_fwsum),
]


def demo_aps():
    from apsim import ap_conf
    return [
        ap_conf(1, {"SystemName": "lobby", "2.4GSSID": "guest", "2.4GRadiusPort": 1812,
                    "5GRadiusPort": 1812}),
        ap_conf(2, {"SystemName": "office", "2.4GSSID": "staff", "2.4GRadiusPort": 1812,
                    "5GRadiusPort": 1812}),
        ap_conf(3, boot=True),  # still in its boot agent: name and address only
    ]


def explore_hint(lab):
    w = lab.world
    ubus = os.path.abspath(os.environ["APCTL_BUILD"] + "/platform/ubus/ubus")
    enter = f"nsenter --net=/run/netns/{w.netns} --mount=/proc/{w._keeper.pid}/ns/mnt"
    return "\n".join([
        "The lab keeps running. In another shell (as root):",
        f"  {enter} {ubus} -v list",
        f"  {enter} {ubus} call ac.get.config get_config",
        f"  {enter} {ubus} call ac.get.apinfo ap_discover",
        f"  {enter} cat /tmp/acd.out          # acd's own messages",
        f"  {enter} {ubus} call luci2.network.tallier devices   # after the tallier step",
        "Simulated APs (10.77.0.11 to .13) switch with the apsim control socket:",
        f"  {w.path(lab.sim.control)}  (one JSON line per request, e.g. "
        '{"cmd":"set","ap":0,"silent":true})',
        "Press Ctrl-C to stop and clean up.",
    ])


def _stop(signum, frame):
    """A kill from outside cleans the lab up like Ctrl-C does."""
    raise KeyboardInterrupt


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build", help="the build folder (default: build)")
    ap.add_argument("--keep", action="store_true", help="keep the lab running after the tour")
    ap.add_argument("--steps", help="comma-separated steps to run (default: all): "
                    + ",".join(n for n, _ in STEPS))
    args = ap.parse_args()
    os.environ["APCTL_BUILD"] = os.path.abspath(args.build)
    os.environ.setdefault("APCTL_SOURCE", ROOT)
    if os.geteuid() != 0:
        print("demo: needs root (the lab uses network and mount namespaces)", file=sys.stderr)
        return 2
    for prog in ("acd/acd", "platform/ubus/ubusd", "platform/ubus/ubus", "tools/apsim/apsim",
                 "platform/rpcd/rpcd", "tallier/tallier.so", "fwsum/fwsum"):
        if not os.path.exists(os.path.join(args.build, prog)):
            print(f"demo: {prog} is not built in {args.build} (run: make build)", file=sys.stderr)
            return 2
    wanted = args.steps.split(",") if args.steps else [n for n, _ in STEPS]
    unknown = set(wanted) - {n for n, _ in STEPS}
    if unknown:
        print(f"demo: no such step: {', '.join(sorted(unknown))}", file=sys.stderr)
        return 2

    from acd_world import AcdWorld
    failed = []
    signal.signal(signal.SIGTERM, _stop)
    print("== starting the lab: bridge br-lan 10.77.0.1/24, 3 simulated APs, ubusd, acd", flush=True)
    with AcdWorld(aps=demo_aps()) as lab:
        tour = Tour(lab)
        for name, fn in STEPS:
            if name not in wanted:
                continue
            tour.say(f"\n== {name}: {fn.__doc__.strip()}")
            try:
                ok = fn(tour)
            except Exception as e:  # a broken step must not hide the others
                tour.say(f"error: {e!r}")
                ok = False
            tour.say(f"[{'ok' if ok else 'FAILED'}] {name}")
            if not ok:
                failed.append(name)
        if args.keep:
            tour.say("\n" + explore_hint(lab))
            try:
                while lab.acd.poll() is None:
                    time.sleep(1)
                tour.say(f"acd ended with status {lab.acd.returncode}")
            except KeyboardInterrupt:
                tour.say("\nstopping")
    print(f"\n== demo {'failed: ' + ', '.join(failed) if failed else 'done'}; the lab is cleaned up")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
