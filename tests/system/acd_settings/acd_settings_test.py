"""Settings document, settings push with push results, and the CSV export of acd,
against simulated APs."""
import json
import os
import time
import unittest

from acd_world import AcdWorld, pairs_to_dict
from apsim import ap_conf, ap_mac, ap_ip
from lab import run_tests, wait_for

DOC = "/tmp/group1.json"
CSV = "/tmp/cfg.csv"
HEADER = b"MAC Address,System Name(Location),2.4G Channel,5G Channel\r\n"
INVALID_ARGUMENT = 256 - 2  # how the ubus command line exits on status 2
MASK_CLEAR = "00810014" + "00" * 16
# Rows of the hand-placed export file. Up to 50,000 the whole table fits in the
# reply (in several parts from 10,000 on); the default is far beyond the limit.
# Slow builds set fewer: every row grows the reply, which the sanitizer's
# allocator copies each time.
CSV_ROWS = int(os.environ.get("APCTL_CSV_ROWS", "100000"))

# Three APs: 10.77.0.11, 10.77.0.12 and 10.77.0.116 (MAC 02:00:00:00:00:6a). An
# element 10.77.0.116 begins with 10.77.0.11, so selecting by prefix would pick
# AP 1 as well.
A1, A2, A106 = 1, 2, 106
INDEX = {A1: 0, A2: 1, A106: 2}


def three_aps():
    return [ap_conf(A1),
            ap_conf(A2, {"2.4GChannel_set": 6, "5GChannel_set": 149, "SystemName": "hall"}),
            ap_conf(A106, {"2.4GChannel_set": 11, "5GChannel_set": 36,
                           "SystemName": "roof-terrace-north-x"})]  # 20 characters: 19 stored


def mac_csv(n):
    return ap_mac(n).replace(":", "-").upper()


def push_hex(ac_mac, n, seq, data):
    """A whole settings push to AP n."""
    return ("0002" "0000" + ap_mac(n).replace(":", "") + "0006" "0003" "0000" "01945ae0"
            + ac_mac.replace(":", "") + "%04x" % seq + "00" * 12 + data)


def text_tlv(t, s):
    return "%04x%04x" % (t, len(s) + 4) + s.encode().hex()


def mask_tlv(w0, w1):
    return "00810014" + "%08x%08x" % (w0, w1) + "00" * 8


class SettingsWorld(AcdWorld):
    def __init__(self):
        super().__init__(aps=three_aps())

    def __enter__(self):
        super().__enter__()
        self.wait_aps(3)
        return self

    def status(self, obj, method, args=None):
        """(status, replies) of a call: 0 and the replies, or the failure's status."""
        rc, replies = self.call(obj, method, args)
        return (256 - rc if rc else 0), replies

    def set_config(self, config):
        return self.status("ac.set.config", "set_config", {"config": config})

    def exec_config(self, iplist):
        return self.status("ac.exec.config", "exec_config", {"iplist": iplist})

    def pwd_status(self):
        rc, replies = self.call("ac.set.config", "pwd_status", ordered=True)
        assert rc == 0 and len(replies) == 1 and replies[0][0][0] == "apsStatus", (rc, replies)
        entries = replies[0][0][1]
        assert all([k for k, _ in e] == ["ip", "status"] for e in entries), entries
        return [pairs_to_dict(e) for e in entries]

    def pushes(self, n):
        return self.sim.call("pushes", ap=INDEX[n], clear=False)["pushes"]

    def wait_pushes(self, counts):
        """Waits until each AP n has taken counts[n] pushes; returns them."""
        got = {}

        def check():
            for n in counts:
                got[n] = self.pushes(n)
            return all(len(got[n]) >= c for n, c in counts.items())
        wait_for(check, 5, f"pushes {counts}")
        return got

    def wait_results(self, *ns, count=1):
        """Waits until acd has heard count more push results from each AP n
        (each prints one "recv 48 data" line)."""
        def check():
            out = self.acd_out()
            return all(out.count(f"recv 48 data from {ap_ip(n)} \n") >= count for n in ns)
        wait_for(check, 5, f"push results from {ns}")

    def reset_logs(self):
        self.sim.clear_log()
        for n in INDEX:
            self.sim.call("pushes", ap=INDEX[n], clear=True)


