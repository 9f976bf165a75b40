// Whole frames through jpg_decode, against libjpeg-turbo's decode of the same files: every
// sampling, with and without restart intervals, sizes that are and are not multiples of the
// MCU, in all three output modes; and the two inverse-DCT forms against each other.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "jpg_idct.h"
#include "jpg_ref_libjpeg.h"
#include "jpg_scene.h"
#include "jpg_test_support.h"

namespace {

struct FrameCase {
  int width, height, h, v, quality, restart;
};

std::string Name(const FrameCase &c) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%dx%d %dx%d q%d rst%d", c.width, c.height, c.h, c.v, c.quality, c.restart);
  return buf;
}

std::vector<uint8_t> Encode(const FrameCase &c, uint32_t seed) {
  RefJpegEncodeOptions o;
  o.width = c.width;
  o.height = c.height;
  o.h_samp = c.h;
  o.v_samp = c.v;
  o.quality = c.quality;
  o.restart_interval = c.restart;
  return RefJpeg_Encode(o, TestScene(c.width, c.height, seed));
}

double Psnr(double squared_error_sum, size_t samples) {
  if (squared_error_sum == 0) return 99.0;
  return 10 * std::log10(255.0 * 255.0 * samples / squared_error_sum);
}

// PSNR of our bottom-up B, G, R against libjpeg's top-down R, G, B.
double PsnrBgrBottomUp(const std::vector<uint8_t> &ours, const RefJpegImage &ref) {
  double sum = 0;
  for (int y = 0; y < ref.height; ++y) {
    const uint8_t *o = &ours[static_cast<size_t>(ref.height - 1 - y) * ref.width * 3];
    const uint8_t *r = &ref.pixels[static_cast<size_t>(y) * ref.width * 3];
    for (int x = 0; x < ref.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        double e = static_cast<double>(o[3 * x + 2 - c]) - r[3 * x + c];
        sum += e * e;
      }
    }
  }
  return Psnr(sum, ref.pixels.size());
}

double PsnrSame(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  double sum = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    double e = static_cast<double>(a[i]) - b[i];
    sum += e * e;
  }
  return Psnr(sum, b.size());
}

const FrameCase kCases[] = {
    {64, 48, 1, 1, 75, 0},   {64, 48, 2, 1, 75, 0},  {64, 48, 1, 2, 75, 0},   {64, 48, 2, 2, 75, 0},
    {100, 37, 1, 1, 90, 3},  {100, 37, 2, 1, 90, 3}, {100, 37, 1, 2, 90, 3},  {100, 37, 2, 2, 90, 3},
    {176, 120, 2, 1, 75, 11}, {161, 119, 2, 2, 50, 1}, {7, 5, 2, 2, 75, 0},   {1, 1, 1, 1, 90, 1},
    {320, 240, 2, 1, 90, 0}, {640, 480, 2, 1, 75, 40}, {640, 480, 2, 2, 75, 0}, {33, 200, 1, 2, 95, 2},
};

// Our decode and libjpeg's accurate decode (replicated chroma) differ only by the 16-bit
// fast transform and the table-based colour conversion: close agreement everywhere.
TEST(JpgFrames, BgrAgreesWithLibjpeg) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  TestContext ctx;
  uint32_t seed = 1;
  for (const FrameCase &c : kCases) {
    SCOPED_TRACE(Name(c));
    std::vector<uint8_t> frame = Encode(c, seed++);
    ASSERT_FALSE(frame.empty());
    RefJpegImage ref = RefJpeg_Decode(frame, false);
    ASSERT_EQ(c.width, ref.width);
    TestDecoded r = TestDecodeFrame(ctx, frame, 0, static_cast<size_t>(c.width) * c.height * 3);
    ASSERT_EQ(0, r.result) << "error " << r.error;
    ASSERT_EQ(c.width, r.width);
    ASSERT_EQ(c.height, r.height);
    double psnr = PsnrBgrBottomUp(r.out, ref);
    RecordProperty(Name(c), std::to_string(psnr));
    std::printf("  BGR  %-28s PSNR %.2f dB\n", Name(c).c_str(), psnr);
    EXPECT_GT(psnr, 36.0);
  }
}

