// Shared by the benchmarks that compare with libjpeg-turbo: a set of frames, TurboJPEG's encode
// and decode, and a reporter that keeps every benchmark's mean CPU time for the ratio tables
// (CPU time is less disturbed than wall time when the machine is shared).
#ifndef TORVANE_BENCH_FRAMES_H
#define TORVANE_BENCH_FRAMES_H

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

// Frames of one size that a benchmark cycles through, as a live stream does.
struct BenchFrames {
  std::string name;  // e.g. "640x480/422/q75"
  int width, height;
  std::vector<std::vector<uint8_t>> frames;
};

// R, G, B pixels encoded by TurboJPEG with its standard Huffman tables, as the camera's are.
inline std::vector<uint8_t> BenchEncode(tjhandle tj, const std::vector<uint8_t> &rgb, int w, int h, int samp,
                                        int quality) {
  unsigned char *buf = nullptr;
  unsigned long size = 0;
  if (tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &buf, &size, samp, quality, 0) != 0) {
    std::fprintf(stderr, "encode failed: %s\n", tjGetErrorStr2(tj));
    std::exit(1);
  }
  std::vector<uint8_t> out(buf, buf + size);
  tjFree(buf);
  return out;
}

// TurboJPEG's decode of the set's frames in turn, to bottom-up B, G, R, with the given flags
// (0: accurate DCT and smooth upsampling; TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE: its fast mode).
inline void BM_TurboDecode(benchmark::State &state, const BenchFrames *set, int flags) {
  tjhandle tj = tjInitDecompress();
  std::vector<uint8_t> bmp(static_cast<size_t>(set->width) * set->height * 3);
  size_t i = 0;
  for (auto _ : state) {
    const std::vector<uint8_t> &f = set->frames[i++ % set->frames.size()];
    if (tjDecompress2(tj, f.data(), f.size(), bmp.data(), set->width, 0, set->height, TJPF_BGR,
                      TJFLAG_BOTTOMUP | flags) != 0) {
      state.SkipWithError(tjGetErrorStr2(tj));
      break;
    }
    benchmark::DoNotOptimize(bmp.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  tjDestroy(tj);
}

// The console report, keeping each benchmark's mean CPU time (or its only run's).
class CpuTimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.error_occurred || (r.run_type == Run::RT_Aggregate && r.aggregate_name != "mean")) continue;
      times_[r.run_name.function_name] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // The benchmark's CPU time, 0 when it did not run.
  double Time(const std::string &name) const {
    auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> times_;
};

#endif  // TORVANE_BENCH_FRAMES_H
