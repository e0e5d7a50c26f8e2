#!/usr/bin/env python3
"""Prints the footprint of every shipped ELF of a build, stripped: text, data,
bss, file size, xz -9 size and the libraries it needs.

The build folder is the argument or APCTL_TARGET_BUILD (the router's build of
make test-target); its strip and size tools come from its CMakeCache.txt.
Exits 77 (skipped) without a build folder."""
import lzma
import os
import re
import subprocess
import sys
import tempfile


def cache_value(build, key):
    for line in open(os.path.join(build, "CMakeCache.txt")):
        if line.startswith(key + ":"):
            return line.split("=", 1)[1].strip()
    return ""


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("APCTL_TARGET_BUILD")
    if not build:
        print("no target build (APCTL_TARGET_BUILD): skipped")
        return 77
    strip = cache_value(build, "CMAKE_STRIP") or "strip"
    size = re.sub(r"strip$", "size", strip)
    paths = [p.strip() for p in open(os.path.join(build, "shipped-elves.txt")) if p.strip()]
    rows, total = [], [0] * 5
    with tempfile.TemporaryDirectory() as tmp:
        for p in paths:
            out = os.path.join(tmp, os.path.basename(p))
            subprocess.run([strip, "-o", out, p], check=True)
            t, d, b = (int(x) for x in subprocess.run([size, out], check=True, capture_output=True,
                                                       text=True).stdout.splitlines()[1].split()[:3])
            data = open(out, "rb").read()
            xz = len(lzma.compress(data, preset=9))
            dyn = subprocess.run(["readelf", "-d", out], check=True, capture_output=True, text=True).stdout
            needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dyn)
            vals = (t, d, b, len(data), xz)
            total = [a + v for a, v in zip(total, vals)]
            rows.append((os.path.basename(p), *vals, " ".join(needed)))
    head = subprocess.run(["readelf", "-h", paths[0]], check=True, capture_output=True, text=True).stdout
    arch = ", ".join(re.findall(r"^\s*(?:Class|Data|Machine):\s*(.*)$", head, re.M))
    print(f"shipped ELFs built for {arch}; stripped, in bytes:")
    print(f"{'file':<18} {'text':>7} {'data':>6} {'bss':>7} {'file':>7} {'xz -9':>7}  NEEDED")
    for r in rows + [("total", *total, "")]:
        print(f"{r[0]:<18} {r[1]:>7} {r[2]:>6} {r[3]:>7} {r[4]:>7} {r[5]:>7}  {r[6]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
