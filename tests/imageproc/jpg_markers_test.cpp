// Marker parsing through the entry points: error codes, SOI search, table section, DQT, APP blocks.
#include <gtest/gtest.h>

#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

const std::vector<TestFrameComponent> kThree = {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}};

// SOI, the given table section, SOF0 (2x1), the usual scan, data, EOI.
std::vector<uint8_t> Frame(const TestJpgStream &tables) {
  return TestJpgStream().Soi().Raw(tables.Data()).Sof0(16, 32).Sos3().Bytes({0x12, 0x34}).Eoi().Data();
}
TestJpgStream S() { return TestJpgStream(); }

// Header errors come from jpg_begin_frame, scan errors from jpg_start_decoding. The SOI is found
// after up to 511 bytes of junk, which may end in fill bytes, and only when a marker follows it.
TEST(JpgMarkers, EveryErrorCodeIsReachedByAStream) {
  const std::vector<uint8_t> block(76, 0x33);
  auto with_scan = [](const TestJpgStream &scan, int h = 2, int v = 1, int ch = 1, int cv = 1) {
    return S().Soi().Sof(0xC0, 16, 16, {{1, h, v, 0}, {2, ch, cv, 1}, {3, 1, 1, 1}}).Raw(scan.Data()).Bytes({0, 0}).Eoi().Data();
  };
  auto junk = [](std::vector<uint8_t> bytes) { return S().Raw(bytes).Raw(Frame(S())).Data(); };
  const struct { const char *name; std::vector<uint8_t> stream; int32_t code; bool scan = false; } cases[] = {
      {"1 byte of junk", junk({0x5A}), 0},
      {"511 bytes of junk", junk(std::vector<uint8_t>(511, 0x5A)), 0},
      {"512 bytes of junk", junk(std::vector<uint8_t>(512, 0x5A)), -217},
      {"junk ending in fill bytes", junk({0x00, 0xFF, 0xFF}), 0},
      {"FF D8 in junk without a marker after it", junk({0x00, 0xFF, 0xD8, 0x00}), -217},
      {"ends during the SOI search", std::vector<uint8_t>(40, 0x00), -229},
      {"DQT length 1", Frame(S().SegmentWithLength(0xDB, 1, {})), -203},
      {"DQT table 2", Frame(S().Dqt(2, std::vector<int>(64, 1))), -204},
      {"precision 12", S().Soi().Sof(0xC0, 8, 8, kThree, 12).Data(), -205},
      {"height 0", S().Soi().Sof0(0, 8).Data(), -206},
      {"height 1201", S().Soi().Sof0(1201, 8).Data(), -206},
      {"width 0", S().Soi().Sof0(8, 0).Data(), -207},
      {"width 1601", S().Soi().Sof0(8, 1601).Data(), -207},
      {"SOF length 18", S().Soi().SegmentWithLength(0xC0, 18, {8, 0, 8, 0, 8, 3, 1, 17, 0, 2, 17, 1, 3, 17, 1, 0}).Data(), -209},
      {"APP5 length 1", Frame(S().SegmentWithLength(0xE5, 1, {})), -210},
      {"APP0 length 1", Frame(S().SegmentWithLength(0xE0, 1, block)), -210},
      {"APP10 length 0", Frame(S().SegmentWithLength(0xEA, 0, block)), -210},
      {"DRI length 5", Frame(S().SegmentWithLength(0xDD, 5, {0, 1, 0})), -211},
      {"two components", S().Soi().Sof(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 1}}).Data(), -214},
      {"SOF9", S().Soi().Sof(0xC9, 8, 8, kThree).Data(), -215},
      {"DAC", Frame(S().Segment(0xCC, {0x00, 0x11})), -215},
      {"RST0 before the frame", Frame(S().Marker(0xD0)), -216},
      {"TEM", Frame(S().Marker(0x01)), -216},
      {"JPG", Frame(S().Marker(0xC8)), -216},
      {"no SOI", std::vector<uint8_t>(600, 0x00), -217},
      {"SOF2", S().Soi().Sof(0xC2, 8, 8, kThree).Data(), -218},
      {"SOF3", S().Soi().Sof(0xC3, 8, 8, kThree).Data(), -218},
      {"SOS first", S().Soi().Sos3().Data(), -218},
      {"EOI first", S().Soi().Eoi().Data(), -218},
      {"second SOI", S().Soi().Soi().Data(), -218},
      {"DQT too short", Frame(S().SegmentWithLength(0xDB, 60, std::vector<uint8_t>(65, 1))), -219},
      {"ends inside the frame header", S().Soi().SegmentWithLength(0xC0, 17, {8, 0, 8, 0, 8, 3}).Data(), -229},
      {"ends before the frame", S().Soi().Dqt(0, std::vector<int>(64, 1)).Data(), -229},
      {"ends inside an APP0 block", S().Soi().SegmentWithLength(0xE0, 78, {1, 2, 3}).Data(), -229},
      {"quantisation table 2", S().Soi().Sof(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 2}, {3, 1, 1, 1}}).Data(), -230},
      {"scan of 0 components", with_scan(S().Sos({})), -212, true},
      {"scan of 4 components", with_scan(S().Sos({{1, 0}, {2, 0x11}, {3, 0x11}, {4, 0}})), -212, true},
      {"scan length off by one", with_scan(S().SegmentWithLength(0xDA, 13, {3, 1, 0, 2, 0x11, 3, 0x11, 0, 63, 0, 0})), -212, true},
      {"unknown component", with_scan(S().Sos({{1, 0}, {2, 0x11}, {9, 0x11}})), -213, true},
      {"EOI instead of a scan", with_scan(S()), -216, true},
      {"second frame header", with_scan(S().Sof0(8, 8)), -216, true},
      {"luminance 3x1", with_scan(S().Sos3(), 3, 1), -226, true},
      {"luminance 1x4", with_scan(S().Sos3(), 1, 4), -226, true},
      {"chrominance 2x1", with_scan(S().Sos3(), 2, 2, 2, 1), -226, true},
      {"chrominance 1x2", with_scan(S().Sos3(), 1, 1, 1, 2), -226, true},
      {"DC table 2", with_scan(S().Sos({{1, 0x20}, {2, 0x11}, {3, 0x11}})), -231, true},
      {"AC table 2", with_scan(S().Sos({{1, 0x00}, {2, 0x12}, {3, 0x11}})), -231, true},
      {"component twice", with_scan(S().Sos({{1, 0x00}, {1, 0x00}, {1, 0x00}})), -232, true},
  };
  for (const auto &c : cases) {
    TestDecoder d;
    TestFrameOutcome o = TestRunFrame(d, c.stream);
    EXPECT_EQ((std::vector<int32_t>{c.scan ? 0 : c.code, c.code == 0 ? 0 : -1, c.code, c.code == 0}),
              (std::vector<int32_t>{o.begin_error, o.start_result, o.last_error, d->decoding_started})) << c.name;
  }
}

