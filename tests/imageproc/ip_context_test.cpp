// The image-process context: the size the driver allocates, the initialisation's log lines
// in order, the starting contents of every block, and re-initialisation between frames.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host_kernel.h"
#include "jpg_test_support.h"

namespace {

TEST(IpContext, SizeQueryIsFourBytesMoreThanTheContext) {
#if defined(__i386__)
  EXPECT_EQ(325648u, ZRImageProcess_GetContextSize());
#endif
  EXPECT_EQ(sizeof(ImageProc_Context) + 4, ZRImageProcess_GetContextSize());
}

TEST(IpContext, InitialisationPrintsItsLinesInOrder) {
  std::vector<uint8_t> mem(ZRImageProcess_GetContextSize(), 0xA5);
  HostDbg_Clear();
  ZRImageProcess_Initialize(nullptr, mem.data());
  std::vector<std::string> lines = HostDbg_Lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::string("<ZR417IP>Builded in ") + __DATE__ + " ", lines[0].substr(0, 21 + std::strlen(__DATE__)));
  EXPECT_EQ("Context of ImageProc             size = 325644", lines[1]);
  EXPECT_EQ("JPG Sizeof(Psample_buf) = 77384", lines[2]);
  // 26 field lines of the decoder, then the two closing lines.
  ASSERT_EQ(2u + 26u + 2u, lines.size());
  EXPECT_EQ("JPG Sizeof(jmp_state) = " + std::to_string(sizeof(JpgJumpState)), lines[27]);
  EXPECT_EQ("Init_ZR417_ImageProc_Context() OUT", lines[28]);
  EXPECT_EQ("ZRImageProcess_Initialize() OUT", lines[29]);
}

TEST(IpContext, BlocksGetTheirStartingContents) {
  std::vector<uint8_t> mem(ZRImageProcess_GetContextSize(), 0xA5);
  ZRImageProcess_Initialize(nullptr, mem.data());
  const ImageProc_Context *c = reinterpret_cast<const ImageProc_Context *>(mem.data());
  const uint32_t params[14] = {400, 24, 0, 0, 4, 200, 20, 20, 50, 0, 0, 0, 0, 139};
  EXPECT_EQ(0, std::memcmp(params, c->stage_params.words, sizeof(params)));
  EXPECT_EQ(0xA5, c->stage_params.reserved[0]);  // the rest is left as it was
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(0u, c->stage_work_a.tail[i]);
    EXPECT_EQ(0u, c->stage_work_b.tail[i]);
  }
  const uint32_t state[9] = {0, 0, 0, 40, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(state, c->stage_state.words, sizeof(state)));
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 256; ++i) ASSERT_EQ(i, c->lookup.table[t][i]);
  }
  EXPECT_EQ(0u, c->lookup.word0);
  EXPECT_EQ(0x80808080u, c->lookup.word1);
  EXPECT_EQ(1, c->levels.flag);
  EXPECT_EQ(0, c->levels.mode);
  EXPECT_EQ(0u, c->levels.word);
  for (uint32_t v : c->levels.levels) EXPECT_EQ(128u, v);
  EXPECT_EQ(1, c->gains.flag);
  EXPECT_EQ(128, c->gains.level);
  for (uint32_t v : c->gains.gains) EXPECT_EQ(128u, v);
  EXPECT_EQ(0u, c->gains.last);
  EXPECT_EQ(0u, c->block9.first);
  for (uint32_t v : c->block10.tail) EXPECT_EQ(0u, v);
  EXPECT_EQ(0, c->block11.first);
  // The decoder block: quality 0 and its tables built (the colour tables whatever out_mode).
  EXPECT_EQ(0, c->decoder.quality);
  EXPECT_EQ(&c->decoder.DC_L_HTB, c->decoder.huff_tbl[0]);
  EXPECT_EQ(0, c->decoder.cr_r_tab[128]);
}

// Initialisation between frames restores the default quantisation tables and leaves the
// context decoding as before; nothing outside the context is touched.
TEST(IpContext, ReinitialisationRestoresTheDefaultTables) {
  std::vector<uint8_t> mem(ZRImageProcess_GetContextSize() + 64, 0xA5);
  void *ctx = mem.data() + 32;
  ZRImageProcess_Initialize(nullptr, ctx);
  JpgDecoder *d = ip_context_decoder(ctx);
  int16_t defaults[2][64];
  std::memcpy(defaults, d->quant_store, sizeof(defaults));
  d->quant_store[0][5] = 1234;
  d->quant_store[1][63] = -7;
  ZRImageProcess_Initialize(nullptr, ctx);
  EXPECT_EQ(0, std::memcmp(defaults, d->quant_store, sizeof(defaults)));
  for (int i = 0; i < 32; ++i) {
    ASSERT_EQ(0xA5, mem[i]);
    ASSERT_EQ(0xA5, mem[mem.size() - 1 - i]);
  }
}

}  // namespace
