// Colour conversion, DC-only blocks through jpg_decode, the output-capacity check, failure mid-frame.
#include <gtest/gtest.h>

#include <cstdio>

#include "jpg_entropy_writer.h"
#include "jpg_idct.h"
#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

// A decoder whose geometry is set by hand for one MCU row, so the converters take samples
// put in directly.
struct ConvertFixture {
  TestDecoder d;
  ConvertFixture(int layout, uint32_t mode, int mcus) {
    d->mcu_layout = layout;
    d->out_mode = mode;
    d->frame_mcu_blocks = layout == 1 ? 3 : layout == 4 ? 6 : 4;
    d->frame_mcus_across = mcus;
    d->mcu_height = d->mcu_row_lines_left = layout >= 3 ? 16 : 8;
  }
  uint8_t &S(int m, int b, int x, int y) { return d->Psample_buf[(m * d->frame_mcu_blocks + b) * 64 + 8 * y + x]; }
};

TEST(JpgColour, WorkedExamples) {
  // Y, Cb, Cr and B, G, R = Y + 1.772 (Cb - 128), Y - 0.34414 (Cb - 128) - 0.71414 (Cr - 128),
  // Y + 1.402 (Cr - 128), rounded and clamped.
  const int cases[][6] = {{128, 128, 128, 128, 128, 128}, {90, 160, 100, 147, 99, 51}, {100, 0, 0, 0, 235, 0},
                          {100, 255, 255, 255, 0, 255},   {255, 128, 255, 255, 164, 255}, {0, 128, 0, 0, 91, 0}};
  ConvertFixture f(1, 0, 1);
  for (int i = 0; i < 18; ++i) f.S(0, i % 3, i / 3, 0) = static_cast<uint8_t>(cases[i / 3][i % 3]);
  jpg_colour_convert_1x1(f.d.get());
  for (int i = 0; i < 18; ++i) EXPECT_EQ(cases[i / 3][3 + i % 3], f.d->scan_line_0[i]) << "pixel " << i / 3 << " byte " << i;
}

// 2x2 in mode 1: a 2x2 pixel group carries one chroma sample; lines 8 to 15 come from the
// bottom luminance blocks.
TEST(JpgColour, TwoByTwoGroupsShareChroma) {
  ConvertFixture f(4, 1, 2);
  for (int m = 0; m < 2; ++m) {
    for (int b = 0; b < 6; ++b) {
      for (int i = 0; i < 64; ++i) f.S(m, b, i % 8, i / 8) = static_cast<uint8_t>(m * 100 + b * 16 + i / 4);
    }
  }
  f.d->mcu_row_lines_left = 6;  // line 10: blocks 2 and 3, block rows 2 and 3; chroma row 5
  jpg_colour_convert_2x2(f.d.get());
  for (int x = 0; x < 32; ++x) {
    int m = x / 16, xm = x % 16;
    for (int line = 0; line < 2; ++line) {
      const uint8_t *p = (line == 0 ? f.d->scan_line_0 : f.d->scan_line_1) + 3 * x;
      EXPECT_EQ(f.S(m, xm < 8 ? 2 : 3, xm % 8, 2 + line), p[0]) << x << " " << line;
      EXPECT_EQ(f.S(m, 4, xm / 2, 5), p[1]) << x << " " << line;
      EXPECT_EQ(f.S(m, 5, xm / 2, 5), p[2]) << x << " " << line;
    }
  }
}

