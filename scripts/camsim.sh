#!/usr/bin/env bash
# The main job on a fresh Debian machine: installs what the build needs (apt-get, as root),
# builds the 64-bit host build and runs camsim. Arguments go to camsim; with none it streams
# the built-in scene at 320x240 into out/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${TORVANE_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" run
cmake -S "$root" -B "$out/host64" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out/host64" -j "$jobs" --target camsim >/dev/null
exec "$out/host64/tools/camsim" "$@"
