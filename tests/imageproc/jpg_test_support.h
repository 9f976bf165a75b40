// Shared helpers of the JPEG decoder tests: a decoder record in its own heap block, and a
// frame buffer of exactly the stream's size so AddressSanitizer sees any read past its end.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "imageproc.h"
#include "ip_context.h"
#include "jpg_internal.h"

// A JpgDecoder in a block of its own, filled with a pattern first because the driver's pool
// allocation is not cleared, then initialised.
class TestDecoder {
 public:
  explicit TestDecoder(bool run_init = true) : d_(new JpgDecoder) {
    std::memset(d_.get(), 0xA5, sizeof(JpgDecoder));
    if (run_init) {
      jpg_init(d_.get());
    }
  }
  JpgDecoder *operator->() { return d_.get(); }
  JpgDecoder *get() { return d_.get(); }

 private:
  std::unique_ptr<JpgDecoder> d_;
};

// A copy of bytes in a heap block of exactly their size (the first n bytes only, if given).
class TestInput {
 public:
  explicit TestInput(const std::vector<uint8_t> &bytes, size_t n = SIZE_MAX)
      : size_(n < bytes.size() ? n : bytes.size()), data_(new uint8_t[size_]) {
    if (size_ != 0) {
      std::memcpy(data_.get(), bytes.data(), size_);
    }
  }
  const uint8_t *data() const { return data_.get(); }
  uint32_t size() const { return static_cast<uint32_t>(size_); }

 private:
  size_t size_;
  std::unique_ptr<uint8_t[]> data_;
};

// Runs one stage function under an error-exit point of its own, the way an entry point does,
// and returns last_error afterwards (0 when the stage completed).
template <typename Fn>
int32_t TestRunStage(JpgDecoder *d, Fn fn) {
  d->last_error = 0;
  if (__builtin_setjmp(d->jmp_state.words) != 0) {
    return d->last_error;
  }
  fn();
  return d->last_error;
}

// One frame through the two entry points, as the decode entry runs them.
struct TestFrameOutcome {
  int32_t begin_error;   // jpg_get_error after jpg_begin_frame
  int32_t start_result;  // jpg_start_decoding
  int32_t last_error;    // jpg_get_error at the end
};

inline TestFrameOutcome TestRunFrame(TestDecoder &d, const std::vector<uint8_t> &stream,
                                     size_t length = SIZE_MAX) {
  TestInput in(stream, length);
  TestFrameOutcome o{};
  jpg_begin_frame(d.get(), in.data(), in.size());
  o.begin_error = jpg_get_error(d.get());
  o.start_result = jpg_start_decoding(d.get());
  o.last_error = jpg_get_error(d.get());
  return o;
}

// An image-process context in a heap block of the size the library asks for, filled with a
// pattern first (the driver's pool block is not cleared), then initialised.
class TestContext {
 public:
  TestContext() : mem_(ZRImageProcess_GetContextSize(), 0xA5) {
    ZRImageProcess_Initialize(nullptr, mem_.data());
  }
  void *get() { return mem_.data(); }
  JpgDecoder *decoder() { return ip_context_decoder(mem_.data()); }

 private:
  std::vector<uint8_t> mem_;
};

// One jpg_decode call on an exact-size copy of the frame, into an output buffer of capacity
// bytes (the frame's own size by default) prefilled with fill.
struct TestDecoded {
  int32_t result = -1;
  int32_t error = 0;
  ImageProc_Long width = -1;
  ImageProc_Long height = -1;
  ImageProc_ULong info4[4] = {};
  ImageProc_ULong info3[3] = {};
  uint16_t info24[24] = {};
  std::vector<uint8_t> out;
};

inline TestDecoded TestDecodeFrame(TestContext &c, const std::vector<uint8_t> &frame, uint32_t mode,
                                   size_t capacity, uint8_t fill = 0xCD) {
  TestInput in(frame);
  TestDecoded r;
  r.out.assign(capacity, fill);
  r.result = jpg_decode(c.get(), mode, in.data(), in.size(), r.out.data(), static_cast<uint32_t>(capacity),
                        &r.width, &r.height, r.info4, r.info3, r.info24);
  r.error = c.decoder()->last_error;
  return r;
}
