// Replays inputs through the fuzz entry without the fuzzing engine, so that any input the
// fuzzer reports reproduces in an ordinary (or sanitizer) build:
//
//   jpg_decode_replay FILE|DIR ...        decode each file (every file of each folder)
//   jpg_decode_replay --write-seeds DIR   write the seed frames into DIR for the fuzzer
//   jpg_decode_replay                     decode the seed frames and thousands of mutations
//                                         of them (a test run by ctest)
//
// Exits non-zero when an input makes jpg_decode return anything but 0 or 1; a memory error
// stops it through the sanitizer.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "host_kernel.h"
#include "jpg_decode_fuzz.h"
#include "jpg_fuzz_corpus.h"
#include "replay_files.h"

namespace {

int failures = 0;

void Run(const std::string &name, const std::vector<uint8_t> &data) {
  int r = FuzzDecodeOne(data.data(), data.size());
  HostDbg_Clear();
  if (r != 0 && r != 1) {
    std::fprintf(stderr, "%s: jpg_decode returned %d\n", name.c_str(), r);
    ++failures;
  }
}

void RunPath(const std::string &path) { failures += ReplayEachFile(path, Run); }

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
    std::vector<std::vector<uint8_t>> seeds = FuzzSeedFrames();
    for (size_t i = 0; i < seeds.size(); ++i) {
      std::string path = std::string(argv[2]) + "/seed" + std::to_string(i) + ".jpg";
      FILE *f = std::fopen(path.c_str(), "wb");
      if (f == nullptr || std::fwrite(seeds[i].data(), 1, seeds[i].size(), f) != seeds[i].size()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
      std::fclose(f);
    }
    std::printf("%zu seed frames written to %s\n", seeds.size(), argv[2]);
    return 0;
  }
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) RunPath(argv[i]);
    return failures == 0 ? 0 : 1;
  }
  // No arguments: the seeds, then mutations of them: bytes changed, 0xFF bytes and markers
  // inserted, stretches removed, truncations.
  std::mt19937 rng(2024);
  std::vector<std::vector<uint8_t>> seeds = FuzzSeedFrames();
  size_t runs = 0;
  for (const std::vector<uint8_t> &seed : seeds) {
    Run("seed", seed);
    for (int k = 0; k < 300; ++k) {
      std::vector<uint8_t> m = seed;
      for (int e = 1 + static_cast<int>(rng() % 6); e > 0 && !m.empty(); --e) {
        size_t at = rng() % m.size();
        switch (rng() % 5) {
          case 0: m[at] = static_cast<uint8_t>(rng()); break;
          case 1: m[at] = 0xFF; break;
          case 2: m.insert(m.begin() + at, {0xFF, static_cast<uint8_t>(0xC0 + rng() % 0x40)}); break;
          case 3: m.erase(m.begin() + at, m.begin() + std::min(m.size(), at + 1 + rng() % 16)); break;
          default: m.resize(at); break;
        }
      }
      Run("mutation", m);
      ++runs;
    }
  }
  std::printf("%zu seeds, %zu mutations: %d failures\n", seeds.size(), runs, failures);
  return failures == 0 ? 0 : 1;
}
