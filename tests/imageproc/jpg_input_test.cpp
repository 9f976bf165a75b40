// The header bit reader, entropy-coded bytes, re-synchronisation and the input bound.
#include <gtest/gtest.h>

#include <random>

#include "jpg_test_support.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t &b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Bits [pos, pos + n) of bytes, most significant first.
uint32_t BitsAt(const std::vector<uint8_t> &bytes, size_t pos, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i, ++pos) v = v << 1 | ((bytes[pos / 8] >> (7 - pos % 8)) & 1);
  return v;
}

TEST(JpgBitReader, RefillCounts) {
  std::vector<uint8_t> bytes = Pattern(16, 1);
  TestInput in(bytes);
  TestDecoder d;
  jpg_reset_input(d.get(), in.data(), in.size());
  EXPECT_EQ(in.data() + 2, d->in_ptr);
  EXPECT_EQ(0, d->bit_reserve);
  EXPECT_EQ(bytes[0] << 8 | bytes[1], static_cast<int>(d->bit_reg & 0xFFFF));

  // An 8-bit read right after the reset refills two bytes and leaves 8 in reserve.
  EXPECT_EQ(TestRunStage(d.get(), [&] { EXPECT_EQ(bytes[0], jpg_read_bits(d.get(), 8)); }), 0);
  EXPECT_EQ(in.data() + 4, d->in_ptr);
  EXPECT_EQ(8, d->bit_reserve);
  // 8 more: the reserve runs out and is refilled to 16.
  TestRunStage(d.get(), [&] { EXPECT_EQ(bytes[1], jpg_read_bits(d.get(), 8)); });
  EXPECT_EQ(16, d->bit_reserve);
  EXPECT_EQ(in.data() + 6, d->in_ptr);
  // A 16-bit read with 16 in reserve refills two bytes and leaves 16.
  TestRunStage(d.get(), [&] { EXPECT_EQ(BitsAt(bytes, 16, 16), jpg_read_bits(d.get(), 16)); });
  EXPECT_EQ(16, d->bit_reserve);
  EXPECT_EQ(in.data() + 8, d->in_ptr);
}

TEST(JpgBitReader, MixedWidthsFollowTheBitString) {
  std::vector<uint8_t> bytes = Pattern(4096, 2);
  TestInput in(bytes);
  TestDecoder d;
  std::mt19937 rng(3);
  size_t pos = 0;
  jpg_reset_input(d.get(), in.data(), in.size());
  int32_t err = TestRunStage(d.get(), [&] {
    while (pos + 16 <= bytes.size() * 8 - 32) {
      int n = 1 + static_cast<int>(rng() % 16);
      ASSERT_EQ(BitsAt(bytes, pos, n), jpg_read_bits(d.get(), n)) << "at bit " << pos << " n " << n;
      pos += n;
      // The window always holds the next 16 bits.
      ASSERT_EQ(BitsAt(bytes, pos, 16), d->bit_reg & 0xFFFF);
    }
  });
  EXPECT_EQ(0, err);
}

TEST(JpgBitReader, ReadsToTheLastBitButNotBeyond) {
  for (size_t len : {0u, 1u, 2u, 3u, 5u, 8u}) {
    SCOPED_TRACE(len);
    std::vector<uint8_t> bytes = Pattern(len, 4);
    TestInput in(bytes);
    TestDecoder d;
    jpg_reset_input(d.get(), in.data(), in.size());
    size_t taken = 0;
    int32_t err = TestRunStage(d.get(), [&] {
      for (;;) {
        uint32_t v = jpg_read_bits(d.get(), 8);
        EXPECT_EQ(bytes[taken], v);
        ++taken;
      }
    });
    EXPECT_EQ(JPG_ERR_INPUT_END, err);
    EXPECT_EQ(len, taken);
    EXPECT_LE(d->in_ptr, in.data() + in.size());
  }
}

TEST(JpgBitReader, SkipPastTheEndFailsAtOnce) {
  std::vector<uint8_t> bytes = Pattern(10, 5);
  TestInput in(bytes);
  TestDecoder d;
  jpg_reset_input(d.get(), in.data(), in.size());
  EXPECT_EQ(0, TestRunStage(d.get(), [&] { jpg_read_bits(d.get(), 8); jpg_skip_bytes(d.get(), 9); }));
  jpg_reset_input(d.get(), in.data(), in.size());
  EXPECT_EQ(JPG_ERR_INPUT_END,
            TestRunStage(d.get(), [&] { jpg_read_bits(d.get(), 8); jpg_skip_bytes(d.get(), 65533); }));
}

