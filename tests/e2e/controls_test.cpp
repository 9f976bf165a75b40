// Stills, picture settings and the private property set through the whole stack.
#include <filesystem>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class ControlsTest : public EndToEndTest {};

TEST_F(ControlsTest, TheSnapshotButtonMarksOneFramePerPress) {
  Plug();
  // Held while the camera sends three frames from frame 10, then two from frame 20 (held for a
  // number of application frames instead, a press could come and go with no packet sent).
  Capture capture = Stream(320, 240, 30, {}, 2, [this](unsigned k) {
    if (k == 10 || k == 20) camera_.PressButton(k == 10 ? 3 : 2);
  });
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  unsigned stills = 0;
  for (const HostFrame &f : capture.frames) {
    if (!f.info.still) continue;
    ++stills;
    ASSERT_LE(f.info.rawIndex, sent.size());
    EXPECT_TRUE(sent[f.info.rawIndex - 1].button) << "raw frame " << f.info.rawIndex << " was sent with the button up";
  }
  EXPECT_EQ(stills, 2u) << "a still per press (rising edge), not per frame the button is down";
  EXPECT_EQ(capture.stats.stills, 2u);
}

TEST_F(ControlsTest, TheStillPropertyMarksTheNextFrame) {
  Plug();
  Capture capture = Stream(160, 120, 24, {}, 1, [&](unsigned k) {
    if (k == 8 || k == 16) { EXPECT_EQ(device_->TriggerStill(), STATUS_SUCCESS); }
  });
  std::vector<uint64_t> stills;
  for (const HostFrame &f : capture.frames) {
    if (f.info.still) stills.push_back(f.sequence);
  }
  // With one buffer in flight: the frame after the one received, or the next if already on its way.
  ASSERT_EQ(stills.size(), 2u);
  EXPECT_TRUE(stills[0] > 8 && stills[0] <= 10) << stills[0];
  EXPECT_TRUE(stills[1] > 16 && stills[1] <= 18) << stills[1];
}

TEST_F(ControlsTest, SettingsChangedByPropertiesAreSavedAtStopAndRestoredInTheNextSession) {
  const std::string hive = ::testing::TempDir() + "torvane_e2e_settings.hive";
  std::filesystem::remove(hive);
  Plug();
  std::unique_ptr<HostAppStream> stream = OpenCapture(*device_, 320, 240, {});
  ASSERT_TRUE(stream);
  // The bandwidth allocation restores the settings; the property sets come after it.
  ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  const struct {
    ULONG property;
    LONG value;
  } sets[] = {{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 70}, {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 35},
              {KSPROPERTY_VIDEOPROCAMP_SATURATION, 80}, {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 60},
              {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 101}};  // out of range: ignored
  for (const auto &s : sets) EXPECT_EQ(device_->SetVideoProcAmp(s.property, s.value), 1);  // the driver's success
  LONG value = 0;
  EXPECT_EQ(device_->GetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 70);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  Capture capture = ReadFrames(*stream, 320, 240, {}, 12, 2);
  FinishCapture(*device_, std::move(stream), &capture);  // capture stop saves the settings
  const LUMAREX_FRAME_SETTINGS changed = capture.settings;
  EXPECT_EQ(changed.Brightness, 70);
  EXPECT_EQ(changed.Contrast, 35);
  EXPECT_EQ(changed.Saturation, 80);
  EXPECT_EQ(changed.Sharpness, 60);
  ExpectImages(capture, 320, 240, LUMAREX_FORMAT_RGB24, 8);  // processed with the new settings
  ASSERT_TRUE(HostRegistry_SaveHive(device_->PhysicalDeviceObject(), hive));
  Unplug();
  HostRegistry_Reset();

  // A new session: a new device object whose hive comes from the file.
  Plug();
  ASSERT_TRUE(HostRegistry_LoadHive(device_->PhysicalDeviceObject(), hive));
  stream = OpenCapture(*device_, 320, 240, {});
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  PDEVICE_CONTEXT dc = Context();
  EXPECT_EQ(dc->g_nBrightness, changed.Brightness);
  EXPECT_EQ(dc->g_nContrast, changed.Contrast);
  EXPECT_EQ(dc->g_nSaturation, changed.Saturation);
  EXPECT_EQ(dc->g_nSharpness, changed.Sharpness);
  EXPECT_EQ(device_->GetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 35);
  EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  std::filesystem::remove(hive);
}

// Id 9 writes the camera's parameter memory and id 1 reads it back; bytes a reply reports beyond
// what the camera sent read as zeros, not as whatever the buffer held.
TEST_F(ControlsTest, PrivateCommandsReachTheCameraAndReadsReportOnlyWhatTheyFilled) {
  Plug();
  std::vector<uint8_t> written(32), input(32, 0), read(32, 0);
  for (size_t i = 0; i < written.size(); ++i) written[i] = uint8_t(0x30 + i * 7);
  std::vector<uint8_t> buffer = written;
  ULONG bytes = 0;
  EXPECT_TRUE(NT_SUCCESS(device_->Property(true, LUMAREX_GuidPropsetCustom, 9, input, buffer.data(), 32, &bytes)));
  EXPECT_TRUE(NT_SUCCESS(device_->Property(false, LUMAREX_GuidPropsetCustom, 1, input, read.data(), 32, &bytes)));
  EXPECT_EQ(read, written);
  camera_.AnswerBulkRead({STATUS_SUCCESS, {0x11, 0x22}, 0});
  for (ULONG id : {0u, 3u, 5u, 11u}) {
    buffer.assign(32, 0xCC);
    device_->Property(false, LUMAREX_GuidPropsetCustom, id, input, buffer.data(), 32, &bytes);
    EXPECT_EQ(bytes, id == 0 ? 16u : 32u) << "id " << id;
    for (ULONG i = 2; i < std::min<ULONG>(bytes, 32); ++i) EXPECT_EQ(buffer[i], 0) << "id " << id << ", byte " << i;
  }
}

}  // namespace
}  // namespace e2e
