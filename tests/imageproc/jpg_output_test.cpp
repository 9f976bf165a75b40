// The output side of the decoder: colour conversion worked numbers, the line sequence of each
// scan type, the DC-only and wrap-around arithmetic through a whole frame, line order per
// mode, the output-capacity check, failures mid-frame, and the line copy.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "jpg_entropy_writer.h"
#include "jpg_idct.h"
#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

// A decoder whose geometry is set by hand for one MCU row of the given layout, so that the
// converters can be fed samples directly.
struct ConvertFixture {
  TestDecoder d;
  ConvertFixture(int layout, uint32_t mode, int mcus) {
    static const int blocks[] = {0, 3, 4, 4, 6};
    d->mcu_layout = layout;
    d->out_mode = mode;
    d->frame_mcu_blocks = blocks[layout];
    d->frame_mcus_across = mcus;
    d->mcu_height = layout >= 3 ? 16 : 8;
    d->mcu_row_lines_left = d->mcu_height;
    std::memset(d->Psample_buf, 0, sizeof(d->Psample_buf));
    std::memset(d->scan_line_0, 0xEE, sizeof(d->scan_line_0));
    std::memset(d->scan_line_1, 0xEE, sizeof(d->scan_line_1));
  }
  // Sample (x, y) of block b of MCU m.
  uint8_t &S(int m, int b, int x, int y) {
    return d->Psample_buf[(m * d->frame_mcu_blocks + b) * 64 + 8 * y + x];
  }
};

// One pixel of the 1x1 layout in mode 0, from the worked examples.
void ExpectBgr(int y, int cb, int cr, int b, int g, int r) {
  ConvertFixture f(1, 0, 1);
  f.S(0, 0, 0, 0) = static_cast<uint8_t>(y);
  f.S(0, 1, 0, 0) = static_cast<uint8_t>(cb);
  f.S(0, 2, 0, 0) = static_cast<uint8_t>(cr);
  jpg_colour_convert_1x1(f.d.get());
  EXPECT_EQ(b, f.d->scan_line_0[0]) << y << " " << cb << " " << cr;
  EXPECT_EQ(g, f.d->scan_line_0[1]) << y << " " << cb << " " << cr;
  EXPECT_EQ(r, f.d->scan_line_0[2]) << y << " " << cb << " " << cr;
}

TEST(JpgColour, WorkedExamples) {
  ExpectBgr(128, 128, 128, 128, 128, 128);  // all offsets 0; green 32768 >> 16 = 0
  ExpectBgr(100, 0, 0, 0, 235, 0);          // green 100 + 135; blue 100 - 227, red 100 - 179
  ExpectBgr(100, 255, 255, 255, 0, 255);    // green 100 - 134 clamped
  // R = 255 clamped from 255 + 178; R = 0 clamped from -179 (the other channels from the same
  // tables: blue 255 + 0 offset for Cb 128).
  ConvertFixture f(1, 0, 1);
  f.S(0, 0, 0, 0) = 255;
  f.S(0, 1, 0, 0) = 128;
  f.S(0, 2, 0, 0) = 255;
  f.S(0, 0, 1, 0) = 0;
  f.S(0, 1, 1, 0) = 128;
  f.S(0, 2, 1, 0) = 0;
  jpg_colour_convert_1x1(f.d.get());
  EXPECT_EQ(255, f.d->scan_line_0[2]);
  EXPECT_EQ(0, f.d->scan_line_0[5]);
}

TEST(JpgColour, PackedModeAveragesOwnChromaAndKeepsSharedChroma) {
  ConvertFixture f(1, 2, 1);
  f.S(0, 0, 0, 0) = 50;
  f.S(0, 0, 1, 0) = 60;
  f.S(0, 1, 0, 0) = 10;
  f.S(0, 1, 1, 0) = 21;
  f.S(0, 2, 0, 0) = 200;
  f.S(0, 2, 1, 0) = 203;
  jpg_colour_convert_1x1(f.d.get());
  const uint8_t expect[4] = {50, 15, 60, 201};
  EXPECT_EQ(0, std::memcmp(expect, f.d->scan_line_0, 4));
  EXPECT_EQ(0xEE, f.d->scan_line_0[16]);  // 8 pixels, 16 bytes

  ConvertFixture g(2, 2, 1);
  g.S(0, 0, 0, 0) = 50;
  g.S(0, 0, 1, 0) = 60;
  g.S(0, 2, 0, 0) = 10;
  g.S(0, 3, 0, 0) = 200;
  jpg_colour_convert_2x1(g.d.get());
  const uint8_t shared[4] = {50, 10, 60, 200};
  EXPECT_EQ(0, std::memcmp(shared, g.d->scan_line_0, 4));
}

