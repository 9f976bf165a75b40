// The whole frame as the driver handles it, against libjpeg-turbo's fast-mode decode of the same
// frames in the same run: jpg_decode into the image buffer, LUMAREX_ProcessImage with the
// default settings (sharpness 20) and the output format's conversion, and the copy of the
// delivered bytes into the application's buffer.
//
// Frames: eight synthetic natural scenes (tests/imageproc/jpg_scene) at 640x480 and 320x240,
// 4:2:2 quality 75, encoded by TurboJPEG with the standard Huffman tables. Every benchmark
// cycles through its eight frames.
//
//   frame/<fmt>/<size>          the whole frame with the SSE2 forms (as the driver runs it on a
//                               processor with SSE2)
//   frame_mmx/<fmt>/<size>      the same with the MMX forms (a processor with MMX, no SSE2)
//   frame_scalar/<fmt>/<size>   the same with the scalar forms (no MMX: the fallback)
// A form the processor lacks (TORVANE_CPU may hide SSE2, or MMX too) is skipped.
//   stage/<name>/<size>         one stage alone: decode (each form), adjust (each form),
//                               yuy2 and i420 conversion (each form), copy
//   turbo_fast/<size>           tjDecompress2 with TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE
// After the run a table gives each whole frame's CPU time divided by turbo_fast's. libjpeg-turbo
// picks its own instruction set once per process: JSIMD_FORCESSE2=1, JSIMD_FORCEMMX=1 or
// JSIMD_FORCENONE=1 sets the one to compare a form with (scripts/bench_ratios.py runs each).
//
//   build/host64/bench/frame_bench [--benchmark_repetitions=5] [--benchmark_min_time=0.5s]
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_frames.h"
#include "host_kernel.h"
#include "imageproc.h"
#include "ip_context.h"
#include "jpg_decoder.h"
#include "jpg_idct.h"
#include "jpg_scene.h"
#include "lumarex.h"