class SettingsPush(unittest.TestCase):
    def test_push_to_two_of_three_results_reported_once(self):
        with SettingsWorld() as lab:
            ac = lab.lan_mac()
            lab.sim.set(INDEX[A2], push_status=7)
            self.assertEqual(lab.set_config({"SystemName": "lobby", "2.4GSSID": "guest"}), (0, []))
            self.assertEqual(json.loads(lab.world.read(DOC)), {"SystemName": "lobby", "2.4GSSID": "guest"})
            self.assertEqual(lab.pwd_status(), [])

            lab.reset_logs()
            # Exact addresses only; unknown addresses and non-strings select nothing.
            self.assertEqual(lab.exec_config(["10.77.0.116", "10.77.0.12", "10.77.0.99", "10.77.0.1", 11]),
                             (0, []))
            got = lab.wait_pushes({A106: 2, A2: 2})
            time.sleep(0.3)  # anything stray would have arrived by now
            self.assertEqual(lab.pushes(A1), [])
            for n in (A106, A2):
                self.assertEqual(sorted(p["via"] for p in lab.pushes(n)), ["multicast", "unicast"], n)
            seq = {n: got[n][0]["seq"] for n in (A106, A2)}
            self.assertEqual(got[A106][1]["seq"], seq[A106])
            self.assertEqual(got[A2][1]["seq"], seq[A2])
            self.assertNotEqual(seq[A2], seq[A106])
            if seq[A106] != 0xFFFF:  # (the counter is reseeded from the clock after 0xFFFF)
                self.assertEqual(seq[A2], seq[A106] + 1)  # the iplist's order
            # Four datagrams on the wire, each the golden bytes.
            data = text_tlv(2, "lobby") + text_tlv(101, "guest") + mask_tlv(0x2, 0x4)
            seen = set()
            for n in INDEX:
                for e in lab.sim.log(INDEX[n]):
                    if e["parsed"] and e["hdr"]["type"] == 3:
                        seen.add((e["via"], e["dst"], e["raw"]))
            want = set()
            for n in (A106, A2):
                raw = push_hex(ac, n, seq[n], data)
                want |= {("multicast", "239.255.255.100", raw), ("unicast", ap_ip(n), raw)}
            self.assertEqual(seen, want)
            # AP 1 heard the multicast copies for the others, nothing for itself.
            for e in lab.sim.log(INDEX[A1]):
                if e["parsed"] and e["hdr"]["type"] == 3:
                    self.assertEqual(e["via"], "multicast")
                    self.assertNotEqual(e["hdr"]["ap_mac"], ap_mac(A1))

            # Each result once, then nothing new.
            lab.wait_results(A106, A2)
            self.assertEqual(sorted(lab.pwd_status(), key=lambda e: e["ip"]),
                             [{"ip": "10.77.0.116", "status": 0}, {"ip": "10.77.0.12", "status": 7}])
            self.assertEqual(lab.pwd_status(), [])
            # A new answer makes the entry reportable again, with its latest status.
            lab.sim.set(INDEX[A2], push_status=0)
            self.assertEqual(lab.exec_config(["10.77.0.12"]), (0, []))
            lab.wait_results(A2, count=2)
            self.assertEqual(lab.pwd_status(), [{"ip": "10.77.0.12", "status": 0}])
            self.assertEqual(lab.pwd_status(), [])

            # The APs took the settings: their next responses show them.
            lab.call("ac.get.apinfo", "ap_discover")
            names = {}

            def renamed():
                names.clear()
                names.update({d["IPAddress"]: (d["SystemName"], d["2.4GSSID"]) for d in lab.device_list()})
                return all(names.get(ip, ("",))[0] == "lobby" for ip in ("10.77.0.12", "10.77.0.116"))
            wait_for(renamed, 5, "renamed APs in get_config")
            self.assertEqual(names, {"10.77.0.11": ("ap-1", "apsim-1"), "10.77.0.12": ("lobby", "guest"),
                                     "10.77.0.116": ("lobby", "guest")})

    def test_document_edge_cases(self):
        with SettingsWorld() as lab:
            ac = lab.lan_mac()
            self.assertEqual(lab.set_config({"SystemName": "first", "2.4GSSID": "x"}), (0, []))
            # A missing or mistyped "config" leaves the document alone.
            self.assertEqual(lab.status("ac.set.config", "set_config", {}), (2, []))
            self.assertEqual(lab.status("ac.set.config", "set_config", {"config": "SystemName"}), (2, []))
            self.assertEqual(json.loads(lab.world.read(DOC)), {"SystemName": "first", "2.4GSSID": "x"})
            # A second document replaces the first whole.
            self.assertEqual(lab.set_config({"5GSSID": "y"}), (0, []))
            self.assertEqual(json.loads(lab.world.read(DOC)), {"5GSSID": "y"})
            self.assertEqual(lab.set_config({}), (0, []))
            self.assertEqual(json.loads(lab.world.read(DOC)), {})

            def one_push(doc):
                """Pushes to AP 2 and returns the data part it received."""
                lab.reset_logs()
                if doc is None:
                    lab.world.remove(DOC)
                else:
                    self.assertEqual(lab.set_config(doc), (0, []))
                self.assertEqual(lab.exec_config(["10.77.0.12"]), (0, []))
                p = lab.wait_pushes({A2: 1})[A2][0]
                raw = [e["raw"] for e in lab.sim.log(INDEX[A2]) if e["parsed"] and e["hdr"]["type"] == 3][0]
                head = push_hex(ac, A2, p["seq"], "")
                self.assertTrue(raw.startswith(head))
                return raw[len(head):]

            # Empty and missing documents: the mask alone, all bits clear.
            self.assertEqual(one_push({}), MASK_CLEAR)
            self.assertEqual(one_push(None), MASK_CLEAR)
            lab.world.write(DOC, "{not json")
            lab.reset_logs()
            self.assertEqual(lab.exec_config(["10.77.0.12"]), (0, []))
            self.assertEqual(lab.wait_pushes({A2: 1})[A2][0]["tlvs"],
                             [{"type": 129, "len": 16, "value": "00" * 16}])

            # Unknown names are reported and left out; numbers and booleans
            # travel as their decimal text; other non-strings are left out.
            err_before = len(lab.acd_err())
            data = one_push({"Bogus": "1", "2.4GChannel_set": 300, "2.4GEnabled": True, "VLANID": "4094",
                             "Password": "pw",
                             "IPAddress": "not-a-number", "2.4GRadiusPort": "1645", "5GSSID": None,
                             "5GKey": ["k"], "NTPInfo": {"a": "b"}, "5GChannel_set": 1.5})
            self.assertEqual(data, "00680005" "2c" "00640005" "01" "002b0006" "0ffe" "00090006" "7077"
                                   "00040008" "ffffffff" "00700006" "066d" + mask_tlv(0x10a, 0x14))
            err = lab.acd_err()[err_before:]
            for line in ("unknown config name : Bogus \n", "config value not a string : 5GSSID \n",
                         "config value not a string : 5GKey \n", "config value not a string : NTPInfo \n",
                         "config value not a string : 5GChannel_set \n"):
                self.assertIn(line, err)
            # The simulated AP took what it understands, but kept its address.
            self.assertEqual(lab.pushes(A2)[0]["applied"],
                             ["2.4GChannel_set", "2.4GEnabled", "VLANID", "Password", "2.4GRadiusPort"])

            # A missing or mistyped "iplist" sends nothing.
            lab.reset_logs()
            self.assertEqual(lab.status("ac.exec.config", "exec_config", {}), (2, []))
            self.assertEqual(lab.status("ac.exec.config", "exec_config", {"iplist": "10.77.0.12"}), (2, []))
            time.sleep(0.3)
            for n in INDEX:
                self.assertEqual([e for e in lab.sim.log(INDEX[n]) if e.get("hdr", {}).get("type") == 3], [])


