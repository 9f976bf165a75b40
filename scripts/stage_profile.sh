#!/usr/bin/env bash
# Per-stage profile of the whole frame: runs one frame_bench benchmark under perf and sums the
# samples of the driver's routines by stage (entropy decoding, inverse DCT, colour conversion,
# the decoder's line copy, adjustments, output conversion, copies, the rest), as shares of
# the time spent in the frame (the benchmark's frame set-up is left out).
#   scripts/stage_profile.sh BUILD_DIR BENCHMARK_REGEX     e.g. build/host64 'frame/rgb24/640x480'
set -euo pipefail
build=$1
filter=$2
data=$(mktemp)
trap 'rm -f "$data"' EXIT
perf record -q -o "$data" "$build/bench/frame_bench" --benchmark_filter="^$filter\$" --benchmark_min_time=2s \
  >/dev/null 2>&1
# Sorted by object and symbol: the frame never calls the maths library, so its samples (the
# scene generator's, unnamed in the i386 library) are set-up; unnamed C library samples are its
# copy and fill routines.
perf report -i "$data" --stdio --sort dso,symbol -q 2>/dev/null | awk '
  { pct = $1; sub(/%/, "", pct); dso = $2; $1 = ""; $2 = ""; $3 = ""; sym = $0 }
  dso ~ /^libm[.-]/ { next }
  dso ~ /^libc[.-]/ && sym ~ /^ *0x/ { s["copies"] += pct; t += pct; next }
  sym ~ /TestScene|mersenne|generate_canonical|logf|expf|powf|sinf|cosf|tjCompress|encode_|jsimd_.*(fdct|quant|huff_encode|rgb_ycc|h2v1_down|h2v2_down)|forward_DCT|compress|jpeg_fdct|rgb_ycc|downsample/ { next }
  sym ~ /entropy|huff|get_entropy|take_restart|fill_bits|reader_fill/            { s["entropy"] += pct; t += pct; next }
  sym ~ /idct/                                                     { s["idct"] += pct; t += pct; next }
  sym ~ /colour_convert|ColourConvert|colour|bgr_(quarter|half|full)/ { s["colour"] += pct; t += pct; next }
  sym ~ /copy_line|decode_line|jpg_decode/                          { s["decoder line copy and control"] += pct; t += pct; next }
  sym ~ /Adjust|Luma|Sharpen|Colour16|Saturat|Contrast/             { s["adjustments"] += pct; t += pct; next }
  sym ~ /Yuy2|I420|RGB24To/                                         { s["output conversion"] += pct; t += pct; next }
  sym ~ /memmove|memcpy|RtlCopyMemory/                              { s["copies"] += pct; t += pct; next }
  { s["other"] += pct; t += pct; o[sym] += pct }
  END {
    for (k in s) printf "  %-32s %5.1f%%\n", k, 100 * s[k] / t
    printf "  (other, largest:"
    n = 0; for (k in o) if (100 * o[k] / t > 0.5) { printf " %s %.1f%%;", k, 100 * o[k] / t }
    printf ")\n"
  }' | sort -k1,1
