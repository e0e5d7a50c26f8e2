"""Uploads to APs (ac.upgrade) and the check methods (ac.apfw.check,
ac.apcfg.check): simulated APs with real TFTP servers, Debian's tftp client as
"/usr/bin/tftp-hpa", real openssl."""
import os
import subprocess
import time
import unittest

from apsim import ap_conf, ap_ip, ap_mac
from lab import run_tests, wait_for
from upload_world import UploadWorld, checker, record

FW = bytes((i * 7 + 3) & 255 for i in range(150001))
CFG = b"config archive\n" * 100


def tlv(t, value):
    return "%04x%04x" % (t, len(value) + 4) + value.hex()


def upload_hex(ac_mac, mac, seq, tlvs):
    """An upload request as the controller sends it."""
    return ("0002" "0000" + mac.replace(":", "") + "0006" "000a" "0000" "01945ae0" + ac_mac.replace(":", "")
            + "%04x" % seq + "00" * 12 + "".join(tlvs) + tlv(129, bytes.fromhex("00000100") + bytes(12)))


def upload_requests(log, mac):
    return [e for e in log if e["parsed"] and e["hdr"]["type"] == 10 and e["hdr"]["ap_mac"] == mac]


def encrypt(plain, key):
    """What a front end places as "/tmp/config.bin": openssl enc output, Base64.
    A fixed salt keeps the bytes, and so every key's result, the same each run
    (given with -S, openssl leaves the salt header out: it is put in front here)."""
    salt = "0123456789abcdef"
    enc = b"Salted__" + bytes.fromhex(salt) + subprocess.run(
        ["openssl", "enc", "-aes-256-cbc", "-S", salt, "-pass", "pass:" + key],
        input=plain, capture_output=True, check=True).stdout
    return subprocess.run(["openssl", "enc", "-base64"], input=enc, capture_output=True, check=True).stdout


