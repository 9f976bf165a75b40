// Replays inputs through a driver fuzz target without the fuzzing engine, so that any input the
// fuzzer reports reproduces in an ordinary (or sanitizer) build:
//
//   <target>_replay FILE|DIR ...        run each file (every file of each folder)
//   <target>_replay --write-seeds DIR   write the target's seed inputs into DIR for the fuzzer
//   <target>_replay [--mutations N]     run the seeds and N mutations of each (default 30; a test
//                                       run by ctest)
//
// A broken rule aborts the program (FuzzFail), a memory error stops it through the sanitizer.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "driver_fuzz.h"
#include "replay_files.h"

namespace {

int failures = 0;

void RunPath(const std::string &path) {
  failures += ReplayEachFile(path, [](const std::string &name, const std::vector<uint8_t> &data) {
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    DriverFuzzOne(data.data(), data.size());
  });
}

// A mutation of the kind the fuzzer makes: bytes changed, inserted, removed, cut off.
std::vector<uint8_t> Mutate(std::vector<uint8_t> m, std::mt19937 &rng) {
  for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
    if (m.empty()) {
      m.push_back(static_cast<uint8_t>(rng()));
      continue;
    }
    size_t at = rng() % m.size();
    switch (rng() % 5) {
      case 0: m[at] = static_cast<uint8_t>(rng()); break;
      case 1: m[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 2: m.insert(m.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
      case 3: m.erase(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(std::min(m.size(), at + 1 + rng() % 64))); break;
      default: m.resize(at); break;
    }
  }
  return m;
}

// With TORVANE_FUZZ_KEEP=FILE each mutation is written there before it runs, so that the one
// that fails can be replayed.
void Keep(const std::vector<uint8_t> &input) {
  static const char *path = std::getenv("TORVANE_FUZZ_KEEP");
  if (path == nullptr) return;
  FILE *f = std::fopen(path, "wb");
  if (f == nullptr) return;
  std::fwrite(input.data(), 1, input.size(), f);
  std::fclose(f);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
    std::vector<std::vector<uint8_t>> seeds = DriverFuzzSeeds();
    for (size_t i = 0; i < seeds.size(); ++i) {
      std::string path = std::string(argv[2]) + "/" + kDriverFuzzName + "_seed" + std::to_string(i);
      FILE *f = std::fopen(path.c_str(), "wb");
      if (f == nullptr || std::fwrite(seeds[i].data(), 1, seeds[i].size(), f) != seeds[i].size()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
      std::fclose(f);
    }
    std::printf("%zu %s seeds written to %s\n", seeds.size(), kDriverFuzzName, argv[2]);
    return 0;
  }
  unsigned mutations = 30;
  if (argc == 3 && std::string(argv[1]) == "--mutations") {
    mutations = static_cast<unsigned>(std::stoul(argv[2]));
  } else if (argc > 1) {
    for (int i = 1; i < argc; ++i) RunPath(argv[i]);
    return failures == 0 ? 0 : 1;
  }
  std::mt19937 rng(2024);
  std::vector<std::vector<uint8_t>> seeds = DriverFuzzSeeds();
  size_t runs = 0;
  for (const std::vector<uint8_t> &seed : seeds) {
    DriverFuzzOne(seed.data(), seed.size());
    ++runs;
    for (unsigned k = 0; k < mutations; ++k) {
      std::vector<uint8_t> m = Mutate(seed, rng);
      Keep(m);
      DriverFuzzOne(m.data(), m.size());
      ++runs;
    }
  }
  std::printf("%s: %zu seeds and %zu inputs in all ran\n", kDriverFuzzName, seeds.size(), runs);
  return 0;
}
