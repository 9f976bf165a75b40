// Helpers of the decoder tests: decoder records and inputs in heap blocks of their own size (so
// AddressSanitizer sees any read past them), stages run under an error exit, whole frames.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "imageproc.h"
#include "ip_context.h"
#include "jpg_internal.h"

// A JpgDecoder filled with a pattern (the driver's pool block is not cleared), then initialised.
struct TestDecoder : std::unique_ptr<JpgDecoder> {
  TestDecoder() : std::unique_ptr<JpgDecoder>(new JpgDecoder) {
    std::memset(get(), 0xA5, sizeof(JpgDecoder));
    jpg_init(get());
  }
};

// The first n bytes (all by default) in a block of exactly their size.
struct TestInput {
  explicit TestInput(const std::vector<uint8_t> &bytes, size_t n = SIZE_MAX)
      : size_(std::min(n, bytes.size())), data_(new uint8_t[size_]) {
    if (size_ != 0) std::memcpy(data_.get(), bytes.data(), size_);
  }
  const uint8_t *data() const { return data_.get(); }
  uint32_t size() const { return static_cast<uint32_t>(size_); }
  size_t size_;
  std::unique_ptr<uint8_t[]> data_;
};

// Runs one stage under an error exit of its own, as an entry point does; returns last_error.
template <typename Fn>
int32_t TestRunStage(JpgDecoder *d, Fn fn) {
  d->last_error = 0;
  if (__builtin_setjmp(d->jmp_state.words) != 0) return d->last_error;
  fn();
  return d->last_error;
}

// One frame through jpg_begin_frame (its error) and jpg_start_decoding (its result, the error).
struct TestFrameOutcome {
  int32_t begin_error, start_result, last_error;
};
inline TestFrameOutcome TestRunFrame(TestDecoder &d, const std::vector<uint8_t> &stream) {
  TestInput in(stream);
  jpg_begin_frame(d.get(), in.data(), in.size());
  int32_t begin_error = jpg_get_error(d.get()), start = jpg_start_decoding(d.get());
  return {begin_error, start, jpg_get_error(d.get())};
}

// An image-process context filled with a pattern, then initialised.
class TestContext {
 public:
  TestContext() : mem_(ZRImageProcess_GetContextSize(), 0xA5) { ZRImageProcess_Initialize(nullptr, mem_.data()); }
  void *get() { return mem_.data(); }
  JpgDecoder *decoder() { return ip_context_decoder(mem_.data()); }

 private:
  std::vector<uint8_t> mem_;
};

struct TestDecoded {
  int32_t result, error;
  ImageProc_Long width = -1, height = -1;
  std::vector<uint8_t> out;
};

// One jpg_decode call into an output buffer of capacity bytes prefilled with fill.
inline TestDecoded TestDecodeFrame(TestContext &c, const std::vector<uint8_t> &frame, uint32_t mode, size_t capacity,
                                   uint8_t fill = 0xCD) {
  TestInput in(frame);
  TestDecoded r{0, 0, -1, -1, std::vector<uint8_t>(capacity, fill)};
  ImageProc_ULong info4[4], info3[3];
  uint16_t info24[24];
  r.result = jpg_decode(c.get(), mode, in.data(), in.size(), r.out.data(), static_cast<uint32_t>(capacity), &r.width,
                        &r.height, info4, info3, info24);
  r.error = c.decoder()->last_error;
  return r;
}
