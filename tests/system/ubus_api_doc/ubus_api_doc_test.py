"""docs/ubus-api.md is true: checked against `ubus -v list` and real replies of a lab run."""
import json
import re
import sys
import time
import unittest

from acd_world import AcdWorld
from apsim import ap_conf, ap_ip, ap_mac
from lab import build_path, run_tests, source_path, wait_for

DOC = "docs/ubus-api.md"
# The bus's type words for the reference's argument types.
BUS_TYPES = {"string": "String", "array": "Array", "table": "Table", "integer": "Integer", "boolean": "Boolean"}
CHECKER = "#!/bin/sh\necho \"checking $1 for model $2\"\n[ \"$2\" = APSIM-AX1001 ] && exit 0\n" \
          "echo \"image is not for model $2\" >&2\nexit 3\n"

# The run whose replies the examples must match, in order: (object, method, arguments).
SCENARIO = [
    ("ac.get.apinfo", "ap_discover", None),
    ("ac.get.apinfo", "wlan_info", None),
    ("ac.get.apinfo", "wlan_profile", None),
    ("ac.get.apinfo", "wlan_statistic", None),
    ("ac.get.apinfo", "statistic", None),
    ("ac.get.apinfo", "sta_statistic", None),
    ("ac.get.config", "get_config", None),
    ("ac.set.config", "set_config", {"config": {"SystemName": "meeting-room", "2.4GSSID": "staff"}}),
    ("ac.exec.config", "exec_config", {"iplist": [ap_ip(2)]}),
    ("wait", "push", None),
    ("ac.set.config", "pwd_status", None),
    ("ac.get.config", "gen_export_config", {"iplist": [ap_ip(1), ap_ip(2)]}),
    ("ac.get.config", "get_export_config", None),
    ("ac.apfw.check", "apfw_check", {"Model": "OTHER-AP"}),
    ("ac.upgrade", "firmware", {"iplist": [ap_ip(1)], "password": "admin"}),
    ("wait", "upload", None),
    ("ac.apfw.check", "apfw_pwd_status", {"ip": ap_ip(1)}),
    ("ac.apfw.check", "apfw_upload_status", {"ip": ap_ip(1)}),
    ("ac.upgrade", "config", {"iplist": [ap_ip(1)], "key": "secret", "password": "admin"}),
    ("ac.apcfg.check", "apcfg_valid_check", None),
    ("ac.apcfg.check", "apcfg_enc_key_check", {"key": "secret"}),
    ("ac.apcfg.check", "apcfg_pwd_status", {"ip": ap_ip(1)}),
    ("ac.apcfg.check", "apcfg_upload_status", {"ip": ap_ip(1)}),
    ("ac.diag", "status", None),
    ("ac.diag", "ap", {"mac": ap_mac(1)}),
    ("ac.diag", "why", {"ip": ap_ip(1)}),
    ("ac.diag", "why", {"ip": ap_ip(9)}),
    ("ac.diag", "why", {"mac": ap_mac(4)}),
    ("luci2.network.tallier", "devices", None),
    ("luci2.network.tallier", "statistics", {"device": "br-lan"}),
    ("luci2.network.tallier", "statistics", None),
    ("wait", "move", None),  # AP 2 takes another address: "ac.ap.change"
    ("ac.get.apinfo", "all_clear", None),
    ("ac.diag", "why", {"mac": ap_mac(2)}),
]


class Obj(list):
    """A JSON object as its (name, value) pairs, in order, repeats kept."""


def name_unnamed(text):
    """The bus CLI prints a table's unnamed members (wlan_profile's) without a
    name, which is not JSON: give them the empty name."""
    out, stack, expect_key, in_str, esc = [], [], False, False, False
    for ch in text:
        if in_str:
            in_str = not (ch == '"' and not esc)
            esc = ch == "\\" and not esc
            out.append(ch)
            continue
        if ch in "{[" and expect_key:
            out.append('"": ')
        if ch == '"':
            in_str, esc = True, False
        if ch in "{[":
            stack.append(ch)
        elif ch in "}]":
            stack.pop()
        if not ch.isspace():
            expect_key = ch in "{," and bool(stack) and stack[-1] == "{"
        out.append(ch)
    return "".join(out)


def parse_json(text):
    text = name_unnamed(text)
    dec = json.JSONDecoder(object_pairs_hook=Obj)
    out, i, text = [], 0, text.strip()
    while i < len(text):
        v, i = dec.raw_decode(text, i)
        out.append(v)
        while i < len(text) and text[i].isspace():
            i += 1
    return out


