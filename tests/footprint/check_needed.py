#!/usr/bin/env python3
"""Fail when a shipped ELF needs the C++ runtime (libstdc++) or libgcc_s.

Argument: a file listing one ELF path per line (written by the build)."""
import re
import subprocess
import sys

FORBIDDEN = re.compile(r"^(libstdc\+\+|libgcc_s)\.so")


def needed(path):
    out = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def main():
    paths = [p.strip() for p in open(sys.argv[1]) if p.strip()]
    if not paths:
        print("no shipped ELF registered")
        return 0
    bad = 0
    for p in paths:
        libs = needed(p)
        hits = [lib for lib in libs if FORBIDDEN.match(lib)]
        print(f"{p}: {' '.join(libs)}")
        if hits:
            print(f"  FAIL: needs {' '.join(hits)}")
            bad += 1
    print(f"{len(paths) - bad} passed, {bad} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
