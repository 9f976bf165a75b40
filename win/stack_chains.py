#!/usr/bin/env python3
"""Deepest stack chains of the driver, from the compiler's call graphs.

The target build compiles every driver source with -fcallgraph-info=su, which writes a .ci file
per object: one node per function with the bytes its frame takes (the -fstack-usage figure,
return address included) and one edge per call. This script joins them and, for each root
routine, finds the call chain that needs the most stack, printing it frame by frame.

  stack_chains.py [--limit BYTES] [--out FILE] OBJ_DIR[:OBJ_DIR...] ROOT ...

Every object file under OBJ_DIR must have its call graph beside it.

A root is a routine name as the compiler spells it (demangled, without arguments), for example
CamProcessRawVideoFrameEx. Routines outside the driver (the kernel's, the class library's) count
0 bytes and end a chain; their own use comes on top. Calls through a function pointer are
followed to the routines listed in INDIRECT_TARGETS; every other one is a call into the class
library's interface, outside the driver. Recursion, a frame of unbounded size, a missing call
graph or (with --limit) a chain deeper than the limit is an error. Exits 0 when all is well,
1 otherwise.
"""
import argparse
import os
import re
import sys

# Routines that call a routine of the driver through a function pointer, and what the pointer
# may hold: the output converter, scalar or SSE2, picked for the frame.
INDIRECT_TARGETS = {
    "LUMAREX_ProcessImage": ["LUMAREX_RGB24ToYUY2", "LUMAREX_RGB24ToYUY2SSE2", "LUMAREX_RGB24ToI420",
                             "LUMAREX_RGB24ToI420SSE2"],
}

NODE_RE = re.compile(r'^node: \{ title: "(?P<title>[^"]*)" label: "(?P<label>[^"]*)"')
EDGE_RE = re.compile(r'^edge: \{ sourcename: "(?P<src>[^"]*)" targetname: "(?P<dst>[^"]*)"')
BYTES_RE = re.compile(r"\\n(\d+) bytes \(([a-z,]+)\)")


def short_name(signature):
    """'void {anonymous}::f(int)' -> 'f'; 'NTSTATUS CamX(PVOID)' -> 'CamX'."""
    head = signature.split("(", 1)[0]
    return head.split()[-1].split("::")[-1] if head.split() else head


class Graph:
    def __init__(self):
        self.frame = {}      # title -> bytes, for routines compiled here
        self.bounded = {}    # title -> False when the frame is dynamic and unbounded
        self.name = {}       # title -> short name
        self.calls = {}      # title -> set of callee titles

    def read(self, path):
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = NODE_RE.match(line)
                if m:
                    title, label = m.group("title"), m.group("label")
                    name = short_name(label.split("\\n", 1)[0])
                    if not re.match(r"^[A-Za-z_]\w*$", name):
                        name = title.rsplit(":", 1)[-1].split("@", 1)[0]  # the symbol itself
                    self.name.setdefault(title, name)
                    b = BYTES_RE.search(label)
                    if b:
                        self.frame[title] = int(b.group(1))
                        self.bounded[title] = b.group(2) != "dynamic"
                    continue
                m = EDGE_RE.match(line)
                if m:
                    self.calls.setdefault(m.group("src"), set()).add(m.group("dst"))

    def titles_named(self, name):
        """The routine itself, not the pieces the compiler split off it (f.part.0, f.cold),
        which it reaches through its own calls."""
        return [t for t, n in self.name.items()
                if n == name and t in self.frame and not re.search(r"\.(part|cold|isra|constprop)\b", t)]


def deeper(chain):
    """Orders chains by bytes; of equal ones, a chain that goes on outside the driver wins."""
    return (chain[0], len(chain[1]))


def deepest(graph, root, errors):
    """Returns (total bytes, chain of titles) of the deepest chain from root."""
    memo = {}
    active = set()

    def walk(title):
        if title in memo:
            return memo[title]
        if title not in graph.frame:
            return (0, [title])  # outside the driver
        if title in active:
            errors.append("recursion through %s" % graph.name[title])
            return (0, [title])
        if not graph.bounded[title]:
            errors.append("%s has a frame of unbounded size" % graph.name[title])
        active.add(title)
        best = (0, [])
        for callee in sorted(graph.calls.get(title, ())):
            if callee == "__indirect_call":
                name = graph.name[title]
                if name not in INDIRECT_TARGETS:
                    best = max(best, (0, [callee]), key=deeper)
                    continue
                for target_name in INDIRECT_TARGETS[name]:
                    targets = graph.titles_named(target_name)
                    if not targets:
                        errors.append("indirect target %s of %s not found" % (target_name, name))
                    for t in targets:
                        best = max(best, walk(t), key=deeper)
                continue
            best = max(best, walk(callee), key=deeper)
        active.discard(title)
        memo[title] = (graph.frame[title] + best[0], [title] + best[1])
        return memo[title]

    return walk(root)


def main():
    ap = argparse.ArgumentParser(description="Deepest stack chains from -fcallgraph-info=su files")
    ap.add_argument("--limit", type=int, default=0, help="fail when a chain needs more bytes")
    ap.add_argument("--out", help="also write the report to this file")
    ap.add_argument("ci_dir", metavar="obj_dirs", help="the driver's object folders, separated by " + os.pathsep)
    ap.add_argument("roots", nargs="+")
    args = ap.parse_args()

    graph = Graph()
    errors = []
    for dirpath, _, files in (w for d in args.ci_dir.split(os.pathsep) for w in os.walk(d)):
        for f in sorted(files):
            if f.endswith(".ci"):
                graph.read(os.path.join(dirpath, f))
            elif f.endswith(".obj") and f[:-4] + ".ci" not in files:
                errors.append("%s has no call graph" % os.path.join(dirpath, f))

    lines = []
    for root in args.roots:
        titles = graph.titles_named(root)
        if len(titles) != 1:
            errors.append("root %s found %d times" % (root, len(titles)))
            continue
        total, chain = deepest(graph, titles[0], errors)
        lines.append("%s: %d bytes" % (root, total))
        for t in chain:
            if t in graph.frame:
                lines.append("  %6d  %s" % (graph.frame[t], graph.name[t]))
            else:
                called = "a routine called through a pointer" if t == "__indirect_call" else graph.name.get(t, t)
                lines.append("       -  %s (outside the driver)" % called)
        if args.limit and total > args.limit:
            errors.append("%s needs %d bytes of stack, more than %d" % (root, total, args.limit))
    report = "\n".join(lines) + "\n"
    sys.stdout.write(report)
    if args.out:
        with open(args.out, "w") as f:
            f.write(report)
    for e in sorted(set(errors)):
        sys.stderr.write("error: %s\n" % e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
