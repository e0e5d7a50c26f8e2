"""acd's statistics poll and reports at their bounds: silent APs do not hold up
the others, an answer over 1 MiB is dropped with a message naming the AP, and a
report too large for one bus message comes whole in several replies."""
import json
import os
import time
import unittest

from acd_world import AcdWorld, parse_replies
from apsim import ap_conf, ap_ip
from lab import run_tests, wait_for
from stats_data import MODES

POLL = 10


def listed(lab):
    """The APs that statistic lists with VAPs, by index in the reply."""
    r = lab.world.ubus("-S", "call", "ac.get.apinfo", "statistic")
    out = []
    for rep in parse_replies(r.stdout):
        out += rep["statistic"]
    return [i for i, s in enumerate(out) if s.get("radio2g")]


class SilentApsAndBigAnswers(unittest.TestCase):
    """40 APs that accept and never answer come first in the list; after them
    one AP answering normally and one whose answers are over 1 MiB."""

    def test_silent_aps_do_not_hold_the_window(self):
        silent = 40
        big = "x" * ((1 << 20) + 100)
        aps = [ap_conf(n, MODES, http={"mode": "never"}) for n in range(1, silent + 1)]
        aps.append(ap_conf(silent + 1, MODES))
        aps.append(ap_conf(silent + 2, MODES, http={"body": big}))
        with AcdWorld(aps=aps, log_limit=4) as lab:
            lab.wait_aps(silent + 2, timeout=20)
            base_fds = len(os.listdir(f"/proc/{lab.acd.pid}/fd"))
            # The good AP is stored in the first run although the window is
            # full of silent ones when its turn comes.
            wait_for(lambda: listed(lab) == [silent], POLL + 15, "the answering AP stored", interval=0.5)
            most = 0
            end = time.monotonic() + 3
            while time.monotonic() < end:
                most = max(most, len(os.listdir(f"/proc/{lab.acd.pid}/fd")))
                time.sleep(0.1)
            print(f"acd descriptors: {base_fds} before the first run, at most {most} while 40 APs are silent")
            self.assertLessEqual(most, base_fds + 32 + 128 + 2)
            # One message for each of the three answers of a run.
            line = f"Answer from {ap_ip(silent + 2)} over 1048576 bytes dropped\n"
            wait_for(lambda: lab.acd_err().count(line) >= 3, POLL + 10, "three messages")
            err = lab.acd_err()
            self.assertEqual({l + "\n" for l in err.splitlines() if l}, {line})


class ReportsInParts(unittest.TestCase):
    """Three APs of 3,000 VAPs each: the wlan_profile reply is over the bus's
    message limit and comes in parts; joined, the parts are the whole reply."""

    def test_big_reports_in_parts(self):
        # The sanitizer run takes fewer (its allocator copies every growing
        # buffer); the replies then fit one message.
        vaps = int(os.environ.get("APCTL_SCALE_VAPS", "3000"))
        aps = [ap_conf(n, MODES, vaps=vaps) for n in (1, 2, 3)]
        with AcdWorld(aps=aps, log_limit=4) as lab:
            lab.wait_aps(3)
            wait_for(lambda: listed(lab) == [0, 1, 2], POLL + 15, "three APs stored", interval=0.5)
            # `ubus -S` prints each reply on a line of its own, the unnamed
            # profile tables without names: {{...},{...}}.
            r = lab.world.ubus("-S", "call", "ac.get.apinfo", "wlan_profile")
            self.assertEqual(r.returncode, 0)
            lines = r.stdout.splitlines()
            if vaps >= 3000:
                self.assertGreaterEqual(len(lines), 2, "over the limit: several replies")
            dec = json.JSONDecoder(object_pairs_hook=list)
            tables = [t for line in lines for t in dec.decode("[" + line[1:-1] + "]")]
            self.assertEqual(len(tables), 3, "one profile table per AP, none lost or cut")
            self.assertEqual([sum(1 for k, _ in t if k.startswith("config")) for t in tables],
                             [vaps] * 3)
            for method, key, count in (("sta_statistic", "Clients", 3 * vaps), ("statistic", "statistic", 3)):
                rc, replies = lab.call("ac.get.apinfo", method)
                self.assertEqual(rc, 0)
                self.assertEqual(sum(len(r[key]) for r in replies), count, method)
            self.assertEqual(len(lab.device_list()), 3)
            self.assertEqual(lab.acd_err(), "")


if __name__ == "__main__":
    run_tests()
