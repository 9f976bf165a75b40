// Entropy decoding of MCU rows, on streams written by the tests' own Annex K encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "jpg_entropy_writer.h"
#include "jpg_test_support.h"

namespace {

// Natural position of zig-zag index k, written out independently.
const int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                         41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                         30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// A decoder on a 4:4:4 frame (Y, Cb, Cr blocks per MCU) given length bytes of it, at its scan data.
class EntropyFixture {
 public:
  EntropyFixture(int width, int height, int restart, const std::vector<uint8_t> &entropy, size_t length = SIZE_MAX)
      : in_(TestFrameWithEntropy(width, height, 1, 1, restart, entropy), length) {
    jpg_begin_frame(d_.get(), in_.data(), in_.size());
    EXPECT_EQ(0, jpg_start_decoding(d_.get()));
  }
  JpgDecoder *d() { return d_.get(); }
  int32_t DecodeRow() { return TestRunStage(d_.get(), [&] { jpg_entropy_decode_row(d_.get()); }); }
  const int16_t *Block(int i) { return d_->block_seg[i]; }
  const uint8_t *Input() { return in_.data(); }

 private:
  TestDecoder d_;
  TestInput in_;
};

// lead values at k = 1..lead, then a ZRL (run -1) or a value after run zeros: past 63 fails,
// whether the code and its value bits fit the lookup index together (value 1), the code alone
// (value 8) or neither (value 40: a 16-bit code).
TEST(JpgEntropyRow, RunLimits) {
  const struct { int lead, run, value; int32_t error; } cases[] = {
      {47, -1, 0, 0}, {48, -1, 0, JPG_ERR_ENTROPY}, {47, 15, 1, 0}, {48, 15, 1, JPG_ERR_ENTROPY}, {61, 1, 1, 0},
      {62, 1, 1, JPG_ERR_ENTROPY}, {61, 1, 8, 0}, {62, 1, 8, JPG_ERR_ENTROPY}, {62, 1, 40, JPG_ERR_ENTROPY}};
  for (const auto &c : cases) {
    TestEntropyWriter w;
    w.Dc(kDcLuma, 1);
    for (int i = 0; i < c.lead; ++i) w.Ac(kAcLuma, 0, 1);
    c.run < 0 ? w.Zrl(kAcLuma) : w.Ac(kAcLuma, c.run, c.value);
    w.Eob(kAcLuma);
    TestEmptyChroma(w);
    EntropyFixture f(8, 8, 0, w.Finish());
    EXPECT_EQ(c.error, f.DecodeRow()) << c.lead << " run " << c.run << " value " << c.value;
    if (c.error == 0) EXPECT_EQ(c.value, f.Block(0)[kZigzag[63]]) << c.lead;
  }
}

// Restart interval 1 over n MCUs of one row; markers as written unless a variant changes them.
std::vector<uint8_t> RestartRow(int mcus, int repeat_at = -1) {
  TestEntropyWriter w;
  for (int m = 0; m < mcus; ++m) {
    if (m != 0) w.Restart(m == repeat_at ? m - 2 : m - 1);
    w.Dc(kDcLuma, 10 + m);  // an absolute value each time, since the predictor restarts
    w.Eob(kAcLuma);
    TestEmptyChroma(w);
  }
  return w.Finish();
}

TEST(JpgEntropyRow, RestartMarkers) {
  // RST0..RST7, RST0, RST1 in sequence, with fill bytes before the fourth.
  auto marker = [](std::vector<uint8_t> &v, uint8_t code) {
    const uint8_t m[2] = {0xFF, code};
    return std::search(v.begin(), v.end(), m, m + 2);
  };
  std::vector<uint8_t> data = RestartRow(10);
  data.insert(marker(data, 0xD3), {0xFF, 0xFF, 0xFF});
  EntropyFixture f(80, 8, 1, data);
  ASSERT_EQ(0, f.DecodeRow());
  for (int m = 0; m < 10; ++m) EXPECT_EQ(10 + m, f.Block(3 * m)[0]) << m;
  EXPECT_EQ(1, f.d()->expected_rst);
  // A repeated marker fails; so does a lost one followed by more plain bytes than the search
  // budget, and an input that ends where a marker is due (before it or after its 0xFF).
  EntropyFixture repeated(24, 8, 1, RestartRow(3, 2));
  EXPECT_EQ(JPG_ERR_RESTART, repeated.DecodeRow());
  data = RestartRow(3);
  data.insert(data.erase(marker(data, 0xD1), marker(data, 0xD1) + 2), 1600, 0x00);
  EntropyFixture lost(24, 8, 1, data);
  EXPECT_EQ(JPG_ERR_RESTART, lost.DecodeRow());
  for (bool fill : {false, true}) {
    data = RestartRow(1);
    if (fill) data.push_back(0xFF);
    EntropyFixture cut(16, 8, 1, data, TestFrameWithEntropy(16, 8, 1, 1, 1, data).size() - 2);
    EXPECT_EQ(JPG_ERR_INPUT_END, cut.DecodeRow());
    EXPECT_EQ(cut.d()->in_ptr, cut.d()->in_end);
  }
}

// Undefined codes decode as symbol 0, so data that runs into EOI and the end of the buffer
// gives DC difference 0 and end of block: a damaged picture, not an error, no read past the end.
TEST(JpgEntropyRow, DataRunningIntoTheEndDecodesAsOneBits) {
  TestEntropyWriter w;
  w.Dc(kDcLuma, 5);
  w.Eob(kAcLuma);
  TestEmptyChroma(w);
  EntropyFixture f(32, 8, 0, w.Finish());  // four MCUs, data for one
  ASSERT_EQ(0, f.DecodeRow());
  for (int m = 0; m < 4; ++m) {
    EXPECT_EQ((std::vector<int>{5, 1}), (std::vector<int>{f.Block(3 * m)[0], f.d()->block_zag_end[3 * m]})) << m;
  }
  EXPECT_LE(f.d()->in_ptr, f.d()->in_end);
}

// The bits of the documented register still to be handed out: the low half of bit_reg, then
// bit_reserve bits of the upper half.
uint64_t RegisterBits(const JpgDecoder *d) {
  uint64_t reserve = d->bit_reserve > 0 ? (d->bit_reg >> (32 - d->bit_reserve)) : 0;
  return (d->bit_reg & 0xFFFF) << d->bit_reserve | reserve;
}

// Rows of random symbols from all of each table (long codes give many 0xFF bytes, hence
// stuffed zeros), with and without restart markers: every row's coefficients are the written
// ones, and after every row the bit reader (register, reserve, input position) is where the
// documented register is after reading the same bits through jpg_get_entropy_bits.
TEST(JpgEntropyRow, RandomRowsMatchTheWrittenSymbolsAndTheDocumentedReader) {
  for (int restart : {0, 1, 3, 7}) {
    SCOPED_TRACE(restart);
    std::mt19937 rng(77 + restart);
    const int kMcus = 23, kRows = 6;
    TestEntropyWriter w;
    std::vector<std::vector<int16_t>> expect;  // per block, natural order
    std::vector<int> mcu_bits(kRows * kMcus);
    int dc_pred[3] = {0, 0, 0};
    for (int m = 0; m < kRows * kMcus; ++m) {
      if (restart != 0 && m != 0 && m % restart == 0) {
        w.Restart((m / restart - 1) & 7);
        dc_pred[0] = dc_pred[1] = dc_pred[2] = 0;
      }
      for (int b = 0; b < 3; ++b) {
        const int dc_table = b == 0 ? kDcLuma : kDcChroma, ac_table = dc_table + 2;
        std::vector<int16_t> block(64, 0);
        auto value = [&](int s) {  // a value of size category s, either sign
          int v = static_cast<int>((1u << (s - 1)) + rng() % (1u << (s - 1)));
          return rng() & 1 ? -v : v;
        };
        int size = static_cast<int>(rng() % 12), diff = size == 0 ? 0 : value(size);
        w.Dc(dc_table, diff);
        mcu_bits[m] += w.Length(dc_table, size) + size;
        dc_pred[b] += diff;
        block[0] = static_cast<int16_t>(dc_pred[b]);
        for (int k = 1; k < 64;) {
          uint32_t pick = rng() % 100;
          if (pick < 12 || (pick < 18 && k <= 48)) {  // end of block or sixteen zeros
            w.Symbol(ac_table, pick < 12 ? 0x00 : 0xF0);
            mcu_bits[m] += w.Length(ac_table, pick < 12 ? 0x00 : 0xF0);
            if (pick < 12) break;
            k += 16;
            continue;
          }
          int run = std::min(static_cast<int>(rng() % 16), 63 - k);
          int s = 1 + static_cast<int>(rng() % 10), v = value(s);
          w.Ac(ac_table, run, v);
          mcu_bits[m] += w.Length(ac_table, run << 4 | s) + s;
          k += run;
          block[kZigzag[k++]] = static_cast<int16_t>(v);
        }
        expect.push_back(block);
      }
    }
    EntropyFixture f(8 * kMcus, 8 * kRows, restart, w.Finish()), ref(8 * kMcus, 8 * kRows, restart, w.Finish());
    JpgDecoder *r = ref.d();
    for (int row = 0; row < kRows; ++row) {
      SCOPED_TRACE(row);
      ASSERT_EQ(0, f.DecodeRow());
      for (int i = 0; i < 3 * kMcus; ++i) {
        ASSERT_EQ(0, std::memcmp(expect[3 * kMcus * row + i].data(), f.Block(i), 128)) << "block " << i;
      }
      ASSERT_EQ(0, TestRunStage(r, [&] {
        for (int m = row * kMcus; m < (row + 1) * kMcus; ++m) {
          if (r->restart_interval != 0 && r->restart_countdown == 0) jpg_take_restart_marker(r);
          for (int left = mcu_bits[m]; left > 0; left -= 16) jpg_get_entropy_bits(r, left < 16 ? left : 16);
          r->restart_countdown -= 1;
        }
      }));
      EXPECT_EQ(r->in_ptr - ref.Input(), f.d()->in_ptr - f.Input());
      EXPECT_EQ(r->bit_reserve, f.d()->bit_reserve);
      EXPECT_EQ(RegisterBits(r), RegisterBits(f.d()));
    }
  }
}

}  // namespace
