#!/usr/bin/env bash
# Fails when the modules of one folder include each other in a cycle. A module
# is a header and its source file together (x.hpp and x.cpp); an include of a
# header is a use of its module. Each knot (modules that all reach each other)
# is named once, with the first include of each step inside it.
#   scripts/check_cycles.sh [ROOT]
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
exec python3 - "$root" <<'PY'
import os, re, sys

root = sys.argv[1]
folders = ["base", "os", "console", "wire", "link", "engine", "ui", "batch", "app"]
include = re.compile(r'^\s*#\s*include\s*["<]([^">]+)[">]')
status = 0
for folder in folders:
    top = os.path.join(root, folder)
    if not os.path.isdir(top):
        continue
    edges = {}  # module -> {module: "file:line"}
    for name in sorted(os.listdir(top)):
        base, ext = os.path.splitext(name)
        if ext not in (".cpp", ".hpp", ".h"):
            continue
        edges.setdefault(base, {})
        with open(os.path.join(top, name), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = include.match(line)
                if not m:
                    continue
                target = m.group(1)
                if "/" in target:
                    if os.path.dirname(os.path.normpath(os.path.join(folder, target) if target.startswith(".") else target)) != folder:
                        continue
                elif not os.path.exists(os.path.join(top, target)):
                    continue
                used = os.path.splitext(os.path.basename(target))[0]
                if used != base:
                    edges[base].setdefault(used, f"{folder}/{name}:{number}")
    # Strongly connected groups of modules: each group of two or more is a knot.
    index, low, stack, on_stack, counter = {}, {}, [], set(), [0]
    def connect(v):
        global status
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in sorted(edges[v]):
            if w not in edges:
                continue
            if w not in index:
                connect(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                status = 1
                group.sort()
                steps = ", ".join(f"{a} -> {b} ({edges[a][b]})" for a in group for b in sorted(edges[a]) if b in group)
                print(f"{folder}/: {', '.join(group)} include each other: {steps}")
    for v in sorted(edges):
        if v not in index:
            connect(v)
if status == 0:
    print("cycles: no folder's modules include each other in a cycle")
sys.exit(status)
PY