class Export(unittest.TestCase):
    def test_export_and_read_back(self):
        with SettingsWorld() as lab:
            row2 = f"{mac_csv(A2)},hall,6,149\r\n".encode()
            row106 = f"{mac_csv(A106)},roof-terrace-north-,11,36\r\n".encode()
            # Exact addresses; a name listed twice gives its row twice.
            iplist = ["10.77.0.12", "10.77.0.116", 7, "10.77.0.99", "10.77.0.12"]
            self.assertEqual(lab.status("ac.get.config", "gen_export_config", {"iplist": iplist}), (0, []))
            self.assertEqual(lab.world.read(CSV, binary=True), HEADER + row2 + row106 + row2)

            rc, replies = lab.call("ac.get.config", "get_export_config", ordered=True)
            self.assertEqual(rc, 0)
            entry2 = {"MACAddress": mac_csv(A2), "SystemName": "hall", "2.4GChannel_set": "6",
                      "5GChannel_set": "149", "IPAddress": "10.77.0.12"}
            entry106 = {"MACAddress": mac_csv(A106), "SystemName": "roof-terrace-north-",
                        "2.4GChannel_set": "11", "5GChannel_set": "36", "IPAddress": "10.77.0.116"}
            # Members in this order, channels as text.
            ordered = [list(e.items()) for e in (entry2, entry106, entry2)]
            self.assertEqual(replies, [[("Device_List", ordered)]])

            self.assertEqual(lab.status("ac.get.config", "gen_export_config", {"iplist": []}), (0, []))
            self.assertEqual(lab.world.read(CSV, binary=True), HEADER)
            self.assertEqual(lab.call("ac.get.config", "get_export_config"), (0, [{"Device_List": []}]))
            # A missing "iplist" leaves the file alone.
            self.assertEqual(lab.status("ac.get.config", "gen_export_config", {}), (2, []))
            self.assertEqual(lab.world.read(CSV, binary=True), HEADER)

    def test_edited_file(self):
        with SettingsWorld() as lab:
            lines = [
                HEADER,
                f"{mac_csv(A2)},hall,east,6,36\r\n".encode(),        # a comma in the name shifts the columns
                f"{mac_csv(A106).lower()},roof,6,36\r\n".encode(),   # lowercase MAC: no address
                f"{mac_csv(A106)},,6,36\r\n".encode(),               # empty column: skipped
                b",roof,6,36\r\n",                                    # empty first column: skipped
                f"{mac_csv(A106)},roof,6\r\n".encode(),              # three columns: skipped
                b"02-00-00-00-00-63,gone,1,2 3\r\n",                  # unknown AP; 5 GHz cut at the blank
                b"MAC Address,again,1,2\r\n",                         # a header by its first column
                b"x" * 40 + b"," + b"n" * 40 + b",123456789,abcdefghij\r\n",  # long columns are cut
                b"A" * 200 + b"\r\n",                                 # longer than a line: read in pieces
                b"tail,t,1,2",                                        # no line end at the end
            ]
            lab.world.write(CSV, b"".join(lines))
            rc, replies = lab.call("ac.get.config", "get_export_config")
            self.assertEqual(rc, 0)

            def entry(mac, name, c24, c5, ip=None):
                e = {"MACAddress": mac, "SystemName": name, "2.4GChannel_set": c24, "5GChannel_set": c5}
                if ip:
                    e["IPAddress"] = ip
                return e
            self.assertEqual(replies, [{"Device_List": [
                entry(mac_csv(A2), "hall", "east", "6,36", "10.77.0.12"),
                entry(mac_csv(A106).lower(), "roof", "6", "36"),
                entry("02-00-00-00-00-63", "gone", "1", "2"),
                entry("x" * 31, "n" * 31, "1234567", "abcdefg"),
                entry("tail", "t", "1", "2"),
            ]}])

            # No file: no reply at all.
            lab.world.remove(CSV)
            r = lab.world.ubus("call", "ac.get.config", "get_export_config")
            self.assertEqual((r.returncode, r.stdout), (0, ""))
            # A file that cannot be created: nothing written, still status 0.
            lab.world.run(["mkdir", CSV], check=True)
            self.assertEqual(lab.status("ac.get.config", "gen_export_config", {"iplist": ["10.77.0.12"]}),
                             (0, []))

    def test_huge_file_is_cut(self):
        with SettingsWorld() as lab:
            # Far more rows than any LAN has APs: the reply stops at its limit
            # (it comes in several parts) and says so, and acd keeps serving.
            rows = b"".join(b"02-00-00-00-%02X-%02X,name-of-ap,6,36\r\n" % (i >> 8 & 255, i & 255)
                            for i in range(CSV_ROWS))
            lab.world.write(CSV, rows)
            rc, replies = lab.call("ac.get.config", "get_export_config", timeout=60)
            self.assertEqual(rc, 0)
            got = [e for r in replies for e in r["Device_List"]]
            if CSV_ROWS >= 10000:
                self.assertGreater(len(replies), 1)
            row = {"SystemName": "name-of-ap", "2.4GChannel_set": "6", "5GChannel_set": "36"}
            self.assertEqual(got[:2], [dict(row, MACAddress="02-00-00-00-00-00"),
                                       dict(row, MACAddress=mac_csv(A1), IPAddress="10.77.0.11")])
            cut = "cfg.csv too large, remaining rows left out \n"
            if CSV_ROWS > 50000:
                self.assertTrue(50000 < len(got) < CSV_ROWS, len(got))
                self.assertIn(cut, lab.acd_err())
            else:
                self.assertEqual(len(got), CSV_ROWS)
                self.assertNotIn(cut, lab.acd_err())
            lab.wait_aps(3)


if __name__ == "__main__":
    run_tests()
