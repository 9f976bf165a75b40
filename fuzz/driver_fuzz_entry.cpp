// libFuzzer entry of a driver fuzz target (built with clang, AddressSanitizer and
// UndefinedBehaviorSanitizer; see fuzz/CMakeLists.txt and scripts/test.sh).
#include "driver_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DriverFuzzOne(data, size);
  return 0;
}
