#!/usr/bin/env python3
"""Prints the include graph of the net and http layers by module and its circles.

A module is a header and its sources: orv-socket.h, orv-socket.cpp and orv-socket-posix.cpp are
one module "orv-socket". An edge A -> B means a file of A includes the header of B. A circle is a
strongly connected group of more than one module. Exit status 1 when there is a circle.

Usage: scripts/include-cycles.py [--graph] [folder...]  (default: portable/net portable/http)
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def module_of(name):
    base = os.path.basename(name)
    base = re.sub(r"\.(h|cpp)$", "", base)
    return re.sub(r"-posix$", "", base)


def collect(folders):
    files = {}
    for folder in folders:
        for root, _, names in os.walk(folder):
            for n in names:
                if n.endswith((".h", ".cpp")):
                    files[os.path.join(root, n)] = n
    modules = {module_of(n) for n in files.values()}
    graph = {m: set() for m in modules}
    for path, name in files.items():
        with open(path, encoding="utf-8") as f:
            for inc in INCLUDE.findall(f.read()):
                dst = module_of(inc)
                src = module_of(name)
                if dst in modules and dst != src:
                    graph[src].add(dst)
    return graph


def circles(graph):
    index, low, stack, on, out = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                out.append(sorted(group))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def main(argv):
    show = "--graph" in argv
    folders = [a for a in argv if not a.startswith("--")] or ["portable/net", "portable/http"]
    graph = collect(folders)
    if show:
        for m in sorted(graph):
            if graph[m]:
                print(f"{m} -> {' '.join(sorted(graph[m]))}")
    found = circles(graph)
    for group in found:
        print("circle: " + " <-> ".join(group))
    if not found:
        print("no circle")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
