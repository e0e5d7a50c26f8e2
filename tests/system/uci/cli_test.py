"""The uci command line on private config, save and state directories."""
import os
import subprocess
import tempfile
import unittest

from lab import build_path, run_tests, runner_cmd

UCI = build_path("platform/uci/uci")

CONFIG = ("\nconfig clitest 'main'\n"
          "\toption enable '1'\n"
          "\tlist servers 'a'\n"
          "\tlist servers 'b c'\n"
          "\toption msg 'it'\\''s'\n"
          "\nconfig item\n"
          "\toption name 'first'\n"
          "\nconfig item\n"
          "\toption name 'second'\n")


class Cli(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="uci-cli-")
        self.dir = self.tmp.name
        self.conf = os.path.join(self.dir, "conf")
        self.save = os.path.join(self.dir, "save")
        self.state = os.path.join(self.dir, "state")
        os.mkdir(self.conf)
        self.write("conf/clitest", CONFIG)

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, rel, text):
        with open(os.path.join(self.dir, rel), "w") as f:
            f.write(text)

    def read(self, rel):
        with open(os.path.join(self.dir, rel)) as f:
            return f.read()

    def uci(self, *args, opts=None):
        if opts is None:
            opts = ["-t", self.save]
        return subprocess.run(runner_cmd([UCI, "-c", self.conf, *opts, *args]), capture_output=True, text=True,
                              timeout=30)

    def ok(self, *args, **kw):
        r = self.uci(*args, **kw)
        self.assertEqual((r.returncode, r.stderr), (0, ""), args)
        return r.stdout

    def test_get_formats(self):
        self.assertEqual(self.ok("get", "clitest.main.enable"), "1\n")
        self.assertEqual(self.ok("get", "clitest.main.servers"), "a 'b c'\n")
        self.assertEqual(self.ok("get", "clitest.main.msg"), "it's\n")
        self.assertEqual(self.ok("get", "clitest.main"), "clitest\n")
        self.assertEqual(self.ok("get", "clitest.@item[-1].name"), "second\n")
        for path in ("clitest.main.nope", "clitest.nosec", "clitest.@item[2].name", "nopkg.main"):
            r = self.uci("get", path)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (1, "", f"{UCI}: Entry not found\n"), path)
        r = self.uci("-q", "get", "clitest.main.nope")
        self.assertEqual((r.returncode, r.stderr), (1, ""))

    def test_show(self):
        self.assertEqual(self.ok("show", "clitest"),
                         "clitest.main=clitest\n"
                         "clitest.main.enable='1'\n"
                         "clitest.main.servers='a' 'b c'\n"
                         "clitest.main.msg='it'\\''s'\n"
                         "clitest.@item[0]=item\n"
                         "clitest.@item[0].name='first'\n"
                         "clitest.@item[1]=item\n"
                         "clitest.@item[1].name='second'\n")
        self.assertEqual(self.ok("-X", "show", "clitest.@item[1]"),
                         "clitest.cfg039e34=item\nclitest.cfg039e34.name='second'\n")
        self.assertEqual(self.ok("show", "clitest.main.servers"), "clitest.main.servers='a' 'b c'\n")
        self.assertEqual(self.ok("show"), self.ok("show", "clitest"))

    def test_changes_commit_and_files(self):
        self.assertEqual(self.ok("set", "clitest.main.enable=0"), "")
        self.assertEqual(self.ok("add", "clitest", "item"), "cfg049e34\n")
        self.ok("set", "clitest.@item[-1].name=third one")
        self.ok("add_list", "clitest.main.servers=d")
        self.ok("del_list", "clitest.main.servers=a")
        self.ok("delete", "clitest.@item[0]")
        self.ok("delete", "clitest.main.msg")
        self.assertEqual(self.read("save/clitest"),
                         "clitest.main.enable='0'\n"
                         "+clitest.cfg049e34='item'\n"
                         "clitest.cfg049e34.name='third one'\n"
                         "|clitest.main.servers='d'\n"
                         "~clitest.main.servers='a'\n"
                         "-clitest.cfg029e34\n"
                         "-clitest.main.msg\n")
        self.assertEqual(self.ok("changes", "clitest"),
                         "clitest.main.enable='0'\n"
                         "clitest.cfg049e34='item'\n"
                         "clitest.cfg049e34.name='third one'\n"
                         "clitest.main.servers+='d'\n"
                         "clitest.main.servers-='a'\n"
                         "-clitest.cfg029e34\n"
                         "-clitest.main.msg\n")
        self.assertEqual(self.ok("commit", "clitest"), "")
        self.assertEqual(self.read("conf/clitest"),
                         "\nconfig clitest 'main'\n"
                         "\toption enable '0'\n"
                         "\tlist servers 'b c'\n"
                         "\tlist servers 'd'\n"
                         "\nconfig item\n"
                         "\toption name 'second'\n"
                         "\nconfig item\n"
                         "\toption name 'third one'\n\n")
        self.assertEqual(self.read("save/clitest"), "")
        self.assertEqual(self.ok("changes"), "")

    def test_revert(self):
        self.ok("set", "clitest.main.enable=0")
        self.ok("add_list", "clitest.main.enable=x")
        self.ok("set", "clitest.main.other=1")
        self.ok("revert", "clitest.main.enable")
        self.assertEqual(self.read("save/clitest"), "clitest.main.other='1'\n")
        self.assertEqual(self.ok("get", "clitest.main.enable"), "1\n")
        self.ok("revert", "clitest")
        self.assertEqual(self.read("save/clitest"), "")

    def test_state_directory(self):
        state = ["-P", self.state]
        self.ok("set", "clitest.main.pid=42", opts=state)
        self.assertEqual(self.read("state/clitest"), "clitest.main.pid='42'\n")
        self.assertFalse(os.path.exists(self.save + "/clitest"))
        self.assertEqual(self.uci("get", "clitest.main.pid").returncode, 1)
        self.assertEqual(self.ok("get", "clitest.main.pid", opts=state), "42\n")
        self.assertEqual(self.ok("get", "clitest.main.pid", opts=["-p", self.state, "-t", self.save]), "42\n")
        before = self.read("conf/clitest")
        r = self.uci("commit", opts=state)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertEqual(self.read("conf/clitest"), before)
        self.assertEqual(self.read("state/clitest"), "clitest.main.pid='42'\n")

    def test_errors(self):
        r = self.uci("set", "clitest.nosec.opt=1")
        self.assertEqual((r.returncode, r.stderr), (1, f"{UCI}: Invalid argument\n"))
        for args in ([], ["bogus"], ["get"], ["get", "a", "b"], ["add", "clitest"]):
            r = self.uci(*args)
            self.assertEqual(r.returncode, 255, args)
            self.assertIn("Usage:", r.stderr)
        outside = os.path.join(self.dir, "outside")
        with open(outside, "w") as f:
            f.write("config t 's'\n")
        for args in (["get", "../outside.s"], ["commit", "../outside"], ["changes", "../outside"],
                     ["add", "../outside", "t"]):
            r = self.uci(*args)
            self.assertEqual(r.returncode, 1, args)
        self.assertEqual(self.read("outside"), "config t 's'\n")
        self.assertFalse(os.path.exists(self.save))

    def test_parse_error_names_file_and_line(self):
        self.write("conf/clitest", "config t 's'\n\toption a 'b' extra\n")
        r = self.uci("show", "clitest")
        path = os.path.join(self.conf, "clitest")
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertEqual(r.stderr,
                         f"{UCI}: {path}: Parse error (too many arguments) at line 2, byte 15\n")
        r = self.uci("set", "clitest.s.a=c")
        self.assertEqual(r.returncode, 1)
        self.assertFalse(os.path.exists(self.save))
        self.assertEqual(self.ok("-S", "get", "clitest.s.a"), "b\n")


if __name__ == "__main__":
    run_tests()
