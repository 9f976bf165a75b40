// Marker parsing: SOI search, the table section, frame headers, DQT, DRI, APP0 and APP10, and
// every error code a stream can reach, through the entry points jpg_begin_frame and
// jpg_start_decoding.
#include <gtest/gtest.h>

#include <cmath>

#include "jpg_ref_libjpeg.h"
#include "jpg_stream_builder.h"
#include "jpg_test_support.h"

namespace {

std::vector<int> Ramp(int first, int step) {
  std::vector<int> v(64);
  for (int i = 0; i < 64; ++i) v[i] = first + step * i;
  return v;
}

// Frame header and scan: SOI, the given table section, SOF0 (2x1), the usual scan, data, EOI.
std::vector<uint8_t> Frame(const std::vector<uint8_t> &tables) {
  return TestJpgStream().Soi().Raw(tables).Sof0(16, 32).Sos3().Bytes({0x12, 0x34}).Eoi().Data();
}

TEST(JpgMarkers, EveryErrorCodeIsReachedByAStream) {
  const std::vector<uint8_t> block(76, 0x33);
  const std::vector<uint8_t> table(65, 0x01);
  struct Case {
    const char *name;
    std::vector<uint8_t> stream;
    int32_t code;
  };
  const Case cases[] = {
      {"DQT length 1", Frame(TestJpgStream().SegmentWithLength(0xDB, 1, {}).Data()), -203},
      {"DQT table 2", Frame(TestJpgStream().Dqt8(2, Ramp(1, 1)).Data()), -204},
      {"precision 12", TestJpgStream().Soi().Sof(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 12).Data(), -205},
      {"height 0", TestJpgStream().Soi().Sof0(0, 8).Data(), -206},
      {"height 1201", TestJpgStream().Soi().Sof0(1201, 8).Data(), -206},
      {"width 0", TestJpgStream().Soi().Sof0(8, 0).Data(), -207},
      {"width 1601", TestJpgStream().Soi().Sof0(8, 1601).Data(), -207},
      {"SOF length 18", TestJpgStream().Soi().SegmentWithLength(0xC0, 18, {8, 0, 8, 0, 8, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1, 0}).Data(), -209},
      {"APP5 length 1", Frame(TestJpgStream().SegmentWithLength(0xE5, 1, {}).Data()), -210},
      {"APP0 length 1", Frame(TestJpgStream().SegmentWithLength(0xE0, 1, block).Data()), -210},
      {"APP10 length 0", Frame(TestJpgStream().SegmentWithLength(0xEA, 0, block).Data()), -210},
      {"DRI length 5", Frame(TestJpgStream().SegmentWithLength(0xDD, 5, {0, 1, 0}).Data()), -211},
      {"two components", TestJpgStream().Soi().Sof(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 1}}).Data(), -214},
      {"SOF9", TestJpgStream().Soi().Sof(0xC9, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}).Data(), -215},
      {"DAC", Frame(TestJpgStream().Segment(0xCC, {0x00, 0x11}).Data()), -215},
      {"RST0 before the frame", Frame(TestJpgStream().Marker(0xD0).Data()), -216},
      {"TEM", Frame(TestJpgStream().Marker(0x01).Data()), -216},
      {"JPG", Frame(TestJpgStream().Marker(0xC8).Data()), -216},
      {"no SOI", std::vector<uint8_t>(600, 0x00), -217},
      {"SOF2", TestJpgStream().Soi().Sof(0xC2, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}).Data(), -218},
      {"SOF3", TestJpgStream().Soi().Sof(0xC3, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}).Data(), -218},
      {"SOS first", TestJpgStream().Soi().Sos3().Data(), -218},
      {"EOI first", TestJpgStream().Soi().Eoi().Data(), -218},
      {"second SOI", TestJpgStream().Soi().Soi().Data(), -218},
      {"DQT too short", Frame(TestJpgStream().SegmentWithLength(0xDB, 60, table).Data()), -219},
      {"ends inside the frame header", TestJpgStream().Soi().Sof0(8, 8).Data(), 0},
      {"ends before the frame", TestJpgStream().Soi().Dqt8(0, Ramp(1, 1)).Data(), -229},
      {"ends inside an APP0 block", TestJpgStream().Soi().SegmentWithLength(0xE0, 78, {1, 2, 3}).Data(), -229},
      {"quantisation table 2", TestJpgStream().Soi().Sof(0xC0, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 2}, {3, 1, 1, 1}}).Data(), -230},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestDecoder d;
    std::vector<uint8_t> stream = c.stream;
    if (c.code == 0) stream.resize(stream.size() - 1);  // truncate inside the last field
    TestFrameOutcome o = TestRunFrame(d, stream);
    EXPECT_EQ(c.code == 0 ? JPG_ERR_INPUT_END : c.code, o.begin_error);
    EXPECT_EQ(-1, o.start_result);
    EXPECT_EQ(o.begin_error, o.last_error);
  }
}