class Upload(unittest.TestCase):
    maxDiff = None

    def test_firmware_to_two_of_three(self):
        with UploadWorld([ap_conf(n, password="secret") for n in (1, 2, 3)]) as lab:
            w = lab.world
            lab.start()
            w.write("/tmp/firmware.bin", FW)
            lab.wait_aps(3)
            ac_mac = lab.lan_mac()
            lab.sim.clear_log()
            # 10.77.0.1 is no AP's address (it does not pick 10.77.0.11); 42 is skipped.
            self.assertEqual(lab.ubus("ac.upgrade", "firmware",
                                      {"iplist": ["10.77.0.1", ap_ip(1), 42, ap_ip(3)], "password": "secret"}),
                             (0, []))
            wait_for(lambda: lab.tftp_file(0, "firmware.bin") == FW and lab.tftp_file(2, "firmware.bin") == FW,
                     20, "both uploads")
            lab.wait_no_children()
            self.assertIsNone(lab.tftp_file(1, "firmware.bin"))
            self.assertIn("[DEBUG]: fw_size = 150001 \n", lab.acd_err())

            # Each chosen AP gets one request, by multicast and by unicast, the same bytes.
            for i, n in ((0, 1), (2, 3)):
                mine = upload_requests(lab.sim.log(i), ap_mac(n))
                self.assertEqual(sorted(e["via"] for e in mine), ["multicast", "unicast"])
                self.assertEqual(mine[0]["raw"], mine[1]["raw"])
                self.assertEqual(mine[0]["raw"], upload_hex(ac_mac, ap_mac(n), mine[0]["hdr"]["seq"], [
                    tlv(9, b"secret"), tlv(32, b"firmware"), tlv(34, b"firmware.bin"),
                    tlv(35, (150001).to_bytes(4, "big"))]))
                self.assertEqual([(u["duplicate"], u["answered"]) for u in lab.uploads(i)["uploads"]],
                                 [(False, 0), (True, None)])
            # The third AP heard only the multicast copies, addressed to the others.
            heard = [e for e in lab.sim.log(1) if e["parsed"] and e["hdr"]["type"] == 10]
            self.assertEqual(sorted((e["via"], e["hdr"]["ap_mac"]) for e in heard),
                             [("multicast", ap_mac(1)), ("multicast", ap_mac(3))])
            self.assertEqual(lab.uploads(1)["uploads"], [])

            # Each status file holds the latest record: 64 bytes, zero padded.
            accepted = (record(ap_ip(1), 0), record(ap_ip(3), 0))
            pwd = w.read("/tmp/.pwd_status", binary=True)
            fw = w.read("/tmp/.firmware_status", binary=True)
            self.assertIn(pwd, accepted)
            self.assertIn(fw, accepted)
            # A record is reported once; the query deletes the file.
            ip = fw.split(b" ")[0].decode()
            self.assertEqual(lab.status("ac.apfw.check", "apfw_upload_status", ip), 0)
            self.assertFalse(w.exists("/tmp/.firmware_status"))
            self.assertEqual(lab.status("ac.apfw.check", "apfw_upload_status", ip), -2)
            ip = pwd.split(b" ")[0].decode()
            self.assertEqual(lab.status("ac.apfw.check", "apfw_pwd_status", ip), 0)
            self.assertEqual(lab.status("ac.apfw.check", "apfw_pwd_status", ip), -2)

            # A second offer uploads again; many at once leave no child behind.
            for _ in range(5):
                lab.ubus("ac.upgrade", "firmware", {"iplist": [ap_ip(1), ap_ip(3)], "password": "secret"})
            wait_for(lambda: sum(u["answered"] == 0 for u in lab.uploads(0)["uploads"]) == 6, 10, "six offers")
            lab.wait_no_children()
            self.assertEqual(lab.tftp_file(0, "firmware.bin"), FW)

    def test_refusals_config_and_queries(self):
        aps = [ap_conf(1, password="secret"), ap_conf(2, password="other"), ap_conf(3, upload_status=5)]
        with UploadWorld(aps) as lab:
            w = lab.world
            lab.start()
            w.write("/tmp/firmware.bin", FW)
            w.write("/tmp/config.bin", CFG)
            lab.wait_aps(3)
            # A wrong password: refused with 1, recorded, nothing uploaded.
            lab.ubus("ac.upgrade", "firmware", {"iplist": [ap_ip(2)], "password": "secret"})
            wait_for(lambda: w.exists("/tmp/.pwd_status"), 5, "the refusal")
            self.assertEqual(w.read("/tmp/.pwd_status", binary=True), record(ap_ip(2), 1))
            self.assertEqual(lab.status("ac.apfw.check", "apfw_pwd_status", ap_ip(2)), 1)
            # An AP's own refusal code, read through the configuration's twin query.
            lab.ubus("ac.upgrade", "config", {"iplist": [ap_ip(3)], "key": "k", "password": "any"})
            wait_for(lambda: w.exists("/tmp/.pwd_status"), 5, "the refusal")
            self.assertEqual(lab.status("ac.apcfg.check", "apcfg_pwd_status", ap_ip(3)), 5)
            self.assertEqual(lab.children(), [])
            self.assertIsNone(lab.tftp_file(1, "firmware.bin"))
            self.assertIsNone(lab.tftp_file(2, "config.bin"))
            self.assertFalse(w.exists("/tmp/.firmware_status") or w.exists("/tmp/.config_status"))

            # A configuration with an empty key: TLV 33 is still there, 4 bytes long.
            lab.sim.clear_log()
            lab.ubus("ac.upgrade", "config", {"iplist": [ap_ip(1)], "key": "", "password": "secret"})
            wait_for(lambda: lab.tftp_file(0, "config.bin") == CFG, 20, "the configuration upload")
            lab.wait_no_children()
            req = upload_requests(lab.sim.log(0), ap_mac(1))[0]
            self.assertEqual(req["raw"], upload_hex(lab.lan_mac(), ap_mac(1), req["hdr"]["seq"], [
                tlv(9, b"secret"), tlv(32, b"config"), tlv(33, b""), tlv(34, b"config.bin"),
                tlv(35, len(CFG).to_bytes(4, "big"))]))
            self.assertEqual(w.read("/tmp/.config_status", binary=True), record(ap_ip(1), 0))
            self.assertIn(f"[DEBUG]: fw_size = {len(CFG)} \n", lab.acd_err())
            # A query for another address reports -2 and still consumes the file.
            self.assertEqual(lab.status("ac.apcfg.check", "apcfg_upload_status", ap_ip(2)), -2)
            self.assertFalse(w.exists("/tmp/.config_status"))
            self.assertEqual(lab.status("ac.apcfg.check", "apcfg_pwd_status", ap_ip(1)), 0)

            # Only the whole address matches: 10.77.0.1 does not take 10.77.0.12's record.
            for name, obj, method in (("/tmp/.firmware_status", "ac.apfw.check", "apfw_upload_status"),
                                      ("/tmp/.config_status", "ac.apcfg.check", "apcfg_upload_status"),
                                      ("/tmp/.pwd_status", "ac.apcfg.check", "apcfg_pwd_status")):
                w.write(name, record("10.77.0.12", 7))
                self.assertEqual(lab.status(obj, method, "10.77.0.1"), -2)
                self.assertFalse(w.exists(name))
                w.write(name, record("10.77.0.12", 7))
                self.assertEqual(lab.status(obj, method, "10.77.0.12"), 7)

            # Missing or mistyped arguments: status 2, nothing sent.
            lab.sim.clear_log()
            for obj, method, args in (
                    ("ac.upgrade", "firmware", {"iplist": [ap_ip(1)]}),
                    ("ac.upgrade", "firmware", {"iplist": ap_ip(1), "password": "secret"}),
                    ("ac.upgrade", "config", {"iplist": [ap_ip(1)], "password": "secret"}),
                    ("ac.upgrade", "config", {"iplist": [ap_ip(1)], "key": 1, "password": "secret"}),
                    ("ac.apfw.check", "apfw_check", {"model": "x"}),
                    ("ac.apfw.check", "apfw_upload_status", {}),
                    ("ac.apfw.check", "apfw_pwd_status", {"ip": 5}),
                    ("ac.apcfg.check", "apcfg_enc_key_check", {}),
                    ("ac.apcfg.check", "apcfg_upload_status", {"ip": ["10.77.0.11"]})):
                self.assertEqual(lab.ubus(obj, method, args), (2, []), (obj, method, args))
            time.sleep(0.3)
            self.assertEqual([e for e in lab.sim.log(0) if e["parsed"] and e["hdr"]["type"] == 10], [])


