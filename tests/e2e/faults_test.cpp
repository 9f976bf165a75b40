// Faults on the way from the camera, over long streams: every kind is survived without a crash
// or a leak, lost frames are not delivered, and the application gets the previous image where
// a frame could not be used.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct FaultCase {
  HostFault fault;
  unsigned every;
};

class FaultsTest : public EndToEndTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultsTest, LongStreamSurvivesAndDeliversThePreviousImageWhereAFrameIsLost) {
  const FaultCase c = GetParam();
  HostCameraStreamConfig config;
  config.faultEvery[unsigned(c.fault)] = c.every;
  config.frameLogLimit = 256;
  camera_.ConfigureStream(config);
  Plug();
  const unsigned frames = 90;
  Capture capture = Stream(160, 120, frames);
  ASSERT_EQ(capture.frames.size(), frames);
  unsigned faulty = 0;
  for (const HostSentFrame &f : camera_.SentFrames()) faulty += (f.faults & (1u << unsigned(c.fault))) != 0;
  EXPECT_GE(faulty, frames / c.every - 1) << "the camera injected the fault";
  if (c.fault == HostFault::ShortPacket || c.fault == HostFault::UsbError) {
    // The driver marks the frame for dropping; the class library never hands it over.
    EXPECT_GE(capture.stats.dropped, faulty - 1);
  } else {
    // These arrive whole (or what is left of them) and the driver deals with them.
    EXPECT_EQ(capture.stats.dropped, 0u);
  }
  EXPECT_GT(ExpectImages(capture, 160, 120, LUMAREX_FORMAT_RGB24, 8, false), frames / 2);
  // Corrupt data and frames of another size fail to decode and are counted; a truncated frame
  // decodes (the decoder reads past its end as 1-bits) and shows what arrived.
  if (c.fault == HostFault::CorruptJpeg || c.fault == HostFault::WrongSize) {
    EXPECT_GT(Context()->g_nBadFrames, 5u) << "decode failures are counted";
  }
}

INSTANTIATE_TEST_SUITE_P(EachKind, FaultsTest,
                         ::testing::Values(FaultCase{HostFault::ShortPacket, 5}, FaultCase{HostFault::UsbError, 4},
                                           FaultCase{HostFault::CorruptJpeg, 3}, FaultCase{HostFault::TruncatedFrame, 4},
                                           FaultCase{HostFault::WrongSize, 5}),
                         [](const auto &info) { std::string n = HostFault_Name(info.param.fault); return n.substr(0, n.find('-')); });

// A still must end on a frame the application gets: every trigger and every press of the
// camera's button gives exactly one still frame, whether the camera's frames are damaged on the
// way (the driver drops them) or the class library drops frames itself.
struct StillCase {
  const char *what;
  HostFault fault;
  unsigned faultEvery;  // 0: none
  unsigned dropEvery;   // the class library's own drops
};

class StillsTest : public EndToEndTest, public ::testing::WithParamInterface<StillCase> {};

TEST_P(StillsTest, EachTriggerAndPressEndsOnADeliveredFrame) {
  const StillCase c = GetParam();
  HostCameraStreamConfig config;
  if (c.faultEvery != 0) config.faultEvery[unsigned(c.fault)] = c.faultEvery;
  camera_.ConfigureStream(config);
  HostDeviceOptions options;
  options.dropEvery = c.dropEvery;
  Plug(options);
  // After these application frames: a software trigger, a press of the button (held while the
  // camera sends one whole frame), or both at once.
  const std::map<unsigned, std::pair<bool, bool>> events = {
      {8, {true, false}}, {12, {false, true}}, {16, {true, false}}, {21, {false, true}}, {27, {true, true}}};
  unsigned expected = 0;
  for (const auto &e : events) expected += e.second.first + e.second.second;
  Capture capture = Stream(160, 120, 40, {}, 3, [&](unsigned k) {
    auto e = events.find(k);
    if (e == events.end()) return;
    if (e->second.first) EXPECT_EQ(device_->TriggerStill(), STATUS_SUCCESS);
    if (e->second.second) camera_.PressButton(1);
  });
  ASSERT_EQ(capture.frames.size(), 40u);
  unsigned stills = 0;
  for (const HostFrame &f : capture.frames) stills += f.info.still;
  EXPECT_EQ(stills, expected);
  EXPECT_EQ(capture.stats.stills, expected);
  // Frames were dropped meanwhile (by the driver, or by the class library as if no read waited).
  unsigned dropped = 0;
  for (const HostRawFrameRecord &r : capture.log) {
    dropped += r.fate == (c.dropEvery != 0 && c.faultEvery == 0 ? HostRawFrameRecord::NoBuffer : HostRawFrameRecord::Dropped);
  }
  EXPECT_GE(dropped, 40u / std::max(c.faultEvery, c.dropEvery) - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Drops, StillsTest,
    ::testing::Values(StillCase{"every_second_frame_short", HostFault::ShortPacket, 2, 0},
                      StillCase{"usb_errors", HostFault::UsbError, 3, 0},
                      StillCase{"class_library_drops", HostFault::ShortPacket, 0, 3},
                      StillCase{"both", HostFault::ShortPacket, 3, 4}),
    [](const auto &info) { return std::string(info.param.what); });

// Until a frame has decoded since the start there is no picture: the application gets the
// blank frame of its format, never what the image buffer happens to hold.
TEST_F(EndToEndTest, NoFrameDecodedSinceTheStartGivesBlankFramesInEveryFormat) {
  HostCameraStreamConfig config;
  config.faultEvery[unsigned(HostFault::WrongSize)] = 1;
  camera_.ConfigureStream(config);
  Plug();
  for (UCHAR format : {LUMAREX_FORMAT_RGB24, LUMAREX_FORMAT_YUY2, LUMAREX_FORMAT_I420}) {
    SCOPED_TRACE(int(format));
    Capture capture = Stream(160, 120, 12, Allocation(160, 120, format));
    ASSERT_EQ(capture.frames.size(), 12u);
    std::vector<UCHAR> blank = BlankFrame(160, 120, format);
    for (size_t k = 1; k <= capture.frames.size(); ++k) {
      EXPECT_TRUE(std::equal(blank.begin(), blank.end(), capture.frames[k - 1].data.begin())) << "frame " << k;
    }
  }
}

}  // namespace
}  // namespace e2e