// DHT is passed over unread, APP5 and COM are skipped, fill bytes and stuffed zeros between
// segments are ignored, SOF1 is taken like SOF0, DRI is read and holds for its frame only.
TEST(JpgMarkers, TableSectionIsWalked) {
  TestDecoder d;
  std::vector<uint8_t> dc_table(reinterpret_cast<uint8_t *>(&d->DC_L_HTB), reinterpret_cast<uint8_t *>(&d->DC_L_HTB + 1));
  std::vector<uint8_t> dht = {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 5, 6};
  EXPECT_EQ(0, TestRunFrame(d, S().Soi().Segment(0xC4, dht).Segment(0xE5, {0xFF, 0xD9, 0xFF}).Segment(0xFE, {'h', 'i'})
                                   .Bytes({0xFF, 0x00, 0x77, 0xFF, 0xFF}).Dri(7)
                                   .Sof(0xC1, 24, 40, {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}).Sos3().Eoi().Data()).last_error);
  EXPECT_EQ(0, std::memcmp(dc_table.data(), &d->DC_L_HTB, dc_table.size()));
  EXPECT_EQ((std::vector<int32_t>{7, 7, 40, 24, 1}), (std::vector<int32_t>{d->restart_interval, d->restart_countdown, d->image_width,
                                                                           d->image_height, d->decoding_started}));
  // Progressive is rejected with its flag set; the next frame clears it, and has no DRI.
  TestRunFrame(d, S().Soi().Sof(0xC2, 8, 8, kThree).Data());
  EXPECT_EQ(1, d->is_progressive);
  EXPECT_EQ(0, TestRunFrame(d, Frame(S())).start_result);
  EXPECT_EQ(0, d->is_progressive);
  EXPECT_EQ(0, d->restart_interval);
}

