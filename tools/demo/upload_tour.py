"""Demo steps for uploads to APs and the file checks (used by demo.py).

step_upload offers a small firmware image to one simulated AP, which takes it
over TFTP, and shows the password and upload status records; step_config_check
checks a configuration file made with openssl, with the right and a wrong key.
"""
import json
import os
import subprocess
import time

TARGET_IP = "10.77.0.11"  # the demo's AP "lobby"
FIRMWARE = bytes(range(256)) * 64  # 16 KiB
KEY = "demo-key"


def _status(t, obj, method, args=None):
    """A check or status method's { "status" }, or None when the call failed."""
    rc, out = t.ubus("call", obj, method, json.dumps(args or {}))
    return json.loads(out)["status"] if rc == 0 and out.strip() else None


def step_upload(t):
    """Upload a firmware image to one AP: firmware, apfw_pwd_status, apfw_upload_status."""
    w = t.lab.world
    # The lab's TFTP client at the fixed path acd runs.
    w.install("/usr/bin/tftp-hpa", source="/usr/bin/tftp")
    w.write("/tmp/firmware.bin", FIRMWARE)
    t.say(f"-> /tmp/firmware.bin: {len(FIRMWARE)} bytes")
    rc, out = t.ubus("call", "ac.upgrade", "firmware", json.dumps({"iplist": [TARGET_IP], "password": "admin"}))
    if rc != 0 or out.strip():
        return False
    index = next(i for i, a in enumerate(t.lab.sim.list()) if a["ip"] == TARGET_IP)
    folder = t.lab.sim.call("uploads", ap=index)["tftp_dir"]
    stored = os.path.join(folder, "firmware.bin")
    end = time.monotonic() + 20
    while time.monotonic() < end and not (w.exists("/tmp/.firmware_status") and w.exists(stored)):
        time.sleep(0.2)
    got = w.read(stored, binary=True) if w.exists(stored) else b""
    t.say(f"-> the AP's TFTP server stored {stored}: {len(got)} bytes, "
          f"{'the same bytes' if got == FIRMWARE else 'DIFFERENT'}")
    t.say("-> /tmp/.pwd_status and /tmp/.firmware_status: "
          + " / ".join(repr(w.read(p, binary=True).rstrip(b"\0").decode())
                       for p in ("/tmp/.pwd_status", "/tmp/.firmware_status") if w.exists(p)))
    pwd = _status(t, "ac.apfw.check", "apfw_pwd_status", {"ip": TARGET_IP})
    up = _status(t, "ac.apfw.check", "apfw_upload_status", {"ip": TARGET_IP})
    t.say("-> 0 and 0: the AP accepted the password and the upload succeeded; asked again, -2 (reported once):")
    again = _status(t, "ac.apfw.check", "apfw_upload_status", {"ip": TARGET_IP})
    return got == FIRMWARE and (pwd, up, again) == (0, 0, -2)


def _encrypt(plain, key):
    """openssl enc with a salt, then Base64: the file a front end places. The salt
    is fixed so the demo gives the same result every time."""
    salt = "0011223344556677"
    enc = b"Salted__" + bytes.fromhex(salt) + subprocess.run(
        ["openssl", "enc", "-aes-256-cbc", "-S", salt, "-pass", "pass:" + key],
        input=plain, capture_output=True, check=True).stdout
    return subprocess.run(["openssl", "enc", "-base64"], input=enc, capture_output=True, check=True).stdout


def step_config_check(t):
    """Check a configuration file made with openssl: apcfg_valid_check, apcfg_enc_key_check."""
    w = t.lab.world
    data = _encrypt(b"settings archive of the APs\n" * 20, KEY)
    w.write("/tmp/config.bin", data)
    t.say(f"-> /tmp/config.bin: openssl enc -aes-256-cbc, Base64, key {KEY!r}; it begins "
          f"{data[:16].decode()!r}")
    valid = _status(t, "ac.apcfg.check", "apcfg_valid_check")
    right = _status(t, "ac.apcfg.check", "apcfg_enc_key_check", {"key": KEY})
    wrong = _status(t, "ac.apcfg.check", "apcfg_enc_key_check", {"key": "not-the-key"})
    t.say(f"-> valid {valid} (0: it looks encrypted), right key {right} (0), wrong key {wrong} (not 0)")
    return valid == 0 and right == 0 and wrong not in (0, None) and not w.exists("/tmp/.ckeck-key.tar.gz")


CHECKER = """#!/bin/sh
# The lab's firmware checker: accepts an image for model DEMO-AP only.
echo "checking $1 for model $2"
size=$(wc -c < "$1")
if [ "$2" = DEMO-AP ] && [ "$size" -gt 0 ]; then echo "image ok ($size bytes)"; exit 0; fi
echo "image is not for model $2" >&2
exit 3
"""


def step_apfw_check(t):
    """Check /tmp/firmware.bin with the outside checker through the process runner: apfw_check."""
    w = t.lab.world
    w.install("/usr/bin/apfw_check", CHECKER)
    if not w.exists("/tmp/firmware.bin"):
        w.write("/tmp/firmware.bin", FIRMWARE)
    t.say("-> /usr/bin/apfw_check is a small checker script; acd runs it without blocking and replies when it ends")
    results = []
    for model in ("DEMO-AP", "OTHER-AP"):
        rc, out = t.ubus("call", "ac.apfw.check", "apfw_check", json.dumps({"Model": model}))
        results.append(json.loads(out) if rc == 0 and out.strip() else None)
    good, bad = results
    return (good is not None and good.get("code") == 0 and "image ok" in good.get("stdout", "")
            and bad is not None and bad.get("code") == 3 and "not for model" in bad.get("stderr", ""))
