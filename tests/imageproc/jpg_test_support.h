// Shared helpers of the JPEG decoder tests: a decoder record in its own heap block, and a
// frame buffer of exactly the stream's size so AddressSanitizer sees any read past its end.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

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