// 2x2 in mode 1: a 2x2 pixel group carries the same chroma, and the line pair comes from the
// bottom luminance blocks for lines 8 to 15.
TEST(JpgColour, TwoByTwoGroupsShareChroma) {
  ConvertFixture f(4, 1, 2);
  for (int m = 0; m < 2; ++m) {
    for (int b = 0; b < 6; ++b) {
      for (int i = 0; i < 64; ++i) f.S(m, b, i % 8, i / 8) = static_cast<uint8_t>(m * 100 + b * 16 + i / 4);
    }
  }
  f.d->mcu_row_lines_left = 6;  // line r = 10: blocks 2 and 3, block rows 2 and 3; chroma row 5
  jpg_colour_convert_2x2(f.d.get());
  for (int x = 0; x < 32; ++x) {
    int m = x / 16, xm = x % 16, yb = xm < 8 ? 2 : 3;
    for (int line = 0; line < 2; ++line) {
      const uint8_t *p = (line == 0 ? f.d->scan_line_0 : f.d->scan_line_1) + 3 * x;
      SCOPED_TRACE(testing::Message() << "x " << x << " line " << line);
      EXPECT_EQ(f.S(m, yb, xm % 8, 2 + line), p[0]);
      EXPECT_EQ(f.S(m, 4, xm / 2, 5), p[1]);
      EXPECT_EQ(f.S(m, 5, xm / 2, 5), p[2]);
    }
  }
}

// The vector form computes the colour offsets instead of looking them up: every (Cb, Cr)
// pair, with varied luminance, must give the scalar form's bytes, for shared chroma (2x1) and
// chroma of each pixel's own (1x1).
TEST(JpgColour, VectorFormGivesTheScalarBytesForEveryChromaPair) {
  if (!idct_cpu_has_sse2()) GTEST_SKIP() << "no SSE2 on this processor";
  for (int layout : {2, 1}) {
    const int mcus = layout == 2 ? 32 : 64;  // 256 chroma samples per line either way
    for (int shift = 0; shift < 256; ++shift) {
      ConvertFixture f(layout, 0, mcus);
      for (int j = 0; j < 256; ++j) {
        int m = j / 8, x = j % 8;
        const int cb_block = layout == 2 ? 2 : 1;
        f.S(m, cb_block, x, 0) = static_cast<uint8_t>(j);
        f.S(m, cb_block + 1, x, 0) = static_cast<uint8_t>(j + shift);
        f.S(m, 0, x, 0) = static_cast<uint8_t>(j * 37 + shift * 11);
        if (layout == 2) f.S(m, 1, x, 0) = static_cast<uint8_t>(j * 53 + shift * 7);
      }
      std::vector<uint8_t> lines[2];
      for (int form = 0; form < 2; ++form) {
        idct_set_form(form == 0 ? JPG_IDCT_SCALAR : JPG_IDCT_SSE2);
        if (layout == 2) {
          jpg_colour_convert_2x1(f.d.get());
        } else {
          jpg_colour_convert_1x1(f.d.get());
        }
        lines[form].assign(f.d->scan_line_0, f.d->scan_line_0 + (layout == 2 ? 16 : 8) * mcus * 3);
      }
      idct_select();
      ASSERT_EQ(lines[0], lines[1]) << "layout " << layout << " shift " << shift;
    }
  }
}

// ---- The line sequence -------------------------------------------------------------------