// The vector forms compute the colour offsets instead of looking them up: every (Cb, Cr)
// pair, with varied luminance, gives the scalar bytes in each vector form (SSE2, MMX), for
// shared (2x1) and own (1x1) chroma; the scalar form's shared-chroma converter gives the bytes
// of the pixel-by-pixel definition.
TEST(JpgColour, VectorFormsGiveTheScalarBytesForEveryChromaPair) {
  int32_t tried = 0;
  for (int layout : {2, 1}) {
    const int mcus = layout == 2 ? 32 : 64, cb = layout == 2 ? 2 : 1;  // 256 chroma samples
    for (int shift = 0; shift < 256; ++shift) {
      ConvertFixture f(layout, 0, mcus);
      for (int j = 0; j < 256; ++j) {
        f.S(j / 8, cb, j % 8, 0) = static_cast<uint8_t>(j);
        f.S(j / 8, cb + 1, j % 8, 0) = static_cast<uint8_t>(j + shift);
        f.S(j / 8, 0, j % 8, 0) = static_cast<uint8_t>(j * 37 + shift * 11);
        if (layout == 2) f.S(j / 8, 1, j % 8, 0) = static_cast<uint8_t>(j * 53 + shift * 7);
      }
      std::vector<uint8_t> scalar;
      for (int32_t form : {JPG_IDCT_SCALAR, JPG_IDCT_SSE2, JPG_IDCT_MMX}) {
        if (jpg_force_form(f.d.get(), form) != 0) continue;  // not on this processor
        tried |= 1 << form;
        (layout == 2 ? jpg_colour_convert_2x1 : jpg_colour_convert_1x1)(f.d.get());
        std::vector<uint8_t> line(f.d->scan_line_0, f.d->scan_line_0 + 3 * 512);  // 512 pixels either way
        if (form == JPG_IDCT_SCALAR) {
          scalar = line;
          if (layout == 2) {
            // The shared-chroma line's own scalar converter against the 1x1 conversion, pixel by
            // pixel, of the same samples with each chroma sample given to both its pixels.
            ConvertFixture g(1, 0, 64);
            for (int p = 0; p < 512; ++p) {
              const int m = p / 16, xm = p % 16;
              g.S(p / 8, 0, p % 8, 0) = f.S(m, xm / 8, xm % 8, 0);
              g.S(p / 8, 1, p % 8, 0) = f.S(m, 2, xm / 2, 0);
              g.S(p / 8, 2, p % 8, 0) = f.S(m, 3, xm / 2, 0);
            }
            ASSERT_EQ(0, jpg_force_form(g.d.get(), JPG_IDCT_SCALAR));
            jpg_colour_convert_1x1(g.d.get());
            ASSERT_EQ(std::vector<uint8_t>(g.d->scan_line_0, g.d->scan_line_0 + 3 * 512), line) << "shift " << shift;
          }
        } else {
          ASSERT_EQ(scalar, line) << "form " << form << " layout " << layout << " shift " << shift;
        }
      }
    }
  }
  if (tried == 1 << JPG_IDCT_SCALAR) GTEST_SKIP() << "neither SSE2 nor MMX on this processor";
  if (!(tried & 1 << JPG_IDCT_SSE2)) std::printf("SSE2 form not on this processor, not compared\n");
  if (!(tried & 1 << JPG_IDCT_MMX)) std::printf("MMX form not on this processor, not compared\n");
}

// A frame of DC-only blocks: the first luminance DC difference is dc, every other one 0.
std::vector<uint8_t> FlatFrame(int width, int height, int h, int v, int dc, int dc_quant = 1) {
  TestEntropyWriter w;
  for (int m = ((width + 8 * h - 1) / (8 * h)) * ((height + 8 * v - 1) / (8 * v)); m > 0; --m, dc = 0) {
    for (int b = 0; b < h * v; ++b, dc = 0) {
      w.Dc(kDcLuma, dc);
      w.Eob(kAcLuma);
    }
    TestEmptyChroma(w);
  }
  return TestFrameWithEntropy(width, height, h, v, 0, w.Finish(), dc_quant);
}

// DC-only blocks take their own path in both forms: a sample is ((d x 4q) as int16 >> 5) + 128,
// clamped.
TEST(JpgDecodeEntry, DcOnlyBlocksWrapAndClamp) {
  const struct { int dc, q, sample; } cases[] = {
      {0, 1, 128}, {8, 4, 132}, {-8, 4, 124}, {-1, 1, 127}, {2000, 1, 255}, {-2000, 1, 0},
      {300, 50, 0},     // 60000 wraps to -5536: clamps to 0, not 255
      {-300, 50, 255},  // -60000 wraps to 5536
      {1, 8300, 0},     // a 16-bit quantiser stored as 33200, which wraps to -32336
  };
  TestContext ctx;
  for (int32_t form : {JPG_IDCT_SCALAR, JPG_IDCT_SSE2, JPG_IDCT_MMX}) {
    if (jpg_force_form(ctx.decoder(), form) != 0) {
      std::printf("form %d: not on this processor, skipped\n", static_cast<int>(form));
      continue;
    }
    for (const auto &c : cases) {
      SCOPED_TRACE(testing::Message() << "form " << form << " dc " << c.dc << " q " << c.q);
      TestDecoded r = TestDecodeFrame(ctx, FlatFrame(8, 8, 1, 1, c.dc, c.q), 1, 8 * 8 * 3);
      ASSERT_EQ(0, r.result) << r.error;
      for (int p = 0; p < 64; ++p) {
        ASSERT_EQ(c.sample, r.out[3 * p]) << p;
        ASSERT_EQ(128, r.out[3 * p + 1]);
      }
    }
  }
}

