"""Demo steps for the wireless statistics (used by demo.py).

step_statistic waits for acd's first statistics poll (every 10 s, each AP asked
for its profile, VAP counters and clients over HTTP JSON-RPC) and shows the
per-VAP report; step_stations shows the associated clients; step_radios shows
get_config with each AP's "radio2g" and "radio5g" VAPs.
"""
import json


def _answered(t):
    """True once every simulated AP has answered all three requests of a poll run."""
    aps = t.lab.sim.call("http_stats")["aps"]
    return aps and all(a["answered"] >= 3 for a in aps)


def step_statistic(t):
    """After the first poll: the VAPs of every AP with their traffic counters."""
    from lab import wait_for
    t.say("-> waiting for the first statistics poll (acd asks every AP every 10 s)")
    try:
        wait_for(lambda: _answered(t), 25, "the first poll", interval=0.5)
    except TimeoutError:
        t.say("no poll answered in time")
        return False
    rc, out = t.ubus("call", "ac.get.apinfo", "statistic")
    if rc != 0:
        return False
    aps = json.loads(out)["statistic"]
    for ap in aps:
        for radio in ("radio2g", "radio5g"):
            for v in ap.get(radio, []):
                t.say(f"-> {v['ap_mac']} {radio} {v['ssid']!r}: {v['stas_num']} clients, "
                      f"{v['statistics']['rx_bytes']} bytes in, {v['statistics']['tx_bytes']} out")
    return len(aps) == 3 and all(ap.get("radio2g") and ap.get("radio5g") for ap in aps)


def step_stations(t):
    """The clients associated with each VAP."""
    rc, out = t.ubus("call", "ac.get.apinfo", "sta_statistic")
    if rc != 0:
        return False
    vaps = json.loads(out)["Clients"]
    clients = sum(len(v["clients"]) for v in vaps)
    t.say(f"-> {len(vaps)} VAPs with {clients} clients in all")
    return len(vaps) == 6 and clients > 0


def step_radios(t):
    """get_config again: each AP's settings now end with its VAPs per radio."""
    rc, out = t.ubus("call", "ac.get.config", "get_config")
    if rc != 0:
        return False
    devices = json.loads(out)["Device_List"]
    for d in devices:
        names = [v["ssid"] for r in ("radio2g", "radio5g") for v in d.get(r, [])]
        t.say(f"-> {d['MACAddress']} at {d['IPAddress']}: VAPs {', '.join(names) or '(none)'}")
    return len(devices) == 3 and all("radio2g" in d and "radio5g" in d for d in devices)