// Tables are stored in natural order, scaled by 16384 a(u) a(v) with 2 fraction bits (worked
// numbers), even when the segment then proves too short; they stay for later frames and go
// back to the defaults at init.
TEST(JpgDqt, TablesAreStoredScaledAndPersistUntilInit) {
  TestDecoder d;
  int16_t defaults[2][64];
  std::memcpy(defaults, d->quant_store, sizeof(defaults));
  std::vector<uint8_t> two{0x00};  // two 8-bit tables in one segment: 1 + i and 200 - i
  for (int i = 0; i < 129; ++i) two.push_back(static_cast<uint8_t>(i < 64 ? 1 + i : i == 64 ? 1 : 265 - i));
  ASSERT_EQ(0, TestRunFrame(d, Frame(S().SegmentWithLength(0xDB, 2, {}).Segment(0xDB, two))).last_error);
  ASSERT_EQ(0, TestRunFrame(d, Frame(S())).last_error);  // a frame without DQT keeps them
  const int16_t *q0 = d->quant[0], *q1 = d->quant[1];
  EXPECT_EQ((std::vector<int>{4, 11, 17, 38, 19, 800, 1508, 42}),
            (std::vector<int>{q0[0], q0[1], q0[8], q0[9], q0[63], q1[0], q1[9], q1[63]}));
  std::vector<int> wide(64);  // a 16-bit table in a segment of length 67; 65535 x 4 keeps its low 16 bits
  for (int i = 0; i < 64; ++i) wide[i] = i == 0 ? 65535 : 300 + 1000 * i;
  std::vector<uint8_t> body = S().Dqt(1, wide, true).Data();
  EXPECT_EQ(JPG_ERR_DQT_SHORT, TestRunFrame(d, Frame(S().SegmentWithLength(0xDB, 67, {body.begin() + 4, body.end()}))).last_error);
  EXPECT_EQ((std::vector<int>{4, -4, 7213, 12761}), (std::vector<int>{q0[0], q1[0], q1[1], q1[8]}));
  ASSERT_EQ(0, TestRunFrame(d, S().Soi().Sof0(8, 8).Dqt(0, std::vector<int>(64, 16)).Sos3().Eoi().Data()).last_error);
  EXPECT_EQ(64, d->quant[0][0]);  // a DQT after SOF counts too
  jpg_init(d.get());
  EXPECT_EQ(0, std::memcmp(defaults, d->quant_store, sizeof(defaults)));
}

// The 76-byte block, little-endian, its third and fourth words crossed; read only when the
// segment holds all of it, and kept for frames that carry none.
TEST(JpgAppSegments, ParameterBlock) {
  std::vector<uint8_t> block(76);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 3 + 1);
  auto le = [&](size_t at, int n) { uint32_t v = 0; for (int i = n; i-- > 0;) v = v << 8 | block[at + i]; return v; };
  const std::vector<uint8_t> app10 = S().Bytes({0xAB, 0xCD}).Raw(block).Data();
  const struct { const char *name; int code; std::vector<uint8_t> payload; bool fills; } cases[] = {
      {"APP0 length 77", 0xE0, {block.begin(), block.end() - 1}, false},
      {"APP0 length 78", 0xE0, block, true},
      {"APP0 with trailing bytes", 0xE0, S().Raw(block).Bytes({0xFF, 0xD9}).Data(), true},
      {"APP10 length 79", 0xEA, {app10.begin(), app10.end() - 1}, false},
      {"APP10 length 80", 0xEA, app10, true},
      {"APP10 with trailing bytes", 0xEA, S().Raw(app10).Bytes({1, 2, 3}).Data(), true},
  };
  for (const auto &c : cases) {
    TestDecoder d;
    std::memset(d->app_params_a, 0xEE, sizeof(d->app_params_a));
    // The frame header follows at once: the segment must end exactly where its length says.
    EXPECT_EQ(0, TestRunFrame(d, Frame(S().Segment(c.code, c.payload))).last_error) << c.name;
    for (int frame = 0; frame < 2 && c.fills; ++frame) {
      EXPECT_EQ((std::vector<uint32_t>{le(0, 4), le(4, 4), le(12, 4), le(8, 4), le(16, 4), le(20, 4), le(24, 4)}),
                (std::vector<uint32_t>{d->app_params_a[0], d->app_params_a[1], d->app_params_a[2], d->app_params_a[3],
                                       d->app_params_b[0], d->app_params_b[1], d->app_params_b[2]})) << c.name;
      for (int i = 0; i < 24; ++i) EXPECT_EQ(le(28 + 2 * i, 2), d->app_params_c[i]) << c.name;
      EXPECT_EQ(0, TestRunFrame(d, Frame(S())).last_error);
    }
    if (!c.fills) EXPECT_EQ(0xEEEEEEEEu, d->app_params_a[0]) << c.name;
  }
}

}  // namespace
