#!/usr/bin/env bash
# The Wine stage: the shipped Torvane.sys installed from win/Torvane.inf and started under Wine's
# kernel (32-bit prefix), with the stand-in stream class and camera class library, driven by the
# Windows test program; its answers compared with the host's on the same image.
#
#   wine_stage.sh --image Torvane.sys --standins DIR --reference PROGRAM --work DIR [--faults LIST]
#                 [--skip-status N]
#
# DIR of --standins holds stream.sys, Kelvane.sys and torvane_wine.exe (the target build's
# standins/). PROGRAM is tests/wine/wine_reference of the 32-bit host build. The prefix is made
# in --work on first use and kept; each run removes the device the run before left.
# Checks: the test program ran every step; the driver's own debug output (DriverEntry, device
# arrival, property requests, removal) equals the host run's line for line, but for its build
# time and the addresses of its pool blocks; every property request's status, byte count and
# reply equals the host's; and the captures of tests/wine/capture_script.h at 320x240 (RGB24 with
# settings other than the defaults and a still, then YUY2 with the settings the first capture
# saved, I420 and MJPG) from the same camera slots, recorded on the host from the simulated camera
# (with the camera faults of --faults, camsim's list), give the same stream and property requests'
# results and the same frames, byte for byte; and the settings the driver saved, read back from
# the device's driver key in Wine's registry, equal those in the host's. Writes wine.out, wine.log (Wine's log), host.out, host.log, slots.bin, format.bin,
# host_frames.bin, wine_frames.bin and inf_report.txt (the INF lines Wine's setupapi never read)
# into --work.
# Exit status: 0 passed, 1 failed, --skip-status (default 2) when Wine or 32-bit programs cannot
# run (one line says why).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
image="" standins="" reference="" work="" skip=2 faults=""
while (($#)); do
  case $1 in
    --image) image=$2; shift 2 ;;
    --standins) standins=$2; shift 2 ;;
    --reference) reference=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --skip-status) skip=$2; shift 2 ;;
    --faults) faults=$2; shift 2 ;;
    *) echo "wine_stage: unknown argument $1" >&2; exit 1 ;;
  esac
done
for f in "$image" "$standins/stream.sys" "$standins/Kelvane.sys" "$standins/torvane_wine.exe" "$reference"; do
  if [[ ! -f $f ]]; then
    echo "wine_stage: $f is missing (build the target build first: cmake --build build/target)" >&2
    exit 1
  fi
done
mkdir -p "$work"
start=$SECONDS
prefix=$("$here/wine_prefix.sh" "$work/prefix" "$skip") || exit $?

# The host run first: it records the camera's slots and the capture format the Wine run uses.
TORVANE_DBGPRINT=1 "$reference" "$work" "$faults" >"$work/host.out" 2>"$work/host.log"
host_status=$?

export WINEPREFIX=$prefix WINEARCH=win32
# A run that was ended early can leave this prefix's driver host running, holding the drivers.
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
stage=$prefix/drive_c/torvane
mkdir -p "$stage"
rm -f "$stage/wine_frames.bin" "$work/wine_frames.bin"
cp "$root/win/Torvane.inf" "$image" "$standins/stream.sys" "$standins/Kelvane.sys" "$standins/torvane_wine.exe" \
  "$work/slots.bin" "$work/format.bin" "$stage/"

# warn+debugstr: the drivers' DbgPrint lines; trace+setupapi: which INF lines setupapi read.
echo "wine_stage: installing and starting Torvane.sys under $(wine --version)" >&2
wine_start=$SECONDS
WINEDEBUG=warn+debugstr,trace+setupapi timeout 120 wine 'C:\torvane\torvane_wine.exe' 'C:\torvane' \
  >"$work/wine.out" 2>"$work/wine.log"
wine_status=$?
# The driver host process ends a few seconds after the test program: its last lines (removal,
# unload) come then.
timeout 60 wineserver -w || { wineserver -k; echo "wine_stage: Wine did not end within 60 s" >&2; }
wine_seconds=$((SECONDS - wine_start))
[[ -f $stage/wine_frames.bin ]] && cp "$stage/wine_frames.bin" "$work/"

python3 - "$work" "$root/win/Torvane.inf" "$wine_status" "$host_status" <<'EOF'
import re, sys
work, inf, wine_status, host_status = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
failures = []
wine_out = open(f"{work}/wine.out", errors="replace").read().splitlines()
wine_log = open(f"{work}/wine.log", errors="replace").read().splitlines()
host_out = open(f"{work}/host.out", errors="replace").read().splitlines()
host_log = open(f"{work}/host.log", errors="replace").read().splitlines()
if wine_status != 0 or "torvane_wine: done" not in wine_out:
    failures.append(f"the Windows test program failed (status {wine_status}); see {work}/wine.out")
if host_status != 0:
    failures.append(f"the host reference failed (status {host_status}); see {work}/host.log")

