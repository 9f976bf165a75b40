// Entropy decoding of MCU rows: the entropy bit reader, DC prediction, AC runs, ZRL and end
// of block at their limits, the selective clearing of coefficient blocks between MCU rows,
// restart markers, fill bytes and stuffed bytes. Streams are written symbol by symbol with
// the Annex K codes by an encoder of the tests' own.
#include <gtest/gtest.h>

#include <random>

#include "jpg_entropy_writer.h"
#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

// Natural position of zig-zag index k, ITU-T T.81 Figure A.6, written out independently.
const int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                         12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                         35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                         58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// A decoder set up on a 4:4:4 frame (Y, Cb, Cr per MCU) of the given width, positioned on
// the entropy-coded data. The input lives as long as the fixture.
class EntropyFixture {
 public:
  // length: the input given to the decoder, the whole frame by default.
  EntropyFixture(int width, int height, int restart, const std::vector<uint8_t> &entropy, size_t length = SIZE_MAX)
      : in_(TestFrameWithEntropy(width, height, 1, 1, restart, entropy), length) {
    jpg_begin_frame(d_.get(), in_.data(), in_.size());
    EXPECT_EQ(0, jpg_get_error(d_.get()));
    EXPECT_EQ(0, jpg_start_decoding(d_.get()));
  }
  JpgDecoder *d() { return d_.get(); }
  int32_t DecodeRow() {
    return TestRunStage(d_.get(), [&] { jpg_entropy_decode_row(d_.get()); });
  }
  const int16_t *Block(int i) { return d_->block_seg[i]; }
  const uint8_t *Input() { return in_.data(); }

 private:
  TestDecoder d_;
  TestInput in_;
};

// One 8-pixel-wide 4:4:4 MCU: block 0 Y, 1 Cb, 2 Cr.
void EmptyChroma(TestEntropyWriter &w) {
  w.Dc(kDcChroma, 0);
  w.Eob(kAcChroma);
  w.Dc(kDcChroma, 0);
  w.Eob(kAcChroma);
}

TEST(JpgEntropyBits, ReadsAcrossRefillsAndStuffedBytes) {
  // Bits 1010 1111 | 1111 1111 (sent as FF 00) | 0000 0001 | 1100 1010, then EOI.
  std::vector<uint8_t> data = {0xAF, 0xFF, 0x00, 0x01, 0xCA, 0xFF, 0xD9};
  TestDecoder d;
  TestInput in(data);
  d->in_ptr = in.data();
  d->in_end = in.data() + in.size();
  d->in_overrun = 0;
  uint32_t b1 = jpg_get_entropy_byte(d.get());
  uint32_t b2 = jpg_get_entropy_byte(d.get());
  EXPECT_EQ(0xFFu, b2);
  EXPECT_EQ(in.data() + 3, d->in_ptr);  // the stuffed zero is dropped
  d->bit_reg = b1 << 8 | b2;
  d->bit_reserve = 0;
  EXPECT_EQ(0xAu, jpg_get_entropy_bits(d.get(), 4));  // refills 01 CA
  EXPECT_EQ(12, d->bit_reserve);
  EXPECT_EQ(0xFFu, jpg_get_entropy_bits(d.get(), 8));
  EXPECT_EQ(4, d->bit_reserve);
  EXPECT_EQ(0xF01u, jpg_get_entropy_bits(d.get(), 12));  // empties the reserve: refill at the marker
  EXPECT_EQ(8, d->bit_reserve);
  EXPECT_EQ(0xCu, jpg_get_entropy_bits(d.get(), 4));
  EXPECT_EQ(0xAu, jpg_get_entropy_bits(d.get(), 4));
  // At the marker the reader supplies 1-bits and stays on it.
  EXPECT_EQ(0xFFFFu, jpg_get_entropy_bits(d.get(), 16));
  EXPECT_EQ(0xFFFFu, jpg_get_entropy_bits(d.get(), 16));
  EXPECT_EQ(in.data() + 5, d->in_ptr);
}