namespace {

const LUMAREX_FRAME_SETTINGS kDefaults = {50, 50, 20, 50, 50};

std::vector<BenchFrames> MakeSets() {
  tjhandle tj = tjInitCompress();
  std::vector<BenchFrames> sets;
  for (auto wh : {std::make_pair(640, 480), std::make_pair(320, 240)}) {
    BenchFrames s{std::to_string(wh.first) + "x" + std::to_string(wh.second), wh.first, wh.second, {}};
    for (int i = 0; i < 8; ++i) {
      s.frames.push_back(BenchEncode(tj, TestScene(wh.first, wh.second, 1000 + i), wh.first, wh.second, TJSAMP_422, 75));
    }
    sets.push_back(std::move(s));
  }
  tjDestroy(tj);
  return sets;
}

// The driver's buffers for one stream: decoder context, image and work buffers, the
// application's frame buffer.
struct Stream {
  const BenchFrames *set;
  std::vector<UCHAR> context = std::vector<UCHAR>(ZRImageProcess_GetContextSize());
  std::vector<UCHAR> bmp, ip, app, luma;
  std::vector<PUCHAR> rows;
  size_t next = 0;
  DeviceContext *dc;
  explicit Stream(const BenchFrames *s, UCHAR format) : set(s) {
    const size_t pixels = size_t(s->width) * s->height;
    ZRImageProcess_Initialize(nullptr, context.data());
    bmp.resize(pixels * 3);
    ip.resize(pixels * 3);
    app.resize(pixels * 3);
    luma.resize(pixels);
    rows.resize(s->height);
    static DeviceContext shared;  // large; zero-filled like the class library's allocation
    dc = &shared;
    memset(dc, 0, sizeof(*dc));
    dc->g_nDecodeWidth = s->width;
    dc->g_nDecodeHeight = s->height;
    dc->g_pBmpBuf = bmp.data();
    dc->g_nBmpBufSize = ULONG(bmp.size());
    dc->g_pIPBuf = ip.data();
    dc->g_nIPBufSize = ULONG(ip.size());
    dc->g_nOutputFormat = format;
    dc->g_FrameSettings = kDefaults;
    Decode();
  }
  bool Decode() {
    const std::vector<uint8_t> &f = set->frames[next++ % set->frames.size()];
    ImageProc_Long w, h;
    ImageProc_ULong a[4], b[3];
    uint16_t c[24];
    return jpg_decode(context.data(), 0, f.data(), uint32_t(f.size()), bmp.data(), uint32_t(bmp.size()), &w, &h,
                      a, b, c) == 0;
  }
  PUCHAR *Rows() {
    for (LONG y = 0; y < set->height; ++y) rows[y] = bmp.data() + size_t(y) * set->width * 3;
    return rows.data();
  }
  void Deliver() {
    memcpy(app.data(), bmp.data(), LUMAREX_OutputImageSize(dc->g_nOutputFormat, set->width, set->height));
  }
};

void Finish(benchmark::State &state) {
  benchmark::ClobberMemory();
  state.SetItemsProcessed(state.iterations());
}

// The whole frame as the decode worker runs it, with the given forms (LUMAREX_FORMS_SSE2, _MMX
// or _SCALAR) in the decoder state and for the adjustments and the output stage.
void BM_Frame(benchmark::State &state, const BenchFrames *set, UCHAR format, UCHAR forms) {
  Stream s(set, format);
  const int32_t decoderForm = forms == LUMAREX_FORMS_SSE2 ? JPG_IDCT_SSE2
                              : forms == LUMAREX_FORMS_MMX ? JPG_IDCT_MMX
                                                           : JPG_IDCT_SCALAR;
  if (forms > LUMAREX_ProcessorForms() || jpg_force_form(ip_context_decoder(s.context.data()), decoderForm) != 0) {
    state.SkipWithError("the processor lacks this form");
    return;
  }
  s.dc->g_nVectorForms = forms;
  s.dc->g_nFrameForms = forms;
  for (auto _ : state) {
    if (!s.Decode()) {
      state.SkipWithError("jpg_decode failed");
      break;
    }
    LUMAREX_ProcessImage(s.dc);
    s.Deliver();
    benchmark::DoNotOptimize(s.app.data());
  }
  if (HostPool_LiveBlockCount() != 0) state.SkipWithError("pool blocks left allocated");
  Finish(state);
}

enum Stage { kDecode, kDecodeMmx, kDecodeScalar, kAdjust, kAdjustMmx, kAdjustScalar, kYuy2, kYuy2Mmx, kYuy2Scalar, kI420, kI420Mmx, kI420Scalar, kCopy };

// One stage on a decoded frame. The stages that work in place keep working on the same
// buffer: their cost does not depend on the bytes.
void BM_Stage(benchmark::State &state, const BenchFrames *set, Stage stage) {
  Stream s(set, LUMAREX_FORMAT_RGB24);
  const LONG w = set->width, h = set->height;
  if (stage == kDecodeMmx || stage == kDecodeScalar) {
    const UCHAR forms = stage == kDecodeMmx ? LUMAREX_FORMS_MMX : LUMAREX_FORMS_SCALAR;
    if (forms > LUMAREX_ProcessorForms() ||
        jpg_force_form(ip_context_decoder(s.context.data()), stage == kDecodeMmx ? JPG_IDCT_MMX : JPG_IDCT_SCALAR) != 0) {
      state.SkipWithError("the processor lacks this form");
      return;
    }
  }
  for (auto _ : state) {
    switch (stage) {
      case kDecode:
      case kDecodeMmx:
      case kDecodeScalar: s.Decode(); break;
      case kAdjust: LUMAREX_AdjustImageSSE2(s.Rows(), w, h, &kDefaults, s.luma.data()); break;
      case kAdjustMmx: LUMAREX_AdjustImageMMX(s.Rows(), w, h, &kDefaults, s.luma.data()); break;
      case kYuy2Mmx: LUMAREX_RGB24ToYUY2MMX(s.Rows(), s.ip.data(), w, h); break;
      case kI420Mmx: LUMAREX_RGB24ToI420MMX(s.Rows(), s.ip.data(), w, h); break;
      case kAdjustScalar: LUMAREX_AdjustImageScalar(s.Rows(), w, h, &kDefaults, s.luma.data()); break;
      case kYuy2: LUMAREX_RGB24ToYUY2SSE2(s.Rows(), s.ip.data(), w, h); break;
      case kYuy2Scalar: LUMAREX_RGB24ToYUY2(s.Rows(), s.ip.data(), w, h); break;
      case kI420: LUMAREX_RGB24ToI420SSE2(s.Rows(), s.ip.data(), w, h); break;
      case kI420Scalar: LUMAREX_RGB24ToI420(s.Rows(), s.ip.data(), w, h); break;
      case kCopy: s.Deliver(); break;
    }
    benchmark::DoNotOptimize(s.bmp.data());
  }
  Finish(state);
}

// Each whole frame's CPU time divided by turbo_fast's.
void PrintRatios(const CpuTimeReporter &times, const std::vector<BenchFrames> &sets) {
  std::printf("\nwhole frame CPU time / turbo_fast decode CPU time (us in brackets)\n");
  for (const BenchFrames &s : sets) {
    double f = times.Time("turbo_fast/" + s.name);
    if (f == 0) continue;
    std::printf("%-8s turbo_fast %.1f us\n", s.name.c_str(), f);
    for (const char *kind : {"frame", "frame_mmx", "frame_scalar"}) {
      std::printf("  %-13s", kind);
      for (const char *fmt : {"rgb24", "yuy2", "i420"}) {
        double t = times.Time(std::string(kind) + "/" + fmt + "/" + s.name);
        if (t != 0) std::printf("  %s %.3f (%.1f)", fmt, t / f, t);
      }
      std::printf("\n");
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<BenchFrames> sets = MakeSets();
  const std::pair<const char *, UCHAR> formats[] = {
      {"rgb24", LUMAREX_FORMAT_RGB24}, {"yuy2", LUMAREX_FORMAT_YUY2}, {"i420", LUMAREX_FORMAT_I420}};
  const std::pair<const char *, Stage> stages[] = {
      {"decode", kDecode}, {"decode_mmx", kDecodeMmx}, {"decode_scalar", kDecodeScalar}, {"adjust", kAdjust}, {"adjust_mmx", kAdjustMmx}, {"adjust_scalar", kAdjustScalar},
      {"yuy2", kYuy2}, {"yuy2_mmx", kYuy2Mmx}, {"yuy2_scalar", kYuy2Scalar}, {"i420", kI420},
      {"i420_mmx", kI420Mmx}, {"i420_scalar", kI420Scalar}, {"copy_rgb24", kCopy}};
  for (const BenchFrames &s : sets) {
    auto add = [](const std::string &name, auto &&...args) {
      benchmark::RegisterBenchmark(name.c_str(), args...)->Unit(benchmark::kMicrosecond);
    };
    add("turbo_fast/" + s.name, BM_TurboDecode, &s, TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE);
    const std::pair<const char *, UCHAR> kinds[] = {
        {"frame/", LUMAREX_FORMS_SSE2}, {"frame_mmx/", LUMAREX_FORMS_MMX}, {"frame_scalar/", LUMAREX_FORMS_SCALAR}};
    for (const auto &k : kinds)
      for (const auto &f : formats) add(k.first + std::string(f.first) + "/" + s.name, BM_Frame, &s, f.second, k.second);
    for (const auto &st : stages) add(std::string("stage/") + st.first + "/" + s.name, BM_Stage, &s, st.second);
  }
  CpuTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter, sets);
  benchmark::Shutdown();
  return 0;
}
