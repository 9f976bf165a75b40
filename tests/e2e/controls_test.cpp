// Stills, picture settings and the private property set through the whole stack.
#include <unistd.h>

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
  // One file per process: ctest runs this test once per processor form at the same time.
  const std::string hive = ::testing::TempDir() + "torvane_e2e_settings_" + std::to_string(getpid()) + ".hive";
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

// The stream class passes on only the items the driver's property-set table advertises, in the
// direction advertised and at the lengths it declares; everything else it answers itself, and
// the driver never sees it (no lookup of its device context).
TEST_F(ControlsTest, TheStreamClassPassesOnOnlyAdvertisedItems) {
  Plug();
  const GUID procamp = LUMAREX_GuidPropsetVideoProcAmp, control = LUMAREX_GuidPropsetVideoControl;
  const GUID custom = LUMAREX_GuidPropsetCustom, unknown = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  const ULONG get = KSPROPERTY_TYPE_GET, set = KSPROPERTY_TYPE_SET;
  const struct {
    const char *what;
    ULONG flags;
    const GUID *set;
    ULONG id, input, data;
    NTSTATUS status;
    ULONG bytes;
    bool reaches;
  } cases[] = {
      {"unknown set", get, &unknown, 0, 40, 40, STATUS_NOT_FOUND, 0, false},
      {"unknown item", get, &control, 4, 40, 40, STATUS_NOT_FOUND, 0, false},
      {"white balance, served but not advertised", get, &procamp, 7, 40, 40, STATUS_NOT_FOUND, 0, false},
      {"caps set", set, &control, KSPROPERTY_VIDEOCONTROL_CAPS, 32, 32, STATUS_NOT_FOUND, 0, false},
      {"mode get", get, &control, KSPROPERTY_VIDEOCONTROL_MODE, 32, 32, STATUS_NOT_FOUND, 0, false},
      {"private 0 set", set, &custom, 0, 32, 32, STATUS_NOT_FOUND, 0, false},
      {"short property", get, &procamp, 0, 36, 40, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"short data", get, &procamp, 0, 40, 39, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"short set", set, &procamp, 0, 40, 39, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"size query", get, &procamp, 0, 40, 0, STATUS_BUFFER_OVERFLOW, 40, false},
      {"frame rate size query", get, &control, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 0,
       STATUS_BUFFER_OVERFLOW, 56, false},
      {"short caps request", get, &control, KSPROPERTY_VIDEOCONTROL_CAPS, 28, 32, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"get and set at once", get | set, &procamp, 0, 40, 40, STATUS_INVALID_PARAMETER, 0, false},
      // The frame-rate list sizes itself: the driver answers its size query.
      {"frame rates size query", get, &control, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 40, 0, STATUS_BUFFER_OVERFLOW, 16,
       true},
      {"frame rates, short list", get, &control, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 40, 15, STATUS_BUFFER_TOO_SMALL,
       0, true},
      {"frame rates", get, &control, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 40, 16, STATUS_SUCCESS, 16, true},
      {"still pin caps", get, &control, KSPROPERTY_VIDEOCONTROL_CAPS, 32, 32, STATUS_SUCCESS, 32, true},
      {"private 0, the status block", get, &custom, 0, 32, 32, STATUS_SUCCESS, 16, true},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> input(c.input, 0), data(64, 0);
    if (c.input >= 28) input[24] = 1;                                 // StreamIndex 1, the still pin
    if (c.input >= 36) input[32] = 320 & 0xFF, input[33] = 320 >> 8;  // Dimensions.cx 320
    const unsigned lookups = HostUsbcamd_LookupCount();
    ULONG bytes = 0xBAD;
    EXPECT_EQ(device_->PropertyRequest(c.flags, *c.set, c.id, input, data.data(), c.data, &bytes), c.status) << c.what;
    EXPECT_EQ(bytes, c.bytes) << c.what;
    EXPECT_EQ(HostUsbcamd_LookupCount() != lookups, c.reaches) << c.what;
  }
}