TEST(JpgEntropyRow, DcPredictionAndCoefficientsInZigzagOrder) {
  TestEntropyWriter w;
  // MCU 0: Y DC +100, AC: 5 at k=1, run 2 then -3 at k=4, 1 at k=63 via runs; Cb, Cr empty.
  w.Dc(kDcLuma, 100);
  w.Ac(kAcLuma, 0, 5);
  w.Ac(kAcLuma, 2, -3);
  w.Zrl(kAcLuma);       // k 5..20
  w.Zrl(kAcLuma);       // k 21..36
  w.Zrl(kAcLuma);       // k 37..52
  w.Ac(kAcLuma, 10, 1); // k 53..62 zero, 1 at 63: the block ends without EOB
  EmptyChroma(w);
  // MCU 1: Y DC -30 relative to 100.
  w.Dc(kDcLuma, -30);
  w.Eob(kAcLuma);
  EmptyChroma(w);
  EntropyFixture f(16, 8, 0, w.Finish());
  ASSERT_EQ(0, f.DecodeRow());
  const int16_t *y0 = f.Block(0);
  int16_t expect[64] = {};
  expect[0] = 100;
  expect[kZigzag[1]] = 5;
  expect[kZigzag[4]] = -3;
  expect[kZigzag[63]] = 1;
  for (int i = 0; i < 64; ++i) EXPECT_EQ(expect[i], y0[i]) << i;
  EXPECT_EQ(64, f.d()->block_zag_end[0]);
  EXPECT_EQ(70, f.Block(3)[0]);
  EXPECT_EQ(1, f.d()->block_zag_end[3]);
  EXPECT_EQ(1, f.d()->block_zag_end[1]);
  EXPECT_EQ(70, f.d()->last_dc_val[0]);
}

// Between MCU rows only the positions below the block's previous extent are cleared; a value
// planted beyond it stays (nothing legitimate can be there), and the new row's values are
// exactly the new block.
TEST(JpgEntropyRow, ClearsOnlyUpToThePreviousExtent) {
  TestEntropyWriter w;
  // Row 0: Y block with coefficients at k = 1 and k = 20.
  w.Dc(kDcLuma, 8);
  w.Ac(kAcLuma, 0, 7);
  w.Ac(kAcLuma, 15, 0 + 1);  // run 15 -> k = 17, value 1
  w.Ac(kAcLuma, 2, -2);      // k = 20
  w.Eob(kAcLuma);
  EmptyChroma(w);
  // Row 1: Y block with only k = 3.
  w.Dc(kDcLuma, 0);
  w.Ac(kAcLuma, 2, 4);
  w.Eob(kAcLuma);
  EmptyChroma(w);
  EntropyFixture f(8, 16, 0, w.Finish());
  ASSERT_EQ(0, f.DecodeRow());
  EXPECT_EQ(21, f.d()->block_zag_end[0]);
  EXPECT_EQ(7, f.Block(0)[kZigzag[1]]);
  EXPECT_EQ(1, f.Block(0)[kZigzag[17]]);
  EXPECT_EQ(-2, f.Block(0)[kZigzag[20]]);
  // Plant a value beyond the extent: the decoder relies on these being zero already.
  f.d()->block_seg[0][kZigzag[40]] = 99;
  ASSERT_EQ(0, f.DecodeRow());
  EXPECT_EQ(4, f.d()->block_zag_end[0]);
  for (int k = 0; k < 64; ++k) {
    int expect = k == 0 ? 8 : (k == 3 ? 4 : (k == 40 ? 99 : 0));
    EXPECT_EQ(expect, f.Block(0)[kZigzag[k]]) << "k " << k;
  }
}

TEST(JpgEntropyRow, RunLimits) {
  struct Case {
    int lead;   // coefficients before, each at the next position (k = 1 .. lead)
    int run;    // then a value after this many zeros, or (-1) a ZRL
    int value;
    int32_t error;
  };
  // ZRL at k = 48 reaches 63: accepted. At 49 it would pass 63. A run of 15 then a value at
  // k = 48 + 15 = 63 is fine, at 49 + 15 = 64 it fails. So does a run of 1 after 62 values
  // (k = 63 + 1), whether the code and its value bits fit the decoder's lookup index
  // together (value 1), the code alone (value 8: 9 code bits, 4 value bits) or neither
  // (value 40: a 16-bit code).
  const Case cases[] = {{47, -1, 0, 0},           {48, -1, 0, JPG_ERR_ENTROPY}, {47, 15, 1, 0},
                        {48, 15, 1, JPG_ERR_ENTROPY}, {61, 1, 1, 0},           {62, 1, 1, JPG_ERR_ENTROPY},
                        {61, 1, 8, 0},            {62, 1, 8, JPG_ERR_ENTROPY},  {62, 1, 40, JPG_ERR_ENTROPY}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.lead << " run " << c.run << " value " << c.value);
    TestEntropyWriter w;
    w.Dc(kDcLuma, 1);
    for (int i = 0; i < c.lead; ++i) w.Ac(kAcLuma, 0, 1);
    if (c.run < 0) {
      w.Zrl(kAcLuma);
    } else {
      w.Ac(kAcLuma, c.run, c.value);
    }
    w.Eob(kAcLuma);
    EmptyChroma(w);
    EntropyFixture f(8, 8, 0, w.Finish());
    EXPECT_EQ(c.error, f.DecodeRow());
    if (c.error == 0) {
      EXPECT_EQ(64, f.d()->block_zag_end[0]);
      EXPECT_EQ(c.value, f.Block(0)[kZigzag[63]]);
    }
  }
}

