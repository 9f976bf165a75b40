// Frame and scan set-up: MCU geometry (worked numbers), block buffers, the scan header, resync.
#include <gtest/gtest.h>

#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

std::vector<uint8_t> FrameWith(int height, int width, int h, int v, const TestJpgStream &scan) {
  return TestJpgStream().Soi().Sof0(height, width, h, v).Raw(scan.Data()).Bytes({0x12, 0x34, 0x56}).Eoi().Data();
}

TEST(JpgSetup, GeometryWorkedExamples) {
  // Blocks of a component: ceil(ceil(X h / hmax) / 8) across, likewise down.
  const struct { int h, v, width, height, layout, mcus_across, row_blocks, y_across, y_down, c_across, c_down, mcus_down; }
      cases[] = {
      {1, 1, 8, 8, 1, 1, 3, 1, 1, 1, 1, 1},             {2, 1, 640, 480, 2, 40, 160, 80, 60, 40, 60, 60},
      {1, 2, 33, 17, 3, 5, 20, 5, 3, 5, 2, 2},          {2, 2, 100, 32, 4, 7, 42, 13, 4, 7, 2, 2},
      {2, 2, 1, 1, 4, 1, 6, 1, 1, 1, 1, 1},             {1, 1, 1600, 1200, 1, 200, 600, 200, 150, 200, 150, 150},
      {2, 1, 176, 120, 2, 11, 44, 22, 15, 11, 15, 15}, {1, 2, 1600, 1200, 3, 200, 800, 200, 150, 200, 75, 75},
  };
  for (const auto &c : cases) {
    for (uint32_t mode : {0u, 2u}) {
      SCOPED_TRACE(testing::Message() << c.h << "x" << c.v << " " << c.width << "x" << c.height << " mode " << mode);
      TestDecoder d;
      d->out_mode = mode;
      std::memset(d->last_dc_val, 0x5A, sizeof(d->last_dc_val));
      TestFrameOutcome o = TestRunFrame(d, FrameWith(c.height, c.width, c.h, c.v, TestJpgStream().Sos3()));
      ASSERT_EQ(0, o.last_error);
      ASSERT_EQ(0, o.start_result);
      EXPECT_EQ((std::vector<int32_t>{c.layout, 8 * c.h, 8 * c.v, c.mcus_across, c.row_blocks, (mode == 2 ? 2 : 3) * c.width,
                                      c.height, c.y_across, c.y_down, c.c_across, c.c_down, c.mcus_across, c.mcus_down}),
                (std::vector<int32_t>{d->mcu_layout, d->mcu_width, d->mcu_height, d->frame_mcus_across, d->row_blocks,
                                      d->out_line_bytes, d->lines_left, d->comp_h_blocks[0], d->comp_v_blocks[0],
                                      d->comp_h_blocks[2], d->comp_v_blocks[2], d->scan_mcus_across, d->scan_mcus_down}));
      std::vector<int32_t> org(c.h * c.v, 0);
      org.insert(org.end(), {1, 2});
      EXPECT_EQ(org, std::vector<int32_t>(d->mcu_org, d->mcu_org + d->mcu_block_count));
      EXPECT_EQ((std::vector<int32_t>{0, 0, 0}), std::vector<int32_t>(d->last_dc_val, d->last_dc_val + 3));
      // Blocks of 128 bytes, back to back from the first 8-byte boundary of init_frame_q.
      const uint8_t *base = d->init_frame_q + (8 - reinterpret_cast<uintptr_t>(d->init_frame_q) % 8) % 8;
      for (int i = 0; i < d->row_blocks; ++i) {
        ASSERT_EQ(base + 128 * i, reinterpret_cast<const uint8_t *>(d->block_seg[i])) << i;
        ASSERT_EQ(64, d->block_zag_end[i]) << i;
      }
      EXPECT_LE(base + 128 * d->row_blocks, d->init_frame_q + sizeof(d->init_frame_q));
    }
  }
}

TEST(JpgScanHeader, TablesSpectralSelectionAndSingleComponentScans) {
  TestDecoder d;
  // Table byte 0x10: DC chrominance, AC luminance; spectral selection 5..10 becomes 0..63 in
  // a sequential frame.
  TestJpgStream scan;
  ASSERT_EQ(0, TestRunFrame(d, FrameWith(16, 16, 2, 2, scan.Sos({{1, 0x00}, {2, 0x11}, {3, 0x10}}, 5, 10, 0x21))).last_error);
  EXPECT_EQ((std::vector<int32_t>{0, 1, 1}), std::vector<int32_t>(d->comp_dc_tab, d->comp_dc_tab + 3));
  EXPECT_EQ((std::vector<int32_t>{2, 3, 2}), std::vector<int32_t>(d->comp_ac_tab, d->comp_ac_tab + 3));
  EXPECT_EQ((std::vector<int32_t>{0, 63, 2, 1}), (std::vector<int32_t>{d->scan_ss, d->scan_se, d->scan_ah, d->scan_al}));
  // Scan order decides the MCU composition.
  ASSERT_EQ(0, TestRunFrame(d, FrameWith(16, 16, 2, 1, TestJpgStream().Sos({{3, 0x11}, {1, 0x00}}))).last_error);
  EXPECT_EQ((std::vector<int32_t>{2, 0, 0}), std::vector<int32_t>(d->mcu_org, d->mcu_org + d->mcu_block_count));
  // One component: one block per MCU over its own block grid (50 x 20 samples).
  ASSERT_EQ(0, TestRunFrame(d, FrameWith(40, 100, 2, 2, TestJpgStream().Sos({{2, 0x11}}))).last_error);
  EXPECT_EQ((std::vector<int32_t>{1}), std::vector<int32_t>(d->mcu_org, d->mcu_org + d->mcu_block_count));
  EXPECT_EQ(7, d->scan_mcus_across);
  EXPECT_EQ(3, d->scan_mcus_down);
}

// After 3 or 4 header bytes (reserve 8 or 16) the reader goes back to the first unread byte
// and takes two entropy-coded bytes from there, a stuffed zero dropped; after all the bytes of
// the input it holds padding only.
TEST(JpgScanHeader, ResyncReturnsToTheFirstUnreadByte) {
  std::vector<uint8_t> bytes = {0x11, 0x22, 0x33, 0x44, 0xFF, 0x00, 0x77, 0x88};
  const struct { size_t length; int reads; uint32_t window; int next; } cases[] = {
      {8, 3, 0x44FF, 6}, {8, 4, 0xFF77, 7}, {3, 3, 0xFFFF, 3}};
  for (const auto &c : cases) {
    TestInput in(bytes, c.length);
    TestDecoder d;
    jpg_reset_input(d.get(), in.data(), in.size());
    EXPECT_EQ(0, TestRunStage(d.get(), [&] { for (int i = 0; i < c.reads; ++i) jpg_read_bits(d.get(), 8); }));
    jpg_resync_bits(d.get());
    EXPECT_EQ(0, d->bit_reserve);
    EXPECT_EQ(0, d->in_overrun);
    EXPECT_EQ(c.window, d->bit_reg & 0xFFFF) << c.reads;
    EXPECT_EQ(in.data() + c.next, d->in_ptr) << c.reads;
  }
}

}  // namespace
