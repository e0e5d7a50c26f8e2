"""acd's statistics poll against simulated APs: the requests on the wire, the
report methods' replies, answers the APs get wrong, and the bound on open
exchanges with an AP that never answers."""
import json
import os
import time
import unittest

from acd_world import AcdWorld
from apsim import ap_conf, ap_ip
from lab import run_tests, wait_for
from stats_data import (MODES, ap_data, compact, expected_radios, expected_sta_statistic,
                        expected_statistic, expected_wlan_profile_text, expected_wlan_statistic_text,
                        rpc_conf)

POLL = 10  # seconds between poll runs
KEY = "0" * 32

# get_config's members before the radios, in order.
CONFIG_NAMES = [
    "UbootMode", "ProductName", "NTPInfo", "IPMode", "IPAddress", "SubnetMask", "Gateway", "PriDNS",
    "SecDNS", "MACAddress", "Version", "SystemName", "VLANID", "Status", "Password", "EncryptKey",
    "WifiBandSteer", "2.4G802.11Mode", "2.4GRadiusIp", "2.4GRadiusPort", "2.4GSharedSecret",
    "2.4GChannel", "2.4GChannel_set", "2.4GChannel_Width", "2.4GVLANID", "2.4GIsolation",
    "2.4GEnabled", "2.4GVisible", "2.4GSSID", "2.4GSecurity", "2.4GKey", "2.4GBandwidth_Control",
    "2.4GRSSI_Scanner", "2.4GTransmit_Power", "5G802.11Mode", "5GRadiusIp", "5GRadiusPort",
    "5GSharedSecret", "5GChannel", "5GChannel_set", "5GChannel_Width", "5GVLANID", "5GIsolation",
    "5GEnabled", "5GVisible", "5GSSID", "5GSecurity", "5GKey", "5GBandwidth_Control",
    "5GRSSI_Scanner", "5GTransmit_Power", "WifiBand", "WifiRoaming",
]


def call_s(lab, obj, method):
    """`ubus -S call`: (exit status, compact output)."""
    r = lab.world.ubus("-S", "call", obj, method)
    return r.returncode, r.stdout.strip()


def report(lab, method):
    rc, out = call_s(lab, "ac.get.apinfo", method)
    assert rc == 0, (method, rc)
    return out


def http_stats(lab, i):
    return lab.sim.call("http_stats", ap=i)["aps"][0]


def requests(lab, i):
    return http_stats(lab, i)["requests"]


