#!/usr/bin/env bash
# Installs what the builds need on Debian (apt-get, as root), once; later runs find everything
# installed and do nothing.
#   install-deps.sh run    what building and running camsim needs (64-bit host build)
#   install-deps.sh test   everything: the 32-bit, sanitizer, fuzz and target builds, the
#                          reference decoder, benchmarks and the tools the tests check files with
set -euo pipefail

what=${1:-test}
packages=(cmake make g++ googletest libjpeg62-turbo-dev libpng-dev libcli11-dev)
if [[ $what == test ]]; then
  # The -m32 build links the i386 builds of libjpeg and libpng, and its benchmarks the i386
  # builds of Google Benchmark and TurboJPEG.
  packages+=(g++-multilib g++-mingw-w64-i686-win32 libbenchmark-dev qemu-user libturbojpeg0-dev clang
             libfuzzer-14-dev ffmpeg python3 libjpeg62-turbo-dev:i386 libpng-dev:i386
             libbenchmark-dev:i386 libturbojpeg0-dev:i386)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "== installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "need root to install packages: ${missing[*]}" >&2
  exit 1
fi
if [[ $what == test ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
