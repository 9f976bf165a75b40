#!/usr/bin/env python3
"""Where the driver image uses the floating-point and vector registers, and how it gets there.

A 32-bit kernel thread may touch the x87, MMX or XMM registers only between
KeSaveFloatingPointState and KeRestoreFloatingPointState. The driver keeps such instructions in
a few vector routines and reaches them only from the decode worker's saved region. This check
proves both on the linked image and the compiler's call graphs:

  1. Disassembly (objdump -d of the image, whose symbol table names every routine): every
     instruction that reads or writes an x87, MMX or SSE register or their control state lies
     in a routine of the allow-list.
  2. MMX leaves the x87 unit unusable until EMMS: in every routine that uses an MMX register,
     no return instruction follows an MMX instruction (in address order) without an EMMS
     between them, so each MMX routine hands the floating-point unit back usable.
  3. Call graphs (the -fcallgraph-info files of every object, as win/stack_chains.py reads
     them): every chain of callers that reaches an allow-listed routine passes through the
     routine that saves the floating-point state. Calls through a function pointer are
     followed to the routines stack_chains.INDIRECT_TARGETS lists. A vector routine that
     nothing in the driver calls (one kept for the library's tests) is dead code and passes.

  vector_check.py --objdump OBJDUMP --image IMAGE --saver ROUTINE [--out FILE] OBJ_DIR[:OBJ_DIR...] VECTOR ...

Exits 0 when all is well; otherwise prints one error line per routine at fault and exits 1.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stack_chains import INDIRECT_TARGETS, Graph  # noqa: E402

LABEL_RE = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSN_RE = re.compile(r"^\s+([0-9a-f]+):\s+(.*)$")
# The MMX registers, which alias the x87 stack.
MMX_RE = re.compile(r"%mm\d\b")
# Registers of the floating-point and vector units, as AT&T operands name them.
REGISTER_RE = re.compile(r"%(?:st\b|st\(\d\)|mm\d|xmm\d+|ymm\d+|zmm\d+|k[0-7]\b)")
# Instructions that touch that state without naming such a register: x87 (every x87 mnemonic
# begins with f; no general-purpose one does), MMX's emms, the SSE control and state
# save/restore instructions, and the SSE fences.
MNEMONIC_RE = re.compile(r"^(?:f[a-z0-9]*|wait|emms|femms|ldmxcsr|stmxcsr|v?ldmxcsr|xsave\w*|xrstor\w*|"
                         r"sfence|lfence|mfence)$")
PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr16", "cs", "ds", "es", "fs", "gs",
            "ss", "notrack", "bnd"}


def routine_name(label):
    """'idct_8x8_sse2(short const*, ...)' or '(anonymous namespace)::AdjustSse2(...)@28' or
    '_DriverEntry@8' -> the bare routine name, as stack_chains spells it."""
    head = label.split("(", 1)[0] if "(" in label and not label.startswith("(") else label
    if label.startswith("(anonymous namespace)::"):
        head = label[len("(anonymous namespace)::"):].split("(", 1)[0]
    head = head.split("@", 1)[0].split("::")[-1]
    return head[1:] if head.startswith("_") and not head.startswith("__") and "(" not in label else head


def vector_instruction(text):
    """True when the disassembled instruction uses the floating-point or vector state."""
    words = text.split()
    while words and words[0] in PREFIXES:
        words = words[1:]
    if not words or words[0].startswith("(bad)"):
        return False
    return bool(MNEMONIC_RE.match(words[0]) or REGISTER_RE.search(text))


def mnemonic(text):
    words = text.split()
    while words and words[0] in PREFIXES:
        words = words[1:]
    return words[0] if words else ""


def scan_image(objdump, image):
    """Returns {routine name: [(address, instruction), ...]} of the instructions that use the
    floating-point or vector state, the set of routine names seen, and {routine name: address}
    of each return that an MMX instruction precedes without an EMMS in between."""
    out = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", image], check=True, capture_output=True,
                         text=True).stdout
    found, names, current = {}, set(), None
    no_emms, mmx_live = {}, False
    for line in out.splitlines():
        m = LABEL_RE.match(line)
        if m:
            current = routine_name(m.group(2))
            names.add(current)
            mmx_live = False
            continue
        m = INSN_RE.match(line)
        if m and current is not None:
            text = m.group(2)
            op = mnemonic(text)
            if op in ("emms", "femms"):
                mmx_live = False
            elif MMX_RE.search(text):
                mmx_live = True
            elif op.startswith("ret") and mmx_live:
                no_emms.setdefault(current, m.group(1))
            if vector_instruction(text):
                found.setdefault(current, []).append((m.group(1), " ".join(text.split())))
    return found, names, no_emms


def unsaved_chains(graph, vectors, saver):
    """Chains of callers, root first, that reach a vector routine without passing the saver."""
    callers = {}
    for src, dsts in graph.calls.items():
        for dst in dsts:
            if dst == "__indirect_call":
                for target_name in INDIRECT_TARGETS.get(graph.name.get(src, ""), ()):
                    for t in graph.titles_named(target_name):
                        callers.setdefault(t, set()).add(src)
            else:
                callers.setdefault(dst, set()).add(src)
    chains = []
    for vector in vectors:
        for start in graph.titles_named(vector):
            # Depth-first up the callers; a chain ends at the saver (sound) or at a routine
            # nobody in the driver calls (an entry point: unsound).
            stack = [(start, [start])]
            seen = set()
            while stack:
                title, path = stack.pop()
                if graph.name.get(title) == saver:
                    continue
                ups = sorted(callers.get(title, ()))
                if not ups:
                    # A vector routine nothing in the driver calls is dead code, not a fault.
                    if len(path) > 1:
                        chains.append([graph.name.get(t, t) for t in reversed(path)])
                    continue
                for up in ups:
                    if up not in seen:
                        seen.add(up)
                        stack.append((up, path + [up]))
    return chains


def main():
    ap = argparse.ArgumentParser(description="x87/MMX/SSE use of the driver image")
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--saver", required=True, help="the routine that saves the floating-point state")
    ap.add_argument("--out", help="write the report here on success")
    ap.add_argument("ci_dir", metavar="obj_dirs", help="the driver's object folders, separated by " + os.pathsep)
    ap.add_argument("vectors", nargs="+", help="the routines allowed to hold such instructions")
    args = ap.parse_args()

    errors = []
    found, names, no_emms = scan_image(args.objdump, args.image)
    for name in sorted(found):
        if name not in args.vectors:
            addr, insn = found[name][0]
            errors.append("%s is no vector routine but holds %d x87/MMX/SSE instruction(s), the first at %s: %s"
                          % (name, len(found[name]), addr, insn))
    for name in sorted(no_emms):
        errors.append("%s returns at %s after MMX instructions without EMMS" % (name, no_emms[name]))
    if args.saver not in names:
        errors.append("the saving routine %s is not in the image" % args.saver)

    graph = Graph()
    for dirpath, _, files in (w for d in args.ci_dir.split(os.pathsep) for w in os.walk(d)):
        for f in sorted(files):
            if f.endswith(".ci"):
                graph.read(os.path.join(dirpath, f))
    for vector in args.vectors:
        if vector in found and not graph.titles_named(vector):
            errors.append("vector routine %s has no call graph" % vector)
    for chain in unsaved_chains(graph, args.vectors, args.saver):
        errors.append("vector routine %s is reached without the floating-point state saved by %s: %s"
                      % (chain[-1], args.saver, " -> ".join(chain)))

    lines = ["%s: %d instruction(s)" % (name, len(found[name])) for name in sorted(found)]
    report = "x87/MMX/SSE instructions by routine (all reached only through %s):\n  %s\n" % (
        args.saver, "\n  ".join(lines) if lines else "(none)")
    if errors:
        for e in sorted(set(errors)):
            sys.stderr.write("error: %s\n" % e)
        return 1
    sys.stdout.write(report)
    if args.out:
        with open(args.out, "w") as f:
            f.write(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