// Restart interval 1 over a row of 10 MCUs: markers RST0..RST7, RST0, RST1 in sequence
// reset the DC predictors; fill bytes before a marker are skipped.
TEST(JpgEntropyRow, RestartMarkersInSequence) {
  TestEntropyWriter w;
  for (int m = 0; m < 10; ++m) {
    if (m != 0) {
      w.Restart(m - 1);
    }
    w.Dc(kDcLuma, 10 + m);  // an absolute value each time, since the predictor restarts
    w.Eob(kAcLuma);
    EmptyChroma(w);
  }
  std::vector<uint8_t> data = w.Finish();
  // Fill bytes before the fourth marker.
  size_t seen = 0;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7 && ++seen == 4) {
      data.insert(data.begin() + i, {0xFF, 0xFF, 0xFF});
      break;
    }
  }
  EntropyFixture f(80, 8, 1, data);
  ASSERT_EQ(0, f.DecodeRow());
  for (int m = 0; m < 10; ++m) EXPECT_EQ(10 + m, f.Block(3 * m)[0]) << m;
  EXPECT_EQ(1, f.d()->expected_rst);  // nine markers RST0..RST7, RST0 taken: RST1 is next
}

TEST(JpgEntropyRow, RepeatedOrMissingRestartMarkerFails) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    TestEntropyWriter w;
    for (int m = 0; m < 3; ++m) {
      if (m == 1) w.Restart(0);
      if (m == 2) w.Restart(variant == 0 ? 0 : 1);  // variant 0 repeats RST0
      w.Dc(kDcLuma, 1);
      w.Eob(kAcLuma);
      EmptyChroma(w);
    }
    std::vector<uint8_t> data = w.Finish();
    if (variant == 2) {
      // The second marker is lost: more than the scan budget of plain bytes follows.
      for (size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xD1) {
          data.erase(data.begin() + i, data.begin() + i + 2);
          data.insert(data.begin() + i, 1600, 0x00);
          break;
        }
      }
    }
    EntropyFixture f(24, 8, 1, data);
    EXPECT_EQ(variant == 1 ? 0 : JPG_ERR_RESTART, f.DecodeRow());
  }
}

// An input that ends where a restart marker is due, before the marker or after its 0xFF, ends
// the search at its end.
TEST(JpgEntropyRow, InputEndingWhereARestartMarkerIsDueFails) {
  for (bool withFillByte : {false, true}) {
    SCOPED_TRACE(withFillByte);
    TestEntropyWriter w;
    w.Dc(kDcLuma, 1);
    w.Eob(kAcLuma);
    EmptyChroma(w);
    std::vector<uint8_t> data = w.Finish();
    if (withFillByte) data.push_back(0xFF);
    const size_t withoutEoi = TestFrameWithEntropy(16, 8, 1, 1, 1, data).size() - 2;
    EntropyFixture f(16, 8, 1, data, withoutEoi);
    EXPECT_EQ(JPG_ERR_INPUT_END, f.DecodeRow());
    EXPECT_EQ(f.d()->in_ptr, f.d()->in_end);
  }
}

// Codes the tables do not define decode as symbol 0, so data that runs into the EOI marker
// and the end of the buffer yields DC difference 0 and end of block: a damaged picture, not
// an error, and no read past the end.
TEST(JpgEntropyRow, DataRunningIntoTheEndDecodesAsOneBits) {
  TestEntropyWriter w;
  w.Dc(kDcLuma, 5);
  w.Eob(kAcLuma);
  EmptyChroma(w);
  EntropyFixture f(32, 8, 0, w.Finish());  // four MCUs, data for one
  ASSERT_EQ(0, f.DecodeRow());
  for (int m = 0; m < 4; ++m) {
    EXPECT_EQ(5, f.Block(3 * m)[0]) << m;
    EXPECT_EQ(1, f.d()->block_zag_end[3 * m]) << m;
  }
  EXPECT_LE(f.d()->in_ptr, f.d()->in_end);
}