TEST(JpgEntropyBytes, StuffingMarkersAndTheEnd) {
  std::vector<uint8_t> bytes = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56};
  TestInput in(bytes);
  TestDecoder d;
  d->in_ptr = in.data();
  d->in_end = in.data() + in.size();
  d->in_overrun = 0;
  EXPECT_EQ(0x12u, jpg_get_entropy_byte(d.get()));
  EXPECT_EQ(0xFFu, jpg_get_entropy_byte(d.get()));  // FF 00: both consumed
  EXPECT_EQ(in.data() + 3, d->in_ptr);
  EXPECT_EQ(0x34u, jpg_get_entropy_byte(d.get()));
  for (int i = 0; i < 3; ++i) {  // FF D0: 0xFF, and the marker is not passed
    EXPECT_EQ(0xFFu, jpg_get_entropy_byte(d.get()));
    EXPECT_EQ(in.data() + 4, d->in_ptr);
  }

  // The end of the input acts like a marker, also right after a lone 0xFF.
  std::vector<uint8_t> tail = {0x9A, 0xFF};
  TestInput in2(tail);
  d->in_ptr = in2.data();
  d->in_end = in2.data() + in2.size();
  EXPECT_EQ(0x9Au, jpg_get_entropy_byte(d.get()));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(0xFFu, jpg_get_entropy_byte(d.get()));
    EXPECT_EQ(in2.data() + 1, d->in_ptr);
  }
  d->in_ptr = d->in_end;
  EXPECT_EQ(0xFFu, jpg_get_entropy_byte(d.get()));
  EXPECT_EQ(d->in_end, d->in_ptr);
}

TEST(JpgEntropyBytes, ResyncReturnsToTheFirstUnreadByte) {
  std::vector<uint8_t> bytes = Pattern(12, 6);
  bytes[4] = 0xFF;  // a stuffed 0xFF right where entropy-coded data starts in the second case
  bytes[5] = 0x00;
  TestInput in(bytes);
  struct Case { int reads; int reserve; int moved_back; };
  for (Case c : {Case{3, 8, 3}, Case{4, 16, 4}}) {
    SCOPED_TRACE(c.reads);
    TestDecoder d;
    jpg_reset_input(d.get(), in.data(), in.size());
    TestRunStage(d.get(), [&] { for (int i = 0; i < c.reads; ++i) jpg_read_bits(d.get(), 8); });
    ASSERT_EQ(c.reserve, d->bit_reserve);
    const uint8_t *before = d->in_ptr;
    jpg_resync_bits(d.get());
    EXPECT_EQ(0, d->bit_reserve);
    size_t first = static_cast<size_t>(c.reads);  // first unread byte
    EXPECT_EQ(before - c.moved_back, in.data() + first);
    // Two entropy-coded bytes follow; this data holds stuffed zeros but no marker.
    size_t p = first;
    uint32_t window = 0;
    for (int k = 0; k < 2; ++k) {
      uint32_t b = bytes[p++];
      if (b == 0xFF) p++;
      window = window << 8 | b;
    }
    EXPECT_EQ(window, d->bit_reg & 0xFFFF);
    EXPECT_EQ(in.data() + p, d->in_ptr);
  }
}

TEST(JpgEntropyBytes, ResyncAtTheEndReadsNothing) {
  // A header that ends exactly at the end of the input: the register held padding only.
  std::vector<uint8_t> bytes = {0x11, 0x22, 0x33};
  TestInput in(bytes);
  TestDecoder d;
  jpg_reset_input(d.get(), in.data(), in.size());
  EXPECT_EQ(0, TestRunStage(d.get(), [&] { for (int i = 0; i < 3; ++i) jpg_read_bits(d.get(), 8); }));
  jpg_resync_bits(d.get());
  EXPECT_EQ(0, d->in_overrun);
  EXPECT_EQ(in.data() + in.size(), d->in_ptr);
  EXPECT_EQ(0xFFFFu, d->bit_reg & 0xFFFF);
}

}  // namespace
