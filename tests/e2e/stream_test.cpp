// Frames through the whole stack equal the library's own decode and processing of the camera's
// frames: the larger sizes (the worker tests cover the smallest), two cameras, other encodings, MJPG.
#include "e2e/e2e_fixture.h"

#include <thread>

namespace e2e {
namespace {

class StreamTest : public EndToEndTest {};

TEST_F(StreamTest, LargerSizesMatchTheLibrarysOwnDecodeOfTheCamerasFrames) {
  const struct {
    int width, height;
    UCHAR format;
  } cases[] = {{640, 480, LUMAREX_FORMAT_RGB24}, {320, 240, LUMAREX_FORMAT_YUY2}, {640, 480, LUMAREX_FORMAT_I420}};
  Plug();
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " format " + std::to_string(c.format));
    Capture capture = Stream(c.width, c.height, 14, Allocation(c.width, c.height, c.format));
    ASSERT_EQ(capture.frames.size(), 14u);
    EXPECT_EQ(capture.stats.delivered, 14u);
    EXPECT_EQ(capture.stats.dropped + capture.stats.overflow + capture.stats.noBuffer, 0u);
    ExpectImages(capture, c.width, c.height, c.format);
    // Consecutive raw frames, one per application frame: nothing lost on the way.
    for (size_t k = 1; k < capture.frames.size(); ++k) {
      EXPECT_EQ(capture.frames[k].info.rawIndex, capture.frames[k - 1].info.rawIndex + 1);
    }
  }
}

// Two cameras at different sizes, formats and settings, both allocated before either starts.
TEST_F(StreamTest, TwoCamerasStreamSideBySideEachWithItsOwnFramesAndSettings) {
  HostSimCamera otherCamera;
  HostCameraStreamConfig config;
  config.sampling = 420;
  config.quality = 90;
  otherCamera.ConfigureStream(config);
  Plug();
  HostCameraDevice other(otherCamera);
  ASSERT_EQ(other.Arrive(), STATUS_SUCCESS);
  std::vector<uint8_t> yuy2 = Allocation(other, 640, 480, LUMAREX_FORMAT_YUY2);
  std::unique_ptr<HostAppStream> first = OpenCapture(*device_, 320, 240, {});
  std::unique_ptr<HostAppStream> second = OpenCapture(other, 640, 480, yuy2);
  ASSERT_TRUE(first && second);
  ASSERT_EQ(first->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(second->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  // Set after the allocations, which restore the persisted settings.
  EXPECT_EQ(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 70), 1);
  EXPECT_EQ(other.SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST, 30), 1);
  EXPECT_EQ(other.SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_SATURATION, 85), 1);
  ASSERT_EQ(first->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(second->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  Capture a, b;
  std::thread reader([&] { b = ReadFrames(*second, 640, 480, yuy2, 16); });
  a = ReadFrames(*first, 320, 240, {}, 16);
  reader.join();
  FinishCapture(*device_, std::move(first), &a);
  FinishCapture(other, std::move(second), &b);
  EXPECT_EQ(a.settings.Brightness, 70);
  EXPECT_EQ(b.settings.Contrast, 30);
  ASSERT_EQ(a.frames.size(), 16u);
  ASSERT_EQ(b.frames.size(), 16u);
  ExpectImages(a, 320, 240, LUMAREX_FORMAT_RGB24);
  ExpectImages(b, 640, 480, LUMAREX_FORMAT_YUY2);
  int w = 0, h = 0;
  otherCamera.StreamSize(&w, &h);
  EXPECT_EQ(w, 640) << "the second camera was started at its own size";
  EXPECT_EQ(other.Remove(), STATUS_SUCCESS);
}

// The worker tests cover the pass-through; here what the application is told it got.
TEST_F(StreamTest, MjpgPassesTheCamerasJpegDataThroughAfterTheWarmUp) {
  Plug();
  Capture capture = Stream(320, 240, 12, Allocation(320, 240, LUMAREX_FORMAT_MJPG));
  ASSERT_EQ(capture.frames.size(), 12u);
  for (size_t k = 1; k <= capture.frames.size(); ++k) {
    const HostFrame &frame = capture.frames[k - 1];
    const std::vector<uint8_t> &raw = capture.raws.at(frame.info.rawIndex);
    // One all-FF frame for each warm-up pass the worker counted bad, then the JPEG data.
    const std::vector<uint8_t> want = k >= 2 && k <= 6 ? std::vector<uint8_t>(frame.data.size(), 0xFF)
                                             : std::vector<uint8_t>(raw.begin() + 80, raw.end());
    EXPECT_EQ(frame.dataUsed, want.size()) << "frame " << k;
    EXPECT_TRUE(want.size() <= frame.data.size() && std::equal(want.begin(), want.end(), frame.data.begin())) << k;
  }
}

// 4:2:0, restart markers, APP10: the driver's raw frames are the camera's, padded to whole packets.
TEST_F(StreamTest, TheCamerasFramesArriveAsSentAndTheDriverSeesEverySlot) {
  HostCameraStreamConfig config;
  config.sampling = 420;
  config.quality = 90;
  config.restartInterval = 4;
  config.app10 = true;
  config.frameLogLimit = 64;
  camera_.ConfigureStream(config);
  Plug();
  Capture capture = Stream(320, 240, 12);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  ASSERT_GE(sent.size(), 12u);
  for (const auto &[index, raw] : capture.raws) {
    const HostSentFrame &frame = sent.at(index - 1);
    ASSERT_GE(raw.size(), frame.raw.size());
    EXPECT_TRUE(std::equal(frame.raw.begin(), frame.raw.end(), raw.begin())) << "raw frame " << index;
    EXPECT_EQ(raw.size() % config.maxPacketSize, 0u);
  }
  ExpectImages(capture, 320, 240, LUMAREX_FORMAT_RGB24, 8);
  EXPECT_GT(capture.stats.slots, capture.stats.assembled);
}

}  // namespace
}  // namespace e2e