TEST(JpgMarkers, ScanErrorsComeFromStartDecoding) {
  auto with_scan = [](TestJpgStream scan, int h = 2, int v = 1, int ch = 1, int cv = 1) {
    return TestJpgStream().Soi().Sof(0xC0, 16, 16, {{1, h, v, 0}, {2, ch, cv, 1}, {3, 1, 1, 1}})
        .Raw(scan.Data()).Bytes({0x00, 0x00}).Eoi().Data();
  };
  struct Case {
    const char *name;
    std::vector<uint8_t> stream;
    int32_t code;
  };
  const Case cases[] = {
      {"scan of 0 components", with_scan(TestJpgStream().Sos({})), -212},
      {"scan of 4 components", with_scan(TestJpgStream().Sos({{1, 0}, {2, 0x11}, {3, 0x11}, {4, 0}})), -212},
      {"scan length off by one", with_scan(TestJpgStream().SegmentWithLength(0xDA, 13, {3, 1, 0, 2, 0x11, 3, 0x11, 0, 63, 0, 0})), -212},
      {"unknown component", with_scan(TestJpgStream().Sos({{1, 0}, {2, 0x11}, {9, 0x11}})), -213},
      {"EOI instead of a scan", with_scan(TestJpgStream()), -216},
      {"second frame header", with_scan(TestJpgStream().Sof0(8, 8)), -216},
      {"luminance 3x1", with_scan(TestJpgStream().Sos3(), 3, 1), -226},
      {"luminance 1x4", with_scan(TestJpgStream().Sos3(), 1, 4), -226},
      {"chrominance 2x1", with_scan(TestJpgStream().Sos3(), 2, 2, 2, 1), -226},
      {"chrominance 1x2", with_scan(TestJpgStream().Sos3(), 1, 1, 1, 2), -226},
      {"DC table 2", with_scan(TestJpgStream().Sos({{1, 0x20}, {2, 0x11}, {3, 0x11}})), -231},
      {"AC table 2", with_scan(TestJpgStream().Sos({{1, 0x00}, {2, 0x12}, {3, 0x11}})), -231},
      {"component twice", with_scan(TestJpgStream().Sos({{1, 0x00}, {1, 0x00}, {1, 0x00}})), -232},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestDecoder d;
    TestFrameOutcome o = TestRunFrame(d, c.stream);
    EXPECT_EQ(0, o.begin_error);
    EXPECT_EQ(-1, o.start_result);
    EXPECT_EQ(c.code, o.last_error);
    EXPECT_EQ(0, d->decoding_started);
  }
}

TEST(JpgMarkers, SoiSearch) {
  const std::vector<uint8_t> frame = Frame({});
  // Junk of n bytes, then the frame: found up to 511 bytes of junk (FF D8 as bytes 512 and
  // 513 of the stream), not beyond.
  for (size_t junk : {1u, 2u, 100u, 510u, 511u, 512u, 700u}) {
    SCOPED_TRACE(junk);
    TestDecoder d;
    std::vector<uint8_t> s(junk, 0x5A);
    s.insert(s.end(), frame.begin(), frame.end());
    TestFrameOutcome o = TestRunFrame(d, s);
    EXPECT_EQ(junk <= 511 ? 0 : JPG_ERR_NO_SOI, o.begin_error);
    EXPECT_EQ(junk <= 511 ? 0 : -1, o.start_result);
  }
  // Junk ending in fill bytes still finds the SOI that follows.
  TestDecoder d;
  std::vector<uint8_t> s = {0x00, 0xFF, 0xFF};
  s.insert(s.end(), frame.begin(), frame.end());
  EXPECT_EQ(0, TestRunFrame(d, s).begin_error);
  // An FF D8 found by searching must be followed by a marker.
  EXPECT_EQ(JPG_ERR_NO_SOI, TestRunFrame(d, TestJpgStream().Bytes({0, 0xFF, 0xD8, 0x00}).Raw(frame).Data()).begin_error);
  // A stream that ends during the search reports the end of the input.
  EXPECT_EQ(JPG_ERR_INPUT_END, TestRunFrame(d, std::vector<uint8_t>(40, 0x00)).begin_error);
}