// Mode 1 hands out the decoded samples themselves: libjpeg's YCbCr output with replicated
// chroma isolates the entropy decoding and the transform from the colour conversion.
TEST(JpgFrames, YCbCrSamplesAgreeWithLibjpeg) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  TestContext ctx;
  uint32_t seed = 100;
  for (const FrameCase &c : kCases) {
    SCOPED_TRACE(Name(c));
    std::vector<uint8_t> frame = Encode(c, seed++);
    RefJpegImage ref = RefJpeg_Decode(frame, true);
    TestDecoded r = TestDecodeFrame(ctx, frame, 1, static_cast<size_t>(c.width) * c.height * 3);
    ASSERT_EQ(0, r.result) << "error " << r.error;
    double psnr = PsnrSame(r.out, ref.pixels);
    std::printf("  YCC  %-28s PSNR %.2f dB\n", Name(c).c_str(), psnr);
    EXPECT_GT(psnr, 38.0);
  }
}

// Mode 2 packs Y0 Cb Y1 Cr: its samples follow from mode 1's by the pairing rule, shared
// chroma for 2x1 and 2x2, the average of the pair's two samples for 1x1 and 1x2.
TEST(JpgFrames, PackedModeFollowsFromTheSamples) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  TestContext ctx;
  for (const FrameCase &c : {kCases[0], kCases[1], kCases[6], kCases[7], kCases[9]}) {
    SCOPED_TRACE(Name(c));
    std::vector<uint8_t> frame = Encode(c, 7);
    TestDecoded ycc = TestDecodeFrame(ctx, frame, 1, static_cast<size_t>(c.width) * c.height * 3);
    TestDecoded packed = TestDecodeFrame(ctx, frame, 2, static_cast<size_t>(c.width) * c.height * 2, 0x11);
    ASSERT_EQ(0, packed.result);
    const bool shared = c.h == 2;
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x + 1 < c.width; x += 2) {
        const uint8_t *a = &ycc.out[(static_cast<size_t>(y) * c.width + x) * 3];
        const uint8_t *b = a + 3;
        const uint8_t *p = &packed.out[(static_cast<size_t>(y) * c.width + x) * 2];
        ASSERT_EQ(a[0], p[0]) << x << "," << y;
        ASSERT_EQ(b[0], p[2]) << x << "," << y;
        ASSERT_EQ(shared ? a[1] : (a[1] + b[1]) >> 1, p[1]) << x << "," << y;
        ASSERT_EQ(shared ? a[2] : (a[2] + b[2]) >> 1, p[3]) << x << "," << y;
      }
    }
  }
}

// The whole frame is bit-identical whichever inverse-DCT form runs.
TEST(JpgFrames, IdctFormsGiveTheSameBitmap) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  if (!idct_cpu_has_sse2()) GTEST_SKIP() << "no SSE2 on this processor";
  TestContext ctx;
  for (const FrameCase &c : {kCases[3], kCases[5], kCases[13]}) {
    SCOPED_TRACE(Name(c));
    std::vector<uint8_t> frame = Encode(c, 3);
    size_t size = static_cast<size_t>(c.width) * c.height * 3;
    idct_set_form(JPG_IDCT_SCALAR);
    TestDecoded scalar = TestDecodeFrame(ctx, frame, 0, size);
    idct_set_form(JPG_IDCT_SSE2);
    TestDecoded vector = TestDecodeFrame(ctx, frame, 0, size);
    idct_select();
    ASSERT_EQ(0, scalar.result);
    EXPECT_TRUE(scalar.out == vector.out);
  }
}

// Several frames on one context, as the driver decodes them: the second frame, which has no
// DQT, decodes with the tables the first one left (libjpeg is given them explicitly).
TEST(JpgFrames, QuantisationTablesCarryOverToTheNextFrame) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  FrameCase c{96, 64, 2, 1, 60, 0};
  std::vector<uint8_t> first = Encode(c, 21);
  std::vector<uint8_t> second = Encode(c, 22);
  // Strip the DQT segments from the second frame.
  std::vector<uint8_t> stripped(second.begin(), second.begin() + 2);
  size_t p = 2;
  while (p + 4 <= second.size()) {
    int marker = second[p + 1];
    size_t length = static_cast<size_t>(second[p + 2] << 8 | second[p + 3]);
    if (marker != 0xDB) stripped.insert(stripped.end(), second.begin() + p, second.begin() + p + 2 + length);
    p += 2 + length;
    if (marker == 0xDA) break;
  }
  stripped.insert(stripped.end(), second.begin() + p, second.end());
  TestContext ctx;
  size_t size = static_cast<size_t>(c.width) * c.height * 3;
  ASSERT_EQ(0, TestDecodeFrame(ctx, first, 0, size).result);
  TestDecoded r = TestDecodeFrame(ctx, stripped, 0, size);
  ASSERT_EQ(0, r.result);
  EXPECT_GT(PsnrBgrBottomUp(r.out, RefJpeg_Decode(second, false)), 36.0);
}

}  // namespace
