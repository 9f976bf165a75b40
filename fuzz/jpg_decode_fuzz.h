// The fuzz entry shared by the libFuzzer target and the plain replay program: one call
// decodes one input, whatever its bytes, as the driver's worker would.
#pragma once

#include <cstddef>
#include <cstdint>

// Output capacity given to jpg_decode: a 320 x 240 frame in 3 bytes per pixel. Larger frames
// are refused by the capacity check, which is itself under test.
constexpr size_t kFuzzOutputCapacity = 320 * 240 * 3;

// Decodes data on a freshly initialised context (so that every input reproduces alone) in
// the output mode size % 3, and reads every output byte. Returns jpg_decode's result.
int FuzzDecodeOne(const uint8_t *data, size_t size);
