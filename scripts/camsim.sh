#!/usr/bin/env bash
# The main job on a fresh Debian machine: installs what the build needs (apt-get, as root),
# builds the 64-bit host build and runs camsim. Arguments go to camsim; with none it streams
# the built-in scene at 320x240 into out/. The build shows its progress on standard error
# (the first build takes a few minutes); standard output is camsim's alone, so that
# `./scripts/camsim.sh --y4m - | ffplay -` works.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${TORVANE_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" run >&2
if [[ ! -f $out/host64/CMakeCache.txt ]]; then
  echo "camsim.sh: configuring the 64-bit host build in $out/host64" >&2
fi
cmake -S "$root" -B "$out/host64" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Compiler steps and their percentage, errors and warnings; nothing when camsim is up to date.
set +o pipefail
cmake --build "$out/host64" -j "$jobs" --target camsim 2>&1 | {
  said=0
  while IFS= read -r line; do
    case $line in
      *"Built target"* | *"Consolidate compiler"* | *"Scanning dependencies"*) continue ;;
    esac
    if ((!said)); then
      echo "camsim.sh: building camsim (the first build takes a few minutes)"
      said=1
    fi
    echo "  $line"
  done
} >&2
status=${PIPESTATUS[0]}
set -o pipefail
if ((status != 0)); then
  echo "camsim.sh: the build failed (the messages above say why)" >&2
  exit 1
fi
exec "$out/host64/tools/camsim" "$@"
