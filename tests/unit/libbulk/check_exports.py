#!/usr/bin/env python3
"""libbulk.so must export exactly its routines, under their C names."""
import subprocess
import sys

WANT = {"__dbgprintf_info__", "__bulkprintf_info__", "__bulksytem", "bulklog", "bulkrecv",
        "calculate_CRC", "create_sessionID", "test"}

out = subprocess.run(["nm", "-D", "--defined-only", sys.argv[1]], check=True, capture_output=True,
                     text=True).stdout
got = {line.split()[-1] for line in out.splitlines() if line.strip()}
funcs = {line.split()[-1] for line in out.splitlines() if line.split()[-2:-1] == ["T"]}
ok = got == WANT and funcs == WANT
if not ok:
    print("missing:", sorted(WANT - got), "extra:", sorted(got - WANT), "not code:", sorted(WANT - funcs))
print(f"{int(ok)} passed, {int(not ok)} failed")
sys.exit(0 if ok else 1)