TEST(JpgMarkers, TableSectionIsWalked) {
  TestDecoder d;
  uint8_t dc_before[sizeof(JpgHuffTable)];
  std::memcpy(dc_before, &d->DC_L_HTB, sizeof(dc_before));
  // DHT is passed over unread, APP5 and COM are skipped, fill bytes and stuffed zeros between
  // segments are ignored, SOF1 is accepted like SOF0, DRI is read.
  std::vector<uint8_t> s = TestJpgStream()
                               .Soi()
                               .Dht(0x00, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, {5, 6})
                               .Segment(0xE5, {0xFF, 0xD9, 0xFF})
                               .Segment(0xFE, {'h', 'i'})
                               .Bytes({0xFF, 0x00, 0x77, 0xFF, 0xFF})
                               .Dri(7)
                               .Sof(0xC1, 24, 40, {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}})
                               .Sos3()
                               .Eoi()
                               .Data();
  TestFrameOutcome o = TestRunFrame(d, s);
  EXPECT_EQ(0, o.begin_error);
  EXPECT_EQ(0, o.start_result);
  EXPECT_EQ(0, std::memcmp(dc_before, &d->DC_L_HTB, sizeof(dc_before)));
  EXPECT_EQ(7, d->restart_interval);
  EXPECT_EQ(7, d->restart_countdown);
  EXPECT_EQ(40, jpg_get_width(d.get()));
  EXPECT_EQ(24, jpg_get_height(d.get()));
  // The next frame has no DRI: no restart interval.
  EXPECT_EQ(0, TestRunFrame(d, Frame({})).begin_error);
  EXPECT_EQ(0, d->restart_interval);
}

TEST(JpgMarkers, RejectedFramesKeepWhatWasStored) {
  TestDecoder d;
  TestRunFrame(d, TestJpgStream().Soi().Sof0(1300, 8).Data());
  EXPECT_EQ(1300, d->image_height);
  TestRunFrame(d, TestJpgStream().Soi().Sof(0xC2, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}).Data());
  EXPECT_EQ(1, d->is_progressive);
  // begin_frame clears the code and the progressive flag; a good frame then decodes.
  TestFrameOutcome o = TestRunFrame(d, Frame({}));
  EXPECT_EQ(0, o.begin_error);
  EXPECT_EQ(0, o.start_result);
  EXPECT_EQ(0, d->is_progressive);
}

TEST(JpgDqt, TablesAreStoredScaledInNaturalOrder) {
  TestDecoder d;
  // Two 8-bit tables in one segment (length 132).
  std::vector<uint8_t> payload{0x00};
  for (int i = 0; i < 64; ++i) payload.push_back(static_cast<uint8_t>(1 + i));
  payload.push_back(0x01);
  for (int i = 0; i < 64; ++i) payload.push_back(static_cast<uint8_t>(200 - i));
  std::vector<uint8_t> s = Frame(TestJpgStream().Segment(0xDB, payload).Data());
  ASSERT_EQ(132, s[4] << 8 | s[5]);
  ASSERT_EQ(0, TestRunFrame(d, s).last_error);

  RefJpegHeader ref = RefJpeg_ReadHeader(s);
  for (int t = 0; t < 2; ++t) {
    for (int z = 0; z < 64; ++z) {
      // The quantiser at natural position z, independently: from libjpeg when present, else
      // from the zig-zag walk of the payload.
      int q = ref.ok ? ref.quant[t][z] : -1;
      if (!ref.ok) {
        for (int i = 0; i < 64; ++i) if (jpg_zigzag[i] == z) q = payload[1 + 65 * t + i];
      }
      long scale = jpg_aan_scales[z];
      EXPECT_EQ((q * scale + 2048) >> 12, d->quant[t][z]) << t << " " << z;
    }
  }
}

