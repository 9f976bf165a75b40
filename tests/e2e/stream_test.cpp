// Frames through the whole stack equal, byte for byte, the library's own decode and processing
// of the camera's frames, for every output format and size.
#include "e2e/e2e_fixture.h"

#include <thread>

namespace e2e {
namespace {

struct Case {
  int width, height;
  UCHAR format;
};

std::string Name(const Case &c) {
  const char *f = c.format == LUMAREX_FORMAT_RGB24 ? "rgb24" : c.format == LUMAREX_FORMAT_YUY2 ? "yuy2" : "i420";
  return std::string(f) + " " + std::to_string(c.width) + "x" + std::to_string(c.height);
}

class StreamTest : public EndToEndTest {};

TEST_F(StreamTest, EveryFormatAndSizeMatchesTheLibrarysOwnDecodeOfTheCamerasFrames) {
  const Case cases[] = {
      {160, 120, LUMAREX_FORMAT_RGB24}, {320, 240, LUMAREX_FORMAT_RGB24}, {640, 480, LUMAREX_FORMAT_RGB24},
      {320, 240, LUMAREX_FORMAT_YUY2},  {640, 480, LUMAREX_FORMAT_YUY2},  {320, 240, LUMAREX_FORMAT_I420},
      {640, 480, LUMAREX_FORMAT_I420},  {160, 120, LUMAREX_FORMAT_I420},
  };
  Plug();
  for (const Case &c : cases) {
    SCOPED_TRACE(Name(c));
    std::vector<uint8_t> allocation;
    if (c.format == LUMAREX_FORMAT_YUY2) allocation = WithCompression(Rgb24Format(c.width, c.height), kFourCcYuy2, 16);
    if (c.format == LUMAREX_FORMAT_I420) allocation = WithCompression(Rgb24Format(c.width, c.height), kFourCcI420, 12);
    Capture capture = Stream(c.width, c.height, 14, allocation);
    ASSERT_EQ(capture.frames.size(), 14u);
    EXPECT_EQ(capture.stats.delivered, 14u);
    EXPECT_EQ(capture.stats.dropped + capture.stats.overflow + capture.stats.noBuffer, 0u);
    std::vector<std::vector<UCHAR>> expected = ExpectedFrames(capture, c.width, c.height, c.format);
    for (size_t k = 1; k <= capture.frames.size(); ++k) {
      const std::vector<UCHAR> &want = expected[k - 1];
      ASSERT_FALSE(want.empty()) << "frame " << k;
      std::vector<uint8_t> got(capture.frames[k - 1].data.begin(), capture.frames[k - 1].data.begin() + want.size());
      EXPECT_TRUE(got == want) << "frame " << k << " differs";
    }
    // Consecutive raw frames, one per application frame: nothing lost on the way.
    for (size_t k = 1; k < capture.frames.size(); ++k) {
      EXPECT_EQ(capture.frames[k].info.rawIndex, capture.frames[k - 1].info.rawIndex + 1);
    }
  }
}

// Two cameras at once, at different sizes, formats and settings, both allocated before either
// starts: each camera's start command, frames and picture settings are its own.
TEST_F(StreamTest, TwoCamerasStreamSideBySideEachWithItsOwnFramesAndSettings) {
  HostSimCamera otherCamera;
  HostCameraStreamConfig config;
  config.sampling = 420;
  config.quality = 90;
  otherCamera.ConfigureStream(config);
  Plug();
  HostCameraDevice other(otherCamera);
  ASSERT_EQ(other.Arrive(), STATUS_SUCCESS);
  std::vector<uint8_t> yuy2 = WithCompression(Rgb24Format(other, 640, 480), kFourCcYuy2, 16);
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

  int w = 0, h = 0;
  const struct {
    const Capture &capture;
    int width, height;
    UCHAR format;
  } cameras[] = {{a, 320, 240, LUMAREX_FORMAT_RGB24}, {b, 640, 480, LUMAREX_FORMAT_YUY2}};
  for (const auto &c : cameras) {
    SCOPED_TRACE(c.width);
    ASSERT_EQ(c.capture.frames.size(), 16u);
    std::vector<std::vector<UCHAR>> expected = ExpectedFrames(c.capture, c.width, c.height, c.format);
    for (size_t k = 1; k <= c.capture.frames.size(); ++k) {
      ASSERT_FALSE(expected[k - 1].empty()) << "frame " << k << " could not be decoded at its own size";
      EXPECT_TRUE(std::equal(expected[k - 1].begin(), expected[k - 1].end(), c.capture.frames[k - 1].data.begin()))
          << "frame " << k;
    }
  }
  otherCamera.StreamSize(&w, &h);
  EXPECT_EQ(w, 640) << "the second camera was started at its own size";
  EXPECT_EQ(other.Remove(), STATUS_SUCCESS);
}

TEST_F(StreamTest, MjpgPassesTheCamerasJpegDataThroughAfterTheWarmUp) {
  Plug();
  Capture capture = Stream(320, 240, 12, WithCompression(Rgb24Format(320, 240), kFourCcMjpg, 24));
  ASSERT_EQ(capture.frames.size(), 12u);
  for (size_t k = 1; k <= capture.frames.size(); ++k) {
    const HostFrame &frame = capture.frames[k - 1];
    if (k >= 2 && k <= 6) {
      // One 0xFF frame for each warm-up pass the worker counted bad.
      EXPECT_TRUE(std::all_of(frame.data.begin(), frame.data.end(), [](uint8_t b) { return b == 0xFF; })) << k;
      EXPECT_EQ(frame.dataUsed, frame.data.size()) << k;
      continue;
    }
    const std::vector<uint8_t> &raw = capture.raws.at(frame.info.rawIndex);
    std::vector<uint8_t> jpeg(raw.begin() + 80, raw.end());
    ASSERT_LE(jpeg.size(), frame.data.size());
    EXPECT_EQ(frame.dataUsed, jpeg.size()) << "frame " << k << ": the bytes copied";
    EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.end(), frame.data.begin())) << "frame " << k;
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
  }
}

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
  // The raw frames the driver got are the camera's frames, padded to whole packets.
  for (const auto &[index, raw] : capture.raws) {
    const HostSentFrame &frame = sent.at(index - 1);
    ASSERT_GE(raw.size(), frame.raw.size());
    EXPECT_TRUE(std::equal(frame.raw.begin(), frame.raw.end(), raw.begin())) << "raw frame " << index;
    EXPECT_EQ(raw.size() % config.maxPacketSize, 0u);
  }
  std::vector<std::vector<UCHAR>> expected = ExpectedFrames(capture, 320, 240, LUMAREX_FORMAT_RGB24);
  for (size_t k = 8; k <= capture.frames.size(); ++k) {
    std::vector<uint8_t> got(capture.frames[k - 1].data.begin(),
                             capture.frames[k - 1].data.begin() + expected[k - 1].size());
    size_t diffs = 0, first = got.size();
    for (size_t i = 0; i < got.size(); ++i) if (got[i] != expected[k - 1][i]) { ++diffs; if (first == got.size()) first = i; }
    EXPECT_TRUE(got == expected[k - 1]) << "frame " << k << " diffs " << diffs << " first at " << first;
  }
  EXPECT_GT(capture.stats.slots, capture.stats.assembled);
}

}  // namespace
}  // namespace e2e
