"""acd start-up, discovery, the AP list and its ubus surface, against simulated APs."""
import json
import socket
import sys
import time
import unittest

from acd_world import AcdWorld, pairs_to_dict
from apsim import ap_conf, ap_mac, ap_ip
from lab import World, build_path, run_tests, wait_for

# get_config's members of one AP, in order, with their types and where the value
# comes from: (member, type, settings key or None for a computed value).
CONFIG_MEMBERS = [
    ("UbootMode", int), ("ProductName", str), ("NTPInfo", str), ("IPMode", int),
    ("IPAddress", str), ("SubnetMask", str), ("Gateway", str), ("PriDNS", str), ("SecDNS", str),
    ("MACAddress", str), ("Version", str), ("SystemName", str), ("VLANID", int), ("Status", str),
    ("Password", str), ("EncryptKey", str), ("WifiBandSteer", int),
    ("2.4G802.11Mode", str), ("2.4GRadiusIp", str), ("2.4GRadiusPort", int),
    ("2.4GSharedSecret", str), ("2.4GChannel", int), ("2.4GChannel_set", int),
    ("2.4GChannel_Width", str), ("2.4GVLANID", int), ("2.4GIsolation", int), ("2.4GEnabled", int),
    ("2.4GVisible", int), ("2.4GSSID", str), ("2.4GSecurity", str), ("2.4GKey", str),
    ("2.4GBandwidth_Control", str), ("2.4GRSSI_Scanner", str), ("2.4GTransmit_Power", int),
    ("5G802.11Mode", str), ("5GRadiusIp", str), ("5GRadiusPort", int), ("5GSharedSecret", str),
    ("5GChannel", int), ("5GChannel_set", int), ("5GChannel_Width", str), ("5GVLANID", int),
    ("5GIsolation", int), ("5GEnabled", int), ("5GVisible", int), ("5GSSID", str),
    ("5GSecurity", str), ("5GKey", str), ("5GBandwidth_Control", str), ("5GRSSI_Scanner", str),
    ("5GTransmit_Power", int), ("WifiBand", str), ("WifiRoaming", int),
]

# Every settings key with a value, so each member shows something of its own.
FULL_SETTINGS = {
    "ProductName": "AX-3000-PRO-ABCDEFGHIJ",  # 22 characters: cut to 19
    "NTPInfo": "pool.ntp", "IPMode": 1, "SubnetMask": "255.255.255.0", "Gateway": "10.77.0.1",
    "PriDNS": "10.77.0.2", "SecDNS": "10.77.0.3", "Version": "3.4.5-rc1", "SystemName": "hall",
    "VLANID": 100, "WifiBandSteer": 1,
    "2.4G802.11Mode": "11bgn", "2.4GRadiusIp": "10.77.0.5", "2.4GRadiusPort": 1645,
    "2.4GSharedSecret": "s3cret", "2.4GChannel": 11, "2.4GChannel_set": 1,
    "2.4GChannel_Width": "HT40", "2.4GVLANID": 10, "2.4GIsolation": 1, "2.4GEnabled": 1,
    "2.4GVisible": 1, "2.4GSSID": "hall-24", "2.4GSecurity": "WPA2-PSK", "2.4GKey": "key24",
    "2.4GBandwidth_Control": "10M", "2.4GRSSI_Scanner": "-70", "2.4GTransmit_Power": 20,
    "5G802.11Mode": "11ac", "5GRadiusIp": "10.77.0.6", "5GRadiusPort": 1812,
    "5GSharedSecret": "t0p", "5GChannel": 149, "5GChannel_set": 2, "5GChannel_Width": "VHT80",
    "5GVLANID": 20, "5GIsolation": 0, "5GEnabled": 1, "5GVisible": 0, "5GSSID": "hall-5",
    "5GSecurity": "WPA3-SAE", "5GKey": "key5", "5GBandwidth_Control": "20M",
    "5GRSSI_Scanner": "-75", "5GTransmit_Power": 23, "WifiBand": "dual", "WifiRoaming": 1,
    # stored but never shown, and types the controller skips
    "7": 5, "129": "mask-as-text", "200": {"hex": "0102"},
}


def expected_config(n, settings, boot=False):
    """The get_config table the controller should show for simulated AP n."""
    exp = {}
    for name, typ in CONFIG_MEMBERS:
        v = settings.get(name)
        if boot and name not in ("ProductName",):
            v = None
        if v is None:
            v = 0 if typ is int else ("0.0.0.0" if name.endswith(("Mask", "Gateway", "DNS", "RadiusIp")) else "")
        exp[name] = v
    exp["ProductName"] = settings.get("ProductName", "")[:19]
    exp["UbootMode"] = 1 if boot else 0
    exp["IPAddress"] = ap_ip(n)
    exp["MACAddress"] = ap_mac(n)
    exp["Status"], exp["Password"], exp["EncryptKey"] = "Ready", "", ""
    return exp


def request_hex(ac_mac, seq):
    """The 60-byte discovery request."""
    return ("0002" "0000" "000000000000" "0006" "0001" "0000" "01945ae0" + ac_mac.replace(":", "")
            + "%04x" % seq + "00" * 12 + "00810014" "00000180" + "00" * 12)


