// Frame and scan set-up: MCU geometry for each sampling, output line sizes, block buffers,
// the scan header and the bit reader's position on the entropy-coded data.
#include <gtest/gtest.h>

#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

int CeilDiv(int a, int b) { return (a + b - 1) / b; }

std::vector<uint8_t> FrameWith(int height, int width, int h, int v, const TestJpgStream &scan,
                               std::initializer_list<int> data = {0x12, 0x34, 0x56}) {
  return TestJpgStream().Soi().Sof0(height, width, h, v).Raw(scan.Data()).Bytes(data).Eoi().Data();
}

TEST(JpgSetup, GeometryForEverySamplingAndSize) {
  struct Sampling { int h, v, layout; };
  const Sampling samplings[] = {{1, 1, 1}, {2, 1, 2}, {1, 2, 3}, {2, 2, 4}};
  const int sizes[][2] = {{480, 640}, {1, 1}, {8, 8}, {100, 100}, {120, 176}, {17, 33}, {1200, 1600}};
  for (const Sampling &s : samplings) {
    for (const auto &size : sizes) {
      const int height = size[0], width = size[1];
      SCOPED_TRACE(testing::Message() << s.h << "x" << s.v << " " << width << "x" << height);
      TestDecoder d;
      d->out_mode = 0;
      std::memset(d->last_dc_val, 0x5A, sizeof(d->last_dc_val));
      TestFrameOutcome o = TestRunFrame(d, FrameWith(height, width, s.h, s.v, TestJpgStream().Sos3()));
      ASSERT_EQ(0, o.last_error);
      ASSERT_EQ(0, o.start_result);
      EXPECT_EQ(1, d->decoding_started);

      EXPECT_EQ(s.layout, d->mcu_layout);
      EXPECT_EQ(8 * s.h, d->mcu_width);
      EXPECT_EQ(8 * s.v, d->mcu_height);
      EXPECT_EQ(s.h * s.v + 2, d->frame_mcu_blocks);
      EXPECT_EQ(CeilDiv(width, 8 * s.h), d->frame_mcus_across);
      EXPECT_EQ((s.h * s.v + 2) * CeilDiv(width, 8 * s.h), d->row_blocks);
      EXPECT_EQ(3 * width, d->out_line_bytes);
      EXPECT_EQ(height, d->lines_left);
      EXPECT_EQ(0, d->mcu_row_lines_left);

      // Component sizes, ITU-T T.81 A.1.1: x_i = ceil(X * H_i / Hmax), in blocks of 8.
      EXPECT_EQ(CeilDiv(width, 8), d->comp_h_blocks[0]);
      EXPECT_EQ(CeilDiv(height, 8), d->comp_v_blocks[0]);
      for (int k = 1; k < 3; ++k) {
        EXPECT_EQ(CeilDiv(CeilDiv(width, s.h), 8), d->comp_h_blocks[k]);
        EXPECT_EQ(CeilDiv(CeilDiv(height, s.v), 8), d->comp_v_blocks[k]);
      }
      EXPECT_EQ(CeilDiv(width, 8 * s.h), d->scan_mcus_across);
      EXPECT_EQ(CeilDiv(height, 8 * s.v), d->scan_mcus_down);
      ASSERT_EQ(s.h * s.v + 2, d->mcu_block_count);
      for (int j = 0; j < s.h * s.v; ++j) EXPECT_EQ(0, d->mcu_org[j]);
      EXPECT_EQ(1, d->mcu_org[s.h * s.v]);
      EXPECT_EQ(2, d->mcu_org[s.h * s.v + 1]);
      for (int k = 0; k < 3; ++k) EXPECT_EQ(0, d->last_dc_val[k]);

      // Block storage: 128 bytes a block, 8-byte aligned, inside init_frame_q.
      const uint8_t *lo = d->init_frame_q;
      const uint8_t *hi = d->init_frame_q + sizeof(d->init_frame_q);
      for (int i = 0; i < d->row_blocks; ++i) {
        const uint8_t *b = reinterpret_cast<const uint8_t *>(d->block_seg[i]);
        EXPECT_EQ(64, d->block_zag_end[i]);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(b) % 8);
        EXPECT_TRUE(b >= lo && b + 128 <= hi);
        if (i > 0) EXPECT_EQ(d->block_seg[i - 1] + 64, d->block_seg[i]);
      }
      EXPECT_LT(reinterpret_cast<const uint8_t *>(d->block_seg[0]) - lo, 8);
    }
  }
}

TEST(JpgSetup, WorkedExamples) {
  TestDecoder d;
  ASSERT_EQ(0, TestRunFrame(d, FrameWith(480, 640, 2, 1, TestJpgStream().Sos3())).last_error);
  EXPECT_EQ(2, d->mcu_layout);
  EXPECT_EQ(16, d->mcu_width);
  EXPECT_EQ(8, d->mcu_height);
  EXPECT_EQ(40, d->frame_mcus_across);
  EXPECT_EQ(160, d->row_blocks);
  EXPECT_EQ(40, d->scan_mcus_across);
  EXPECT_EQ(60, d->scan_mcus_down);
  EXPECT_EQ((std::vector<int32_t>{0, 0, 1, 2}), std::vector<int32_t>(d->mcu_org, d->mcu_org + d->mcu_block_count));

  ASSERT_EQ(0, TestRunFrame(d, FrameWith(32, 100, 2, 2, TestJpgStream().Sos3())).last_error);
  EXPECT_EQ(7, d->frame_mcus_across);
  EXPECT_EQ((std::vector<int32_t>{0, 0, 0, 0, 1, 2}), std::vector<int32_t>(d->mcu_org, d->mcu_org + d->mcu_block_count));
}

