// Huffman decode tables, zig-zag order, inverse-DCT scales, quantisation and colour tables.
#include <gtest/gtest.h>

#include <cmath>

#include "jpg_ref_libjpeg.h"
#include "jpg_test_support.h"

namespace {

const double kPi = 3.14159265358979323846;

double AanFactor(int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * kPi / 16.0); }

// Walks a decode table the way the entropy decoder does: fast_index on the first 8 bits, then
// long_codes one bit at a time (bit 0 selects slot -node, bit 1 slot -node - 1).
int DecodeSymbol(const JpgHuffTable &t, uint32_t code, int length, int *steps) {
  uint32_t bits16 = code << (16 - length);
  int v = t.fast_index[bits16 >> 8];
  *steps = 0;
  for (int bit = 7; v < 0 && bit >= 0 && *steps < 16; --bit, ++*steps) {
    v = t.long_codes[-v - static_cast<int>((bits16 >> bit) & 1)];
  }
  return v;
}

TEST(JpgHuffmanTables, BuiltInTablesAreTheStandardOnes) {
  RefHuffTable ref[4];
  if (!RefJpeg_StandardTables(ref)) {
    GTEST_SKIP() << "libjpeg not available in this build";
  }
  for (int t = 0; t < JPG_HUFF_TABLES; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(0, std::memcmp(ref[t].counts + 1, jpg_std_huff_counts[t] + 1, 16));
    EXPECT_EQ(0, std::memcmp(ref[t].symbols.data(), jpg_std_huff_symbols[t], ref[t].symbols.size()));
  }
}

TEST(JpgHuffmanTables, EveryCanonicalCodeDecodesToItsSymbol) {
  TestDecoder d;
  for (int t = 0; t < JPG_HUFF_TABLES; ++t) {
    SCOPED_TRACE(t);
    const JpgHuffTable &table = *d->huff_tbl[t];
    // Canonical codes of ITU-T T.81 Figure C.2, assigned here independently.
    uint32_t code = 0;
    int p = 0;
    for (int length = 1; length <= 16; ++length, code <<= 1) {
      for (int c = 0; c < d->huff_num[t][length]; ++c, ++code, ++p) {
        int symbol = d->huff_val[t][p];
        int steps = 0;
        EXPECT_EQ(symbol, DecodeSymbol(table, code, length, &steps)) << "code length " << length;
        EXPECT_EQ(length > 8 ? length - 8 : 0, steps);
        EXPECT_EQ(length, table.sym_length[symbol]);
      }
    }
  }
}

TEST(JpgHuffmanTables, WorkedExamples) {
  TestDecoder d;
  const JpgHuffTable &dc = d->DC_L_HTB;
  for (int i = 0x00; i <= 0x3F; ++i) EXPECT_EQ(0, dc.fast_index[i]) << i;
  for (int i = 0x40; i <= 0x5F; ++i) EXPECT_EQ(1, dc.fast_index[i]) << i;
  EXPECT_EQ(2, dc.sym_length[0]);
  EXPECT_EQ(9, dc.sym_length[11]);

  const JpgHuffTable &ac = d->AC_L_HTB;
  for (int i = 0x00; i <= 0x3F; ++i) EXPECT_EQ(0x01, ac.fast_index[i]) << i;
  // Every 16-bit code (125 of them, all beginning with eight 1-bits) hangs below fast_index
  // entry 0xFF, eight long_codes steps down (the step count is checked for every code above).
  EXPECT_LT(ac.fast_index[0xFF], 0);
  int sixteen_bit = 0;
  for (int s = 0; s < 256; ++s) {
    if (ac.sym_length[s] == 16) ++sixteen_bit;
  }
  EXPECT_EQ(125, sixteen_bit);
  // Nodes are negative, odd, numbered in creation order: no slot names an unmade node.
  int lowest = 0;
  for (int i = 0; i < 512; ++i) {
    if (ac.long_codes[i] < 0) {
      EXPECT_EQ(1, -ac.long_codes[i] % 2);
      lowest = std::min(lowest, ac.long_codes[i]);
    }
  }
  EXPECT_LE(-lowest, 511);
}

TEST(JpgTables, ZigZagFollowsTheDiagonals) {
  // ITU-T T.81 Figure A.6, walked here diagonal by diagonal.
  int expected[64];
  int i = 0;
  for (int s = 0; s < 15; ++s) {
    for (int k = 0; k <= s; ++k) {
      int row = (s % 2 == 0) ? s - k : k;
      int col = s - row;
      if (row < 8 && col < 8) expected[i++] = row * 8 + col;
    }
  }
  for (int k = 0; k < 64; ++k) EXPECT_EQ(expected[k], jpg_zigzag[k]) << k;
}

TEST(JpgTables, AanScalesAreRoundedProducts) {
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      long want = std::lround(16384.0 * AanFactor(u) * AanFactor(v));
      EXPECT_EQ(want, jpg_aan_scales[u * 8 + v]) << u << "," << v;
    }
  }
}

TEST(JpgTables, QuantisationEntriesAreScaled) {
  EXPECT_EQ(64, jpg_scaled_quant(16, 0));
  EXPECT_EQ(61, jpg_scaled_quant(11, 1));
  // A 16-bit quantiser overflowing int16 keeps its low 16 bits.
  EXPECT_EQ(static_cast<int16_t>(((65535L * 16384 + 2048) >> 12) & 0xFFFF), jpg_scaled_quant(65535, 0));

  TestDecoder d;
  EXPECT_EQ(100, d->quant[0][0]);
  EXPECT_EQ(d->quant_store[0], d->quant[0]);
  EXPECT_EQ(d->quant_store[1], d->quant[1]);
  for (int i = 0; i < 64; ++i) {
    int z = jpg_zigzag[i];
    long scale = std::lround(16384.0 * AanFactor(z / 8) * AanFactor(z % 8));
    EXPECT_EQ((jpg_default_luma_quant[i] * scale + 2048) >> 12, d->quant[0][z]) << i;
    EXPECT_EQ((jpg_default_chroma_quant[i] * scale + 2048) >> 12, d->quant[1][z]) << i;
  }
}

TEST(JpgTables, ColourTablesAreFilledAtEveryInit) {
  TestDecoder d;
  d->out_mode = 1;  // a previous frame's mode must not keep the tables from being built
  std::memset(d->cr_r_tab, 0, 4 * sizeof(d->cr_r_tab));
  jpg_init(d.get());
  for (int i = 0; i < 256; ++i) {
    SCOPED_TRACE(i);
    double c = i - 128;
    EXPECT_EQ(std::lround(1.402 * c), d->cr_r_tab[i]);
    EXPECT_EQ(std::lround(1.772 * c), d->cb_b_tab[i]);
    EXPECT_NEAR(-0.71414 * c * 65536, d->cr_g_tab[i], 0.5 * std::fabs(c) + 1);
    EXPECT_NEAR(-0.34414 * c * 65536 + 32768, d->cb_g_tab[i], 0.5 * std::fabs(c) + 1);
  }
}

}  // namespace
