// jpg_decode against libjpeg-turbo's TurboJPEG decoder, on the same frames in the same run.
//
// Frames: 160x120, 320x240 and 640x480, 4:2:2 at quality 75 and 90 and 4:2:0 at quality 75,
// each from eight different synthetic natural scenes; and at 640x480, 4:2:2 and 4:2:0 at
// qualities 50, 75 and 90, the project's three sample pictures (samples/, scaled as the camera
// scales its sources). All encoded by TurboJPEG with the standard Huffman tables (as the
// camera's frames are). Every benchmark cycles through its frames, as a live stream does,
// rather than decoding one frame over and over.
//
// Decoders, all to bottom-up B, G, R:
//   torvane     jpg_decode, out_mode 0, on one context (as the driver runs it)
//   torvane_mmx, torvane_scalar   the same with the MMX or the scalar forms forced (the forms a
//               processor without SSE2, or without MMX, runs); skipped where the processor lacks
//               the form
//   turbo       tjDecompress2 with default flags (accurate DCT, smooth upsampling)
//   turbo_fast  tjDecompress2 with TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE
// After the run a table gives, per frame set, torvane's time divided by each of the others'
// (below 1.0: torvane is faster), by CPU time. Machines are noisy: compare ratios within one
// run only.
//
//   build/host64/bench/decode_bench [--benchmark_min_time=0.5s] [--benchmark_repetitions=N]
#include <cstdio>
#include <string>
#include <vector>

#include "bench_frames.h"
#include "imageproc.h"
#include "ip_context.h"
#include "jpg_decoder.h"
#include "jpg_scene.h"
#include "sim_media.h"

namespace {

constexpr int kFramesPerSet = 8;

std::vector<BenchFrames> MakeSets() {
  struct SetShape { int w, h, samp, q; const char *samp_name; };
  const SetShape shapes[] = {
      {160, 120, TJSAMP_422, 75, "422"}, {160, 120, TJSAMP_422, 90, "422"}, {160, 120, TJSAMP_420, 75, "420"},
      {320, 240, TJSAMP_422, 75, "422"}, {320, 240, TJSAMP_422, 90, "422"}, {320, 240, TJSAMP_420, 75, "420"},
      {640, 480, TJSAMP_422, 75, "422"}, {640, 480, TJSAMP_422, 90, "422"}, {640, 480, TJSAMP_420, 75, "420"},
  };
  tjhandle tj = tjInitCompress();
  std::vector<BenchFrames> sets;
  for (const SetShape &s : shapes) {
    BenchFrames set;
    set.name = std::to_string(s.w) + "x" + std::to_string(s.h) + "/" + s.samp_name + "/q" + std::to_string(s.q);
    set.width = s.w;
    set.height = s.h;
    for (int i = 0; i < kFramesPerSet; ++i) {
      set.frames.push_back(BenchEncode(tj, TestScene(s.w, s.h, 1000 + i), s.w, s.h, s.samp, s.q));
    }
    sets.push_back(std::move(set));
  }
  // The sample pictures, each scaled to 640x480.
  std::vector<std::vector<uint8_t>> samples;
  const std::string dir = TORVANE_SAMPLES_DIR;
  for (const SimSource &src : SimSources_Load({dir}, {dir + "/mandelbrot.jpg"})) {
    samples.push_back(SimImage_Scale(src.image, 640, 480).rgb);
  }
  for (int samp : {TJSAMP_422, TJSAMP_420}) {
    for (int q : {50, 75, 90}) {
      BenchFrames set;
      set.name = std::string("640x480/") + (samp == TJSAMP_422 ? "422" : "420") + "/samples-q" + std::to_string(q);
      set.width = 640;
      set.height = 480;
      for (const std::vector<uint8_t> &rgb : samples) set.frames.push_back(BenchEncode(tj, rgb, 640, 480, samp, q));
      sets.push_back(std::move(set));
    }
  }
  tjDestroy(tj);
  return sets;
}

// form -1: the form chosen for the processor; otherwise the JPG_IDCT_ form forced.
void BM_Torvane(benchmark::State &state, const BenchFrames *set, int form) {
  std::vector<uint8_t> context(ZRImageProcess_GetContextSize());
  ZRImageProcess_Initialize(nullptr, context.data());
  if (form >= 0 && jpg_force_form(ip_context_decoder(context.data()), form) != 0) {
    state.SkipWithError("the processor lacks this form");
    return;
  }
  std::vector<uint8_t> bmp(static_cast<size_t>(set->width) * set->height * 3);
  ImageProc_Long w, h;
  ImageProc_ULong a[4], b[3];
  uint16_t c[24];
  size_t i = 0;
  for (auto _ : state) {
    const std::vector<uint8_t> &f = set->frames[i++ % set->frames.size()];
    if (jpg_decode(context.data(), 0, f.data(), static_cast<uint32_t>(f.size()), bmp.data(),
                   static_cast<uint32_t>(bmp.size()), &w, &h, a, b, c) != 0) {
      state.SkipWithError("jpg_decode failed");
      break;
    }
    benchmark::DoNotOptimize(bmp.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// Per frame set, torvane's time divided by each of the others'.
void PrintRatios(const CpuTimeReporter &times, const std::vector<BenchFrames> &sets) {
  std::printf("\ntorvane CPU time / reference CPU time (below 1.0: torvane faster)\n");
  std::printf("%-28s %10s %12s %16s %16s\n", "frames", "torvane us", "vs turbo", "vs turbo_fast", "turbo_fast us");
  for (const BenchFrames &s : sets) {
    double t = times.Time("torvane/" + s.name), d = times.Time("turbo/" + s.name),
           f = times.Time("turbo_fast/" + s.name);
    if (t == 0 || d == 0 || f == 0) continue;
    std::printf("%-28s %10.1f %12.3f %16.3f %16.1f\n", s.name.c_str(), t, t / d, t / f, f);
  }
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<BenchFrames> sets = MakeSets();
  for (const BenchFrames &s : sets) {
    // Interleaved per frame set, so the three decoders of a set run close together in time.
    benchmark::RegisterBenchmark(("torvane/" + s.name).c_str(), BM_Torvane, &s, -1)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("torvane_mmx/" + s.name).c_str(), BM_Torvane, &s, JPG_IDCT_MMX)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("torvane_scalar/" + s.name).c_str(), BM_Torvane, &s, JPG_IDCT_SCALAR)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("turbo/" + s.name).c_str(), BM_TurboDecode, &s, 0)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("turbo_fast/" + s.name).c_str(), BM_TurboDecode, &s,
                                 TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE)
        ->Unit(benchmark::kMicrosecond);
  }
  CpuTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter, sets);
  benchmark::Shutdown();
  return 0;
}
