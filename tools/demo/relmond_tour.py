"""The firmware update tour: an update server in the lab offers new firmware,
relmond checks it, reports it, downloads it in the background and validates it.

    from relmond_tour import tour_relmond
    with World() as w:
        tour_relmond(w)
"""
import os
import sys
import time

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
for _p in ("tests/lab", "tests/system/relmond"):
    _p = os.path.join(_ROOT, _p)
    if _p not in sys.path:
        sys.path.insert(0, _p)

from relmond_world import RelmondWorld  # noqa: E402

FIRMWARE_SIZE = 768 * 1024


def tour_relmond(world, say=print, server_place=None, bind="127.0.0.1", port=8000, timeout=90):
    """Runs the tour in a lab World; returns True when the download validated OK.
    server_place/bind: a lab Host and its address to run the update server on
    (default: the world's own loopback)."""
    rw = RelmondWorld(world, port=port, bind=bind, server_place=server_place)
    rw.config(info_url=rw.base + "info.txt", timeout=5, upgrade_fw_cmd="/tmp/bin/fake-upgrade")
    rw.system_info(model="AB-12", build="1.0b3", date="2024-01-01")
    rw.installed("1.0.0\n")
    firmware = bytes((i * 31 + (i >> 9)) & 0xFF for i in range(FIRMWARE_SIZE))
    rw.offer(fw_name="AB12_FW11.bin", fw=firmware, version="1.1.0", date="2024-06-01",
             notes="- faster AP discovery\n- fixes the statistics poll\n")
    rw.slow("AB12_FW11.bin", 192 * 1024)  # slow enough to watch the progress
    say(f"== relmond: update server at {rw.base} offers AB12_FW11.bin (version 1.1.0)")

    def run(*args):
        r = rw.relmond(*args)
        say(f"$ relmond {' '.join(args)}")
        for text in (r.out, r.err):
            if text:
                say(text.rstrip("\n"))
        if r.code:
            say(f"(exit status {r.code})")
        return r

    run("local", "info")
    if run("remote", "check").code != 0:
        return False
    run("remote", "info")
    if run("remote", "get_fw", "start").code != 0:
        return False
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        r = run("remote", "get_fw", "status")
        if "FW Validation: " in r.out:
            return "FW Validation: OK" in r.out
        time.sleep(1)
    say("the download did not finish in time")
    return False


if __name__ == "__main__":
    from lab import World
    with World() as w:
        sys.exit(0 if tour_relmond(w) else 1)