def kind(v):
    if isinstance(v, Obj):
        return "object"
    if isinstance(v, list):
        return "array"
    if isinstance(v, bool):
        return "boolean"
    return type(v).__name__


# Objects whose member names are data (tallier's devices): compared like arrays.
MAPS = {("luci2.network.tallier", "statistics"): {"$.statistics"}}


def mismatch(example, real, path="$", maps=()):
    """Why example does not have the shape of real (None when it does): the same
    members in the same order with values of the same kinds; arrays may be
    shortened, but each element of either must match some element of the other."""
    if kind(example) != kind(real):
        return f"{path}: {kind(example)} in the reference, {kind(real)} in the run"
    if isinstance(example, Obj) and path in maps:
        return mismatch([v for _, v in example], [v for _, v in real], path)
    if isinstance(example, Obj):
        names = [k for k, _ in example], [k for k, _ in real]
        if names[0] != names[1]:
            return f"{path}: members {names[0]} in the reference, {names[1]} in the run"
        for (k, a), (_, b) in zip(example, real):
            why = mismatch(a, b, f"{path}.{k}", maps)
            if why:
                return why
    elif isinstance(example, list):
        if bool(example) != bool(real):
            return f"{path}: {len(example)} elements in the reference, {len(real)} in the run"
        for i, a in enumerate(example):
            if all(mismatch(a, b) for b in real):
                return f"{path}[{i}]: like no element of the run: {mismatch(a, real[0], path + f'[{i}]')}"
        for i, b in enumerate(real):
            if all(mismatch(a, b) for a in example):
                return f"{path}: the run's element {i} is like none of the reference: {mismatch(example[0], b, path)}"
    return None


def read_reference():
    """{object: {method: {"args": {name: (type, declared)}, "examples": [text],
    "reply": bool}}} and the `ubus call` lines of the reference."""
    text = open(source_path(DOC)).read()
    ref, calls, events = {}, [], {}
    event = None
    obj = meth = None
    in_args = False
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        m = re.match(r"^## `([a-z0-9.]+)`", line)
        if m:
            obj, meth = m.group(1), None
            ref[obj] = {}
        if line.startswith("## "):
            event = None
        m = re.match(r"^### `(ac\.[a-z.]+)`", line)
        if m and line and in_events(lines, i):
            event = events[m.group(1)] = []
        m = re.match(r"^### `([a-z0-9_]+)`", line)
        if m and obj:
            meth = m.group(1)
            ref[obj][meth] = {"args": {}, "examples": [], "reply": True}
        elif line.startswith("## "):
            obj = meth = None if not line.startswith("## `") else obj
        if line.startswith("| Argument | Type | Meaning |"):
            in_args = True
        elif not line.startswith("|"):
            in_args = False
        if meth:
            m = re.match(r'^\| "([^"]+)" \| ([a-z]+)([^|]*)\|', line)
            if m and in_args:
                ref[obj][meth]["args"][m.group(1)] = (m.group(2), "not declared" not in m.group(3))
            if "Reply: none." in line:
                ref[obj][meth]["reply"] = False
            m = re.search(r"Status: ([^.]*)", line)
            if m and "status" not in ref[obj][meth]:
                ref[obj][meth]["status"] = m.group(1)
        if line.startswith("```"):
            fence = line[3:].strip()
            j = i + 1
            while not lines[j].startswith("```"):
                j += 1
            body = "\n".join(lines[i + 1:j])
            if fence == "json" and meth:
                ref[obj][meth]["examples"].append(body)
            if fence == "json" and event is not None:
                event.append(body)
            for c in re.findall(r"ubus call (\S+) (\S+)(?: '([^']*)')?", body):
                calls.append(c)
            i = j
        i += 1
    return ref, calls, events


def in_events(lines, i):
    """Whether line i lies in the section "## Events"."""
    for line in reversed(lines[:i]):
        if line.startswith("## "):
            return line.strip() == "## Events"
    return False


def bus_list(lab):
    out = lab.world.ubus("-v", "list").stdout
    bus, obj = {}, None
    for line in out.splitlines():
        m = re.match(r"^'([^']+)' @", line)
        if m:
            obj = bus[m.group(1)] = {}
        elif line.startswith("\t") and obj is not None:
            (name, args), = json.loads("{" + line.strip() + "}").items()
            obj[name] = args
    return bus