// A 4:4:4-chroma frame of DC-only blocks: every MCU's luminance DC difference is dc_step.
std::vector<uint8_t> FlatFrame(int width, int height, int h, int v, int dc_step) {
  TestEntropyWriter w;
  int mcus = ((width + 8 * h - 1) / (8 * h)) * ((height + 8 * v - 1) / (8 * v));
  for (int m = 0; m < mcus; ++m) {
    for (int b = 0; b < h * v; ++b) {
      w.Dc(kDcLuma, m == 0 && b == 0 ? dc_step : 0);
      w.Eob(kAcLuma);
    }
    w.Dc(kDcChroma, 0);
    w.Eob(kAcChroma);
    w.Dc(kDcChroma, 0);
    w.Eob(kAcChroma);
  }
  return TestFrameWithEntropy(width, height, h, v, 0, w.Finish());
}

TEST(JpgLines, TwoByTwoConvertsEveryOtherCall) {
  TestDecoder d;
  TestInput in(FlatFrame(32, 16, 2, 2, 8));
  jpg_begin_frame(d.get(), in.data(), in.size());
  ASSERT_EQ(0, jpg_start_decoding(d.get()));
  for (int call = 1; call <= 16; ++call) {
    const uint8_t *line = nullptr;
    int32_t length = 0;
    ASSERT_EQ(0, jpg_decode_line(d.get(), &line, &length));
    EXPECT_EQ(call % 2 == 1 ? d->scan_line_0 : d->scan_line_1, line) << call;
    EXPECT_EQ(96, length);
  }
  const uint8_t *line = nullptr;
  int32_t length = 0;
  EXPECT_EQ(1, jpg_decode_line(d.get(), &line, &length));
  EXPECT_EQ(nullptr, line);
}

TEST(JpgLines, LastPartialMcuRowDeliversOnlyTheFramesLines) {
  const struct { int width, height, h, v; } cases[] = {{160, 120, 2, 2}, {176, 120, 2, 1}, {24, 13, 1, 2}, {9, 1, 1, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    TestDecoder d;
    TestInput in(FlatFrame(c.width, c.height, c.h, c.v, 8));
    jpg_begin_frame(d.get(), in.data(), in.size());
    ASSERT_EQ(0, jpg_start_decoding(d.get()));
    int lines = 0;
    const uint8_t *line;
    int32_t length;
    while (jpg_decode_line(d.get(), &line, &length) == 0) {
      ++lines;
      ASSERT_EQ(3 * c.width, length);
    }
    EXPECT_EQ(c.height, lines);
    EXPECT_EQ(1, jpg_decode_line(d.get(), &line, &length));
  }
}

// ---- Worked numbers through jpg_decode ---------------------------------------------------

// A one-MCU 4:4:4 frame whose luminance block has only DC (value dc) with quantiser q; the
// chroma blocks are 0, so every pixel is grey with the sample value.
std::vector<uint8_t> DcFrame(int dc, int q) {
  TestEntropyWriter w;
  w.Dc(kDcLuma, dc);
  w.Eob(kAcLuma);
  w.Dc(kDcChroma, 0);
  w.Eob(kAcChroma);
  w.Dc(kDcChroma, 0);
  w.Eob(kAcChroma);
  std::vector<int> luma(64, 1), ones(64, 1);
  luma[0] = q;
  TestJpgStream s;
  if (q < 256) {
    s.Soi().Dqt8(0, luma);
  } else {
    s.Soi().Dqt16(0, luma);
  }
  s.Dqt8(1, ones).Sof0(8, 8, 1, 1).Sos3().Raw(w.Finish()).Eoi();
  return s.Data();
}

TEST(JpgDecodeEntry, DcOnlyBlocksWrapAndClamp) {
  // Stored DC quantiser is 4 q (the AAN scale of position 0 is 1 with 2 fraction bits);
  // a sample is ((d x 4q) as int16 >> 5) + 128, clamped.
  const struct { int dc, q, sample; } cases[] = {
      {0, 1, 128},     {8, 4, 132},     {-8, 4, 124},  {-1, 1, 127},  // d / 8 + 128, floor
      {2000, 1, 255},  {-2000, 1, 0},                                  // clamps
      {300, 50, 0},    // 300 x 200 = 60000 wraps to -5536: -173 + 128 clamps to 0, not 255
      {-300, 50, 255}, // -60000 wraps to 5536
  };
  TestContext ctx;
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "dc " << c.dc << " q " << c.q);
    TestDecoded r = TestDecodeFrame(ctx, DcFrame(c.dc, c.q), 1, 8 * 8 * 3);
    ASSERT_EQ(0, r.result) << r.error;
    for (int p = 0; p < 64; ++p) {
      ASSERT_EQ(c.sample, r.out[3 * p]) << p;
      ASSERT_EQ(128, r.out[3 * p + 1]);
    }
  }
}

