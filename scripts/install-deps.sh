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

# The Wine stage runs the shipped driver under Wine's kernel in a 32-bit prefix: Wine and its
# i386 half, without the recommended extras (fonts, Gecko, Mono) that a driver host never uses.
# Only on x86 Debian (amd64 gets the i386 architecture added below); elsewhere i386 packages
# cannot be had, Wine is not installed and that stage is skipped.
wine_packages=()
if [[ $what == test ]] && [[ $(dpkg --print-architecture) == amd64 || $(dpkg --print-architecture) == i386 ]]; then
  wine_packages=(wine wine32)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
missing_wine=()
for p in "${wine_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing_wine+=("$p")
done
((${#missing[@]} + ${#missing_wine[@]})) || exit 0
missing_all=("${missing[@]}" "${missing_wine[@]}")

echo "== installing: ${missing_all[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "need root to install packages: ${missing_all[*]}" >&2
  exit 1
fi
if [[ $what == test ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
if ((${#missing[@]})); then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if ((${#missing_wine[@]})); then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing_wine[@]}" >/dev/null
fi