class Lab:
    """One lab for all checks: three simulated APs (one in its boot agent) and one
    whose datagrams fail a check, acd,
    rpcd with tallier, an apfw_check and tftp-hpa in place."""

    def __enter__(self):
        self.lab = AcdWorld(aps=[ap_conf(1), ap_conf(2), ap_conf(3, boot=True), ap_conf(4, corrupt="magic")],
                            start_acd=False)
        self.lab.__enter__()
        try:
            w = self.lab.world
            w.install("/usr/bin/tftp-hpa", source="/usr/bin/tftp")
            w.install("/usr/bin/apfw_check", CHECKER)
            w.write("/tmp/firmware.bin", b"\x27\x05\x19\x56" + bytes(4092))
            w.run(["mkdir", "-p", "/tmp/rpcd"], check=True)
            w.write("/tmp/rpcd/tallier.so", open(build_path("tallier/tallier.so"), "rb").read())
            w.spawn([build_path("platform/rpcd/rpcd"), "-s", "/var/run/ubus.sock", "-p", "/tmp/rpcd"])
            w.write("/tmp/events.txt", "")
            with open(w.path("/tmp/events.txt"), "w") as f:
                w.spawn(["stdbuf", "-oL", build_path("platform/ubus/ubus"), "listen", "ac.*"], stdout=f)
            time.sleep(0.3)
            self.lab.start_acd()
            wait_for(lambda: w.ubus("list", "luci2.network.tallier").returncode == 0, 10, "tallier")
        except BaseException:
            self.lab.__exit__(None, None, None)
            raise
        return self.lab

    def __exit__(self, *exc):
        self.lab.__exit__(*exc)


def run_scenario(lab):
    """{(object, method): [(status, [replies], text), ...]} of the scenario."""
    lab.wait_aps(3)
    # the first statistics poll (10 s after start) and tallier's history
    wait_for(lambda: "radio2g" in lab.world.ubus("call", "ac.get.config", "get_config").stdout, 20,
             "the first statistics poll")
    out = {}
    for obj, method, args in SCENARIO:
        if obj == "wait":
            path = {"push": None, "upload": "/tmp/.firmware_status", "move": None}[method]
            if method == "move":
                lab.sim.set(1, ip="10.77.0.42/24")
                lab.call("ac.get.apinfo", "ap_discover")
                wait_for(lambda: "10.77.0.42" in [d["IPAddress"] for d in lab.device_list()], 10, "the move")
            elif path:
                wait_for(lambda: lab.world.exists(path), 20, method)
            else:
                wait_for(lambda: any(e.get("hdr", {}).get("type") == 3 for e in lab.sim.log(1)), 10, "the push")
                time.sleep(0.5)
            continue
        cmd = ["call", obj, method] + ([json.dumps(args)] if args is not None else [])
        r = lab.world.ubus(*cmd)
        try:
            replies = parse_json(r.stdout)
        except ValueError as e:
            replies = [f"not JSON: {e}"]
        out.setdefault((obj, method), []).append((r.returncode, replies, r.stdout))
    return out


