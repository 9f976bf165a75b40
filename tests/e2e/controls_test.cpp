// Stills and picture settings through the whole stack: the snapshot button and the still
// property mark frames, property sets change the picture, and the settings saved at stop come
// back in a second session from the saved registry hive.
#include <cstdio>
#include <filesystem>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class ControlsTest : public EndToEndTest {};

TEST_F(ControlsTest, TheSnapshotButtonMarksOneFramePerPress) {
  Plug();
  // Press the button at frame 10 and hold it while the camera sends three frames, then again
  // for two at frame 20. (Held for a number of application frames instead, a press could come
  // and go while the camera sent no packet at all.)
  Capture capture = Stream(320, 240, 30, {}, 2, [this](unsigned k) {
    if (k == 10 || k == 20) camera_.PressButton(k == 10 ? 3 : 2);
  });
  unsigned stills = 0;
  for (const HostFrame &f : capture.frames) stills += f.info.still;
  EXPECT_EQ(stills, 2u) << "a still per press (rising edge), not per frame the button is down";
  EXPECT_EQ(capture.stats.stills, 2u);
  // The marked frames are ones the camera sent with the button down.
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  for (const HostFrame &f : capture.frames) {
    if (f.info.still) {
      ASSERT_LE(f.info.rawIndex, sent.size());
      EXPECT_TRUE(sent[f.info.rawIndex - 1].button) << "raw frame " << f.info.rawIndex;
    }
  }
}

TEST_F(ControlsTest, TheStillPropertyMarksTheNextFrame) {
  Plug();
  std::vector<unsigned> triggeredAt;
  Capture capture = Stream(160, 120, 24, {}, 1, [&](unsigned k) {
    if (k == 8 || k == 16) {
      EXPECT_EQ(device_->TriggerStill(), STATUS_SUCCESS);
      triggeredAt.push_back(k);
    }
  });
  std::vector<uint64_t> stillFrames;
  for (const HostFrame &f : capture.frames) {
    if (f.info.still) stillFrames.push_back(f.sequence);
  }
  ASSERT_EQ(stillFrames.size(), 2u);
  // With one buffer in flight the trigger reaches the frame after the one just received, or the
  // one after that when the camera was already sending it.
  EXPECT_GT(stillFrames[0], 8u);
  EXPECT_LE(stillFrames[0], 10u);
  EXPECT_GT(stillFrames[1], 16u);
  EXPECT_LE(stillFrames[1], 18u);
}

