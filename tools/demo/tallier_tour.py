"""Demo step for the traffic plug-in (used by demo.py).

step_tallier starts the host rpcd in the lab with a plug-in folder that holds
tallier.so, waits until acd's statistics poll of the simulated APs has crossed
br-lan, and shows "devices" and the last seconds of br-lan's "statistics".
"""
import json
import time

from lab import build_path, wait_for

OBJECT = "luci2.network.tallier"
COUNTERS = ["rx_bytes", "tx_bytes", "rx_packets", "tx_packets"]
PLUGIN_DIR = "/tmp/rpcd"
SHOWN = 10  # seconds of history shown


def _http_requests(lab):
    """HTTP requests the simulated APs have answered so far (apsim's count)."""
    return sum(a["requests"] for a in lab.sim.call("http_stats")["aps"])


def _sampled(w):
    r = w.ubus("-S", "call", OBJECT, "devices")
    return r.returncode == 0 and "br-lan" in json.loads(r.stdout).get("devices", [])


def step_tallier(t):
    """Interface traffic: rpcd loads tallier; devices, and br-lan's last seconds while acd polls the APs."""
    w = t.lab.world
    w.run(["mkdir", "-p", PLUGIN_DIR], check=True)
    with open(build_path("tallier/tallier.so"), "rb") as f:
        w.write(PLUGIN_DIR + "/tallier.so", f.read())
    t.say(f"$ rpcd -s /var/run/ubus.sock -p {PLUGIN_DIR} &   ({PLUGIN_DIR} holds tallier.so only)")
    w.write("/tmp/rpcd.out", "")
    with open(w.path("/tmp/rpcd.out"), "w") as out:
        rpcd = w.spawn([build_path("platform/rpcd/rpcd"), "-s", "/var/run/ubus.sock", "-p", PLUGIN_DIR],
                       stdout=out, stderr=out)
    wait_for(lambda: rpcd.poll() is not None or _sampled(w), 10, "tallier's first sample")
    if rpcd.poll() is not None:
        t.say(f"rpcd ended with status {rpcd.returncode}: {w.read('/tmp/rpcd.out').strip()}")
        return False

    # acd asks every AP for its statistics each 10 s: wait for the next round
    # and a sample or two after it.
    before = _http_requests(t.lab)
    t.say("-> waiting for acd's next statistics poll of the APs (every 10 s) ...")
    wait_for(lambda: _http_requests(t.lab) > before, 15, "acd's statistics poll", interval=0.2)
    time.sleep(2.2)
    polled = _http_requests(t.lab) - before
    t.say(f"-> the APs answered {polled} HTTP requests from acd meanwhile")

    rc, out = t.ubus("call", OBJECT, "devices")
    if rc != 0:
        return False
    devices = json.loads(out)["devices"]
    ok = "br-lan" in devices and devices == sorted(devices, key=str.encode)

    n = SHOWN  # the poll is 2 to 3 s old now
    args = json.dumps({"device": "br-lan"})
    t.say(f"$ ubus call {OBJECT} statistics '{args}'   (120 entries per counter, oldest first; "
          f"the last {n} shown)")
    r = w.ubus("call", OBJECT, "statistics", args)
    if r.returncode != 0:
        t.say(f"(exit status {r.returncode}) {r.stderr.strip()}")
        return False
    table = json.loads(r.stdout, object_pairs_hook=list)
    stats = dict(dict(table)["statistics"])
    t.say('{ "statistics": {')
    for c in COUNTERS:
        t.say(f'    "{c}": [ ... ' + ", ".join(str(v) for v in stats[c][-n:]) + " ]")
    t.say("} }")
    names = [k for k, _ in dict(table)["statistics"]]
    ok = ok and names == COUNTERS and all(len(stats[c]) == 120 and all(isinstance(v, int) for v in stats[c])
                                          for c in COUNTERS)
    # the poll went out and came back over br-lan within the window shown
    recent = {c: sum(stats[c][-n:]) for c in COUNTERS}
    t.say("-> in those seconds: " + ", ".join(f"{c} {recent[c]}" for c in COUNTERS))
    ok = ok and polled > 0 and all(v > 0 for v in recent.values())

    # not found (4): the command line tells a script 256 - 4
    rc, out = t.ubus("call", OBJECT, "statistics", json.dumps({"device": "wlan9"}))
    return ok and rc == 252 and not out.strip()