# The driver's debug output: Wine prefixes each DbgPrint line; the stand-ins' own lines are
# theirs, not the driver's. The build time and pool addresses differ between the two runs.
def normal(line):
    line = re.sub(r"(Version =  ).*", r"\1<build time>", line)
    line = re.sub(r"(Builded in ).*", r"\1<build time>", line)
    line = re.sub(r"(LUMAREX_Initialize = |g_pBmpBuf = )0x(?!00000000)[0-9a-f]{8}", r"\g<1><address>", line)
    return line
prefix = re.compile(r"^[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]+:[0-9a-f]+: ")
wine_dbg = []
for line in wine_log:
    m = prefix.match(line)
    if m and not re.match(r"(stream|Kelvane)\.sys: ", line[m.end():]):
        wine_dbg.append(normal(line[m.end():]))
host_dbg = [normal(l) for l in host_log if not l.startswith("wine_reference:")]
host_dbg = [re.sub(r"^\[dbg\] ", "", l) for l in host_dbg]
if not wine_dbg:
    failures.append("the driver printed nothing under Wine (no DriverEntry?)")
if wine_dbg != host_dbg:
    import difflib
    diff = "\n".join(difflib.unified_diff(host_dbg, wine_dbg, "host", "wine", lineterm="", n=1))
    failures.append("the driver's debug output differs between the host and Wine:\n" + diff)
for wanted in ("stream.sys: AddDevice for PDO", "stream.sys: SRB_INITIALIZATION_COMPLETE 0x00000000",
               "stream.sys: SRB_UNINITIALIZE_DEVICE 0x00000000", "now jumps to"):
    if not any(wanted in l for l in wine_log):
        failures.append(f"no line '{wanted}' in Wine's log")

def requests(lines):
    return [l for l in lines if l.startswith(("property ", "stream ", "frame "))]
wine_props = requests(wine_out)
host_props = requests(host_out)
# The saved settings, in name order (Wine's registry lists values sorted, the host's in the order
# they were set).
wine_settings = sorted(l for l in wine_out if l.startswith("settings "))
host_settings = sorted(l for l in host_out if l.startswith("settings "))
if not host_settings or wine_settings != host_settings:
    failures.append(f"the saved settings differ: host {host_settings}, Wine {wine_settings}")
if not host_props or wine_props != host_props:
    import difflib
    diff = "\n".join(difflib.unified_diff(host_props, wine_props, "host", "wine", lineterm="", n=0))
    failures.append("the requests' results differ between the host and Wine:\n" + diff)

import os
frames_host = open(f"{work}/host_frames.bin", "rb").read() if os.path.exists(f"{work}/host_frames.bin") else b""
frames_wine = open(f"{work}/wine_frames.bin", "rb").read() if os.path.exists(f"{work}/wine_frames.bin") else b""
frame_bytes = 320 * 240 * 3
frame_count = len(frames_host) // frame_bytes
if not frames_host or frames_host != frames_wine:
    where = next((k for k in range(max(len(frames_host), len(frames_wine)) // frame_bytes)
                  if frames_host[k * frame_bytes:(k + 1) * frame_bytes] != frames_wine[k * frame_bytes:(k + 1) * frame_bytes]), None)
    failures.append(f"the frames differ: host {len(frames_host)} bytes, Wine {len(frames_wine)} bytes"
                    + (f", first at frame {where + 1}" if where is not None else ""))

# Which INF lines setupapi read: a directive found by its key in a section it looked up, or any
# line of a section it read whole (a list section: files, registry lines, models). The header
# sections ([Version], [Strings], the disk and directory sections) are not judged here.
log = "\n".join(wine_log)
looked = set(re.findall(r'SetupFind\w+W \([0-9A-F]+,L"([^"]+)",L"([^"]+)"\): returning', log))
whole = set(re.findall(r'SetupFindFirstLineW \([0-9A-F]+,L"([^"]+)",\(null\)\): returning', log))
whole |= set(re.findall(r'SetupGetLineByIndexW \([0-9A-F]+,L"([^"]+)"\): returning', log))
mentioned = set(re.findall(r'L"([^"]+)"', log))
report, section = [], None
for raw in open(inf, errors="replace"):
    line = raw.split(";")[0].strip()
    if not line:
        continue
    if line.startswith("["):
        section = line.strip("[]")
        continue
    if section in ("Version", "Strings", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Manufacturer"):
        continue
    key = line.split("=")[0].strip() if "=" in line else None
    if section in whole or (key is not None and (section, key) in looked):
        continue
    why = "section never read" if section not in mentioned else "line never read"
    report.append(f"[{section}] {line}   ({why})")
open(f"{work}/inf_report.txt", "w").write("".join(r + "\n" for r in report))
for r in report:
    print(f"wine_stage: INF line Wine ignored: {r}")

if failures:
    for f in failures:
        print(f"wine_stage: FAILED: {f}")
    sys.exit(1)
print(f"wine_stage: {len(wine_dbg)} debug lines of the driver, {len(wine_props)} requests' results, "
      f"{frame_count} frames ({len(frames_host)} bytes) and {len(wine_settings)} saved settings equal the host's")
EOF
result=$?
echo "wine_stage: Wine part took ${wine_seconds} s, the whole stage $((SECONDS - start)) s" >&2
exit $result
