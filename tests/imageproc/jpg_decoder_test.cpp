// The decoder's initialisation lines, recovery after errors, real frames encoded by
// libjpeg-turbo, and truncation of frames at every byte offset.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "host_kernel.h"
#include "jpg_ref_libjpeg.h"
#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

// Offset of the first entropy-coded byte: just past the SOS segment, found by walking the
// segments of a well-formed stream.
size_t EntropyStart(const std::vector<uint8_t> &s) {
  size_t p = 2;
  while (p + 4 <= s.size()) {
    int marker = s[p + 1];
    size_t length = static_cast<size_t>(s[p + 2] << 8 | s[p + 3]);
    p += 2 + length;
    if (marker == 0xDA) return p;
  }
  return 0;
}

std::vector<uint8_t> TestImage(int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
      p[1] = static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
      p[2] = static_cast<uint8_t>(((x / 4 + y / 4) % 2) * 200 + 20);
    }
  }
  return rgb;
}

TEST(JpgInit, PrintsTheSizeOfEachField) {
  struct Field { const char *name; size_t bytes32; bool pointers; };
  // Sizes on the 32-bit target; arrays of pointers grow on a 64-bit build.
  const Field fields[] = {
      {"Psample_buf", 77384, false}, {"DC_L_HTB", 3328, false},   {"AC_L_HTB", 3328, false},
      {"DC_C_HTB", 3328, false},     {"AC_C_HTB", 3328, false},   {"scan_line_0", 6408, false},
      {"scan_line_1", 6408, false},  {"block_seg", 4836, true},   {"init_frame_q", 154760, false},
      {"temp_block", 128, false},    {"comp_h_samp", 12, false},  {"comp_v_samp", 12, false},
      {"comp_quant", 12, false},     {"comp_ident", 12, false},   {"comp_h_blocks", 12, false},
      {"comp_v_blocks", 12, false},  {"comp_list", 12, false},    {"comp_dc_tab", 12, false},
      {"comp_ac_tab", 12, false},    {"mcu_org", 40, false},      {"last_dc_val", 12, false},
      {"huff_num", 16, true},        {"huff_val", 16, true},      {"quant", 8, true},
      {"huff_tbl", 16, true},        {"jmp_state", 64, true},
  };
  HostDbg_Clear();
  TestDecoder d;
  std::vector<std::string> lines = HostDbg_Lines();
  ASSERT_EQ(std::size(fields), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t bytes = fields[i].pointers ? fields[i].bytes32 / 4 * sizeof(void *) : fields[i].bytes32;
    EXPECT_EQ("JPG Sizeof(" + std::string(fields[i].name) + ") = " + std::to_string(bytes), lines[i]);
  }
  EXPECT_EQ(0, d->quality);
}

TEST(JpgDecoderErrors, FirstCodeStaysAndTheNextFrameRecovers) {
  TestDecoder d;
  const std::vector<uint8_t> good = TestCameraLikeFrame(16, 32, 2, 1);
  ASSERT_EQ(0, TestRunFrame(d, good).last_error);
  // A frame that fails in its header: start_decoding refuses, whatever was started before.
  std::vector<uint8_t> no_frame = TestJpgStream().Soi().Dri(1).Eoi().Data();
  TestFrameOutcome o = TestRunFrame(d, no_frame);
  EXPECT_EQ(JPG_ERR_FRAME_TYPE, o.begin_error);
  EXPECT_EQ(-1, o.start_result);
  EXPECT_EQ(JPG_ERR_FRAME_TYPE, jpg_get_error(d.get()));
  EXPECT_EQ(-1, jpg_start_decoding(d.get()));
  EXPECT_EQ(JPG_ERR_FRAME_TYPE, jpg_get_error(d.get()));
  // A set-up failure, then a good frame again.
  o = TestRunFrame(d, TestJpgStream().Soi().Sof0(8, 8, 4, 1).Sos3().Eoi().Data());
  EXPECT_EQ(0, o.begin_error);
  EXPECT_EQ(JPG_ERR_SAMPLING, o.last_error);
  o = TestRunFrame(d, good);
  EXPECT_EQ(0, o.last_error);
  EXPECT_EQ(0, o.start_result);
  EXPECT_EQ(1, d->decoding_started);
}

// Every prefix of a frame, in a buffer of exactly that size: headers cut short fail with
// JPG_ERR_INPUT_END; once the scan header is complete the frame sets up, and the read
// position never leaves the buffer. One decoder serves all prefixes, as in the driver.
void CheckEveryTruncation(const std::vector<uint8_t> &frame) {
  const size_t header_end = EntropyStart(frame);
  ASSERT_GT(header_end, 0u);
  TestDecoder d;
  for (size_t n = 0; n <= frame.size(); ++n) {
    SCOPED_TRACE(n);
    TestInput in(frame, n);
    jpg_begin_frame(d.get(), in.data(), in.size());
    int32_t started = jpg_start_decoding(d.get());
    if (n < header_end) {
      ASSERT_EQ(JPG_ERR_INPUT_END, jpg_get_error(d.get()));
      ASSERT_EQ(-1, started);
    } else {
      ASSERT_EQ(0, jpg_get_error(d.get()));
      ASSERT_EQ(0, started);
      ASSERT_EQ(0, d->in_overrun);
      ASSERT_TRUE(d->in_ptr >= in.data() + header_end && d->in_ptr <= in.data() + n);
    }
  }
}

