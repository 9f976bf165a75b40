// Whole frames against libjpeg-turbo in every mode and form; recovery after errors; frames cut short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "jpg_entropy_writer.h"
#include "jpg_idct.h"
#include "jpg_ref_libjpeg.h"
#include "jpg_scene.h"
#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

std::vector<uint8_t> Encode(const RefJpegEncodeOptions &o, uint32_t seed) {
  return RefJpeg_Encode(o, TestScene(o.width, o.height, seed));
}

// PSNR of our pixels against libjpeg's (R, G, B top-down); ours are B, G, R bottom-up when bgr.
double Psnr(const std::vector<uint8_t> &ours, const RefJpegImage &ref, bool bgr) {
  double sum = 0;
  for (size_t i = 0; i < ref.pixels.size(); ++i) {
    size_t y = i / (3 * ref.width), rest = i % (3 * ref.width);
    size_t at = bgr ? (ref.height - 1 - y) * 3 * ref.width + rest - rest % 3 + 2 - rest % 3 : i;
    sum += std::pow(static_cast<double>(ours[at]) - ref.pixels[i], 2);
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * ref.pixels.size() / sum);
}

// Our decode and libjpeg's accurate one (replicated chroma) differ only by the 16-bit fast
// transform and the table-based colour conversion. Mode 1 gives the samples themselves; mode
// 2 follows from them by pairing (shared chroma for 2x1 and 2x2, the average of the pair's
// two samples otherwise); both inverse-DCT forms give the same bitmap.
TEST(JpgFrames, AgreeWithLibjpegInEveryMode) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  const RefJpegEncodeOptions cases[] = {  // width, height, luminance sampling, quality, restart interval
      {64, 48, 1, 1, 75, 0},    {64, 48, 2, 1, 75, 0},    {64, 48, 1, 2, 75, 0},   {64, 48, 2, 2, 75, 0},
      {100, 37, 1, 1, 90, 3},   {100, 37, 2, 1, 90, 3},   {100, 37, 1, 2, 90, 3},  {100, 37, 2, 2, 90, 3},
      {176, 120, 2, 1, 75, 11}, {161, 119, 2, 2, 50, 1},  {7, 5, 2, 2, 75, 0},     {1, 1, 1, 1, 90, 1},
      {320, 240, 2, 1, 90, 0},  {640, 480, 2, 1, 75, 40}, {640, 480, 2, 2, 75, 0}, {33, 200, 1, 2, 95, 2},
  };
  TestContext ctx;
  uint32_t seed = 1;
  for (const RefJpegEncodeOptions &c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.h_samp << "x" << c.v_samp << " rst "
                                    << c.restart_interval);
    std::vector<uint8_t> frame = Encode(c, seed++);
    RefJpegImage rgb = RefJpeg_Decode(frame, false), ycc = RefJpeg_Decode(frame, true);
    ASSERT_EQ(c.width, rgb.width);
    const size_t pixels = static_cast<size_t>(c.width) * c.height;
    TestDecoded bgr = TestDecodeFrame(ctx, frame, 0, pixels * 3);
    ASSERT_EQ(0, bgr.result) << "error " << bgr.error;
    ASSERT_EQ(c.width, bgr.width);
    ASSERT_EQ(c.height, bgr.height);
    EXPECT_GT(Psnr(bgr.out, rgb, true), 36.0);
    TestDecoded samples = TestDecodeFrame(ctx, frame, 1, pixels * 3);
    EXPECT_GT(Psnr(samples.out, ycc, false), 38.0);
    TestDecoded packed = TestDecodeFrame(ctx, frame, 2, pixels * 2, 0x11);
    ASSERT_EQ(0, packed.result);
    for (size_t p = 0; p < pixels; p += 2) {
      if (p % c.width + 1 == static_cast<size_t>(c.width)) ++p;  // odd width: no pair at the line's end
      if (p + 1 >= pixels) break;
      const uint8_t *a = &samples.out[3 * p], *b = a + 3;
      const uint8_t want[4] = {a[0], static_cast<uint8_t>(c.h_samp == 2 ? a[1] : (a[1] + b[1]) >> 1), b[0],
                               static_cast<uint8_t>(c.h_samp == 2 ? a[2] : (a[2] + b[2]) >> 1)};
      ASSERT_EQ(0, std::memcmp(want, &packed.out[2 * p], 4)) << "pixel " << p;
    }
    ZRImageProcess_AllowVectorForms(ctx.get(), 0);
    TestDecoded scalar = TestDecodeFrame(ctx, frame, 0, pixels * 3);
    ZRImageProcess_AllowVectorForms(ctx.get(), 1);
    EXPECT_TRUE(scalar.out == bgr.out);
  }
}