// A rejected header, or a frame larger than the buffer, leaves the buffer and the sizes
// untouched; a buffer of exactly the frame's size is enough, in every mode.
TEST(JpgDecodeEntry, RejectedFramesWriteNothing) {
  TestContext ctx;
  auto summary = [](const TestDecoded &r) { return std::vector<int64_t>{r.result, r.error, r.width, r.height}; };
  TestDecoded r = TestDecodeFrame(ctx, TestJpgStream().Soi().Sof(0xC2, 16, 16, {{1, 2, 2, 0}, {2, 1, 1, 1}}).Data(), 0, 768, 0x5A);
  EXPECT_EQ((std::vector<int64_t>{1, JPG_ERR_FRAME_TYPE, -1, -1}), summary(r));
  EXPECT_EQ(std::vector<uint8_t>(768, 0x5A), r.out);
  const std::vector<uint8_t> frame = FlatFrame(40, 24, 2, 1, 8);
  for (uint32_t mode = 0; mode <= 2; ++mode) {
    const size_t exact = 40 * 24 * (mode == 2 ? 2 : 3);
    TestDecoded small = TestDecodeFrame(ctx, frame, mode, exact - 1, 0x5A);
    EXPECT_EQ((std::vector<int64_t>{1, JPG_ERR_OUTPUT_SIZE, -1, -1}), summary(small)) << mode;
    EXPECT_EQ(std::vector<uint8_t>(exact - 1, 0x5A), small.out) << mode;
    EXPECT_EQ((std::vector<int64_t>{0, 0, 40, 24}), summary(TestDecodeFrame(ctx, frame, mode, exact))) << mode;
  }
}

// An AC run past position 63 in the third MCU row: the first two rows are in the bitmap
// (bottom-up, at the end of the buffer), the rest keeps its contents, the frame fails, later
// line requests answer -1, and the next good frame decodes.
TEST(JpgDecodeEntry, EntropyErrorMidFrameKeepsEarlierRows) {
  TestEntropyWriter w;
  for (int row = 0; row < 4; ++row) {
    w.Dc(kDcLuma, row == 0 ? 80 : 0);  // luminance 138 everywhere
    for (int i = 0; row == 2 && i < 5; ++i) w.Ac(kAcLuma, i == 0 ? 0 : 15, 1);  // k = 1 + 4 x 16 = 65
    w.Eob(kAcLuma);
    TestEmptyChroma(w);
  }
  TestContext ctx;
  TestDecoded r = TestDecodeFrame(ctx, TestFrameWithEntropy(8, 32, 1, 1, 0, w.Finish()), 0, 24 * 32, 0x5A);
  EXPECT_EQ((std::vector<int32_t>{1, JPG_ERR_ENTROPY}), (std::vector<int32_t>{r.result, r.error}));
  for (int line = 0; line < 32; ++line) {
    for (int i = 0; i < 24; ++i) ASSERT_EQ(line < 16 ? 138 : 0x5A, r.out[(31 - line) * 24 + i]) << "line " << line;
  }
  const uint8_t *line;
  int32_t length;
  EXPECT_EQ(-1, jpg_decode_line(ctx.decoder(), &line, &length));
  TestDecoded good = TestDecodeFrame(ctx, FlatFrame(8, 8, 1, 1, 80), 0, 24 * 8);
  EXPECT_EQ(0, good.result);
  EXPECT_EQ(std::vector<uint8_t>(24 * 8, 138), good.out);
}

}  // namespace