class Reference(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ref, cls.calls, cls.events = read_reference()
        cls.env = Lab()
        cls.lab = cls.env.__enter__()
        try:
            cls.bus = bus_list(cls.lab)
            cls.replies = run_scenario(cls.lab)
            time.sleep(0.5)  # the last events reach the listener
            cls.heard = {}
            for line in cls.lab.world.read("/tmp/events.txt").splitlines():
                if line.strip():
                    (name, data), = parse_json(line)[0]
                    cls.heard.setdefault(name, []).append(data)
        except BaseException:
            cls.env.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.env.__exit__(None, None, None)

    def test_every_registered_method_is_documented(self):
        for obj, methods in self.bus.items():
            self.assertTrue(obj in self.ref, f"object {obj} is on the bus but not in {DOC}")
            for m, args in methods.items():
                self.assertTrue(m in self.ref[obj], f"{obj} {m} is on the bus but not in {DOC}")
                for a, t in args.items():
                    self.assertTrue(a in self.ref[obj][m]["args"], f"{obj} {m}: argument {a} not in {DOC}")
                    typ, declared = self.ref[obj][m]["args"][a]
                    self.assertTrue(declared, f"{obj} {m} {a}: the bus declares it")
                    self.assertEqual(BUS_TYPES.get(typ), t, f"{obj} {m} {a}: type")

    def test_every_documented_method_is_registered(self):
        for obj, methods in self.ref.items():
            self.assertTrue(obj in self.bus, f"{DOC} names {obj}, which is not on the bus")
            for m, info in methods.items():
                self.assertTrue(m in self.bus[obj], f"{DOC} names {obj} {m}, which is not on the bus")
                for a, (typ, declared) in info["args"].items():
                    self.assertIn(typ, BUS_TYPES, f"{obj} {m} {a}: type {typ}")
                    self.assertEqual(a in self.bus[obj][m], declared, f"{obj} {m} {a}: declared on the bus?")

    def test_call_lines_use_documented_names(self):
        self.assertTrue(self.calls)
        for obj, m, args in self.calls:
            self.assertTrue(m in self.ref.get(obj, {}), f"ubus call {obj} {m}")
            for a in json.loads(args or "{}"):
                self.assertTrue(a in self.ref[obj][m]["args"], f"ubus call {obj} {m}: {a}")

    def test_events_have_the_shape_of_real_ones(self):
        """Every event of the run is in the reference and like one of its examples,
        every example like an event of the run."""
        self.assertTrue(self.events, "no events in the reference")
        for name, seen in self.heard.items():
            with self.subTest(event=name):
                self.assertTrue(name in self.events, f"event {name} is sent but not in {DOC}")
                examples = [parse_json(e)[0] for e in self.events[name]]
                self.assertTrue(examples, "no example")
                for e in examples:
                    self.assertEqual([k for k, _ in e], [name])
                    whys = [mismatch(e[0][1], d) for d in seen]
                    self.assertFalse(all(whys), f"example like no event: {whys}")
                for d in seen:
                    whys = [mismatch(e[0][1], d) for e in examples]
                    self.assertFalse(all(whys), f"an event like no example: {whys}")
        for name in self.events:
            self.assertTrue(name in self.heard, f"{DOC} names event {name}, which the run never sent")

    def test_status_codes(self):
        """Every method that names status 2 for a missing argument gives it for
        none; tallier gives 4 for a device it does not track."""
        checked = 0
        for obj, methods in self.ref.items():
            for m, info in methods.items():
                self.assertIn("status", info, f"{obj} {m}: no status line")
                if re.search(r"\b2 (without|when an argument)", info["status"]):
                    with self.subTest(call=f"{obj} {m}"):
                        r = self.lab.world.ubus("call", obj, m, "{}")
                        self.assertEqual(r.returncode, 256 - 2, r.stdout)
                        self.assertEqual(r.stdout, "")
                        checked += 1
        self.assertGreaterEqual(checked, 13)
        r = self.lab.world.ubus("call", "luci2.network.tallier", "statistics", '{"device": "nonesuch0"}')
        self.assertEqual((r.returncode, r.stdout), (256 - 4, ""))
        r = self.lab.world.ubus("call", "ac.diag", "ap", json.dumps({"ip": ap_ip(9)}))
        self.assertEqual((r.returncode, r.stdout), (256 - 4, ""))

    def test_examples_have_the_shape_of_real_replies(self):
        """Each example is like some reply of the run, each reply like some example."""
        for (obj, m), runs in self.replies.items():
            with self.subTest(call=f"{obj} {m}"):
                info = self.ref[obj][m]
                examples = [parse_json(e) for e in info["examples"]]
                for e in examples:
                    self.assertEqual(len(e), 1, "one reply per example")
                real = []
                for rc, replies, text in runs:
                    self.assertEqual(rc, 0, text)
                    self.assertEqual(info["reply"], bool(replies), "a reply, as the reference says")
                    real += replies
                for e in examples:
                    whys = [mismatch(e[0], r, maps=MAPS.get((obj, m), ())) for r in real]
                    self.assertTrue(real and not all(whys), f"example like no reply: {whys}")
                for r in real:
                    whys = [mismatch(e[0], r, maps=MAPS.get((obj, m), ())) for e in examples]
                    self.assertTrue(examples and not all(whys), f"a reply like no example: {whys}")
        for obj, methods in self.ref.items():
            for m, info in methods.items():
                if info["examples"]:
                    self.assertTrue((obj, m) in self.replies, f"{obj} {m}: example not checked by the run")


def print_replies():
    with Lab() as lab:
        print(lab.world.ubus("-v", "list").stdout)
        for (obj, m), runs in run_scenario(lab).items():
            for rc, _, text in runs:
                print(f"== {obj} {m}: status {rc}")
                print(text)


if __name__ == "__main__":
    if "--print" in sys.argv:
        print_replies()
    else:
        run_tests()
