// Seed frames for the fuzzer and the replay program: camera-style frames of every sampling,
// with and without restart intervals, made at run time (libjpeg-turbo's encoder where the
// build has it, the tests' stream builder always).
#pragma once

#include <cstdint>
#include <vector>

std::vector<std::vector<uint8_t>> FuzzSeedFrames();
