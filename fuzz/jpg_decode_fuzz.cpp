// libFuzzer target: arbitrary bytes into jpg_decode (built with clang, AddressSanitizer and
// UndefinedBehaviorSanitizer; see fuzz/CMakeLists.txt and scripts/test.sh).
#include <cstddef>
#include <cstdint>

#include "jpg_decode_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzDecodeOne(data, size);
  return 0;
}