def requests(log):
    return [e for e in log if e.get("parsed") and e["hdr"]["type"] == 1]


class StartUp(unittest.TestCase):
    def test_no_lan_bridge(self):
        with World() as w:
            r = w.run([build_path("acd/acd")], timeout=20)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stderr, "get ip error \nac device info init erro \n")
            self.assertEqual(r.stdout, "")

    def test_no_bus_after_the_first_request(self):
        with AcdWorld(aps=[ap_conf(1)], start_ubusd=False, start_acd=False) as lab:
            rc, out, err = lab.run_acd()
            self.assertEqual(rc, 1)
            self.assertEqual(err, "Failed to connect to ubus\n")
            self.assertEqual(out, "ac ubus init error \n")
            # The first discovery request went out before the bus was tried.
            wait_for(lambda: len(requests(lab.sim.log(0))) == 2, 5, "the start-up request")

    def test_second_daemon_and_clean_stops(self):
        with AcdWorld(aps=[ap_conf(1)]) as lab:
            rc, out, err = lab.run_acd()
            self.assertEqual(rc, 1)
            self.assertEqual(out, "vex socketbroad init error \n")
            self.assertIn("bind error: Address already in use\n", err)
            self.assertNotIn("SO_REUSEADDR", err)
            # The first daemon is unharmed; SIGTERM ends its loop with status 0.
            self.assertIsNone(lab.acd.poll())
            lab.wait_aps(1)
            lab.acd.terminate()
            self.assertEqual(lab.acd.wait(10), 0)
            # A lost bus connection ends the loop too, with status 0.
            lab.start_acd()
            lab.ubusd.terminate()
            self.assertEqual(lab.acd.wait(10), 0)


    def test_objects_owned_by_another_daemon(self):
        with AcdWorld(aps=[ap_conf(1)]) as lab:
            # A second controller on the same bus, in a LAN of its own: its
            # sockets open, but every object name is taken.
            other = lab.world.host("other", ifname="uplink")
            other.run(["ip", "link", "add", "br-lan", "type", "bridge"], check=True)
            other.run(["ip", "addr", "add", "10.88.0.1/24", "dev", "br-lan"], check=True)
            other.run(["ip", "link", "set", "br-lan", "up"], check=True)
            r = other.run([build_path("acd/acd")], timeout=20)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stdout, "ac ubus init error \n")
            self.assertNotIn("Failed to connect", r.stderr)
            self.assertIsNone(lab.acd.poll())
            lab.wait_aps(1)

    def test_crash_hands_over_to_the_restart_script(self):
        with AcdWorld() as lab:
            # The script notes the descriptors it was handed before it says it ran.
            lab.world.install("/usr/bin/ac-proxy-restart",
                              "#!/bin/sh\nls -l /proc/$$/fd > /tmp/fds\necho restarted > /tmp/restarted\n")
            lab.acd.send_signal(11)
            self.assertEqual(lab.acd.wait(10), 1)
            wait_for(lambda: lab.world.exists("/tmp/restarted"), 5, "the restart script")
            # None of the crashed daemon's sockets (vex ports, bus connection) live
            # on in the script, or the daemon it restarts could not take them again.
            self.assertNotIn("socket:", lab.world.read("/tmp/fds"))


class Surface(unittest.TestCase):
    maxDiff = None

    def test_objects_methods_and_policies(self):
        with AcdWorld() as lab:
            r = lab.world.ubus("-v", "list")
            self.assertEqual(r.returncode, 0, r.stderr)
            lines = [l if l.startswith("\t") else l.split(" @")[0] for l in r.stdout.splitlines()]
            self.assertEqual(lines, [
                "'ac.apcfg.check'",
                '\t"apcfg_valid_check":{}', '\t"apcfg_enc_key_check":{}',
                '\t"apcfg_upload_status":{"ip":"String"}', '\t"apcfg_pwd_status":{"ip":"String"}',
                "'ac.apfw.check'",
                '\t"apfw_check":{"Model":"String"}', '\t"apfw_upload_status":{"ip":"String"}',
                '\t"apfw_pwd_status":{"ip":"String"}',
                # the diagnostics object next to the seven (docs/ubus-api.md)
                "'ac.diag'", '\t"status":{}', '\t"ap":{"mac":"String","ip":"String"}',
                '\t"why":{"mac":"String","ip":"String"}',
                "'ac.exec.config'", '\t"exec_config":{"iplist":"Array"}',
                "'ac.get.apinfo'",
                '\t"wlan_profile":{}', '\t"wlan_info":{}', '\t"wlan_statistic":{}',
                '\t"sta_statistic":{}', '\t"statistic":{}', '\t"ap_discover":{}', '\t"all_clear":{}',
                "'ac.get.config'",
                '\t"get_config":{}', '\t"get_export_config":{}', '\t"gen_export_config":{"iplist":"Array"}',
                "'ac.set.config'", '\t"set_config":{"config":"Table"}', '\t"pwd_status":{}',
                "'ac.upgrade'", '\t"firmware":{"iplist":"Array","password":"String"}',
                '\t"config":{"iplist":"Array","key":"String","password":"String"}',
            ])
            rc, replies = lab.call("ac.get.config", "get_config")
            self.assertEqual((rc, replies), (0, [{"Device_List": []}]))