TEST_F(ControlsTest, SettingsChangedByPropertiesAreSavedAtStopAndRestoredInTheNextSession) {
  std::string hive = ::testing::TempDir() + "torvane_e2e_settings.hive";
  std::filesystem::remove(hive);
  LUMAREX_FRAME_SETTINGS changed{};
  {
    Plug();
    NTSTATUS status;
    std::unique_ptr<HostAppStream> stream = device_->OpenStream(0, Rgb24Format(320, 240), &status);
    ASSERT_TRUE(stream);
    // The bandwidth allocation restores the settings; the property sets come after it.
    ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 70), 1);  // the driver's success code
    EXPECT_EQ(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST, 35), 1);
    EXPECT_EQ(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_SATURATION, 80), 1);
    EXPECT_EQ(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 60), 1);
    EXPECT_EQ(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 101), 1);  // out of range: ignored
    LONG value = 0;
    EXPECT_EQ(device_->GetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 70);
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ULONG bytes = 320 * 240 * 3;
    Capture capture;
    unsigned issued = 2;
    for (unsigned i = 0; i < issued; ++i) stream->QueueRead(bytes);
    while (capture.frames.size() < 12) {
      HostFrame frame;
      ASSERT_TRUE(stream->NextFrame(&frame));
      capture.frames.push_back(std::move(frame));
      if (issued < 12) {
        stream->QueueRead(bytes);
        ++issued;
      }
    }
    ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);  // capture stop saves the settings
    for (const HostRawFrameRecord &r : stream->FrameLog()) capture.raws[r.index] = r.raw;
    PDEVICE_CONTEXT dc = Context();
    changed = LUMAREX_FRAME_SETTINGS{dc->g_nBrightness, dc->g_nContrast, dc->g_nSharpness, dc->g_nSaturation,
                                     dc->g_nWhiteBalance};
    capture.settings = changed;
    EXPECT_EQ(changed.Brightness, 70);
    EXPECT_EQ(changed.Contrast, 35);
    EXPECT_EQ(changed.Saturation, 80);
    EXPECT_EQ(changed.Sharpness, 60);
    // The picture is processed with the new settings.
    std::vector<std::vector<UCHAR>> expected = ExpectedFrames(capture, 320, 240, LUMAREX_FORMAT_RGB24);
    for (size_t k = 8; k <= capture.frames.size(); ++k) {
      std::vector<uint8_t> got(capture.frames[k - 1].data.begin(),
                               capture.frames[k - 1].data.begin() + expected[k - 1].size());
      EXPECT_TRUE(got == expected[k - 1]) << "frame " << k;
    }
    stream.reset();
    ASSERT_TRUE(HostRegistry_SaveHive(device_->PhysicalDeviceObject(), hive));
    Unplug();
  }
  HostRegistry_Reset();
  {
    // A new session: a new device object whose hive comes from the file.
    Plug();
    ASSERT_TRUE(HostRegistry_LoadHive(device_->PhysicalDeviceObject(), hive));
    NTSTATUS status;
    std::unique_ptr<HostAppStream> stream = device_->OpenStream(0, Rgb24Format(320, 240), &status);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    PDEVICE_CONTEXT dc = Context();
    EXPECT_EQ(dc->g_nBrightness, changed.Brightness);
    EXPECT_EQ(dc->g_nContrast, changed.Contrast);
    EXPECT_EQ(dc->g_nSaturation, changed.Saturation);
    EXPECT_EQ(dc->g_nSharpness, changed.Sharpness);
    LONG value = 0;
    EXPECT_EQ(device_->GetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 35);
    EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  }
  std::filesystem::remove(hive);
}

TEST_F(ControlsTest, PrivateCommandsReachTheCameraAndRoundTripThroughItsMemory) {
  Plug();
  const GUID custom = LUMAREX_GuidPropsetCustom;
  // Id 9 writes the camera's parameter memory over the bulk pipe, id 1 reads it back.
  std::vector<uint8_t> written(32);
  for (size_t i = 0; i < written.size(); ++i) written[i] = uint8_t(0x30 + i * 7);
  std::vector<uint8_t> input(32, 0);
  ULONG bytes = 0;
  std::vector<uint8_t> buffer = written;
  EXPECT_TRUE(NT_SUCCESS(device_->Property(true, custom, 9, input, buffer.data(), ULONG(buffer.size()), &bytes)));
  std::vector<uint8_t> read(32, 0);
  EXPECT_TRUE(NT_SUCCESS(device_->Property(false, custom, 1, input, read.data(), ULONG(read.size()), &bytes)));
  EXPECT_EQ(read, written);
  // The device properties the application sees include the private set.
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  ASSERT_EQ(device_->GetStreamInfo(&header, &streams), STATUS_SUCCESS);
  EXPECT_EQ(header.NumberOfStreams, 1u);
  EXPECT_GE(header.NumDevPropArrayEntries, 2u);
}

TEST_F(ControlsTest, PrivateReadsReportOnlyBytesTheyFilled) {
  // The camera answers every bulk read with two bytes: what the reply reports beyond them
  // must not be whatever the buffer held before.
  camera_.AnswerBulkRead({STATUS_SUCCESS, {0x11, 0x22}, 0});
  Plug();
  const GUID custom = LUMAREX_GuidPropsetCustom;
  for (ULONG id : {0u, 3u, 5u, 11u}) {
    std::vector<uint8_t> input(32, 0), buffer(32, 0xCC);
    ULONG bytes = 0;
    device_->Property(false, custom, id, input, buffer.data(), ULONG(buffer.size()), &bytes);
    ASSERT_LE(bytes, buffer.size()) << "id " << id;
    EXPECT_EQ(bytes, id == 0 ? 16u : 32u) << "id " << id;
    for (ULONG i = 2; i < bytes; ++i) EXPECT_EQ(buffer[i], 0) << "id " << id << ", byte " << i;
  }
}

}  // namespace
}  // namespace e2e