// The same frame decoded with each form forced gives the same bytes in every mode: camera-like
// frames and frames of random blocks that drive every clamp, in each sampling, at widths with
// and without a partial MCU and a direct-to-bitmap tail. A form the processor lacks is skipped.
TEST(JpgFrames, EveryFormDecodesTheSameBytes) {
  struct Case { int width, height, h, v, restart; };
  const Case cases[] = {{8, 8, 1, 1, 0},    {16, 8, 2, 1, 0},   {8, 16, 1, 2, 0},    {16, 16, 2, 2, 0},
                        {40, 24, 1, 1, 2},  {41, 23, 2, 1, 3},  {72, 40, 1, 2, 0},   {33, 47, 2, 2, 1},
                        {176, 144, 2, 1, 0}, {170, 130, 2, 2, 5}, {96, 32, 1, 1, 0}, {1, 1, 2, 2, 0}};
  TestContext ctx;
  int32_t compared = 0;
  uint32_t seed = 7;
  for (const Case &c : cases) {
    for (bool camera : {false, true}) {
      const std::vector<uint8_t> frame = camera ? TestCameraLikeFrame(c.height, c.width, c.h, c.v)
                                                : TestRandomBlockFrame(c.width, c.height, c.h, c.v, c.restart, seed++);
      for (uint32_t mode = 0; mode <= 2; ++mode) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.h << "x" << c.v << " mode " << mode
                                        << (camera ? " camera-like" : " random blocks"));
        const size_t bytes = static_cast<size_t>(c.width) * c.height * (mode == 2 ? 2 : 3);
        TestDecoded scalar;
        for (int32_t form : {JPG_IDCT_SCALAR, JPG_IDCT_SSE2, JPG_IDCT_MMX}) {
          if (jpg_force_form(ctx.decoder(), form) != 0) continue;  // not on this processor
          TestDecoded r = TestDecodeFrame(ctx, frame, mode, bytes);
          // The camera-like frame's few entropy bytes may run out in the larger sizes: the
          // failure, and the rows written before it, must then be the same in every form.
          if (!camera) ASSERT_EQ(0, r.result) << "form " << form << " error " << r.error;
          if (form == JPG_IDCT_SCALAR) {
            scalar = r;
            if (!camera && mode == 0 && c.width * c.height >= 64) {
              // The random blocks do reach both ends of the clamp.
              EXPECT_NE(r.out.end(), std::find(r.out.begin(), r.out.end(), 0));
              EXPECT_NE(r.out.end(), std::find(r.out.begin(), r.out.end(), 255));
            }
          } else {
            compared |= 1 << form;
            ASSERT_EQ(scalar.result, r.result) << "form " << form;
            ASSERT_EQ(scalar.error, r.error) << "form " << form;
            ASSERT_TRUE(scalar.out == r.out) << "form " << form;
          }
        }
      }
    }
  }
  if (compared == 0) GTEST_SKIP() << "neither SSE2 nor MMX on this processor";
  if (!(compared & 1 << JPG_IDCT_SSE2)) std::printf("SSE2 form not on this processor, not compared\n");
  if (!(compared & 1 << JPG_IDCT_MMX)) std::printf("MMX form not on this processor, not compared\n");
}

TEST(JpgDecoderErrors, FirstCodeStaysAndTheNextFrameRecovers) {
  TestDecoder d;
  const std::vector<uint8_t> good = TestCameraLikeFrame(16, 32, 2, 1);
  ASSERT_EQ(0, TestRunFrame(d, good).last_error);
  // A frame with no frame header fails, and stays failed; then a set-up failure; then a good frame.
  TestFrameOutcome o = TestRunFrame(d, TestJpgStream().Soi().Dri(1).Eoi().Data());
  EXPECT_EQ((std::vector<int32_t>{JPG_ERR_FRAME_TYPE, -1, -1, JPG_ERR_FRAME_TYPE}),
            (std::vector<int32_t>{o.begin_error, o.start_result, jpg_start_decoding(d.get()), jpg_get_error(d.get())}));
  o = TestRunFrame(d, TestJpgStream().Soi().Sof0(8, 8, 4, 1).Sos3().Eoi().Data());
  EXPECT_EQ((std::vector<int32_t>{0, -1, JPG_ERR_SAMPLING}), (std::vector<int32_t>{o.begin_error, o.start_result, o.last_error}));
  o = TestRunFrame(d, good);
  EXPECT_EQ((std::vector<int32_t>{0, 0, 0, 1}), (std::vector<int32_t>{o.begin_error, o.start_result, o.last_error, d->decoding_started}));
}

// Every prefix of a frame in a buffer of exactly that size, on one decoder: headers cut short
// fail with JPG_ERR_INPUT_END; once the scan header is complete the frame sets up and the read
// position stays in the buffer.
TEST(JpgTruncation, EveryLength) {
  std::vector<std::vector<uint8_t>> frames;
  for (int hv = 0; hv < 4; ++hv) frames.push_back(TestCameraLikeFrame(24, 40, 1 + hv % 2, 1 + hv / 2));
  if (RefJpeg_Available()) frames.push_back(Encode({48, 32, 2, 1, 75, 2}, 5));
  for (const std::vector<uint8_t> &frame : frames) {
    size_t header_end = 2;
    for (int marker = 0; marker != 0xDA; header_end += 2 + (frame[header_end + 2] << 8 | frame[header_end + 3])) {
      marker = frame[header_end + 1];
    }
    TestDecoder d;
    for (size_t n = 0; n <= frame.size(); ++n) {
      SCOPED_TRACE(n);
      TestInput in(frame, n);
      jpg_begin_frame(d.get(), in.data(), in.size());
      int32_t started = jpg_start_decoding(d.get());
      ASSERT_EQ(n < header_end ? JPG_ERR_INPUT_END : 0, jpg_get_error(d.get()));
      ASSERT_EQ(n < header_end ? -1 : 0, started);
      if (n < header_end) continue;
      ASSERT_EQ(0, d->in_overrun);
      ASSERT_TRUE(d->in_ptr >= in.data() + header_end && d->in_ptr <= in.data() + n);
    }
  }
}

}  // namespace