// A frame of 8 lines whose luminance falls from top to bottom (one vertical AC coefficient):
// mode 0 puts the first line last, modes 1 and 2 first. Chroma is neutral, so B = G = R = Y.
TEST(JpgDecodeEntry, LineOrderPerMode) {
  TestEntropyWriter w;
  for (int m = 0; m < 2; ++m) {  // 16 x 8, 2x1: one MCU of two luminance blocks
    w.Dc(kDcLuma, 0);
    w.Ac(kAcLuma, 1, 300);  // zig-zag 2 = natural 8: first vertical frequency
    w.Eob(kAcLuma);
  }
  w.Dc(kDcChroma, 0);
  w.Eob(kAcChroma);
  w.Dc(kDcChroma, 0);
  w.Eob(kAcChroma);
  std::vector<uint8_t> frame = TestFrameWithEntropy(16, 8, 2, 1, 0, w.Finish());
  TestContext ctx;
  TestDecoded bgr = TestDecodeFrame(ctx, frame, 0, 16 * 8 * 3);
  TestDecoded ycc = TestDecodeFrame(ctx, frame, 1, 16 * 8 * 3);
  TestDecoded packed = TestDecodeFrame(ctx, frame, 2, 16 * 8 * 2);
  ASSERT_EQ(0, bgr.result);
  ASSERT_EQ(0, ycc.result);
  ASSERT_EQ(0, packed.result);
  EXPECT_GT(ycc.out[0], ycc.out[7 * 48]);  // brighter at the top
  for (int n = 0; n < 8; ++n) {
    for (int x = 0; x < 16; ++x) {
      uint8_t y = ycc.out[n * 48 + 3 * x];
      const uint8_t *p = &bgr.out[(7 - n) * 48 + 3 * x];
      ASSERT_EQ(y, p[0]) << n;
      ASSERT_EQ(y, p[1]) << n;
      ASSERT_EQ(y, p[2]) << n;
      ASSERT_EQ(y, packed.out[n * 32 + 2 * x]) << n;
    }
  }
}

TEST(JpgDecodeEntry, RejectedHeaderLeavesEverythingUntouched) {
  TestContext ctx;
  TestJpgStream bad;
  bad.Soi().Sof(0xC2, 16, 16, {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}).Eoi();  // progressive
  TestDecoded r = TestDecodeFrame(ctx, bad.Data(), 0, 16 * 16 * 3, 0x5A);
  EXPECT_EQ(1, r.result);
  EXPECT_EQ(JPG_ERR_FRAME_TYPE, r.error);
  EXPECT_EQ(-1, r.width);
  EXPECT_EQ(-1, r.height);
  EXPECT_EQ(std::vector<uint8_t>(16 * 16 * 3, 0x5A), r.out);
}

// A frame larger than the caller's buffer is refused before anything is written; a buffer
// of exactly the frame's size is enough, in every mode.
TEST(JpgDecodeEntry, OutputCapacityIsChecked) {
  std::vector<uint8_t> frame = FlatFrame(40, 24, 2, 1, 8);
  TestContext ctx;
  for (uint32_t mode = 0; mode <= 2; ++mode) {
    SCOPED_TRACE(mode);
    size_t exact = 40 * 24 * (mode == 2 ? 2 : 3);
    TestDecoded small = TestDecodeFrame(ctx, frame, mode, exact - 1, 0x5A);
    EXPECT_EQ(1, small.result);
    EXPECT_EQ(JPG_ERR_OUTPUT_SIZE, small.error);
    EXPECT_EQ(-1, small.width);
    EXPECT_EQ(std::vector<uint8_t>(exact - 1, 0x5A), small.out);
    TestDecoded fits = TestDecodeFrame(ctx, frame, mode, exact, 0x5A);
    EXPECT_EQ(0, fits.result);
    EXPECT_EQ(40, fits.width);
    EXPECT_EQ(24, fits.height);
  }
  // A zero-sized buffer takes nothing.
  TestDecoded none = TestDecodeFrame(ctx, frame, 0, 0);
  EXPECT_EQ(JPG_ERR_OUTPUT_SIZE, none.error);
}