// An application reads each picture control's description as the stream class answers it from
// the driver's table: the stepped range, and the default, which is what the device holds after
// a bandwidth allocation that found no stored settings.
TEST_F(ControlsTest, AnApplicationReadsTheAdvertisedRangesAndDefaults) {
  Plug();
  ASSERT_TRUE(HostRegistry_ValueNames(device_->PhysicalDeviceObject(), "Settings").empty());
  std::unique_ptr<HostAppStream> stream = OpenCapture(*device_, 320, 240, {});
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  const GUID procamp = LUMAREX_GuidPropsetVideoProcAmp, general = {STATIC_KSPROPTYPESETID_General};
  const ULONG kBasic = KSPROPERTY_TYPE_BASICSUPPORT, kDefaults = KSPROPERTY_TYPE_DEFAULTVALUES;
  // The description, then a stepped range and a list of four LONGs, each behind its header.
  const ULONG kFull = sizeof(KSPROPERTY_DESCRIPTION) + 2 * sizeof(KSPROPERTY_MEMBERSHEADER) +
                      sizeof(KSPROPERTY_STEPPING_LONG) + 4 * sizeof(LONG);
  for (ULONG id : {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
                   KSPROPERTY_VIDEOPROCAMP_SATURATION, KSPROPERTY_VIDEOPROCAMP_CONTRAST}) {
    std::vector<uint8_t> input(sizeof(KSPROPERTY_VIDEOPROCAMP_S), 0);
    std::vector<uint64_t> block(32, 0);
    auto *reply = reinterpret_cast<uint8_t *>(block.data());
    ULONG bytes = 0, access = 0;
    EXPECT_EQ(device_->PropertyRequest(kBasic, procamp, id, input, reply, 0, &bytes), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(bytes, kFull) << id;
    EXPECT_EQ(device_->PropertyRequest(kBasic, procamp, id, input, &access, sizeof(access), &bytes), STATUS_SUCCESS);
    EXPECT_EQ(access, KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET) << id;

    // Walks a description: the stepping and the default it lists.
    auto read = [&](ULONG flags, ULONG *lists, KSPROPERTY_STEPPING_LONG *stepping, LONG *def) {
      ULONG got = 0;
      std::fill(block.begin(), block.end(), 0);
      EXPECT_EQ(device_->PropertyRequest(flags, procamp, id, input, reply, 256, &got), STATUS_SUCCESS) << id;
      KSPROPERTY_DESCRIPTION d;
      memcpy(&d, reply, sizeof(d));
      EXPECT_EQ(got, d.DescriptionSize) << id;
      EXPECT_EQ(d.AccessFlags, access) << id;
      EXPECT_TRUE(memcmp(&d.PropTypeSet.Set, &general, sizeof(GUID)) == 0 && d.PropTypeSet.Id == VT_I4) << id;
      *lists = d.MembersListCount;
      size_t at = sizeof(d);
      for (ULONG i = 0; i < d.MembersListCount && at + sizeof(KSPROPERTY_MEMBERSHEADER) <= got; ++i) {
        KSPROPERTY_MEMBERSHEADER h;
        memcpy(&h, reply + at, sizeof(h));
        at += sizeof(h);
        if (h.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES && h.MembersSize == sizeof(*stepping)) {
          memcpy(stepping, reply + at, sizeof(*stepping));
        } else if (h.MembersFlags == KSPROPERTY_MEMBER_VALUES && (h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0 &&
                   h.MembersSize == sizeof(LONG) && h.MembersCount >= 1) {
          memcpy(def, reply + at, sizeof(*def));
        }
        at += size_t(h.MembersSize) * h.MembersCount;
      }
      EXPECT_EQ(at, got) << id;
    };
    ULONG lists = 0;
    KSPROPERTY_STEPPING_LONG stepping{};
    LONG basicDefault = -1, listedDefault = -2;
    read(kBasic, &lists, &stepping, &basicDefault);
    EXPECT_EQ(lists, 2u) << id;
    EXPECT_EQ(std::tuple(stepping.SteppingDelta, stepping.Bounds.SignedMinimum, stepping.Bounds.SignedMaximum),
              std::tuple(10u, 0, 100)) << id;
    KSPROPERTY_STEPPING_LONG none{};
    read(kDefaults, &lists, &none, &listedDefault);
    EXPECT_EQ(lists, 1u) << "only the default list, " << id;
    EXPECT_EQ(none.SteppingDelta, 0u) << id;
    EXPECT_EQ(listedDefault, basicDefault) << id;
    LONG current = -3;
    EXPECT_EQ(device_->GetVideoProcAmp(id, &current), STATUS_SUCCESS);
    EXPECT_EQ(current, listedDefault) << "the advertised default of " << id << " is what an empty registry gives";
  }
  EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// The capture pin's actual frame rate scales with the width its stream was opened at (half the
// nominal interval at 160, twice at 320, five times otherwise). Opens at changing sizes, and
// opens the class library refuses, which change nothing, tell a recorded width from a stale one.
TEST_F(ControlsTest, TheActualFrameRateFollowsTheWidthTheStreamWasOpenedAt) {
  Plug();
  auto actual = [this](LONGLONG *interval) {
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S record;
    memset(&record, 0, sizeof(record));
    std::vector<uint8_t> input(sizeof(record), 0);  // stream 0, the capture pin
    NTSTATUS status = device_->Property(false, LUMAREX_GuidPropsetVideoControl,
                                        KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, input, &record, sizeof(record), nullptr);
    *interval = record.CurrentActualFrameRate;
    return status;
  };
  LONGLONG interval = 0;
  // An open that fails in the class library (no pool for its frame context) opens nothing.
  std::vector<uint8_t> format = Rgb24Format(640, 480);
  NTSTATUS status = STATUS_SUCCESS;
  HostPool_FailNthAllocation(1);
  EXPECT_FALSE(device_->OpenStream(0, format, &status));
  HostPool_ClearFaults();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(actual(&interval), STATUS_NOT_SUPPORTED) << "no stream is open";

  const struct { int width, height, other; LONGLONG interval; } rounds[] = {
      {160, 120, 640, 500000}, {320, 240, 160, 2000000}, {640, 480, 320, 5000000}, {160, 120, 320, 500000}};
  for (const auto &r : rounds) {
    std::unique_ptr<HostAppStream> stream = OpenCapture(*device_, r.width, r.height, {});
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(actual(&interval), STATUS_SUCCESS);
    EXPECT_EQ(interval, r.interval) << r.width;
    // A second open of the capture pin: the class library refuses it (the pin is taken).
    EXPECT_FALSE(device_->OpenStream(0, Rgb24Format(r.other, r.other * 3 / 4), &status));
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(actual(&interval), STATUS_SUCCESS);
    EXPECT_EQ(interval, r.interval) << r.width << " after a refused open at " << r.other;
    EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  }
}

}  // namespace
}  // namespace e2e
