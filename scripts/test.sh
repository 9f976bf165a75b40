#!/usr/bin/env bash
# Builds every build of Torvane and runs every test:
#   the target build (sys/ and imageproc/ cross-compiled freestanding for 32-bit Windows, linked
#   into Torvane.sys), host 64-bit, host 32-bit (-m32; its end-to-end tests also run on Torvane.sys,
#   and its Wine stage runs Torvane.sys under Wine, skipped where 32-bit programs cannot run),
#   host with AddressSanitizer + UBSan.
# On a fresh Debian machine it first installs what it needs (apt-get, as root).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${TORVANE_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" test

host_build() {
  local name=$1
  shift
  echo "== host build: $name"
  cmake -S "$root" -B "$out/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$out/$name" -j "$jobs"
  ctest --test-dir "$out/$name" -j "$jobs" --output-on-failure
}

# The target build first: the 32-bit host build's tests load the driver image it links.
echo "== target build: i686-w64-mingw32"
cmake -S "$root" -B "$out/target" -DCMAKE_TOOLCHAIN_FILE="$root/win/toolchain-i686-w64-mingw32.cmake" >/dev/null
cmake --build "$out/target" -j "$jobs"

host_build host64
# Some kernels run no 32-bit x86 programs; there the 32-bit tests run under qemu's user-mode
# emulator, which executes them instruction by instruction as the processor would.
probe=$(mktemp -d)
echo 'int main(void) { return 0; }' >"$probe/p.c"
emulator=()
if gcc -m32 "$probe/p.c" -o "$probe/p" && ! "$probe/p" 2>/dev/null; then
  echo "== this kernel does not run 32-bit programs: 32-bit tests run under qemu-i386"
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
fi
rm -rf "$probe"
# The 32-bit build also runs the end-to-end suite on the shipped image (tests named image.*).
host_build host32 -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 "${emulator[@]}" \
  -DTORVANE_DRIVER_IMAGE="$out/target/Torvane.sys"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 host_build sanitize -DTORVANE_SANITIZE=ON

# The threading tests (kernel events and threads, the frame hand-off with its worker, the whole
# stack streaming end to end) once more under ThreadSanitizer.
echo "== host build: tsan (threading tests)"
cmake -S "$root" -B "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_TSAN=ON >/dev/null
cmake --build "$out/tsan" -j "$jobs" --target host_tests sys_tests e2e_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$out/tsan" -j "$jobs" --output-on-failure -R '^(Events|SystemThreads|ProcessTest|Delays|WorkerTest|StreamTest|ControlsTest|LifecycleTest|EndToEndTest|EachKind/FaultsTest|CaptureTest)\.'

# The fuzz targets, built with clang, AddressSanitizer and UBSan, each run for a bounded time
# from seeds written by the 64-bit build's replay programs: the decoder's, and the driver's over
# the whole stack. Any crash, leak, undefined behaviour or broken rule they find fails the run;
# the input is left in $out/fuzz-artifacts, replayable with <target>_replay (jpg_decode_replay
# for the decoder's).
fuzz_seconds=${TORVANE_FUZZ_SECONDS:-60}
driver_fuzz_seconds=${TORVANE_DRIVER_FUZZ_SECONDS:-20}
driver_fuzz_targets=(iso_stream property settings camera_answers srb_sequence)
rm -rf "$out/fuzz-corpus" "$out/fuzz-artifacts"
mkdir -p "$out/fuzz-corpus" "$out/fuzz-artifacts"
"$out/host64/fuzz/jpg_decode_replay" --write-seeds "$out/fuzz-corpus"
CC=clang CXX=clang++ cmake -S "$root" -B "$out/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_FUZZ=ON >/dev/null
cmake --build "$out/fuzz" -j "$jobs" --target jpg_decode_fuzz "${driver_fuzz_targets[@]/%/_fuzz}"
echo "== fuzz: jpg_decode for ${fuzz_seconds}s"
"$out/fuzz/fuzz/jpg_decode_fuzz" -max_total_time="$fuzz_seconds" -timeout=10 -max_len=16384 \
  -artifact_prefix="$out/fuzz-artifacts/" -print_final_stats=1 "$out/fuzz-corpus" 2>"$out/fuzz/fuzz.log" ||
  { tail -n 60 "$out/fuzz/fuzz.log" >&2; echo "fuzz: finding in $out/fuzz-artifacts" >&2; exit 1; }
grep -E "^stat::number_of_executed_units|^Done" "$out/fuzz/fuzz.log" || true
for target in "${driver_fuzz_targets[@]}"; do
  echo "== fuzz: $target for ${driver_fuzz_seconds}s"
  corpus="$out/fuzz-corpus-$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  "$out/host64/fuzz/${target}_replay" --write-seeds "$corpus"
  "$out/fuzz/fuzz/${target}_fuzz" -max_total_time="$driver_fuzz_seconds" -timeout=20 -max_len=65536 -rss_limit_mb=4096 \
    -artifact_prefix="$out/fuzz-artifacts/$target-" -print_final_stats=1 "$corpus" 2>"$out/fuzz/$target.log" ||
    { tail -n 60 "$out/fuzz/$target.log" >&2
      echo "fuzz: $target finding in $out/fuzz-artifacts (replay: $out/host64/fuzz/${target}_replay FILE)" >&2; exit 1; }
  grep -E "^stat::number_of_executed_units|^#[0-9]+[[:space:]]+DONE" "$out/fuzz/$target.log" || true
done

echo "== all builds built and all tests passed"