// An AC run past position 63 in the third MCU row: the first two rows are in the bitmap
// (bottom-up, so at the end of the buffer), the rest keeps its old contents, the frame fails
// with -227, later line requests answer -1, and the next good frame decodes.
TEST(JpgDecodeEntry, EntropyErrorMidFrameKeepsEarlierRows) {
  TestEntropyWriter w;
  const int rows = 4;
  for (int row = 0; row < rows; ++row) {
    w.Dc(kDcLuma, row == 0 ? 80 : 0);  // luminance 138 everywhere
    if (row == 2) {
      w.Ac(kAcLuma, 0, 1);
      w.Ac(kAcLuma, 15, 1);
      w.Ac(kAcLuma, 15, 1);
      w.Ac(kAcLuma, 15, 1);
      w.Ac(kAcLuma, 15, 1);  // k = 1 + 4 x 16 = 65 > 63
    } else {
      w.Eob(kAcLuma);
    }
    w.Dc(kDcChroma, 0);
    w.Eob(kAcChroma);
    w.Dc(kDcChroma, 0);
    w.Eob(kAcChroma);
  }
  std::vector<uint8_t> frame = TestFrameWithEntropy(8, 8 * rows, 1, 1, 0, w.Finish());
  TestContext ctx;
  const size_t row_bytes = 24;
  TestDecoded r = TestDecodeFrame(ctx, frame, 0, row_bytes * 8 * rows, 0x5A);
  EXPECT_EQ(1, r.result);
  EXPECT_EQ(JPG_ERR_ENTROPY, r.error);
  for (int line = 0; line < 8 * rows; ++line) {
    const uint8_t *p = &r.out[(8 * rows - 1 - line) * row_bytes];  // bottom-up
    uint8_t expect = line < 16 ? 138 : 0x5A;
    for (size_t i = 0; i < row_bytes; ++i) ASSERT_EQ(expect, p[i]) << "line " << line;
  }
  const uint8_t *line;
  int32_t length;
  EXPECT_EQ(-1, jpg_decode_line(ctx.decoder(), &line, &length));
  TestDecoded good = TestDecodeFrame(ctx, FlatFrame(8, 8, 1, 1, 80), 0, row_bytes * 8);
  EXPECT_EQ(0, good.result);
  EXPECT_EQ(0, good.error);
  EXPECT_EQ(std::vector<uint8_t>(row_bytes * 8, 138), good.out);
}

// ---- Line copy -----------------------------------------------------------------------------

TEST(JpgCopyLine, EveryAlignmentAndLength) {
  std::mt19937 rng(5);
  std::vector<uint8_t> src(7000), dst(7000);
  for (uint8_t &b : src) b = static_cast<uint8_t>(rng());
  for (uint32_t bytes : {0u, 1u, 127u, 128u, 129u, 528u, 1920u, 4800u, 6400u}) {
    for (int s = 0; s < 16; ++s) {
      for (int t = 0; t < 16; t += 3) {
        std::fill(dst.begin(), dst.end(), 0xEE);
        jpg_copy_line(dst.data() + t, src.data() + s, bytes);
        ASSERT_EQ(0, std::memcmp(dst.data() + t, src.data() + s, bytes)) << bytes << " " << s << " " << t;
        for (int i = 0; i < t; ++i) ASSERT_EQ(0xEE, dst[i]);
        ASSERT_EQ(0xEE, dst[t + bytes]);
      }
    }
  }
}

}  // namespace
