#!/usr/bin/env python3
"""`cmake --install` with DESTDIR gives the tree the OpenWrt packages take their files from."""
import json
import os
import re
import stat
import subprocess
import tempfile
import unittest

from lab import run_tests

BUILD = os.environ.get("APCTL_BUILD", "build")
SOURCE = os.environ.get("APCTL_SOURCE", ".")

PROGRAMS = ["usr/sbin/acd", "usr/sbin/relmond", "usr/sbin/corvel", "usr/sbin/fwsum",
            "etc/init.d/acd", "etc/init.d/relmond", "etc/init.d/corvel", "etc/init.d/fwsum",
            "usr/bin/ac-proxy-restart", "usr/bin/chklst.sh", "usr/bin/mp.up.bulkagent.sh",
            "usr/bin/mp.timeout.kill.sh"]
FILES = ["usr/lib/libtessel.so", "usr/lib/libbulk.so", "usr/lib/rpcd/tallier.so",
         "usr/include/bulktools.h", "etc/config/relmond", "usr/share/rpcd/acl.d/apctl.json"]


class InstallTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = cls.tmp.name
        env = dict(os.environ, DESTDIR=cls.root)
        subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        cls.tree = set()
        for d, _, files in os.walk(cls.root):
            for f in files:
                cls.tree.add(os.path.relpath(os.path.join(d, f), cls.root))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_every_file_in_its_place(self):
        for p in PROGRAMS + FILES:
            self.assertIn(p, self.tree)
        for p in PROGRAMS:
            mode = os.stat(os.path.join(self.root, p)).st_mode
            self.assertTrue(mode & stat.S_IXUSR, f"{p} is not executable")

    def test_public_headers(self):
        headers = [p for p in self.tree if p.startswith("usr/include/")]
        self.assertIn("usr/include/bulktools.h", headers)
        self.assertTrue(any("tessel" in h for h in headers), headers)

    def test_json_files_valid(self):
        for p in self.tree:
            if p.endswith(".json"):
                with open(os.path.join(self.root, p)) as f:
                    json.load(f)

    def test_acl_groups(self):
        with open(os.path.join(self.root, "usr/share/rpcd/acl.d/apctl.json")) as f:
            acl = json.load(f)
        read = acl["apctl-read"]["read"]["ubus"]
        self.assertNotIn("get_config", read.get("ac.get.config", []))
        self.assertNotIn("wlan_profile", read.get("ac.get.apinfo", []))
        write = acl["apctl-write"]["write"]["ubus"]
        for status in ("apfw_upload_status", "apfw_pwd_status"):
            self.assertIn(status, write["ac.apfw.check"])

    def test_relmond_config_defaults(self):
        with open(os.path.join(self.root, "etc/config/relmond")) as f:
            text = f.read()
        self.assertIn("config relmond 'config'", text)
        self.assertIn("option enable '0'", text)
        self.assertIn("config relmond 'remote'", text)

    def test_packages_take_what_is_installed(self):
        """Every file a package installs exists in the tree, and every file in the tree
        belongs to some package (headers go to the SDK's staging instead)."""
        with open(os.path.join(SOURCE, "packaging/openwrt/Makefile")) as f:
            mk = f.read()
        refs = re.findall(r"\$\(PKG_INSTALL_DIR\)/(\S+)", mk)
        self.assertTrue(refs)
        covered = set()
        for ref in refs:
            pat = re.compile("^" + re.escape(ref).replace(r"\*", "[^/]*") + "(/.*)?$")
            hits = {p for p in self.tree if pat.match(p)}
            self.assertTrue(hits, f"package file {ref} not in the install tree")
            covered |= hits
        self.assertEqual(sorted(p for p in self.tree - covered if not p.startswith("usr/include/")), [])


if __name__ == "__main__":
    run_tests()
