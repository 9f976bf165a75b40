#!/usr/bin/env bash
# Makes (on first use) the 32-bit Wine prefix the Wine stage runs the driver in, and checks that
# it can run: Wine installed, and 32-bit programs runnable on this kernel.
#   wine_prefix.sh PREFIX [SKIP_STATUS]
# Prints the prefix's path on success (exit 0). When Wine is missing or 32-bit programs cannot
# run it says so in one line on standard error and exits with SKIP_STATUS (default 2; tests pass
# 77, ctest's skip status). Any other failure exits with 1.
set -uo pipefail

prefix=${1:?usage: wine_prefix.sh PREFIX [SKIP_STATUS]}
skip=${2:-2}
# Wine takes only an absolute prefix path.
[[ $prefix == /* ]] || prefix=$PWD/$prefix

if ! command -v wine >/dev/null 2>&1 || ! command -v wineboot >/dev/null 2>&1; then
  echo "wine: Wine is not installed (sudo ./scripts/install-deps.sh test installs wine and wine32)" >&2
  exit "$skip"
fi
# Wine's 32-bit loader is an i386 ELF program: running it shows whether this kernel runs 32-bit
# programs at all (a kernel without IA-32 emulation refuses it).
loader=/usr/lib/wine/wine
if [[ ! -x $loader ]]; then
  echo "wine: the 32-bit Wine loader ($loader) is missing (install wine32)" >&2
  exit "$skip"
fi
if ! "$loader" --version >/dev/null 2>&1; then
  echo "wine: this kernel cannot run 32-bit programs ($loader --version fails), so the 32-bit driver cannot run under Wine" >&2
  exit "$skip"
fi

export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
if [[ -f $prefix/system.reg && -d $prefix/drive_c/windows/system32/drivers ]]; then
  echo "$prefix"
  exit 0
fi
mkdir -p "$(dirname "$prefix")"
echo "wine: making a 32-bit prefix in $prefix (once, about 10 s)..." >&2
start=$SECONDS
if ! wineboot -i >"$prefix.log" 2>&1; then
  echo "wine: wineboot -i failed; its output is in $prefix.log" >&2
  exit 1
fi
# wineboot returns before the prefix's registry is written out: wait for the server to end.
wineserver -w
if [[ ! -f $prefix/system.reg ]]; then
  echo "wine: wineboot made no registry in $prefix; its output is in $prefix.log" >&2
  exit 1
fi
echo "wine: prefix ready in $((SECONDS - start)) s" >&2
echo "$prefix"
