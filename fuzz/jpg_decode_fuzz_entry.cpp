// See jpg_decode_fuzz.h.
#include "jpg_decode_fuzz.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "imageproc.h"

int FuzzDecodeOne(const uint8_t *data, size_t size) {
  static std::vector<uint8_t> context(ZRImageProcess_GetContextSize());
  static std::vector<uint8_t> output(kFuzzOutputCapacity);
  // The driver's pool block is not cleared before the first initialisation.
  std::memset(context.data(), 0xA5, context.size());
  ZRImageProcess_Initialize(nullptr, context.data());

  // An exact-size copy, so that AddressSanitizer sees a read one byte past the end.
  std::unique_ptr<uint8_t[]> input(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(input.get(), data, size);
  std::memset(output.data(), 0x5A, output.size());
  ImageProc_Long width = 0, height = 0;
  ImageProc_ULong info4[4], info3[3];
  uint16_t info24[24];
  int result = jpg_decode(context.data(), static_cast<uint32_t>(size % 3), input.get(),
                          static_cast<uint32_t>(size), output.data(), static_cast<uint32_t>(output.size()),
                          &width, &height, info4, info3, info24);
  // Touch every output byte so that no write can be optimised away or go unread.
  unsigned sum = 0;
  for (uint8_t b : output) sum += b;
  if (result == 0 && (width <= 0 || height <= 0)) std::abort();  // success with no picture
  volatile unsigned sink = sum;
  (void)sink;
  return result;
}
