#!/usr/bin/env python3
"""Fail when system code uses a platform name that only our host headers declare.

System code (everything but platform/, tools/ and tests/) must build against the
platform's real headers. tests/names/platform/ holds, per public header of the
platform, every name that header declares (one "KIND NAME" a line, taken from the
platform's public headers). Our host headers under platform/*/include/ may declare
more; any such extra name used by system code is a fault. Declarations are read with
universal-ctags (the same kinds as the lists). A name system code declares itself
(a member, function, macro, ...) is its own and not checked.

Also fails when system code includes a host header the platform does not have.

Arguments: the source tree's root."""
import os
import re
import subprocess
import sys

SYSTEM_SKIP = {"platform", "tools", "tests", ".git", ".ci"}
SOURCE_EXT = (".c", ".cc", ".cpp", ".h", ".hpp")
TOKEN = re.compile(r"""
    (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>"(?:\\.|[^"\\\n])*"|'(?:\\.|[^'\\\n])*')
  | (?P<include>^[ \t]*\#[ \t]*include[ \t]*[<"](?P<path>[^>"]+)[>"])
  | (?P<ident>[A-Za-z_][A-Za-z0-9_]*)
  | (?P<member>->|\.)
  | (?P<other>.)
""", re.S | re.M | re.X)


def platform_names(folder):
    names, headers = set(), set()
    for f in sorted(os.listdir(folder)):
        if not f.endswith(".h.txt"):
            continue
        headers.add(f[:-4])
        for line in open(os.path.join(folder, f)):
            parts = line.split()
            if len(parts) == 2:
                names.add(parts[1])
    # uci.h makes its element casts by token pasting (uci_to_<t> for every
    # uci_type_<t>, as a macro or, when debugging casts, as an inline function),
    # so no list of declarations shows them; derive them from the type macros.
    names |= {"uci_to_" + n[len("uci_type_"):] for n in names if n.startswith("uci_type_")}
    return names, headers


def host_headers(root):
    """{header name as included, '/' written '_': path} of our host platform."""
    out = {}
    for lib in sorted(os.listdir(os.path.join(root, "platform"))):
        inc = os.path.join(root, "platform", lib, "include")
        for d, _, files in os.walk(inc):
            for f in files:
                if f.endswith(".h"):
                    p = os.path.join(d, f)
                    out[os.path.relpath(p, inc).replace(os.sep, "_")] = p
    return out


def declarations(paths, force_c=True):
    """{name: kind} of everything the files declare."""
    lang = ["--language-force=C"] if force_c else ["--langmap=C++:+.h"]
    out = subprocess.run(
        ["ctags", "-x"] + lang + ["--kinds-C=+px", "--kinds-C++=+px", "--_xformat=%N %K", "-f", "-"] + paths,
        check=True, capture_output=True, text=True).stdout
    decl = {}
    for line in out.splitlines():
        name, kind = line.split()[:2]
        if decl.get(name) != "member" or kind == "member":
            decl.setdefault(name, kind)
        if kind != "member":
            decl[name] = kind  # a member name that is also something else counts everywhere
    return decl


def system_files(root):
    for d, dirs, files in os.walk(root):
        rel = os.path.relpath(d, root)
        if rel == ".":
            dirs[:] = [x for x in dirs if x not in SYSTEM_SKIP and not x.startswith("build")]
        dirs.sort()
        for f in sorted(files):
            if f.endswith(SOURCE_EXT):
                yield os.path.join(d, f)


def scan(path, host_only, host_only_headers):
    text = open(path, encoding="utf-8", errors="replace").read()
    faults = []
    prev = None
    for m in TOKEN.finditer(text):
        kind = m.lastgroup
        if kind in ("comment", "string"):
            continue
        if kind == "include":
            inc = m.group("path").replace("/", "_")
            if inc in host_only_headers:
                faults.append((m.start(), m.group("path"), "header"))
            prev = None
            continue
        if kind == "ident":
            name = m.group(0)
            k = host_only.get(name)
            # A member name alone is too common a word: only member accesses count.
            if k and (k != "member" or prev == "member"):
                faults.append((m.start(), name, k))
        if kind != "other" or not m.group(0).isspace():
            prev = kind
    for pos, name, k in faults:
        line = text.count("\n", 0, pos) + 1
        yield f"{path}:{line}: {name} ({k}) is declared by our host headers only, not the platform's"


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    here = os.path.dirname(os.path.abspath(__file__))
    names, plat_headers = platform_names(os.path.join(here, "platform"))
    hosts = host_headers(root)
    decl = declarations(sorted(hosts.values()))
    files = list(system_files(root))
    # A name system code declares itself is its own (acd's connections have an
    # rx buffer, whatever the host bus context calls its members).
    own = declarations(files, force_c=False)
    host_only = {n: k for n, k in decl.items() if n not in names and n not in own}
    host_only_headers = set(hosts) - plat_headers
    faults = [f for p in files for f in scan(p, host_only, host_only_headers)]
    for f in faults:
        print(os.path.relpath(f, root))
    print(f"{len(decl)} host names, {len(host_only)} of them not the platform's; "
          f"{len(files)} system files scanned, {len(faults)} faults")
    return 1 if faults or not decl or not files else 0


if __name__ == "__main__":
    sys.exit(main())