TEST(JpgDqt, LengthsAndPrecisions) {
  TestDecoder d;
  int16_t defaults[2][64];
  std::memcpy(defaults, d->quant_store, sizeof(defaults));
  // Length 2: nothing stored, accepted.
  EXPECT_EQ(0, TestRunFrame(d, Frame(TestJpgStream().SegmentWithLength(0xDB, 2, {}).Data())).last_error);
  EXPECT_EQ(0, std::memcmp(defaults, d->quant_store, sizeof(defaults)));
  // A 16-bit table in a segment of length 67: stored, then -219.
  std::vector<int> big = Ramp(300, 1000);
  std::vector<uint8_t> body = TestJpgStream().Dqt16(1, big).Data();
  std::vector<uint8_t> payload(body.begin() + 4, body.end());
  TestFrameOutcome o = TestRunFrame(d, Frame(TestJpgStream().SegmentWithLength(0xDB, 67, payload).Data()));
  EXPECT_EQ(JPG_ERR_DQT_SHORT, o.begin_error);
  for (int i = 0; i < 64; ++i) {
    int z = jpg_zigzag[i];
    EXPECT_EQ(static_cast<int16_t>(((static_cast<long>(big[i]) * jpg_aan_scales[z] + 2048) >> 12) & 0xFFFF),
              d->quant[1][z]);
  }
  EXPECT_EQ(0, std::memcmp(defaults[0], d->quant_store[0], sizeof(defaults[0])));
}

TEST(JpgDqt, TablesPersistUntilInit) {
  TestDecoder d;
  int16_t defaults[2][64];
  std::memcpy(defaults, d->quant_store, sizeof(defaults));
  ASSERT_EQ(0, TestRunFrame(d, Frame(TestJpgStream().Dqt8(0, Ramp(16, 0)).Data())).last_error);
  EXPECT_EQ(64, d->quant[0][0]);
  // A frame without DQT keeps the table; a DQT between SOF and SOS counts too.
  ASSERT_EQ(0, TestRunFrame(d, Frame({})).last_error);
  EXPECT_EQ(64, d->quant[0][0]);
  ASSERT_EQ(0, TestRunFrame(d, TestJpgStream().Soi().Sof0(8, 8).Dqt8(1, Ramp(16, 0)).Sos3().Eoi().Data()).last_error);
  EXPECT_EQ(64, d->quant[1][0]);
  jpg_init(d.get());
  EXPECT_EQ(0, std::memcmp(defaults, d->quant_store, sizeof(defaults)));
}

TEST(JpgAppSegments, ParameterBlock) {
  std::vector<uint8_t> block(76);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 3 + 1);
  auto le32 = [&](size_t at) {
    return uint32_t(block[at]) | uint32_t(block[at + 1]) << 8 | uint32_t(block[at + 2]) << 16 |
           uint32_t(block[at + 3]) << 24;
  };
  auto expect_block = [&](TestDecoder &d) {
    EXPECT_EQ(le32(0), d->app_params_a[0]);
    EXPECT_EQ(le32(4), d->app_params_a[1]);
    EXPECT_EQ(le32(8), d->app_params_a[3]);  // third and fourth words crossed
    EXPECT_EQ(le32(12), d->app_params_a[2]);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(le32(16 + 4 * i), d->app_params_b[i]);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(block[28 + 2 * i] | block[29 + 2 * i] << 8, d->app_params_c[i]);
  };
  std::vector<uint8_t> short_block(block.begin(), block.end() - 1);
  std::vector<uint8_t> app10 = {0xAB, 0xCD};
  app10.insert(app10.end(), block.begin(), block.end());
  std::vector<uint8_t> app10_short(app10.begin(), app10.end() - 1);

  struct Case {
    const char *name;
    int code;
    std::vector<uint8_t> payload;
    bool fills;
  };
  const Case cases[] = {
      {"APP0 length 77", 0xE0, short_block, false},
      {"APP0 length 78", 0xE0, block, true},
      {"APP0 with trailing bytes", 0xE0, TestJpgStream().Raw(block).Bytes({0xFF, 0xD9}).Data(), true},
      {"APP10 length 79", 0xEA, app10_short, false},
      {"APP10 length 80", 0xEA, app10, true},
      {"APP10 with trailing bytes", 0xEA, TestJpgStream().Raw(app10).Bytes({1, 2, 3}).Data(), true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestDecoder d;
    std::memset(d->app_params_a, 0xEE, sizeof(d->app_params_a));
    // The segment is followed at once by the frame header: it must end exactly where its
    // length says.
    TestFrameOutcome o = TestRunFrame(d, Frame(TestJpgStream().Segment(c.code, c.payload).Data()));
    EXPECT_EQ(0, o.last_error);
    if (c.fills) {
      expect_block(d);
      // The block stays for frames that carry none.
      EXPECT_EQ(0, TestRunFrame(d, Frame({})).last_error);
      expect_block(d);
    } else {
      EXPECT_EQ(0xEEEEEEEEu, d->app_params_a[0]);
    }
  }
}

}  // namespace
