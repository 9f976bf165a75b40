// Huffman decode tables and inverse-DCT scales against their definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "jpg_test_support.h"

namespace {

// Every canonical code (assigned here, codes of one length counting up, the next length
// doubling) decodes to its symbol: through fast_index for up to 8 bits, else one long_codes
// step a bit (bit 0 selects slot -node, bit 1 slot -node - 1).
TEST(JpgHuffmanTables, EveryCanonicalCodeDecodesToItsSymbol) {
  TestDecoder d;
  for (int t = 0; t < JPG_HUFF_TABLES; ++t) {
    const JpgHuffTable &table = *d->huff_tbl[t];
    uint32_t code = 0;
    for (int length = 1, p = 0; length <= 16; ++length, code <<= 1) {
      for (int c = 0; c < d->huff_num[t][length]; ++c, ++code, ++p) {
        uint32_t bits16 = code << (16 - length);
        int v = table.fast_index[bits16 >> 8], steps = 0;
        for (int bit = 7; v < 0 && bit >= 0; --bit, ++steps) v = table.long_codes[-v - int((bits16 >> bit) & 1)];
        EXPECT_EQ(d->huff_val[t][p], v) << "table " << t << " code length " << length;
        EXPECT_EQ(length > 8 ? length - 8 : 0, steps) << "table " << t;
        EXPECT_EQ(length, table.sym_length[d->huff_val[t][p]]) << "table " << t;
      }
    }
  }
  // Annex K: 125 of the AC luminance codes are 16 bits long.
  EXPECT_EQ(125, std::count(d->AC_L_HTB.sym_length, d->AC_L_HTB.sym_length + 256, 16));
}

TEST(JpgTables, InverseDctScales) {
  // 16384 a(u) a(v), a(0) = 1, a(k) = sqrt(2) cos(k pi / 16), rounded.
  auto a = [](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * 3.14159265358979323846 / 16.0); };
  for (int z = 0; z < 64; ++z) EXPECT_EQ(std::lround(16384.0 * a(z / 8) * a(z % 8)), jpg_aan_scales[z]) << z;
}

}  // namespace
