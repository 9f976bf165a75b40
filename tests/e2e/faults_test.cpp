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
