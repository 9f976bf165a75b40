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
# Two runs on each side. The first installs the device, makes the property requests of
# tests/wine/property_script.h and the captures of tests/wine/capture_script.h at 320x240 (RGB24
# with settings other than the defaults and a still, then YUY2 with the settings the first
# capture saved, I420 and MJPG) from the same camera slots, recorded on the host from the
# simulated camera (with the camera faults of --faults, camsim's list); the next run finds the
# device again with the settings the first saved (Wine: in the device's driver key in its
# registry; host: the hive the first run saved) and captures once more.
# Checks, for each run: the test program ran every step; the driver's own debug output equals
# the host run's line for line, but for its build time and the addresses of its pool blocks (and
# the first run's removal, which Wine does not do for a device that stays installed); every
# property and stream request's status, byte count and reply, every frame byte for byte, and the
# settings saved in the driver key equal the host's. Writes wine[_next].out, wine[_next].log
# (Wine's log), host[_next].out, host[_next].log, slots.bin, format.bin, the frame files and
# inf_report.txt (the INF lines Wine's setupapi never read) into --work.
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
# One Wine run at a time in the prefix (camsim --kernel wine takes the same lock); Wine's own
# processes, the server among them, do not inherit it.
exec 9>"$work/prefix.lock"
flock 9
prefix=$("$here/wine_prefix.sh" "$work/prefix" "$skip" 9>&-) || exit $?

export WINEPREFIX=$prefix WINEARCH=win32
# A run that was ended early can leave this prefix's driver host running, holding the drivers.
wineserver -k 2>/dev/null 9>&-
wineserver -w 2>/dev/null 9>&-
stage=$prefix/drive_c/torvane
mkdir -p "$stage"
rm -f "$stage"/wine_frames*.bin "$work"/wine_frames*.bin "$work"/host_frames*.bin "$work/host_settings.hive"

# One run on each side: the host's first (it records the camera's slots and the capture format
# the Wine run uses), then Wine's. Under Wine the first run keeps the device installed, and the
# next run finds it started again by Wine with the settings the first saved in its driver key;
# the host's next run loads the hive its first run saved.
#   run SUFFIX WINE_MODE [--next]
run() {
  local suffix=$1 mode=$2
  TORVANE_DBGPRINT=1 "$reference" "$work" "$faults" ${3:-} >"$work/host$suffix.out" 2>"$work/host$suffix.log"
  echo $? >"$work/host$suffix.status"
  cp "$work/slots.bin" "$work/format.bin" "$stage/"
  # warn+debugstr: the drivers' DbgPrint lines; trace+setupapi: which INF lines setupapi read.
  WINEDEBUG=warn+debugstr,trace+setupapi timeout 120 wine 'C:\torvane\torvane_wine.exe' 'C:\torvane' "$mode" 9>&- \
    >"$work/wine$suffix.out" 2>"$work/wine$suffix.log"
  echo $? >"$work/wine$suffix.status"
  # The driver host process ends a few seconds after the test program: its last lines come then.
  timeout 60 wineserver -w 9>&- || { wineserver -k 9>&-; echo "wine_stage: Wine did not end within 60 s" >&2; }
  [[ -f $stage/wine_frames$suffix.bin ]] && cp "$stage/wine_frames$suffix.bin" "$work/"
}
cp "$root/win/Torvane.inf" "$image" "$standins/stream.sys" "$standins/Kelvane.sys" "$standins/torvane_wine.exe" "$stage/"
echo "wine_stage: installing and starting Torvane.sys under $(wine --version)" >&2
wine_start=$SECONDS
run "" --keep
run _next --next --next
wine_seconds=$((SECONDS - wine_start))

python3 - "$work" "$root/win/Torvane.inf" <<'EOF'
import difflib, os, re, sys
work, inf = sys.argv[1], sys.argv[2]
failures = []
FRAME_BYTES = 320 * 240 * 3
PREFIX = re.compile(r"^[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]+:[0-9a-f]+: ")

def lines(name):
    return open(f"{work}/{name}", errors="replace").read().splitlines() if os.path.exists(f"{work}/{name}") else []

def status(name):
    text = open(f"{work}/{name}").read().strip() if os.path.exists(f"{work}/{name}") else ""
    return int(text) if text else 1

# The driver's debug output: Wine prefixes each DbgPrint line; the stand-ins' own lines are
# theirs, not the driver's. The build time and pool addresses differ between the two runs.
def normal(line):
    line = re.sub(r"(Version =  ).*", r"\1<build time>", line)
    line = re.sub(r"(Builded in ).*", r"\1<build time>", line)
    line = re.sub(r"(LUMAREX_Initialize = |g_pBmpBuf = )0x(?!00000000)[0-9a-f]{8}", r"\g<1><address>", line)
    return line