class Checks(unittest.TestCase):
    maxDiff = None

    def test_configuration_file_and_key(self):
        with UploadWorld([]) as lab:
            w = lab.world
            lab.start()

            def call(method, args=None):
                rc, replies = lab.ubus("ac.apcfg.check", method, args)
                self.assertEqual((rc, len(replies)), (0, 1), (method, args))
                return replies[0]["status"]

            self.assertEqual(call("apcfg_valid_check"), 1)  # no file
            self.assertNotEqual(call("apcfg_enc_key_check", {"key": "k"}), 0)
            for text, status in (("first line\nxxU2FsdGVkX1yy\n", 0), ("U2FsdGVkX\n1\n", 1), ("", 1)):
                w.write("/tmp/config.bin", text)
                self.assertEqual(call("apcfg_valid_check"), status, text)

            plain = b"a configuration archive\n" * 50
            keys = [
                "right key",
                # Each would run a command if it reached the shell as it is.
                "x; touch /tmp/pwned1",
                "x'; touch /tmp/pwned2; echo '",
                "$(touch /tmp/pwned3)`touch /tmp/pwned4`\"\\ *?~#&|<>!{}[]%\t",
                "k" * 300,  # longer than any fixed command buffer
            ]
            for key in keys:
                w.write("/tmp/config.bin", encrypt(plain, key))
                self.assertEqual(call("apcfg_valid_check"), 0)
                # Only the very key decrypts, so 0 shows it reached openssl unchanged.
                self.assertEqual(call("apcfg_enc_key_check", {"key": key}), 0, key)
                self.assertFalse(w.exists("/tmp/.ckeck-key.tar.gz"))
                for wrong in (key + "x", key[:-1], "wrong"):
                    self.assertNotEqual(call("apcfg_enc_key_check", {"key": wrong}), 0, wrong)
                    self.assertFalse(w.exists("/tmp/.ckeck-key.tar.gz"))
            self.assertEqual([p for p in ("/tmp/pwned1", "/tmp/pwned2", "/tmp/pwned3", "/tmp/pwned4")
                              if w.exists(p)], [])
            # The key may also come with other members; they do not matter.
            self.assertEqual(call("apcfg_enc_key_check", {"x": 1, "key": keys[-1]}), 0)

    def test_firmware_checker_through_the_runner(self):
        with UploadWorld([]) as lab:
            w = lab.world
            w.write("/tmp/bin/apfw_check", checker("path"), mode=0o755)
            w.write("/tmp/cwd/apfw_check", checker("cwd"), mode=0o755)
            # nsenter opens the working directory before it enters the world: give
            # it the host's way into the world's /tmp.
            lab.start(env=dict(os.environ, PATH="/tmp/bin:" + os.environ["PATH"]), cwd=w.path("/tmp/cwd"))

            def call(model):
                return lab.ubus("ac.apfw.check", "apfw_check", {"Model": model})

            def reply(model, tag):
                return (0, [{"code": 3, "stdout": f"/tmp/firmware.bin for {model}\n", "stderr": f"checked by {tag}\n"}])

            # A bare name that names a file in acd's working directory comes first.
            self.assertEqual(call("AX-1"), reply("AX-1", "cwd"))
            w.remove("/tmp/cwd/apfw_check")
            self.assertEqual(call("AX-1"), reply("AX-1", "path"))
            self.assertEqual(call("a b'c\"$x"), reply("a b'c\"$x", "path"))
            self.assertEqual(call("quiet"), (0, [{"code": 0}]))
            self.assertEqual(call("crash"), (0, [{"code": 128 + 11}]))
            # Nothing of the daemon's (sockets, pipes) is handed on to the checker.
            self.assertEqual(call("fds"), (0, [{"code": 0, "stdout": "0\n1\n2\n3\n"}]))
            self.assertEqual(call("big"), (8, []))
            w.remove("/tmp/bin/apfw_check")
            start = time.monotonic()
            self.assertEqual(call("AX-1"), (4, []))
            self.assertLess(time.monotonic() - start, 5)
            lab.wait_no_children(5)
            lab.stop()

            # Without PATH the default list is searched; it ends in /usr/sbin.
            w.install("/usr/sbin/apfw_check", checker("sbin"))
            lab.start(env={k: v for k, v in os.environ.items() if k != "PATH"}, cwd="/")
            self.assertEqual(call("AX-1"), reply("AX-1", "sbin"))
            lab.wait_no_children(5)


if __name__ == "__main__":
    run_tests()