// The bits of the documented register still to be handed out: the low half of bit_reg, then
// bit_reserve bits of the upper half (the rest of the upper half is left-over).
uint64_t RegisterBits(const JpgDecoder *d) {
  uint64_t window = d->bit_reg & 0xFFFF;
  uint64_t reserve = d->bit_reserve > 0 ? (d->bit_reg >> (32 - d->bit_reserve)) : 0;
  return window << d->bit_reserve | reserve;
}

// Rows of random symbols from all of each table (long codes give many 0xFF bytes, hence
// stuffed zeros), optionally with restart markers. Every row's coefficients must be exactly
// the written ones, and after every row the record's bit reader (register, reserve, input
// position) must be where the documented register is after reading the same number of bits
// one read at a time through jpg_get_entropy_bits.
TEST(JpgEntropyRow, RandomRowsMatchTheWrittenSymbolsAndTheDocumentedReader) {
  for (int restart : {0, 1, 3, 7}) {
    SCOPED_TRACE(restart);
    std::mt19937 rng(77 + restart);
    const int kMcus = 23, kRows = 6;
    TestEntropyWriter w;
    std::vector<std::vector<int16_t>> expect;  // per block of the frame, natural order
    std::vector<int> row_bits(kRows * kMcus);   // bits written per MCU
    int dc_pred[3] = {0, 0, 0};
    for (int m = 0; m < kRows * kMcus; ++m) {
      if (restart != 0 && m != 0 && m % restart == 0) {
        w.Restart((m / restart - 1) & 7);
        dc_pred[0] = dc_pred[1] = dc_pred[2] = 0;
      }
      int bits = 0;
      for (int b = 0; b < 3; ++b) {
        const int dc_table = b == 0 ? kDcLuma : kDcChroma;
        const int ac_table = b == 0 ? kAcLuma : kAcChroma;
        std::vector<int16_t> block(64, 0);
        int size = static_cast<int>(rng() % 12);
        int diff = size == 0 ? 0 : static_cast<int>((1u << (size - 1)) + rng() % (1u << (size - 1)));
        if (size != 0 && (rng() & 1)) diff = -diff;
        w.Dc(dc_table, diff);
        bits += w.Length(dc_table, size) + size;
        dc_pred[b] += diff;
        block[0] = static_cast<int16_t>(static_cast<uint16_t>(dc_pred[b] & 0xFFFF));
        int k = 1;
        while (k < 64) {
          uint32_t pick = rng() % 100;
          if (pick < 12) {
            w.Eob(ac_table);
            bits += w.Length(ac_table, 0x00);
            break;
          }
          if (pick < 18 && k <= 48) {
            w.Zrl(ac_table);
            bits += w.Length(ac_table, 0xF0);
            k += 16;
            continue;
          }
          int run = static_cast<int>(rng() % 16);
          if (k + run > 63) run = 63 - k;
          int s = 1 + static_cast<int>(rng() % 10);
          int v = static_cast<int>((1u << (s - 1)) + rng() % (1u << (s - 1)));
          if (rng() & 1) v = -v;
          w.Ac(ac_table, run, v);
          bits += w.Length(ac_table, run << 4 | s) + s;
          k += run;
          block[kZigzag[k]] = static_cast<int16_t>(v);
          k += 1;
        }
        expect.push_back(block);
      }
      row_bits[m] = bits;
    }
    std::vector<uint8_t> data = w.Finish();
    EntropyFixture f(8 * kMcus, 8 * kRows, restart, data);
    EntropyFixture ref(8 * kMcus, 8 * kRows, restart, data);
    JpgDecoder *r = ref.d();
    for (int row = 0; row < kRows; ++row) {
      SCOPED_TRACE(row);
      ASSERT_EQ(0, f.DecodeRow());
      for (int i = 0; i < 3 * kMcus; ++i) {
        const std::vector<int16_t> &want = expect[3 * kMcus * row + i];
        for (int z = 0; z < 64; ++z) ASSERT_EQ(want[z], f.Block(i)[z]) << "block " << i << " position " << z;
      }
      // The same bits through the documented register.
      ASSERT_EQ(0, TestRunStage(r, [&] {
        for (int m = row * kMcus; m < (row + 1) * kMcus; ++m) {
          if (r->restart_interval != 0 && r->restart_countdown == 0) jpg_take_restart_marker(r);
          for (int left = row_bits[m]; left > 0; left -= 16) jpg_get_entropy_bits(r, left < 16 ? left : 16);
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
