#!/usr/bin/env python3
"""Plant faults in the sources one at a time and check that the tests catch each.

Each list file holds blocks separated by blank lines; lines starting with '#' are comments:

    name: the Huffman code length limit is off by one
    file: imageproc/jpg_huffman.c
    from: if (len > 16)
    to: if (len > 17)
    build: imageproc_tests
    tests: ^JpgEntropyTest\\.

'from' must occur exactly once in 'file' and is replaced by 'to' (both single lines, taken as
they stand after the key and one space). 'build' names the targets to rebuild (space-separated),
'tests' the ctest regular expression to run. With --full every test of the build directory runs
instead. A fault is caught when the build succeeds and at least one test fails (a test that hangs
fails on ctest's timeout). The file is always put back, whatever happens.

A fault that the build itself must refuse (the target build's image checks) gives 'refused'
instead of 'tests': a regular expression that the failing build's output must match. It is
caught when the build fails with that message (scripts/faults/target.txt, run with
--build build/target).

Usage: scripts/planted_faults.py [--build DIR] [--full] [--only REGEX] LIST...
Exit status: 0 when every fault is caught, 1 when any is missed or does not build.
"""
import argparse
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEYS = ("name", "file", "from", "to", "build", "tests", "refused")
REQUIRED = ("name", "file", "from", "to", "build")


def read_faults(path):
    faults, block = [], {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines + [""], 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if block:
                missing = [k for k in REQUIRED if k not in block]
                if ("tests" in block) == ("refused" in block):
                    missing.append("exactly one of tests and refused")
                if missing:
                    sys.exit(f"{path}:{number}: fault block lacks {', '.join(missing)}")
                block["list"] = os.path.basename(path)
                faults.append(block)
                block = {}
            continue
        key, sep, value = line.partition(": ")
        if not sep or key not in KEYS:
            sys.exit(f"{path}:{number}: expected one of {', '.join(KEYS)} followed by ': '")
        block[key] = value
    return faults


def run(cmd, timeout=None):
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)


def failed_tests(ctest_output):
    # Parameterised tests' names carry spaces; the status in brackets ends the line.
    return re.findall(r"^\s*\d+ - (.+?) \([^()]*\)\s*$", ctest_output, re.M)


def check(fault, build_dir, full, jobs):
    path = os.path.join(ROOT, fault["file"])
    with open(path, encoding="utf-8") as f:
        original = f.read()
    count = original.count(fault["from"])
    if count != 1:
        return "BAD", f"'from' occurs {count} times in {fault['file']}"
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original.replace(fault["from"], fault["to"], 1))
        targets = ["all"] if full else fault["build"].split()
        built = run(["cmake", "--build", build_dir, "-j", str(jobs), "--target", *targets])
        if "refused" in fault:
            if built.returncode == 0:
                return "MISSED", "the build succeeded"
            m = re.search(fault["refused"], built.stdout)
            if not m:
                tail = "\n".join(built.stdout.splitlines()[-15:])
                return "BAD", f"the build failed without the expected message:\n{tail}"
            return "CAUGHT", built.stdout[m.start():].split("\n", 1)[0]
        if built.returncode != 0:
            tail = "\n".join(built.stdout.splitlines()[-15:])
            return "BAD", f"does not build:\n{tail}"
        cmd = ["ctest", "--test-dir", build_dir, "-j", str(jobs), "--timeout", "120"]
        if not full:
            cmd += ["-R", fault["tests"]]
        tested = run(cmd)
        if "No tests were found" in tested.stdout:
            return "BAD", f"no test matches {fault['tests']}"
        if tested.returncode == 0:
            return "MISSED", "every test passed"
        names = failed_tests(tested.stdout)
        shown = ", ".join(names[:4]) + (f" and {len(names) - 4} more" if len(names) > 4 else "")
        return "CAUGHT", shown
    finally:
        # Writing the file back also makes it newer than the objects built with the fault.
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/host64", help="configured build directory")
    parser.add_argument("--full", action="store_true", help="run every test for every fault")
    parser.add_argument("--only", help="check only faults whose name matches this expression")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("lists", nargs="+")
    args = parser.parse_args()
    build_dir = os.path.abspath(os.path.join(ROOT, args.build))
    faults = [f for path in args.lists for f in read_faults(path)]
    if args.only:
        faults = [f for f in faults if re.search(args.only, f["name"])]
    results = {"CAUGHT": 0, "MISSED": 0, "BAD": 0}
    for index, fault in enumerate(faults, 1):
        verdict, detail = check(fault, build_dir, args.full, args.jobs)
        results[verdict] += 1
        print(f"[{index}/{len(faults)}] {verdict:6} {fault['list']}: {fault['name']} -- {detail}",
              flush=True)
    # Rebuild the untouched sources so the build directory is left as it was found.
    targets = ["all"] if args.full else sorted({t for f in faults for t in f["build"].split()})
    if targets:
        run(["cmake", "--build", build_dir, "-j", str(args.jobs), "--target", *targets])
    print(f"{results['CAUGHT']} caught, {results['MISSED']} missed, {results['BAD']} not checkable "
          f"of {len(faults)}")
    return 0 if results["MISSED"] == 0 and results["BAD"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
