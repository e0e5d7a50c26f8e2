#!/usr/bin/env python3
"""acd's floors, read from its sources: what each file includes.

- pure sources (acd_pure's list in acd/CMakeLists.txt) include only pure
  headers and the data gateways;
- the ground floor (bus/) includes only itself and pure headers;
- a domain includes itself, the ground floor, pure headers and the domains
  the README's picture draws under it ("<domain> -> <domain> ...");
- nothing but the roof (core/) includes the roof.
The link side is checked by the acd_floor_* programs of the build.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else '.')
acd = root / 'acd'
DOMAINS = ('vex', 'stats', 'apconfig', 'exec', 'http')

cmake = (acd / 'CMakeLists.txt').read_text()
pure_src = set()
for m in re.finditer(r'set\((acd_pure_\w+_src)(.*?)\)', cmake, re.S):
    pure_src.update(m.group(2).split())

readme = (root / 'README.md').read_text()
block = re.search(r'<!-- floors -->(.*?)<!-- /floors -->', readme, re.S)
if not block:
    sys.exit('README.md: no floors picture between <!-- floors --> and <!-- /floors -->')
drawn = {d: set() for d in DOMAINS}
for m in re.finditer(r'(\w+) +-> +([\w ]+?) *$', block.group(1), re.M):
    if m.group(1) in drawn:
        drawn[m.group(1)].update(m.group(2).split())


def header_floor(inc):
    """'pure', 'bus', 'core', a domain name, or None (outside acd)."""
    if inc in ('gw/loop.hpp', 'gw/ubus.hpp'):
        return 'loop'
    if inc.startswith('gw/'):
        return None
    if inc in ('achttp.hpp', 'http_request.hpp', 'http_response.hpp', 'http_url.hpp'):
        return 'http'
    top = inc.split('/')[0]
    if top == 'vex' and inc.startswith('vex/codec/'):
        return 'pure'
    if top == 'diag':
        return 'pure'
    if top in ('bus', 'core'):
        return top
    if top in DOMAINS:
        return 'pure' if inc[:-4] + '.cpp' in pure_src else top
    return None


faults = []
for f in sorted(acd.rglob('*.[ch]pp')):
    rel = f.relative_to(acd).as_posix()
    folder = rel.split('/')[0]
    if rel.endswith('.cpp'):
        me = 'pure' if rel in pure_src else folder
    else:
        me = header_floor(rel) or folder
    if me == 'core' or folder == 'floor_check.cpp':
        continue
    for n, line in enumerate(f.read_text().splitlines(), 1):
        m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
        if not m:
            continue
        to = header_floor(m.group(1))
        if to is None or to == 'pure' or to == me:
            continue
        ok = (me != 'pure' and to in ('bus', 'loop')) or (me in DOMAINS and to in drawn[me])
        if me == 'pure' and to == 'loop':
            ok = False
        if not ok:
            faults.append(f'acd/{rel}:{n}: {me} includes {m.group(1)} ({to})')

for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