TEST(JpgSetup, OutputModeSetsThePixelSize) {
  for (uint32_t mode : {0u, 1u, 2u}) {
    TestDecoder d;
    d->out_mode = mode;
    ASSERT_EQ(0, TestRunFrame(d, FrameWith(8, 100, 1, 1, TestJpgStream().Sos3())).last_error);
    EXPECT_EQ(mode == 2 ? 2 : 3, d->out_pixel_bytes);
    EXPECT_EQ(d->out_pixel_bytes * 100, d->out_line_bytes);
  }
}

TEST(JpgScanHeader, TablesSpectralSelectionAndSingleComponentScans) {
  TestDecoder d;
  // Table byte 0x11: DC chrominance (1) and AC chrominance (3); spectral selection 5 to 10
  // is decoded as 0 to 63 in a sequential frame.
  ASSERT_EQ(0, TestRunFrame(d, FrameWith(16, 16, 2, 2, TestJpgStream().Sos({{1, 0x00}, {2, 0x11}, {3, 0x10}}, 5, 10, 0x21))).last_error);
  EXPECT_EQ((std::vector<int32_t>{0, 1, 1}), std::vector<int32_t>(d->comp_dc_tab, d->comp_dc_tab + 3));
  EXPECT_EQ((std::vector<int32_t>{2, 3, 2}), std::vector<int32_t>(d->comp_ac_tab, d->comp_ac_tab + 3));
  EXPECT_EQ(0, d->scan_ss);
  EXPECT_EQ(63, d->scan_se);
  EXPECT_EQ(2, d->scan_ah);
  EXPECT_EQ(1, d->scan_al);

  // Scan order decides the MCU composition.
  ASSERT_EQ(0, TestRunFrame(d, FrameWith(16, 16, 2, 1, TestJpgStream().Sos({{3, 0x11}, {1, 0x00}}))).last_error);
  EXPECT_EQ((std::vector<int32_t>{2, 0}), std::vector<int32_t>(d->comp_list, d->comp_list + 2));
  EXPECT_EQ((std::vector<int32_t>{2, 0, 0}), std::vector<int32_t>(d->mcu_org, d->mcu_org + d->mcu_block_count));

  // One component: one block per MCU, over that component's own block grid.
  ASSERT_EQ(0, TestRunFrame(d, FrameWith(40, 100, 2, 2, TestJpgStream().Sos({{2, 0x11}}))).last_error);
  EXPECT_EQ(1, d->mcu_block_count);
  EXPECT_EQ(1, d->mcu_org[0]);
  EXPECT_EQ(CeilDiv(50, 8), d->scan_mcus_across);
  EXPECT_EQ(CeilDiv(20, 8), d->scan_mcus_down);
  EXPECT_LE(d->scan_mcus_across * d->mcu_block_count, d->row_blocks);
}

TEST(JpgScanHeader, BitReaderStartsOnTheEntropyCodedData) {
  TestDecoder d;
  std::vector<uint8_t> plain = FrameWith(8, 8, 1, 1, TestJpgStream().Sos3(), {0x12, 0x34, 0x56});
  TestInput in(plain);
  jpg_begin_frame(d.get(), in.data(), in.size());
  ASSERT_EQ(0, jpg_start_decoding(d.get()));
  const size_t first = plain.size() - 5;  // the three data bytes, then EOI
  EXPECT_EQ(0x1234u, d->bit_reg & 0xFFFF);
  EXPECT_EQ(0, d->bit_reserve);
  EXPECT_EQ(in.data() + first + 2, d->in_ptr);
  // Calling again once started changes nothing.
  EXPECT_EQ(0, jpg_start_decoding(d.get()));
  EXPECT_EQ(in.data() + first + 2, d->in_ptr);

  // A restart interval primes the countdown; a stuffed zero is dropped.
  std::vector<uint8_t> stuffed = TestJpgStream().Soi().Dri(5).Sof0(8, 8, 1, 1).Sos3().Bytes({0xFF, 0x00, 0x77}).Eoi().Data();
  TestInput in2(stuffed);
  d->expected_rst = 6;
  jpg_begin_frame(d.get(), in2.data(), in2.size());
  ASSERT_EQ(0, jpg_start_decoding(d.get()));
  EXPECT_EQ(0xFF77u, d->bit_reg & 0xFFFF);
  EXPECT_EQ(5, d->restart_countdown);
  EXPECT_EQ(0, d->expected_rst);

  // No data at all before EOI: the marker supplies 1-bits and is not passed.
  std::vector<uint8_t> empty = TestJpgStream().Soi().Sof0(8, 8, 1, 1).Sos3().Eoi().Data();
  TestInput in3(empty);
  jpg_begin_frame(d.get(), in3.data(), in3.size());
  ASSERT_EQ(0, jpg_start_decoding(d.get()));
  EXPECT_EQ(0xFFFFu, d->bit_reg & 0xFFFF);
  EXPECT_EQ(in3.data() + empty.size() - 2, d->in_ptr);
}

}  // namespace