def requests(out):
    return [l for l in out if l.startswith(("property ", "stream ", "frame "))]

def diff(a, b):
    return "\n".join(difflib.unified_diff(a, b, "host", "wine", lineterm="", n=1))

def frames(name):
    return open(f"{work}/{name}", "rb").read() if os.path.exists(f"{work}/{name}") else b""

summary = []
for suffix, what, kept in (("", "first run", True), ("_next", "next run", False)):
    wine_out, wine_log = lines(f"wine{suffix}.out"), lines(f"wine{suffix}.log")
    host_out, host_log = lines(f"host{suffix}.out"), lines(f"host{suffix}.log")
    if status(f"wine{suffix}.status") != 0 or "torvane_wine: done" not in wine_out:
        failures.append(f"{what}: the Windows test program failed; see {work}/wine{suffix}.out")
    if status(f"host{suffix}.status") != 0:
        failures.append(f"{what}: the host reference failed; see {work}/host{suffix}.log")
    wine_dbg = [normal(l[m.end():]) for l in wine_log for m in [PREFIX.match(l)]
                if m and not re.match(r"(stream|Kelvane)\.sys: ", l[m.end():])]
    # Wine ends the driver host process without removing a device that stays installed: the
    # first run's removal (the host's always removes) is not compared.
    if kept and "wine_reference: removing the device" in host_log:
        host_log = host_log[:host_log.index("wine_reference: removing the device")]
    host_dbg = [normal(l) for l in host_log if not l.startswith("wine_reference:")]
    if not wine_dbg:
        failures.append(f"{what}: the driver printed nothing under Wine (no DriverEntry?)")
    if wine_dbg != host_dbg:
        failures.append(f"{what}: the driver's debug output differs between the host and Wine:\n" + diff(host_dbg, wine_dbg))
    wanted = ["stream.sys: AddDevice for PDO", "stream.sys: SRB_INITIALIZATION_COMPLETE 0x00000000", "now jumps to"]
    if not kept:
        wanted.append("stream.sys: SRB_UNINITIALIZE_DEVICE 0x00000000")
    for w in wanted:
        if not any(w in l for l in wine_log):
            failures.append(f"{what}: no line '{w}' in Wine's log")
    wine_requests, host_requests = requests(wine_out), requests(host_out)
    if not host_requests or wine_requests != host_requests:
        failures.append(f"{what}: the requests' results differ between the host and Wine:\n" + diff(host_requests, wine_requests))
    # The saved settings, in name order (Wine's registry lists values sorted, the host's in the
    # order they were set).
    wine_settings = sorted(l for l in wine_out if l.startswith("settings "))
    host_settings = sorted(l for l in host_out if l.startswith("settings "))
    if not host_settings or wine_settings != host_settings:
        failures.append(f"{what}: the saved settings differ: host {host_settings}, Wine {wine_settings}")
    frames_host, frames_wine = frames(f"host_frames{suffix}.bin"), frames(f"wine_frames{suffix}.bin")
    if not frames_host or frames_host != frames_wine:
        where = next((k for k in range(max(len(frames_host), len(frames_wine)) // FRAME_BYTES)
                      if frames_host[k * FRAME_BYTES:(k + 1) * FRAME_BYTES] != frames_wine[k * FRAME_BYTES:(k + 1) * FRAME_BYTES]), None)
        failures.append(f"{what}: the frames differ: host {len(frames_host)} bytes, Wine {len(frames_wine)} bytes"
                        + (f", first at frame {where + 1}" if where is not None else ""))
    summary.append(f"{what}: {len(wine_dbg)} debug lines of the driver, {len(wine_requests)} requests' results, "
                   f"{len(frames_host) // FRAME_BYTES} frames ({len(frames_host)} bytes) and {len(wine_settings)} "
                   f"saved settings equal the host's")

# Which INF lines setupapi read (first run, which installs): a directive found by its key in a
# section it looked up, or any line of a section it read whole (a list section: files, registry
# lines, models). The header sections ([Version], [Strings], the disk and directory sections)
# are not judged here.
log = "\n".join(lines("wine.log"))
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
for line in summary:
    print(f"wine_stage: {line}")
EOF
result=$?
echo "wine_stage: Wine part took ${wine_seconds} s, the whole stage $((SECONDS - start)) s" >&2
exit $result