class Discovery(unittest.TestCase):
    maxDiff = None

    def test_requests_apdiscover_and_the_ap_list(self):
        full = dict(FULL_SETTINGS)
        aps = [ap_conf(1, settings=full), ap_conf(2), ap_conf(3, boot=True)]
        with AcdWorld(aps=aps) as lab:
            ac_mac = lab.lan_mac()
            # Start-up: one request by multicast (from 64519), then the same bytes by broadcast (from 64513).
            wait_for(lambda: len(requests(lab.sim.log(0))) == 2, 5, "the start-up request")
            mc, bc = requests(lab.sim.log(0))
            self.assertEqual((mc["via"], mc["dst"], mc["src"]), ("multicast", "239.255.255.100", "10.77.0.1:64519"))
            self.assertEqual((bc["via"], bc["dst"], bc["src"]), ("broadcast", "255.255.255.255", "10.77.0.1:64513"))
            seq = mc["hdr"]["seq"]
            self.assertEqual(mc["raw"], request_hex(ac_mac, seq))
            self.assertEqual(bc["raw"], mc["raw"])
            # Each AP answers both copies; the second answer refreshes its record.
            wait_for(lambda: lab.acd_out().count("recv ") == 6, 5, "six responses")
            self.assertIn("recv 64 data from 10.77.0.13 \n", lab.acd_out())

            # Three APs, every member in order and with its type; AP 3 in its boot agent.
            devices = lab.wait_aps(3)
            ordered = lab.device_list(ordered=True)
            for dev in ordered:
                self.assertEqual([k for k, _ in dev], [m for m, _ in CONFIG_MEMBERS])
                for (name, typ), (_, value) in zip(CONFIG_MEMBERS, dev):
                    self.assertIs(type(value), typ, name)
            self.assertEqual(devices[0], expected_config(1, full))
            self.assertEqual(devices[1], expected_config(2, aps[1]["settings"]))
            self.assertEqual(devices[2], expected_config(3, aps[2]["settings"], boot=True))

            # ap_discover with arbitrary arguments sends a new request to all APs.
            lab.sim.clear_log()
            r = lab.world.ubus("call", "ac.get.apinfo", "ap_discover", '{"x": 1, "iplist": ["a"]}')
            self.assertEqual((r.returncode, r.stdout), (0, ""))
            wait_for(lambda: len(requests(lab.sim.log(1))) == 2, 5, "the requested discovery")
            mc2, bc2 = requests(lab.sim.log(1))
            self.assertEqual(mc2["via"], "multicast")
            self.assertEqual(bc2["raw"], mc2["raw"])
            self.assertEqual(mc2["raw"], request_hex(ac_mac, (seq + 1) & 0xFFFF))

            # An AP that changes its address keeps its one record; one that leaves
            # its boot agent shows its settings again.
            lab.sim.set(1, ip="10.77.0.50/24")
            lab.sim.set(2, boot=False)
            lab.call("ac.get.apinfo", "ap_discover")
            devices = lab.wait_aps(3, pred=lambda d: d[1]["IPAddress"] == "10.77.0.50" and d[2]["UbootMode"] == 0)
            self.assertEqual([d["MACAddress"] for d in devices], [ap_mac(1), ap_mac(2), ap_mac(3)])
            self.assertEqual(devices[2]["SystemName"], "ap-3")

            # all_clear empties the list (no reply) until discovery finds the APs again.
            self.assertEqual(lab.call("ac.get.apinfo", "all_clear"), (0, []))
            self.assertEqual(lab.device_list(), [])
            lab.call("ac.get.apinfo", "ap_discover")
            lab.wait_aps(3)

    def test_broadcast_port_does_not_spin(self):
        with AcdWorld(aps=[ap_conf(1)]) as lab:
            # Datagrams to the send-only broadcast port, and garbage to the vex port.
            script = ("import socket\n"
                      "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                      "s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)\n"
                      "for i in range(50):\n"
                      "    s.sendto(b'x' * 100, ('10.77.0.1', 64513))\n"
                      "    s.sendto(b'y' * 100, ('10.77.0.255', 64513))\n"
                      "for n in (0, 1, 39, 41, 43, 44):\n"
                      "    s.sendto(b'z' * n, ('10.77.0.1', 64519))\n")
            r = lab.host.run([sys.executable, "-c", script])
            self.assertEqual(r.returncode, 0, r.stderr)
            time.sleep(0.3)
            before = lab.acd_cpu_seconds()
            time.sleep(2)
            self.assertLess(lab.acd_cpu_seconds() - before, 0.2)
            out = lab.acd_out()
            self.assertIn("recv 43 data from 10.77.0.11 \n", out)
            self.assertNotIn("recv 0 data", out)
            self.assertNotIn("recv 100 data", out)
            # Still serving.
            lab.wait_aps(1)


if __name__ == "__main__":
    run_tests()