TEST(JpgTruncation, CameraLikeFrameAtEveryLength) {
  for (int h = 1; h <= 2; ++h) {
    for (int v = 1; v <= 2; ++v) {
      SCOPED_TRACE(testing::Message() << h << "x" << v);
      CheckEveryTruncation(TestCameraLikeFrame(24, 40, h, v));
    }
  }
}

TEST(JpgTruncation, LibjpegFrameAtEveryLength) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  RefJpegEncodeOptions opt;
  opt.width = 48;
  opt.height = 32;
  opt.restart_interval = 2;
  std::vector<uint8_t> frame = RefJpeg_Encode(opt, TestImage(opt.width, opt.height));
  ASSERT_FALSE(frame.empty());
  CheckEveryTruncation(frame);
}

// Corrupted frames from a faulty device: whatever the bytes, the outcome is success or one of
// the documented codes, and the read position stays inside the buffer (AddressSanitizer
// checks every access in the sanitizer build).
TEST(JpgTruncation, CorruptedFramesStayInsideTheirBuffer) {
  const std::set<int32_t> known = {0,    -203, -204, -205, -206, -207, -209, -210, -211,
                                   -212, -213, -214, -215, -216, -217, -218, -219, -226,
                                   -229, -230, -231, -232};
  const std::vector<uint8_t> original = TestCameraLikeFrame(24, 40, 2, 2);
  std::mt19937 rng(7);
  TestDecoder d;
  for (int round = 0; round < 4000; ++round) {
    std::vector<uint8_t> frame = original;
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
      uint8_t value = rng() % 3 == 0 ? 0xFF : static_cast<uint8_t>(rng());
      frame[rng() % frame.size()] = value;
    }
    size_t length = rng() % 2 == 0 ? frame.size() : rng() % (frame.size() + 1);
    TestInput in(frame, length);
    jpg_begin_frame(d.get(), in.data(), in.size());
    jpg_start_decoding(d.get());
    ASSERT_TRUE(known.count(jpg_get_error(d.get()))) << "round " << round << " code " << jpg_get_error(d.get());
    ASSERT_TRUE(d->in_ptr >= in.data() && d->in_ptr <= in.data() + in.size()) << "round " << round;
    ASSERT_LE(d->mcu_block_count, JPG_MAX_MCU_BLOCKS);
  }
}

TEST(JpgRealFrames, HeadersAgreeWithLibjpeg) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  struct Case { int w, h, hs, vs, quality, restart; };
  const Case cases[] = {
      {640, 480, 2, 1, 75, 0}, {320, 240, 2, 2, 50, 4}, {176, 120, 1, 1, 90, 0},
      {100, 36, 1, 2, 30, 1},  {1, 1, 2, 2, 75, 0},     {1600, 16, 2, 1, 95, 7},
  };
  TestDecoder d;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " " << c.hs << "x" << c.vs);
    RefJpegEncodeOptions opt;
    opt.width = c.w;
    opt.height = c.h;
    opt.h_samp = c.hs;
    opt.v_samp = c.vs;
    opt.quality = c.quality;
    opt.restart_interval = c.restart;
    std::vector<uint8_t> frame = RefJpeg_Encode(opt, TestImage(c.w, c.h));
    RefJpegHeader ref = RefJpeg_ReadHeader(frame);
    ASSERT_TRUE(ref.ok) << ref.error;

    TestInput in(frame);
    jpg_begin_frame(d.get(), in.data(), in.size());
    ASSERT_EQ(0, jpg_get_error(d.get()));
    ASSERT_EQ(0, jpg_start_decoding(d.get()));
    EXPECT_EQ(ref.width, jpg_get_width(d.get()));
    EXPECT_EQ(ref.height, jpg_get_height(d.get()));
    EXPECT_EQ(static_cast<int>(ref.restart_interval), d->restart_interval);
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(ref.id[k], d->comp_ident[k]);
      EXPECT_EQ(ref.h_samp[k], d->comp_h_samp[k]);
      EXPECT_EQ(ref.v_samp[k], d->comp_v_samp[k]);
      EXPECT_EQ(ref.quant_table[k], d->comp_quant[k]);
    }
    for (int t = 0; t < 2; ++t) {
      ASSERT_TRUE(ref.has_quant[t]);
      for (int z = 0; z < 64; ++z) {
        EXPECT_EQ((ref.quant[t][z] * static_cast<long>(jpg_aan_scales[z]) + 2048) >> 12, d->quant[t][z]);
      }
    }
    // The bit reader holds the first two entropy-coded bytes.
    size_t first = EntropyStart(frame);
    EXPECT_EQ(static_cast<uint32_t>(frame[first] << 8 | frame[first + 1]), d->bit_reg & 0xFFFF);
  }
}

}  // namespace
