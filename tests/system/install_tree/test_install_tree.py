#!/usr/bin/env python3
"""`cmake --install` with DESTDIR gives the tree the OpenWrt packages take their files from; the
feed in packaging/openwrt keeps the rules a feed maintainer checks that need no SDK."""
import glob
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
FEED = os.path.join(SOURCE, "packaging/openwrt")

PROGRAMS = ["usr/sbin/acd", "usr/sbin/relmond", "usr/sbin/corvel", "usr/sbin/fwsum",
            "etc/init.d/acd", "etc/init.d/relmond", "etc/init.d/corvel", "etc/init.d/fwsum",
            "usr/bin/ac-proxy-restart", "usr/bin/chklst.sh", "usr/bin/mp.up.bulkagent.sh",
            "usr/bin/mp.timeout.kill.sh"]
FILES = ["usr/lib/libtessel.so", "usr/lib/libbulk.so", "usr/lib/rpcd/tallier.so",
         "usr/include/bulktools.h", "etc/config/relmond", "etc/config/acd",
         "usr/share/rpcd/acl.d/apctl.json", "usr/share/rpcd/acl.d/tallier.json"]

# The seven packages of the access controller, and what the feed adds for them.
OUR_PACKAGES = {"acd", "relmond", "libtessel", "rpcd-mod-tallier", "libbulk", "corvel", "fwsum"}
FEED_EXTRA = {"tftp-hpa"}
# Packages of the OpenWrt core and packages feed that a package here may depend on.
KNOWN = {"libubox", "libubus", "libblobmsg-json", "libjson-c", "libuci", "rpcd", "openssl-util",
         "wget-ssl", "script-utils", "coreutils-nohup", "ip-tiny", "ip-full", "usign"}
# Known, but a dependency on them is redundant (base system) or heavier than needed.
NOT_AS_DEPENDS = {"ubusd": "part of the base system", "ip-full": "ip-tiny does `ip route`/`ip addr`"}
# NEEDED entries of the platform's libraries and the packages that bring them.
LIB_PACKAGE = {"libubox.so": "libubox", "libubus.so": "libubus", "libblobmsg_json.so": "libblobmsg-json",
               "libjson-c.so": "libjson-c", "libuci.so": "libuci", "libtessel.so": "libtessel"}
# The C library, and the toolchain's runtimes (footprint_needed keeps the C++ ones out of a normal
# build; the sanitizer build adds its own).
LIBC = re.compile(r"^(libc|libm|libdl|libpthread|librt|ld-.*|libasan|libubsan|libstdc\+\+|libgcc_s)\.so")
# Where the sources of the packages that register ubus objects are.
REGISTERS_FROM = {"acd": "acd", "rpcd-mod-tallier": "tallier"}
SPDX_OR_REF = re.compile(r"^(LicenseRef-[A-Za-z0-9.-]+|GPL-2\.0-only|GPL-2\.0-or-later|MIT|ISC|"
                         r"BSD-[234]-Clause|Apache-2\.0|LGPL-2\.1-or-later)$")


def read(path, mode="r"):
    with open(path, mode, **({} if "b" in mode else {"errors": "replace"})) as f:
        return f.read()


def parse_makefile(path):
    """The top-level assignments and the define blocks of an OpenWrt package Makefile."""
    text = read(path).replace("\\\n", " ")
    vars_, blocks, packages = {}, {}, []
    name = None
    for line in text.splitlines():
        if name is not None:
            if line.strip() == "endef":
                name = None
            else:
                blocks[name].append(line)
            continue
        m = re.match(r"^define\s+(\S+)\s*$", line)
        if m:
            name = m.group(1)
            blocks[name] = []
            continue
        m = re.match(r"^([A-Z_]+)\s*(?::=|\+=|=|\?=)\s*(.*)$", line)
        if m:
            vars_[m.group(1)] = (vars_.get(m.group(1), "") + " " + m.group(2)).strip()
        m = re.match(r"^\$\(eval \$\(call BuildPackage,([^)]+)\)\)", line)
        if m:
            packages.append(m.group(1))
    return vars_, blocks, packages