def wait_poll_done(lab, aps, before, timeout=2 * POLL + 5):
    """Waits until each AP index in aps got three more requests than before[i]
    (one poll run), then a moment for the answers to be handled; returns how
    many whole runs each AP saw."""
    wait_for(lambda: all(requests(lab, i) >= before[i] + 3 for i in aps), timeout, "a poll run")
    time.sleep(1)
    return {i: (requests(lab, i) - before[i]) // 3 for i in aps}


def acd_fds(lab):
    return len(os.listdir(f"/proc/{lab.acd.pid}/fd"))


def body(id_, method):
    return compact({"jsonrpc": "2.0", "id": id_, "method": method, "params": [KEY]})


class ReportsAndBounds(unittest.TestCase):
    """Two APs with two VAPs each; AP 2 answers in chunked coding."""

    def test_poll_reports_and_bounds(self):
        data = {1: ap_data(1, clients=(2, 1)), 2: ap_data(2, clients=(1, 0))}
        aps = [ap_conf(1, MODES, rpc=rpc_conf(data[1])),
               ap_conf(2, MODES, rpc=rpc_conf(data[2]), http={"framing": "chunked"})]
        with AcdWorld(aps=aps) as lab:
            lab.wait_aps(2)
            # Before the first poll run the stored answers are empty.
            self.assertEqual(report(lab, "statistic"), '{"statistic":[{},{}]}')
            self.assertEqual(report(lab, "sta_statistic"), '{"Clients":[]}')
            self.assertEqual(report(lab, "wlan_profile"), "{}")
            self.assertEqual(report(lab, "wlan_statistic"), "{}")
            wait_poll_done(lab, (0, 1), {0: 0, 1: 0})

            with self.subTest("request bytes"):
                log = lab.sim.call("http_log", ap=0)["log"]
                self.assertGreaterEqual(len(log), 3)
                for e, (id_, method, path) in zip(log, [(104, "wlan_profile", "/nox/profile.cgi"),
                                                        (108, "wlan_statistic", "/nox/nox_info.cgi"),
                                                        (109, "sta_statistic", "/nox/nox_info.cgi")]):
                    b = body(id_, method)
                    self.assertEqual(e["head"], f"POST {path} HTTP/1.1\r\nHost: {ap_ip(1)}\r\n"
                                     f"Content-Type: application/json\r\nContent-Length: {len(b)}\r\n\r\n")
                    self.assertEqual(e["body"], b)
                    self.assertEqual(e["after"], "\r\n")
                    self.assertTrue(e["peer"].startswith("10.77.0.1:"))

            both = [(1, data[1]), (2, data[2])]
            with self.subTest("statistic"):
                self.assertEqual(report(lab, "statistic"), compact(expected_statistic(both)))
            with self.subTest("sta_statistic"):
                self.assertEqual(report(lab, "sta_statistic"), compact(expected_sta_statistic(both)))
            with self.subTest("wlan_profile"):
                self.assertEqual(report(lab, "wlan_profile"), expected_wlan_profile_text(both))
            with self.subTest("wlan_statistic"):
                self.assertEqual(report(lab, "wlan_statistic"), expected_wlan_statistic_text(both))
            with self.subTest("wlan_info"):
                rc, out = call_s(lab, "ac.get.apinfo", "wlan_info")
                self.assertEqual((rc, out), (0, ""))
            with self.subTest("get_config"):
                rc, out = call_s(lab, "ac.get.config", "get_config")
                self.assertEqual(rc, 0)
                devices = json.loads(out)["Device_List"]
                self.assertEqual(len(devices), 2)
                for n, dev in zip((1, 2), devices):
                    self.assertEqual(list(dev), CONFIG_NAMES + ["radio2g", "radio5g"])
                    self.assertEqual(compact({"radio2g": dev["radio2g"], "radio5g": dev["radio5g"]}),
                                     compact(expected_radios(n, data[n])))
                    self.assertEqual(dev["IPAddress"], ap_ip(n))
            self.assertEqual(lab.acd_err(), "")

            # AP 1 now accepts connections and never answers; AP 2 moves to
            # another address, so the one acd knows is unreachable. Both keep their
            # last answers, and exchanges with AP 1 stay bounded.
            statistic = report(lab, "statistic")
            clients = report(lab, "sta_statistic")
            base_fds = acd_fds(lab)
            before = {0: requests(lab, 0), 1: requests(lab, 1)}
            lab.sim.call("http", ap=0, mode="never")
            lab.sim.set(1, ip="10.77.0.99/24")
            max_open, max_fds = 0, 0
            end = time.monotonic() + 4 * POLL + 5
            while time.monotonic() < end:
                max_open = max(max_open, http_stats(lab, 0)["open"])
                max_fds = max(max_fds, acd_fds(lab))
                time.sleep(0.5)
            runs = (requests(lab, 0) - before[0]) // 3
            print(f"never-answering AP: {runs} poll runs, at most {max_open} open exchanges, "
                  f"acd fds {base_fds} between polls, at most {max_fds}")
            self.assertGreaterEqual(runs, 2, "exchanges that timed out are asked again")
            self.assertLessEqual(max_open, 3)
            self.assertLessEqual(max_fds, base_fds + 3 + 3)
            self.assertEqual(requests(lab, 1), before[1], "nothing reaches AP 2")
            self.assertEqual(report(lab, "statistic"), statistic)
            self.assertEqual(report(lab, "sta_statistic"), clients)
            err = lab.acd_err()
            self.assertIn("Connection error: Connection failed\n", err)
            self.assertEqual(set(l for l in err.splitlines() if l), {"Connection error: Connection failed"})

            # all_clear drops the APs with their answers and their view.
            rc, out = call_s(lab, "ac.get.apinfo", "all_clear")
            self.assertEqual((rc, out), (0, ""))
            self.assertEqual(report(lab, "statistic"), '{"statistic":[]}')
            self.assertEqual(report(lab, "sta_statistic"), '{"Clients":[]}')
            self.assertEqual(report(lab, "wlan_profile"), "{}")
            self.assertEqual(report(lab, "wlan_statistic"), "{}")
            self.assertEqual(call_s(lab, "ac.get.config", "get_config"), (0, '{"Device_List":[]}'))


class AnswersGoneWrong(unittest.TestCase):
    """One poll run with good answers, then one with each AP misbehaving its own way."""

    CASES = [
        # (switches, its messages per poll run, whether its reports change)
        ({"status_element": 1}, [("out", "status is erro  \n", 2)], False),
        ({"status_element": "busy"}, [], True),
        ({"jsonrpc": "1.0"}, [("err", "parse josn rpc error 1 \n", 3)], False),
        ({"id": 110}, [("err", "parse josn rpc error 1 \n", 3)], False),
        ({"id": "108"}, [("err", "parse josn rpc error 1 \n", 3)], False),
        ({"body": "<html>busy</html>"}, [], False),
        ({"status": 500}, [("err", "HTTP error 500\n", 3)], True),
        ({"mode": "close_early"}, [("err", "Connection reset prematurely\n", 3)], False),
        ({"framing": "close"}, [("err", "Connection reset prematurely\n", 3)], False),
        ({"delay_ms": 400, "framing": "chunked"}, [], True),
        ({"listen": False}, [("err", "Connection error: Connection failed\n", 3)], False),
        ({"redirect": "/cgi-bin/moved"}, [("err", "Redirected to /cgi-bin/moved on {ip}\n", 3)], True),
    ]

    def test_answers_gone_wrong(self):
        n_aps = len(self.CASES)
        first = {n: ap_data(n) for n in range(1, n_aps + 1)}
        second = {n: ap_data(n, base=90000 + n) for n in range(1, n_aps + 1)}
        aps = [ap_conf(n, MODES, rpc=rpc_conf(first[n])) for n in range(1, n_aps + 1)]
        with AcdWorld(aps=aps) as lab:
            lab.wait_aps(n_aps)
            idx = list(range(n_aps))
            wait_poll_done(lab, idx, {i: 0 for i in idx})
            self.assertEqual(report(lab, "statistic"),
                             compact(expected_statistic([(n, first[n]) for n in first])))
            out0, err0 = len(lab.acd_out()), len(lab.acd_err())
            self.assertEqual(lab.acd_err(), "")

            before = {i: requests(lab, i) for i in idx}
            for i, (switches, _, _) in enumerate(self.CASES):
                lab.sim.call("rpc", ap=i, **rpc_conf(second[i + 1]))
                lab.sim.call("http", ap=i, **switches)
            # The refusing AP gets no requests, the redirecting one two for each:
            # count poll runs on the others.
            counted = [i for i, c in enumerate(self.CASES)
                       if c[0].get("listen", True) and "redirect" not in c[0]]
            runs = wait_poll_done(lab, counted, before)
            refused_runs = min(runs.values())

            want = {}
            for i, (_, msgs, _) in enumerate(self.CASES):
                for stream, text, per_run in msgs:
                    text = text.format(ip=ap_ip(i + 1))
                    want[(stream, text)] = want.get((stream, text), 0) + per_run * runs.get(i, refused_runs)
            out, err = lab.acd_out()[out0:], lab.acd_err()[err0:]
            for (stream, text), count in want.items():
                got = (out if stream == "out" else err).count(text)
                self.assertEqual(got, count, f"{text!r} on std{stream}")
            known = {t for (s, t) in want if s == "err"}
            self.assertEqual([l for l in err.splitlines(keepends=True) if l not in known], [])

            expect = [(n, second[n] if self.CASES[n - 1][2] else first[n]) for n in first]
            self.assertEqual(report(lab, "statistic"), compact(expected_statistic(expect)))
            self.assertEqual(report(lab, "sta_statistic"), compact(expected_sta_statistic(expect)))


if __name__ == "__main__":
    run_tests()
