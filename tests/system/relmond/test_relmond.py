#!/usr/bin/env python3
"""relmond end to end: real wget, script, nohup, md5sum, killall and our libuci
state, against an update server on the world's loopback."""
import hashlib
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lab import World, build_path, run_tests, wait_for  # noqa: E402
from relmond_world import RelmondWorld  # noqa: E402

USAGE = ("relmond argument is wrong\n"
         "example :\n"
         "\trelmond <start|stop>\n"
         "\trelmond local info\n"
         "\trelmond remote <info|check|json_check|pop_otp|show_rel>\n"
         "\trelmond remote get_fw <start|stop|json_start|status|json_status>\n"
         "\trelmond upgrade_fw\n")
RED = "\x1b[1;31mNew Firmware Available!\x1b[0m\n"
FW = bytes((i * 7 + i // 251) & 0xFF for i in range(300 * 1024))
FW_MD5 = hashlib.md5(FW).hexdigest()

world = None
rw = None


def setUpModule():
    global world, rw
    world = World().__enter__()
    try:
        rw = RelmondWorld(world)
    except BaseException:
        world.__exit__(None, None, None)
        raise


def tearDownModule():
    world.__exit__(None, None, None)


def uptime():
    with open("/proc/uptime") as f:
        return int(float(f.read().split()[0]))


class RelmondCase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        rw.reset()
        rw.config(info_url=rw.base + "info.txt", timeout=3, upgrade_fw_cmd="/tmp/bin/fake-upgrade -n")
        rw.system_info()
        rw.installed("1.0.0\n")

    def checked(self, **offer):
        """A successful check of the given offer."""
        md5 = rw.offer(**offer)
        r = rw.relmond("remote", "check")
        self.assertEqual((r.code, r.err), (0, ""))
        return md5

    def nothing_outside(self):
        for d in ["/", "/tmp", "/tmp/work", "/tmp/relmond"]:
            self.assertFalse(rw.w.exists(d + "/pwned"), d)
        self.assertFalse(rw.w.exists("/tmp/x"))


class CommandLine(RelmondCase):
    def test_usage_and_scratch_directory(self):
        for args in [(), ("local",), ("local", "infos"), ("remote",), ("remote", "nope"), ("remote", "get_fw"),
                     ("remote", "get_fw", "go"), ("upgrade",), ("START",)]:
            rw.w.run(["rm", "-rf", "/tmp/relmond"])
            r = rw.relmond(*args)
            self.assertEqual((r.code, r.out, r.err), (255, "", USAGE), args)
            self.assertTrue(rw.w.exists("/tmp/relmond"), args)

    def test_words_a_command_does_not_take(self):
        # Nothing runs: no reboot or upgrade, no kill, no loop, no download.
        self.checked(fw=FW)
        rw.w.write("/tmp/relmond/AB12_FW11.bin", FW)
        rw.w.write("/tmp/relmond/otp", "777\n")
        rw.config(enable=1, interval=1, retry_interval=1, info_url=rw.base + "info.txt", timeout=3,
                  upgrade_fw_cmd="/tmp/bin/fake-upgrade -n")
        state, requests = rw.state(), rw.requests()
        for args in [("upgrade_fw", "--help"), ("stop", "now"), ("stop", "--x"), ("remote", "check", "x"),
                     ("upgrade_fw", "x", "y"), ("start", "x"), ("local", "info", "ignored"), ("remote", "info", "x"),
                     ("remote", "show_rel", "x"), ("remote", "json_check", "x"), ("remote", "pop_otp", "x"),
                     ("remote", "get_fw", "start", "x"), ("remote", "get_fw", "stop", "x"),
                     ("remote", "get_fw", "status", "x"), ("remote", "get_fw", "json_start", "x"),
                     ("remote", "get_fw", "json_status", ""), ("remote", "info", "check")]:
            with self.subTest(args=args):
                r = rw.relmond(*args, timeout=30)
                self.assertEqual((r.code, r.out, r.err), (255, "", USAGE))
                self.assertEqual((rw.calls(), rw.requests(), rw.state()), ([], requests, state))
                self.assertEqual(rw.w.read("/tmp/relmond/AB12_FW11.bin", binary=True), FW)
                self.assertEqual(rw.w.read("/tmp/relmond/otp"), "777\n")
                self.assertEqual(rw.sh("ps -e -o comm= | grep -c relmond").stdout.strip(), "0")

    def test_links_libtessel_and_libuci(self):
        out = subprocess.run(["readelf", "-d", build_path("relmond/relmond")], check=True,
                             capture_output=True, text=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
        self.assertTrue({"libtessel.so.1", "libuci.so"} <= set(needed), needed)

    def test_local_info(self):
        rw.installed("0.9.0\n 1.0.0-r5 \t\n")
        r = rw.relmond("local", "info")
        self.assertEqual((r.code, r.err), (0, ""))
        self.assertEqual(r.out, "Model Number: AB-12\nFW Filename: AB12_FW10B3.bin\nFW Version: 1.0.0-r5\n"
                                "FW Version Build: 1.0b3\nFW Date: 2024-01-01\n")
        rw.installed(None)
        rw.system_info(model="XY99", build="2B7")
        self.assertEqual(rw.relmond("local", "info").out,
                         "Model Number: XY99\nFW Filename: XY99_FW2B7.bin\nFW Version: \n"
                         "FW Version Build: 2B7\nFW Date: 2024-01-01\n")


class Check(RelmondCase):
    def test_success_writes_every_value_and_info_reports_them(self):
        rw.serve("info.txt", "# comment\n filename: ignored.bin\nfilename: AB12_FW11.bin\ndate: 2024-02-03\n"
                             f"md5: wrong\nmd5:  {FW_MD5} \r\nsize: {len(FW)}\nrelease notes: release.txt\n")
        rw.serve("release.txt", "Firmware Version: 1.0.5\nFirmware Version:  1.1.0 \n---\n- one\n")
        before = uptime()
        r = rw.relmond("remote", "check")
        after = uptime()
        self.assertEqual((r.code, r.out, r.err), (0, "", ""))
        st = rw.state()
        checked = int(st.pop("last_check_time"))
        self.assertTrue(before <= checked <= after + 1)  # sysinfo rounds up
        self.assertEqual(st, {"fw_filename": "AB12_FW11.bin", "fw_date": "2024-02-03", "fw_md5": FW_MD5,
                              "fw_size": str(len(FW)), "rel_filename": "release.txt",
                              "fw_url": rw.base + "AB12_FW11.bin", "rel_url": rw.base + "release.txt",
                              "fw_ver": "1.1.0", "have_newfw": "1"})
        self.assertEqual(rw.requests(), ["/fw/info.txt", "/fw/release.txt"])
        self.assertTrue(rw.w.exists("/tmp/relmond/info.txt") and rw.w.exists("/tmp/relmond/release.txt"))

        r = rw.relmond("remote", "info")
        head = (RED + "FW Filename: AB12_FW11.bin\nFW Version: 1.1.0\nFW Date: 2024-02-03\n"
                f"FW MD5: {FW_MD5}\nFW Size: {len(FW)}\nFW URL: {rw.base}AB12_FW11.bin\n"
                f"ReleaseNote URL: {rw.base}release.txt\n")
        self.assertTrue(r.out.startswith(head), r.out)
        self.assertRegex(r.out[len(head):], rf"^Last Check Time: {checked} \(00:00:0\d ago\)\n$")

        # Elapsed times: hours are not folded into days, every field two digits at least.
        now = uptime()
        rw.set_state("last_check_time", str(now - 100 * 3600 - 59))
        rw.set_state("last_check_fail_time", str(now - 59))
        rw.set_state("have_newfw", "0")
        r = rw.relmond("remote", "info")
        self.assertFalse(r.out.startswith(RED))
        tail = r.out.split("ReleaseNote URL: " + rw.base + "release.txt\n")[1]
        m = re.fullmatch(r"Last Check Time: (-?\d+) \(100:0([01]):(\d\d) ago\)\n"
                         r"Last Check Failed Time: (\d+) \(00:0([01]):(\d\d) ago\)\n", tail)
        self.assertTrue(m, tail)

    def test_failures_and_what_they_leave(self):
        good = {"fw_filename": "old.bin", "fw_url": rw.base + "old.bin", "rel_filename": "oldrel.txt",
                "fw_ver": "0.5", "have_newfw": "0", "last_check_time": "1234"}
        cases = [
            # info_url, info file (None: not served), message, values expected to change
            ("noslash", None, "remote_check: parse info_url failed\n", set()),
            (rw.base + "missing.txt", None,
             f"remote_check: download {rw.base}missing.txt failed!, error code 8\n", {"last_check_fail_time"}),
            # (wget says why it cannot write the directory)
            (rw.base, None, rf"(.*\n)?remote_check: download {rw.base} failed!, error code \d+\n",
             {"last_check_fail_time"}),
            # an absent key keeps the old value; an empty one empties it
            (rw.base + "info.txt", "date: d2\n", None, {"fw_date", "rel_url", "last_check_time"}),
            (rw.base + "info.txt", "filename:\ndate: d2\nmd5: m2\nsize: 7\n",
             "remote_check: parse filename failed\n", {"fw_filename", "fw_date", "fw_md5", "fw_size"}),
            (rw.base + "info.txt", "filename: new.bin\nrelease notes: \n", "remote_check: parse release notes failed\n",
             {"fw_filename", "fw_url", "rel_filename"}),
        ]
        for url, info, message, changed in cases:
            with self.subTest(url=url, info=info):
                rw.reset()
                rw.config(info_url=url, timeout=3)
                for k, v in good.items():
                    rw.set_state(k, v)
                if info is not None:
                    rw.serve("info.txt", info)
                r = rw.relmond("remote", "check")
                if message is None:
                    self.assertEqual((r.code, r.out), (0, ""))
                    self.assertIn("get_rel: download", r.err)  # oldrel.txt is not on the server
                else:
                    self.assertEqual((r.code, r.out), (255, ""))
                    self.assertRegex(r.err, "^" + message + "$")
                st = rw.state()
                self.assertEqual({k for k in set(st) | set(good) if st.get(k) != good.get(k)}, changed)

    def test_release_notes_failures_do_not_fail_the_check(self):
        rw.set_state("fw_ver", "0.5")
        rw.serve("info.txt", "filename: AB12_FW11.bin\nrelease notes: gone.txt\n")
        r = rw.relmond("remote", "check")
        self.assertEqual((r.code, r.err), (0, f"get_rel: download {rw.base}gone.txt failed!, error code 8\n"))
        st = rw.state()
        self.assertEqual((st["fw_ver"], st["have_newfw"], st.get("last_check_fail_time")), ("0.5", "0", None))
        # Notes without a version line keep the old version too.
        rw.serve("gone.txt", "no version here\n")
        rw.installed("0.1\n")
        self.assertEqual(rw.relmond("remote", "check").err, "")
        self.assertEqual((rw.state()["fw_ver"], rw.state()["have_newfw"]), ("0.5", "1"))

    def test_newer_firmware_decision(self):
        cases = [
            # server file name, server version, model, build, installed version, have_newfw
            ("AB12_FW11.bin", "1.1.0", "AB-12", "1.0b3", "1.0.0\n", "1"),
            ("AB12_FW10B3.bin", "1.1.0", "AB-12", "1.0b3", "1.0.0\n", "0"),  # same file name
            ("AB12_FW11.bin", "1.0.0", "AB-12", "1.0b3", "1.0.0\n", "0"),    # same version
            ("AB12_FW09.bin", "1.1.0", "AB-12", "1.0b3", "1.0.0\n", "0"),
            ("AB12_FW11.bin", "1.1.0", "AB-12", "1.0b3", None, "1"),         # no version file
            ("AB12_FW11.bin", "1.1.0", "AB-12", "1.0b3", "1.2\n1.0.0\n", "1"),  # its last line counts
        ]
        for fw_name, version, model, build, installed, have in cases:
            with self.subTest(fw_name=fw_name, version=version, installed=installed):
                rw.reset()
                rw.system_info(model=model, build=build)
                rw.installed(installed)
                self.checked(fw_name=fw_name, version=version)
                self.assertEqual(rw.state()["have_newfw"], have)

    def test_unsafe_file_names(self):
        # Names that would leave the scratch directory fail the check, and the
        # commands that use a stored name refuse it.
        for fw_name, rel_name, bad in [("../x", "release.txt", "../x"),
                                       ("x;touch /tmp/pwned", "release.txt", "x;touch /tmp/pwned"),
                                       ("..", "release.txt", ".."),
                                       ("AB12_FW11.bin", "../x", "../x")]:
            with self.subTest(fw_name=fw_name, rel_name=rel_name):
                rw.reset()
                rw.set_state("fw_url", rw.base + "old.bin")
                rw.offer(fw_name=fw_name, rel_name=rel_name)
                r = rw.relmond("remote", "check")
                self.assertEqual((r.code, r.err), (255, f"remote_check: unsafe filename '{bad}'\n"))
                self.assertNotIn("rel_url", rw.state())
                if bad == fw_name:
                    r = rw.relmond("remote", "get_fw", "start")
                    self.assertEqual((r.code, r.err), (255, f"get_fw_start: unsafe filename '{bad}'\n"))
                    r = rw.relmond("remote", "get_fw", "stop")
                    self.assertEqual(r.err, f"get_fw_stop: no process!\nget_fw_stop: unsafe filename '{bad}'\n")
                    self.assertNotIn("get_fw_pid", rw.state())
                    r = rw.relmond("upgrade_fw")
                    self.assertEqual((r.code, r.err), (0, f"upgrade_fw: unsafe filename '{bad}'\n"))
                    self.assertEqual(rw.calls(), ["reboot"])
                else:
                    r = rw.relmond("remote", "show_rel")
                    self.assertEqual((r.code, r.out, r.err), (0, "", f"show_rel: unsafe filename '{bad}'\n"))
                self.nothing_outside()

    def test_shell_texts_in_names_stay_text(self):
        # Names without "/" are fine as names; their shell characters must do nothing.
        for name in ["x;touch pwned;.bin", "$(touch pwned).bin", "it's';touch pwned;'.bin", "`touch pwned`"]:
            with self.subTest(name=name):
                rw.reset()
                self.checked(fw_name=name, fw=FW, rel_name="notes " + name)
                self.assertEqual(rw.relmond("remote", "show_rel").out, "- faster\n- safer\n")
                self.assertEqual(rw.relmond("remote", "get_fw", "start").code, 0)
                wait_for(lambda: "terminated" in rw.relmond("remote", "get_fw", "status").out, 20, "download")
                self.assertEqual(rw.w.read("/tmp/relmond/" + name, binary=True), FW)
                rw.relmond("upgrade_fw")
                self.assertEqual(rw.calls(), [f"upgrade [-n] [/tmp/relmond/{name}]"])
                self.nothing_outside()


class Reports(RelmondCase):
    NOTES = ("intro\n- before the marker\n---\n- first  \r\n  - indented\nplain\n-second\n"
             "--- again\n- \"quoted\" \\ item\n")

    def test_show_rel_items(self):
        self.checked(rel="Firmware Version: 1.1.0\n" + self.NOTES)
        r = rw.relmond("remote", "show_rel")
        self.assertEqual((r.code, r.err), (0, ""))
        self.assertEqual(r.out, "- first\n-second\n--- again\n- \"quoted\" \\ item\n")
        rw.serve("release.txt", "- no marker\n- at all\n")
        rw.relmond("remote", "check")
        self.assertEqual(rw.relmond("remote", "show_rel").out, "")

    def test_json_check_and_otp(self):
        rw.w.write("/tmp/relmond/otp", "777\n")
        # No new firmware: empty otp and notes, the otp file stays.
        rw.installed("1.1.0\n")
        rw.offer(version="1.1.0", date="2024-02-03", notes="- one\n- two\n")
        r = rw.relmond("remote", "json_check")
        self.assertEqual((r.code, r.err), (0, ""))
        self.assertEqual(r.out, '{"have_newfw":"0","fw_ver":"1.1.0","fw_date":"2024-02-03","fw_size":"0",'
                                '"otp":"","fw_notes":"","rel_note":["- one","- two"]}')
        self.assertEqual(rw.relmond("remote", "pop_otp").out, "777\n")

        # New firmware without release-note items.
        rw.installed("1.0.0\n")
        rw.offer(version="1.2.0", date="2024-03-04", notes="", fw=FW)
        r = rw.relmond("remote", "json_check")
        m = re.fullmatch(r'\{"have_newfw":"1","fw_ver":"1\.2\.0","fw_date":"2024-03-04",'
                         rf'"fw_size":"{len(FW)}","otp":"(\d+)","fw_notes":"New firmware is avaliable",'
                         r'"rel_note":\[\]\}', r.out)
        self.assertTrue(m, r.out)
        self.assertEqual(rw.w.read("/tmp/relmond/otp"), m.group(1) + "\n")
        r = rw.relmond("remote", "pop_otp")
        self.assertEqual((r.code, r.out), (0, m.group(1) + "\n"))
        self.assertTrue(rw.w.exists("/tmp/relmond/otp"))

        # A failing check still reports what the state holds.
        rw.unserve("info.txt")
        r = rw.relmond("remote", "json_check")
        self.assertEqual(r.code, 0)
        self.assertIn("remote_check: download", r.err)
        self.assertTrue(r.out.startswith('{"have_newfw":"1","fw_ver":"1.2.0",'), r.out)

    def test_json_escapes_server_texts(self):
        import json
        self.checked(date="a\\b", rel='Firmware Version: 1.1 "beta"\n' + self.NOTES)
        r = rw.relmond("remote", "json_check")
        doc = json.loads(r.out)
        self.assertEqual(list(doc), ["have_newfw", "fw_ver", "fw_date", "fw_size", "otp", "fw_notes", "rel_note"])
        self.assertEqual((doc["fw_ver"], doc["fw_date"]), ('1.1 "beta"', "a\\b"))
        self.assertEqual(doc["rel_note"], ["- first", "-second", "--- again", '- "quoted" \\ item'])

    def test_pop_otp_without_file(self):
        r = rw.relmond("remote", "pop_otp")
        self.assertEqual((r.code, r.out, r.err), (0, "", ""))


class Download(RelmondCase):
    def status(self):
        r = rw.relmond("remote", "get_fw", "status")
        self.assertEqual((r.code, r.err), (0, ""))
        return r.out

    def expect_status(self, pid, state, progress, validation=None):
        text = (f"PID: {pid}\nStatus: {state}\nProgress: {progress}%\nFW URL: {rw.base}AB12_FW11.bin\n"
                "FW Path: /tmp/relmond/AB12_FW11.bin\n")
        if validation:
            text += f"FW Validation: {validation}\n"
        self.assertEqual(self.status(), text)

    def test_nothing_started(self):
        r = rw.relmond("remote", "get_fw", "status")
        self.assertEqual((r.code, r.out, r.err), (0, "", "get_fw_status: No get fw process!\n"))
        r = rw.relmond("remote", "get_fw", "json_status")
        self.assertEqual((r.code, r.out), (0, '{"status":"","progress":"0","validation":""}'))
        r = rw.relmond("remote", "get_fw", "start")
        self.assertEqual((r.code, r.err), (255, "get_fw_start: get fw failed!, relmond.remote.fw_url is empty\n"))
        # stop without a process still deletes the firmware file
        rw.set_state("fw_filename", "AB12_FW11.bin")
        rw.w.write("/tmp/relmond/AB12_FW11.bin", "partial")
        r = rw.relmond("remote", "get_fw", "stop")
        self.assertEqual((r.code, r.out, r.err), (0, "", "get_fw_stop: no process!\n"))
        self.assertFalse(rw.w.exists("/tmp/relmond/AB12_FW11.bin"))

    def test_download_status_and_validation(self):
        self.checked(fw=FW)
        rw.slow("AB12_FW11.bin", 120 * 1024)
        r = rw.relmond("remote", "get_fw", "start")
        self.assertEqual((r.code, r.out, r.err), (0, "", ""))
        pid = int(rw.state()["get_fw_pid"])

        # While it runs: no validation, and a second start is refused.
        out = self.status()
        m = re.fullmatch(rf"PID: {pid}\nStatus: running\nProgress: (\d+)%\nFW URL: {rw.base}AB12_FW11.bin\n"
                         r"FW Path: /tmp/relmond/AB12_FW11.bin\n", out)
        self.assertTrue(m, out)
        self.assertLess(int(m.group(1)), 100)
        self.assertRegex(rw.relmond("remote", "get_fw", "json_status").out,
                         r'^\{"status":"running","progress":"\d+","validation":""\}$')
        r = rw.relmond("remote", "get_fw", "start")
        self.assertEqual((r.code, r.err), (255, f"get_fw_start: get fw failed!, pid {pid} is running\n"))
        wait_for(lambda: int(re.search(r"Progress: (\d+)%", self.status()).group(1)) > 0, 10, "progress")

        wait_for(lambda: "terminated" in self.status(), 20, "the download to end")
        self.expect_status(pid, "terminated", 100, "OK")
        self.assertEqual(rw.relmond("remote", "get_fw", "json_status").out,
                         '{"status":"terminated","progress":"100","validation":"OK"}')
        self.assertEqual(rw.w.read("/tmp/relmond/AB12_FW11.bin", binary=True), FW)

        for key, value, name in [("fw_md5", FW_MD5.upper(), "OK"), ("fw_md5", "0" * 32, "MD5_ERROR"),
                                 ("fw_size", str(len(FW) - 1), "SIZE_ERROR"), ("fw_size", "0", "SIZE_ERROR")]:
            rw.set_state("fw_md5", FW_MD5)
            rw.set_state("fw_size", str(len(FW)))
            rw.set_state(key, value)
            self.expect_status(pid, "terminated", 100, name)
        rw.set_state("fw_size", "")
        self.expect_status(pid, "terminated", 100, "SIZE_ERROR")

        # A finished download does not block the next one.
        rw.set_state("fw_size", str(len(FW)))
        rw.slow("AB12_FW11.bin", 0)
        self.assertEqual(rw.relmond("remote", "get_fw", "start").code, 0)
        self.assertNotEqual(int(rw.state()["get_fw_pid"]), pid)
        wait_for(lambda: "FW Validation: OK" in self.status(), 20, "the second download")

    def test_stop_kills_and_deletes(self):
        self.checked(fw=FW)
        rw.slow("AB12_FW11.bin", 40 * 1024)
        self.assertEqual(rw.relmond("remote", "get_fw", "start").code, 0)
        pid = int(rw.state()["get_fw_pid"])
        wait_for(lambda: rw.w.exists("/tmp/relmond/AB12_FW11.bin"), 10, "the firmware file")
        r = rw.relmond("remote", "get_fw", "stop")
        self.assertEqual((r.code, r.out, r.err), (0, f"Stop process {pid} successfully!\n", ""))
        self.assertFalse(rw.w.exists("/tmp/relmond/AB12_FW11.bin"))
        wait_for(lambda: "terminated" in self.status(), 10, "the recorder to go")
        self.assertIn("FW Validation: UNKNOWN_ERROR\n", self.status())
        self.assertEqual(rw.state()["get_fw_pid"], str(pid))
        # wget itself goes too, and a second stop finds nothing to kill
        wait_for(lambda: not rw.wget_running(rw.base + "AB12_FW11.bin"), 10, "wget to end")
        r = rw.relmond("remote", "get_fw", "stop")
        self.assertEqual((r.code, r.out, r.err), (0, "", f"get_fw_stop: stop process {pid} failed!\n"))

    def test_json_start_restarts(self):
        self.checked(fw=FW)
        rw.slow("AB12_FW11.bin", 60 * 1024)
        self.assertEqual(rw.relmond("remote", "get_fw", "start").code, 0)
        first = int(rw.state()["get_fw_pid"])
        r = rw.relmond("remote", "get_fw", "json_start")
        self.assertEqual(r.code, 0)
        self.assertRegex(r.out, r'^\{"status":"running","progress":"\d+","validation":""\}$')
        self.assertEqual(rw.sh(f"kill -0 {first}").returncode, 1)
        second = int(rw.state()["get_fw_pid"])
        self.assertNotEqual(first, second)
        self.assertEqual(rw.requests().count("/fw/AB12_FW11.bin"), 2)
        rw.relmond("remote", "get_fw", "stop")


class Cycle(RelmondCase):
    def test_start_refused_when_disabled(self):
        for enable in [None, "0", "", "no"]:
            rw.config(enable=enable, info_url=rw.base + "info.txt")
            r = rw.relmond("start")
            self.assertEqual((r.code, r.out, r.err), (0, "", "main: relmond is not enable!\n"), enable)
        self.assertEqual(rw.requests(), [])

    def test_loop_retries_and_rereads_settings(self):
        rw.config(enable=1, interval=1, retry_interval=1, timeout=2, info_url=rw.base + "info.txt")
        loop = rw.spawn(["sh", "-c", "cd /tmp/work && exec relmond start"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def checks():
                return rw.requests().count("/fw/info.txt")
            wait_for(lambda: checks() >= 3, 15, "three failed checks")  # the server has no info file yet
            self.assertNotIn("last_check_time", rw.state())
            self.assertIn("last_check_fail_time", rw.state())
            self.checked()  # now the server answers
            n = checks()
            wait_for(lambda: checks() >= n + 2, 15, "checks every interval")
            # A longer interval takes effect with the next pass.
            rw.config(enable=1, interval=100, retry_interval=1, timeout=2, info_url=rw.base + "info.txt")
            n = checks()
            time.sleep(4)
            self.assertLessEqual(checks() - n, 2)
            n = checks()
            time.sleep(2)
            self.assertEqual(checks(), n)

            r = rw.relmond("stop")
            self.assertEqual(r.code, -9)  # killall spares only itself, not the relmond that runs it
            loop.wait(timeout=10)
            self.assertEqual(rw.sh("ps -e -o comm= | grep -c relmond").stdout.strip(), "0")
        finally:
            if loop.poll() is None:
                loop.kill()

    def test_upgrade(self):
        self.checked(fw=FW)
        self.assertEqual(rw.relmond("upgrade_fw").code, 0)  # nothing downloaded yet
        self.assertEqual(rw.calls(), ["reboot"])
        self.assertEqual(rw.relmond("remote", "get_fw", "start").code, 0)
        wait_for(lambda: "FW Validation: OK" in rw.relmond("remote", "get_fw", "status").out, 20, "download")
        r = rw.relmond("upgrade_fw")
        self.assertEqual((r.code, r.out, r.err), (0, "", ""))
        self.assertEqual(rw.calls(), ["reboot", "upgrade [-n] [/tmp/relmond/AB12_FW11.bin]"])
        rw.set_state("fw_md5", "bad")
        rw.relmond("upgrade_fw")
        rw.set_state("fw_filename", "")
        rw.relmond("upgrade_fw")
        self.assertEqual(rw.calls()[2:], ["reboot", "reboot"])


MIB = 1024 * 1024


class Room(RelmondCase):
    def small_scratch(self):
        """A 2 MiB filesystem for the scratch directory, in relmond's own
        mount namespace (1 MiB of it stays spare)."""
        rw.run(["mkdir", "-p", "/tmp/relmond"], check=True)
        rw.run(["mount", "-t", "tmpfs", "-o", "size=2m", "lab-relmond", "/tmp/relmond"], check=True)
        self.addCleanup(rw.run, ["umount", "/tmp/relmond"], check=True)
        self.assertRegex(rw.run(["df", "-k", "/tmp/relmond"]).stdout, r"\nlab-relmond +2048 .*/tmp/relmond\n")

    def test_image_larger_than_the_free_space_is_refused_before_wget(self):
        self.small_scratch()
        for size, refused, validation in [
                (str(3 * MIB), True, None), (str(MIB + MIB // 2), True, None),
                ("99999999999999999999999", True, None),
                (str(len(FW)), False, "OK"), ("", False, "SIZE_ERROR"), ("0", False, "SIZE_ERROR")]:
            with self.subTest(size=size):
                rw.run(["sh", "-c", "rm -rf /tmp/relmond/* /var/state/*; : > /tmp/srv.log"], check=True)
                self.checked(fw=FW, size=size)
                r = rw.relmond("remote", "get_fw", "start")
                if refused:
                    self.assertEqual((r.code, r.out), (255, ""))
                    m = re.fullmatch(rf"get_fw_start: get fw failed!, no room for {size} bytes in /tmp/relmond/ "
                                     r"\((\d+) bytes free, 1048576 kept spare\)\n", r.err)
                    self.assertTrue(m, r.err)
                    self.assertLessEqual(int(m.group(1)), 2 * MIB)
                    self.assertNotIn("get_fw_pid", rw.state())
                    self.assertNotIn("/fw/AB12_FW11.bin", rw.requests())
                    self.assertFalse(rw.wget_running(rw.base + "AB12_FW11.bin"))
                    self.assertEqual(rw.run(["ls", "/tmp/relmond"]).stdout.split(), ["info.txt", "release.txt"])
                else:
                    self.assertEqual((r.code, r.err), (0, ""))
                    wait_for(lambda: "terminated" in rw.relmond("remote", "get_fw", "status").out, 20, "download")
                    self.assertIn(f"FW Validation: {validation}\n", rw.relmond("remote", "get_fw", "status").out)

    def test_old_image_counts_as_free(self):
        # The download overwrites an earlier copy of the same image.
        self.small_scratch()
        big = FW * 3  # 900 KiB: fits once with the margin, not twice
        self.checked(fw=big)
        self.assertEqual(rw.relmond("remote", "get_fw", "start").code, 0)
        wait_for(lambda: "FW Validation: OK" in rw.relmond("remote", "get_fw", "status").out, 20, "download")
        r = rw.relmond("remote", "get_fw", "start")
        self.assertEqual((r.code, r.err), (0, ""))
        wait_for(lambda: "FW Validation: OK" in rw.relmond("remote", "get_fw", "status").out, 20, "download")
        self.assertEqual(rw.requests().count("/fw/AB12_FW11.bin"), 2)


class Signed(RelmondCase):
    FW2 = FW[:-1] + b"!"

    def setUp(self):
        super().setUp()
        self.assertTrue(os.access(rw.signify, os.X_OK), "signify-openbsd is not installed")
        self.pub, self.sec = rw.keypair("a")
        self.signed(self.pub)

    def signed(self, pub):
        rw.config(info_url=rw.base + "info.txt", timeout=3, upgrade_fw_cmd="/tmp/bin/fake-upgrade -n", pubkey=pub)

    def download(self):
        self.assertEqual(rw.relmond("remote", "get_fw", "start").code, 0)
        wait_for(lambda: "terminated" in rw.relmond("remote", "get_fw", "status").out, 20, "the download")
        r = rw.relmond("remote", "get_fw", "status")
        return re.search(r"FW Validation: (\w+)\n", r.out).group(1)

    def test_signed_image_validates_and_upgrades(self):
        self.checked(fw=FW)
        rw.serve("AB12_FW11.bin.sig", rw.sign(FW, self.sec))
        rw.w.write("/tmp/relmond/AB12_FW11.bin.sig", "an old signature\n")
        self.assertEqual(self.download(), "OK")
        self.assertEqual(rw.requests()[-2:], ["/fw/AB12_FW11.bin", "/fw/AB12_FW11.bin.sig"])
        self.assertEqual(rw.w.read("/tmp/relmond/AB12_FW11.bin.sig", binary=True), rw.sign(FW, self.sec))
        self.assertIn("Progress: 100%\n", rw.relmond("remote", "get_fw", "status").out)
        self.assertEqual(rw.relmond("remote", "get_fw", "json_status").out,
                         '{"status":"terminated","progress":"100","validation":"OK"}')
        r = rw.relmond("upgrade_fw")
        self.assertEqual((r.code, r.out, r.err), (0, "", ""))
        self.assertEqual(rw.calls(), ["upgrade [-n] [/tmp/relmond/AB12_FW11.bin]"])
        self.assertEqual(rw.usign_calls()[-1], "usign [-V] [-q] [-m] [/tmp/relmond/AB12_FW11.bin] "
                         "[-x] [/tmp/relmond/AB12_FW11.bin.sig] [-p] [/tmp/keys/a.pub]")
        rw.relmond("remote", "get_fw", "stop")
        self.assertFalse(rw.w.exists("/tmp/relmond/AB12_FW11.bin"))
        self.assertFalse(rw.w.exists("/tmp/relmond/AB12_FW11.bin.sig"))

    def test_untrusted_images_give_sign_error(self):
        _, other = rw.keypair("b")
        cases = [
            # what the server has: image, its signature (None: none), key setting
            ("wrong signature", FW, lambda: rw.sign(self.FW2, self.sec), None),
            ("another key", FW, lambda: rw.sign(FW, other), None),
            ("no .sig", FW, lambda: None, None),
            ("not a signature", FW, lambda: b"untrusted comment: x\nnot base64\n", None),
            ("changed after signing", self.FW2, lambda: rw.sign(FW, self.sec), None),
            ("no key file", FW, lambda: rw.sign(FW, self.sec), "/tmp/keys/missing.pub"),
        ]
        for what, image, sig, pub in cases:
            with self.subTest(what):
                rw.reset()
                self.pub, self.sec = rw.keypair("a")
                _, other = rw.keypair("b")
                self.signed(pub or self.pub)
                self.checked(fw=image)
                data = sig()
                if data is not None:
                    rw.serve("AB12_FW11.bin.sig", data)
                self.assertEqual(self.download(), "SIGN_ERROR")
                self.assertEqual(rw.relmond("remote", "get_fw", "json_status").out,
                                 '{"status":"terminated","progress":"100","validation":"SIGN_ERROR"}')
                self.assertEqual(rw.relmond("upgrade_fw").code, 0)
                self.assertEqual(rw.calls(), ["reboot"])
                # a wrong MD5 still says so first
                rw.set_state("fw_md5", "0" * 32)
                self.assertIn("FW Validation: MD5_ERROR\n", rw.relmond("remote", "get_fw", "status").out)

    def test_without_a_key_nothing_is_fetched_or_checked(self):
        for pub in [None, ""]:
            with self.subTest(pub=pub):
                rw.reset()
                self.signed(pub)
                self.checked(fw=FW)
                rw.serve("AB12_FW11.bin.sig", b"garbage\n")
                rw.w.write("/tmp/relmond/AB12_FW11.bin.sig", "kept\n")
                self.assertEqual(self.download(), "OK")
                rw.relmond("upgrade_fw")
                self.assertEqual(rw.calls(), ["upgrade [-n] [/tmp/relmond/AB12_FW11.bin]"])
                rw.relmond("remote", "get_fw", "stop")
                self.assertNotIn("/fw/AB12_FW11.bin.sig", rw.requests())
                self.assertEqual(rw.usign_calls(), [])
                self.assertEqual(rw.w.read("/tmp/relmond/AB12_FW11.bin.sig"), "kept\n")

    def test_shell_texts_in_key_path_and_names_stay_text(self):
        key_dir = "/tmp/keys/k;touch pwned;$(touch pwned)`touch pwned`'x"
        rw.w.run(["mkdir", "-p", key_dir], check=True)
        for name in ["x;touch pwned;.bin", "$(touch pwned).bin", "it's';touch pwned;'.bin", "`touch pwned`"]:
            with self.subTest(name=name):
                pub, sec = f"{key_dir}/'$(touch pwned)'.pub", f"{key_dir}/'$(touch pwned)'.sec"
                rw.w.run(["rm", "-f", pub, sec, "/tmp/calls"], check=True)
                rw.w.run([rw.signify, "-G", "-n", "-p", pub, "-s", sec], check=True)
                self.signed(pub)
                self.checked(fw=FW, fw_name=name)
                rw.serve(name + ".sig", rw.sign(FW, sec))
                self.assertEqual(self.download(), "OK")
                rw.relmond("upgrade_fw")
                self.assertEqual(rw.calls(), [f"upgrade [-n] [/tmp/relmond/{name}]"])
                self.assertIn(f"[-x] [/tmp/relmond/{name}.sig] [-p] [{pub}]", rw.usign_calls()[-1])
                rw.relmond("remote", "get_fw", "stop")
                self.assertFalse(rw.w.exists(f"/tmp/relmond/{name}.sig"))
                self.nothing_outside()


def main():
    if os.geteuid() != 0:
        print("0 passed, 0 failed, 1 skipped: needs root")
        return 0
    run_tests()


if __name__ == "__main__":
    sys.exit(main())