def block_fields(blocks, name):
    """The fields of `define Package/NAME`, with a `$(call X)` of a default block expanded."""
    fields = {}
    for line in blocks.get(name, []):
        m = re.match(r"^\s*\$\(call ([^)]+)\)\s*$", line)
        if m:
            fields.update(block_fields(blocks, m.group(1)))
            continue
        m = re.match(r"^\s*([A-Z_]+)\s*(?::=|\+=|=)\s*(.*)$", line)
        if m:
            fields[m.group(1)] = m.group(2).strip()
    return fields


class Feed:
    def __init__(self):
        self.makefiles = sorted(glob.glob(os.path.join(FEED, "*", "Makefile")))
        self.pkgs = {}  # package -> (makefile vars, fields, blocks)
        for mk in self.makefiles:
            vars_, blocks, packages = parse_makefile(mk)
            for p in packages:
                self.pkgs[p] = (vars_, block_fields(blocks, "Package/" + p), blocks, mk)

    def install_refs(self, pkg):
        return re.findall(r"\$\(PKG_INSTALL_DIR\)/(\S+)", "\n".join(self.pkgs[pkg][2].get(f"Package/{pkg}/install", [])))

    def depends(self, pkg):
        return [d.lstrip("+@") for d in self.pkgs[pkg][1].get("DEPENDS", "").split()]


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
        cls.feed = Feed()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, p):
        return os.path.join(self.root, p)

    def matches(self, ref):
        pat = re.compile("^" + re.escape(ref).replace(r"\*", "[^/]*") + "(/.*)?$")
        return {p for p in self.tree if pat.match(p)}

    def owned(self, pkg):
        """The files of the install tree that the package takes."""
        got = set()
        for ref in self.feed.install_refs(pkg):
            got |= self.matches(ref)
        return got

    def test_every_file_in_its_place(self):
        for p in PROGRAMS + FILES:
            self.assertIn(p, self.tree)
        for p in PROGRAMS:
            mode = os.stat(self.path(p)).st_mode
            self.assertTrue(mode & stat.S_IXUSR, f"{p} is not executable")

    def test_public_headers(self):
        headers = [p for p in self.tree if p.startswith("usr/include/")]
        self.assertIn("usr/include/bulktools.h", headers)
        self.assertTrue(any("tessel" in h for h in headers), headers)

    def test_json_files_valid(self):
        for p in self.tree:
            if p.endswith(".json"):
                with open(self.path(p)) as f:
                    json.load(f)

    def test_acl_groups(self):
        with open(self.path("usr/share/rpcd/acl.d/apctl.json")) as f:
            acl = json.load(f)
        read = acl["apctl-read"]["read"]["ubus"]
        self.assertNotIn("get_config", read.get("ac.get.config", []))
        self.assertNotIn("wlan_profile", read.get("ac.get.apinfo", []))
        write = acl["apctl-write"]["write"]["ubus"]
        for status in ("apfw_upload_status", "apfw_pwd_status"):
            self.assertIn(status, write["ac.apfw.check"])

    def test_relmond_config_defaults(self):
        with open(self.path("etc/config/relmond")) as f:
            text = f.read()
        self.assertIn("config relmond 'config'", text)
        self.assertIn("option enable '0'", text)
        self.assertIn("config relmond 'remote'", text)

    def test_packages_take_what_is_installed(self):
        """Every file a package installs exists in the tree, and every file in the tree belongs to
        a package or to the SDK's staging (Build/InstallDev: headers, the libraries' dev links)."""
        covered = set()
        for pkg in OUR_PACKAGES:
            refs = self.feed.install_refs(pkg)
            self.assertTrue(refs, pkg)
            for ref in refs:
                hits = self.matches(ref)
                self.assertTrue(hits, f"{pkg}: package file {ref} not in the install tree")
                covered |= hits
        vars_, _, blocks, _ = self.feed.pkgs["acd"]
        for ref in re.findall(r"\$\(PKG_INSTALL_DIR\)/(\S+)", "\n".join(blocks["Build/InstallDev"])):
            hits = self.matches(ref)
            self.assertTrue(hits, f"staging file {ref} not in the install tree")
            covered |= {p for p in hits if p.startswith("usr/include/") or p.endswith(".so")}
        self.assertEqual(sorted(self.tree - covered), [])
        # no file goes to two packages
        for a in OUR_PACKAGES:
            for b in OUR_PACKAGES - {a}:
                self.assertFalse(self.owned(a) & self.owned(b), (a, b))

    def test_feed_layout(self):
        """One folder per source package under the feed root, each with its Makefile."""
        self.assertEqual(set(self.feed.pkgs), OUR_PACKAGES | FEED_EXTRA)
        for entry in os.listdir(FEED):
            self.assertTrue(os.path.isfile(os.path.join(FEED, entry, "Makefile")), entry)

    def test_makefile_headers(self):
        for mk in self.feed.makefiles:
            vars_, blocks, _ = parse_makefile(mk)
            text = read(mk)
            with self.subTest(makefile=mk):
                self.assertRegex(vars_.get("PKG_MAINTAINER", ""), r"^[^<>]+ <[^<>@\s]+@[^<>\s]+>$")
                for lic in vars_.get("PKG_LICENSE", "").split():
                    self.assertRegex(lic, SPDX_OR_REF)
                self.assertTrue(vars_.get("PKG_LICENSE"))
                self.assertTrue(vars_.get("PKG_LICENSE_FILES"))
                self.assertTrue(vars_.get("PKG_RELEASE"))
                self.assertNotIn("CURDIR)/..", text, "copies from outside the package folder")
                if "cmake.mk" in text:
                    # cmake.mk sets these from the build configuration
                    self.assertNotIn("CMAKE_BUILD_TYPE", text)
                    self.assertNotIn("PKG_INSTALL", vars_)
                    self.assertNotIn("PKG_BUILD_PARALLEL", vars_)
                if "PKG_SOURCE" in vars_:
                    self.assertTrue(vars_.get("PKG_SOURCE_URL"))
                    self.assertRegex(vars_.get("PKG_HASH", ""), r"^[0-9a-f]{64}$")
        # our own sources carry the licence file they name
        for f in self.feed.pkgs["acd"][0]["PKG_LICENSE_FILES"].split():
            self.assertTrue(os.path.isfile(os.path.join(SOURCE, f)), f)

    def test_package_definitions(self):
        for pkg, (_, fields, blocks, _) in sorted(self.feed.pkgs.items()):
            with self.subTest(package=pkg):
                for key in ("SECTION", "CATEGORY", "TITLE"):
                    self.assertTrue(fields.get(key), key)
                desc = "\n".join(blocks.get(f"Package/{pkg}/description", [])).strip()
                self.assertGreater(len(desc), 40, "description")
                if pkg.startswith("lib") or pkg.startswith("rpcd-mod-"):
                    self.assertEqual((fields["SECTION"], fields["CATEGORY"]), ("libs", "Libraries"))

    def test_depends_name_known_packages(self):
        feed = set(self.feed.pkgs)
        for pkg in self.feed.pkgs:
            for dep in self.feed.depends(pkg):
                with self.subTest(package=pkg, dep=dep):
                    self.assertNotIn(dep, NOT_AS_DEPENDS, NOT_AS_DEPENDS.get(dep))
                    self.assertIn(dep, KNOWN | feed)

    def test_depends_cover_needed_libraries(self):
        for pkg in OUR_PACKAGES:
            deps = set(self.feed.depends(pkg))
            for p in self.owned(pkg):
                full = self.path(p)
                if os.path.islink(full) or read(full, "rb")[:4] != b"\x7fELF":
                    continue
                for lib in self.dynamic(p, "NEEDED"):
                    if LIBC.match(lib):
                        continue
                    base = re.sub(r"\.so\..*$", ".so", lib)
                    with self.subTest(package=pkg, file=p, needed=lib):
                        self.assertIn(base, LIB_PACKAGE)
                        self.assertIn(LIB_PACKAGE[base], deps)

    def dynamic(self, p, tag):
        out = subprocess.run(["readelf", "-d", self.path(p)], check=True, capture_output=True,
                             text=True).stdout
        return re.findall(r"\(" + tag + r"\)\s+\S+ \S+: \[([^\]]+)\]", out)

    def test_abi_versions_match_sonames(self):
        for pkg in OUR_PACKAGES:
            fields = self.feed.pkgs[pkg][1]
            libs = [p for p in self.owned(pkg) if re.match(r"^usr/lib/lib[^/]+\.so", p)]
            with self.subTest(package=pkg):
                if not libs:
                    self.assertNotIn("ABI_VERSION", fields)
                    continue
                abi = fields.get("ABI_VERSION")
                self.assertTrue(abi, "shared library without ABI_VERSION")
                for p in libs:
                    name = os.path.basename(p).split(".so")[0]
                    self.assertEqual(self.dynamic(p, "SONAME"), [f"{name}.so.{abi}"], p)
                # the run-time package takes the versioned names, not the link for the linker
                self.assertFalse([p for p in libs if p.endswith(".so")], libs)

    def test_install_modes(self):
        """Programs, scripts and shared objects go in with INSTALL_BIN (or are copied with their
        links); configuration under /etc/config with INSTALL_CONF and listed as conffiles."""
        for pkg in OUR_PACKAGES:
            _, _, blocks, _ = self.feed.pkgs[pkg]
            conffiles = "\n".join(blocks.get(f"Package/{pkg}/conffiles", [])).split()
            for line in blocks[f"Package/{pkg}/install"]:
                m = re.search(r"\$\((INSTALL_\w+|CP)\) \$\(PKG_INSTALL_DIR\)/(\S+)", line)
                if not m:
                    continue
                how, ref = m.groups()
                with self.subTest(package=pkg, file=ref):
                    if ref.endswith(".so") or "/init.d/" in ref or "/sbin/" in ref or "/libexec/" in ref:
                        self.assertEqual(how, "INSTALL_BIN")
                    if ref.startswith("etc/config/"):
                        self.assertEqual(how, "INSTALL_CONF")
                        self.assertIn("/" + ref, conffiles)
                    if ref.startswith("usr/share/"):
                        self.assertEqual(how, "INSTALL_DATA")

    def test_scripts_executable_and_parse(self):
        scripts = [p for p in self.tree
                   if p.startswith(("etc/init.d/", "usr/libexec/", "usr/bin/"))]
        self.assertTrue(scripts)
        for p in scripts:
            with self.subTest(script=p):
                self.assertTrue(os.stat(self.path(p)).st_mode & stat.S_IXUSR, "not executable")
                r = subprocess.run(["sh", "-n", self.path(p)], capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
        for f in glob.glob(os.path.join(FEED, "*", "files", "*")):
            if read(f)[:2] == "#!":
                self.assertTrue(os.stat(f).st_mode & stat.S_IXUSR, f"{f} is not executable")

    def test_helpers_outside_bin(self):
        """Helper scripts live in /usr/libexec/<package>/; what the programs start by a fixed
        /usr/bin name is a link to them, shipped by the same package."""
        for pkg in OUR_PACKAGES:
            owned = self.owned(pkg)
            for p in owned:
                if not p.startswith("usr/bin/"):
                    continue
                with self.subTest(package=pkg, file=p):
                    self.assertTrue(os.path.islink(self.path(p)), "a file in /usr/bin")
                    target = os.path.normpath(os.path.join("usr/bin", os.readlink(self.path(p))))
                    self.assertTrue(target.startswith(f"usr/libexec/{pkg}/"), target)
                    self.assertIn(target, owned)

    def test_init_scripts(self):
        for name in ("acd", "relmond", "corvel", "fwsum"):
            text = read(self.path("etc/init.d/" + name))
            with self.subTest(init=name):
                self.assertTrue(text.startswith("#!/bin/sh /etc/rc.common\n"))
                self.assertIn("\nUSE_PROCD=1\n", text)
                self.assertRegex(text, r"\nSTART=\d+\n")
                # procd stops it and limits respawns: no killing or restarting behind its back
                self.assertNotIn("killall", text)
                self.assertNotIn("stop_service", text)
                for config in re.findall(r"config_load (\S+)", text):
                    self.assertIn(f"procd_add_reload_trigger {config}", text)
        relmond = read(self.path("etc/init.d/relmond"))
        self.assertIn("config_load relmond", relmond)
        # acd's stdout (a line per datagram) is not in the log by default
        acd = read(self.path("etc/init.d/acd"))
        self.assertNotIn("procd_set_param stdout 1", acd)
        self.assertIn("procd_set_param stderr 1", acd)
        self.assertIn("option stdout '0'", read(self.path("etc/config/acd")))

    def test_restart_left_to_procd(self):
        """acd's crash handler runs ac-proxy-restart; the default must not restart acd itself."""
        text = read(self.path("usr/bin/ac-proxy-restart"))
        self.assertNotRegex(text, r"/etc/init\.d/acd|service acd|/usr/sbin/acd|\bacd &")
        self.assertIn("procd_set_param respawn", read(self.path("etc/init.d/acd")))

    def test_shell_tools_have_packages(self):
        """`ip` is no busybox applet in OpenWrt: who runs it depends on a package with it."""
        runs_ip = {"acd": read(os.path.join(SOURCE, "acd/vex/vex_transport.cpp"))}
        for pkg in OUR_PACKAGES:
            for p in self.owned(pkg):
                full = self.path(p)
                if not os.path.islink(full) and read(full, "rb")[:2] == b"#!":
                    runs_ip[pkg] = runs_ip.get(pkg, "") + read(full)
        for pkg, text in runs_ip.items():
            if re.search(r"(^|[\s\"(|;&])ip (addr|route|link) ", text, re.M):
                with self.subTest(package=pkg):
                    self.assertTrue({"ip-tiny", "ip-full"} & set(self.feed.depends(pkg)))

    def test_tftp_client_comes_from_the_feed(self):
        """acd runs /usr/bin/tftp-hpa; a package of the feed installs it and acd depends on it."""
        self.assertTrue(self.grep_source("acd", '"/usr/bin/tftp-hpa '))
        _, _, blocks, _ = self.feed.pkgs["tftp-hpa"]
        self.assertRegex("\n".join(blocks["Package/tftp-hpa/install"]), r"\$\(1\)/usr/bin/tftp-hpa\s*$")
        self.assertIn("tftp-hpa", self.feed.depends("acd"))

    def grep_source(self, folder, needle):
        for d, _, files in os.walk(os.path.join(SOURCE, folder)):
            for f in files:
                if f.endswith((".cpp", ".hpp", ".h", ".c")):
                    text = read(os.path.join(d, f))
                    if needle in text:
                        return text
        return ""

    def test_acls_name_only_registered_objects(self):
        """Each ACL file is valid JSON, belongs to the package that registers the ubus objects it
        names, and that package reloads rpcd after installing it."""
        acls = [p for p in self.tree if p.startswith("usr/share/rpcd/acl.d/")]
        self.assertEqual(len(acls), 2)
        for pkg in OUR_PACKAGES:
            _, _, blocks, _ = self.feed.pkgs[pkg]
            mine = [p for p in self.owned(pkg) if p in acls or p.startswith("usr/lib/rpcd/")]
            for p in mine:
                with self.subTest(package=pkg, file=p):
                    postinst = "\n".join(blocks.get(f"Package/{pkg}/postinst", []))
                    self.assertIn("IPKG_INSTROOT", postinst)
                    self.assertIn("/etc/init.d/rpcd reload", postinst)
                    if p.startswith("usr/lib/rpcd/"):
                        self.assertTrue(pkg.startswith("rpcd-mod-"))
                        continue
                    with open(self.path(p)) as f:
                        acl = json.load(f)
                    self.assertIn(pkg, REGISTERS_FROM)
                    names = set()
                    for group in acl.values():
                        self.assertTrue(group.get("description"))
                        for access in ("read", "write"):
                            names |= set(group.get(access, {}).get("ubus", {}))
                    self.assertTrue(names)
                    for obj in names:
                        self.assertTrue(self.grep_source(REGISTERS_FROM[pkg], f'"{obj}"'),
                                        f"{obj} is not registered by {pkg}")


if __name__ == "__main__":
    run_tests()
