"""Demo steps for the settings push and the CSV export (used by demo.py).

step_settings renames one simulated AP and changes its SSID through set_config
and exec_config, shows the push results of pwd_status and the change in the next
get_config; step_export writes the per-AP CSV table and reads it back.
"""
import json
import time

TARGET_IP = "10.77.0.12"  # the demo's AP "office"
NEW_SETTINGS = {"SystemName": "meeting-room", "2.4GSSID": "staff-guest"}
CSV = "/tmp/cfg.csv"


def _ap(t, ip):
    for d in t.lab.device_list():
        if d["IPAddress"] == ip:
            return d
    return None


def step_settings(t):
    """Rename one AP and change its SSID: set_config, exec_config, pwd_status, get_config."""
    from lab import wait_for
    found = []
    try:
        wait_for(lambda: found.append(_ap(t, TARGET_IP)) or found[-1], 10, f"the AP at {TARGET_IP}")
    except TimeoutError:
        t.say(f"no AP at {TARGET_IP}")
        return False
    before = found[-1]
    t.say(f"-> before: {before['SystemName']!r}, 2.4 GHz SSID {before['2.4GSSID']!r}")
    rc, out = t.ubus("call", "ac.set.config", "set_config", json.dumps({"config": NEW_SETTINGS}))
    if rc != 0 or out.strip():
        return False
    t.say("-> /tmp/group1.json: " + t.lab.world.read("/tmp/group1.json").strip())
    rc, out = t.ubus("call", "ac.exec.config", "exec_config", json.dumps({"iplist": [TARGET_IP]}))
    if rc != 0 or out.strip():
        return False
    time.sleep(0.5)  # the AP's push result arrives in the background
    rc, out = t.ubus("call", "ac.set.config", "pwd_status")
    if rc != 0 or json.loads(out)["apsStatus"] != [{"ip": TARGET_IP, "status": 0}]:
        return False
    t.say("-> each result is reported once:")
    rc, out = t.ubus("call", "ac.set.config", "pwd_status")
    if rc != 0 or json.loads(out)["apsStatus"] != []:
        return False
    rc, _ = t.ubus("call", "ac.get.apinfo", "ap_discover")
    time.sleep(1)
    t.say("$ ubus call ac.get.config get_config   (only the AP we changed shown)")
    after = _ap(t, TARGET_IP)
    if not after:
        return False
    t.say(f"-> after: {after['SystemName']!r}, 2.4 GHz SSID {after['2.4GSSID']!r}")
    return rc == 0 and after["SystemName"] == NEW_SETTINGS["SystemName"] and \
        after["2.4GSSID"] == NEW_SETTINGS["2.4GSSID"]


def step_export(t):
    """Export MAC, name and configured channels of two APs as CSV and read them back."""
    iplist = ["10.77.0.11", TARGET_IP]
    rc, out = t.ubus("call", "ac.get.config", "gen_export_config", json.dumps({"iplist": iplist}))
    if rc != 0 or out.strip():
        return False
    data = t.lab.world.read(CSV, binary=True)
    t.say(f"-> {CSV} (lines end in CR LF):")
    for line in data.decode(errors="replace").splitlines():
        t.say("   " + line)
    rc, out = t.ubus("call", "ac.get.config", "get_export_config")
    if rc != 0:
        return False
    devices = json.loads(out)["Device_List"]
    return data.count(b"\r\n") == 3 and [d.get("IPAddress") for d in devices] == iplist
