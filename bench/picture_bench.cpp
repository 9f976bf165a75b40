// Per-frame cost of the picture adjustments at 640x480: the scalar and the vector form on
// their own, and the whole frame routine (adjustments plus conversion) for each output format.
// The frame is restored from an untouched copy before every iteration, outside the timing.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

const LONG kWidth = 640;
const LONG kHeight = 480;

// Default picture settings (brightness, contrast, saturation 50, sharpness 20), and a set with
// every adjustment active.
const LUMAREX_FRAME_SETTINGS kDefaults = {50, 50, 20, 50, 50};
const LUMAREX_FRAME_SETTINGS kAllActive = {60, 70, 20, 30, 50};

std::vector<UCHAR> RandomFrame(size_t bytes) {
  std::vector<UCHAR> f(bytes);
  std::mt19937 rng(2024);
  for (UCHAR &b : f) b = UCHAR(rng());
  return f;
}

struct Frame {
  std::vector<UCHAR> source = RandomFrame(size_t(kWidth) * kHeight * 3);
  std::vector<UCHAR> image = source;
  std::vector<UCHAR> luma = std::vector<UCHAR>(size_t(kWidth) * kHeight);
  std::vector<PUCHAR> rows = std::vector<PUCHAR>(kHeight);
  Frame() {
    for (LONG y = 0; y < kHeight; ++y) rows[y] = image.data() + size_t(y) * kWidth * 3;
  }
  void Restore() { memcpy(image.data(), source.data(), source.size()); }
};

void BM_AdjustScalar(benchmark::State &state, const LUMAREX_FRAME_SETTINGS *settings) {
  Frame f;
  for (auto _ : state) {
    state.PauseTiming();
    f.Restore();
    state.ResumeTiming();
    LUMAREX_AdjustImageScalar(f.rows.data(), kWidth, kHeight, settings, f.luma.data());
    benchmark::DoNotOptimize(f.image.data());
    benchmark::ClobberMemory();
  }
}

void BM_AdjustVector(benchmark::State &state, const LUMAREX_FRAME_SETTINGS *settings) {
  if (!LUMAREX_HasSSE2()) {
    state.SkipWithError("the processor reports no SSE2");
    return;
  }
  Frame f;
  for (auto _ : state) {
    state.PauseTiming();
    f.Restore();
    state.ResumeTiming();
    if (!LUMAREX_AdjustImageSSE2(f.rows.data(), kWidth, kHeight, settings, f.luma.data())) {
      state.SkipWithError("vector form refused the settings");
      break;
    }
    benchmark::DoNotOptimize(f.image.data());
    benchmark::ClobberMemory();
  }
}

// The frame routine as the decode worker runs it: per-frame pool allocations, the adjustments
// (vector form when the processor allows it) and the conversion for the output format.
void BM_ProcessImage(benchmark::State &state, UCHAR format) {
  std::vector<UCHAR> source = RandomFrame(size_t(kWidth) * kHeight * 3);
  std::vector<UCHAR> bmp = source;
  std::vector<UCHAR> ip(size_t(kWidth) * kHeight * 2);
  static DeviceContext dc;  // large; zero-filled like the class library's allocation
  memset(&dc, 0, sizeof(dc));
  dc.g_nDecodeWidth = kWidth;
  dc.g_nDecodeHeight = kHeight;
  dc.g_pBmpBuf = bmp.data();
  dc.g_nBmpBufSize = ULONG(bmp.size());
  dc.g_pIPBuf = ip.data();
  dc.g_nIPBufSize = ULONG(ip.size());
  dc.g_nOutputFormat = format;
  dc.g_FrameSettings = kDefaults;
  // As in a frame whose floating-point state the worker saved.
  dc.g_nVectorForms = dc.g_nFrameForms = LUMAREX_ProcessorForms();
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(bmp.data(), source.data(), source.size());
    state.ResumeTiming();
    LUMAREX_ProcessImage(&dc);
    benchmark::DoNotOptimize(bmp.data());
    benchmark::ClobberMemory();
  }
  if (HostPool_LiveBlockCount() != 0) state.SkipWithError("pool blocks left allocated");
}

}  // namespace

BENCHMARK_CAPTURE(BM_AdjustScalar, defaults, &kDefaults)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_AdjustVector, defaults, &kDefaults)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_AdjustScalar, all_active, &kAllActive)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_AdjustVector, all_active, &kAllActive)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ProcessImage, rgb24, UCHAR(LUMAREX_FORMAT_RGB24))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ProcessImage, yuy2, UCHAR(LUMAREX_FORMAT_YUY2))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ProcessImage, i420, UCHAR(LUMAREX_FORMAT_I420))->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
