// The picture-setting (VideoProcAmp) and video-control properties: reply records, statuses and
// byte counts, the still request they raise, and buffers too short for the reply.
#include "controls_fixture.h"

namespace {

using namespace controls;

class VideoPropertyTest : public ControlsTest {
 protected:
  NTSTATUS ProcAmp(bool set, ULONG id, LONG value, size_t dataSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
    request_ = std::make_unique<PropertyRequest>(id, set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET,
                                                 sizeof(KSPROPERTY_VIDEOPROCAMP_S), dataSize);
    if (dataSize >= sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
      request_->Data<KSPROPERTY_VIDEOPROCAMP_S>()->Value = value;
    }
    NTSTATUS s = set ? LUMAREX_SetVideoProcAmpProperty(&dc_, &request_->srb)
                     : LUMAREX_GetVideoProcAmpProperty(&dc_, &request_->srb);
    EXPECT_EQ(request_->srb.Status, s);
    EXPECT_TRUE(request_->GuardIntact()) << "written past the property buffer";
    return s;
  }
  // A VIDEOCONTROL request whose input record is T, with a data buffer of dataSize bytes.
  template <typename T>
  NTSTATUS Control(bool set, ULONG id, ULONG streamIndex, size_t dataSize, LONG widthOrMode = 0) {
    request_ = std::make_unique<PropertyRequest>(id, set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET, sizeof(T),
                                                 dataSize);
    T *in = request_->In<T>();
    in->StreamIndex = streamIndex;
    if constexpr (std::is_same_v<T, KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S>) {
      in->Dimensions.cx = widthOrMode;
    }
    if constexpr (std::is_same_v<T, KSPROPERTY_VIDEOCONTROL_MODE_S>) {
      if (dataSize >= sizeof(T)) {
        *request_->Data<T>() = *in;
        request_->Data<T>()->Mode = widthOrMode;
      }
    }
    NTSTATUS s = set ? LUMAREX_SetVideoControlProperty(&dc_, &request_->srb)
                     : LUMAREX_GetVideoControlProperty(&dc_, &request_->srb);
    EXPECT_EQ(request_->srb.Status, s);
    EXPECT_TRUE(request_->GuardIntact()) << "written past the property buffer";
    return s;
  }
  ULONG Bytes() const { return request_->srb.ActualBytesTransferred; }

  std::unique_ptr<PropertyRequest> request_;
};

// ---- VideoProcAmp ------------------------------------------------------------------------------

TEST_F(VideoPropertyTest, SetStoresAValueInRangeAndCompletesWithCode1AndNoBytes) {
  struct Case {
    ULONG id;
    LONG *field;
  } cases[] = {{0, &dc_.g_nBrightness}, {1, &dc_.g_nContrast}, {3, &dc_.g_nSaturation},
               {4, &dc_.g_nSharpness}, {7, &dc_.g_nWhiteBalance}};
  LONG value = 0;
  for (const Case &c : cases) {
    *c.field = 33;
    EXPECT_EQ(ProcAmp(true, c.id, value), (NTSTATUS)1) << c.id;
    EXPECT_EQ(Bytes(), 0u);
    EXPECT_EQ(*c.field, value) << c.id;
    value += 25;  // 0, 25, 50, 75, 100: both ends are valid
  }
  EXPECT_TRUE(HostRegistry_KeyExists(&pdo_, "Settings")) << "the save opens (creates) the settings key";
  EXPECT_TRUE(HostRegistry_ValueNames(&pdo_, "Settings").empty()) << "single-setting saves write nothing";
  EXPECT_TRUE(Seen().empty()) << "settings are applied in software";
  EXPECT_EQ(dc_.g_bStillRequested, 0);
}

TEST_F(VideoPropertyTest, SetIgnoresOutOfRangeValuesWithoutAnError) {
  dc_.g_nBrightness = 42;
  EXPECT_EQ(ProcAmp(true, 0, 101), (NTSTATUS)1);
  EXPECT_EQ(ProcAmp(true, 0, -1), (NTSTATUS)1);
  EXPECT_EQ(Bytes(), 0u);
  EXPECT_EQ(dc_.g_nBrightness, 42);
}

TEST_F(VideoPropertyTest, SetReportsARegistryFailureAfterStoringTheValue) {
  HostRegistry_FailOpen(&pdo_, STATUS_ACCESS_DENIED);
  EXPECT_EQ(ProcAmp(true, 1, 70), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Bytes(), 0u);
  EXPECT_EQ(dc_.g_nContrast, 70);
}

TEST_F(VideoPropertyTest, GetReportsTheSettingAsManualAndRequestsAStill) {
  ASSERT_EQ(ProcAmp(true, 1, 70), (NTSTATUS)1);
  ASSERT_EQ(ProcAmp(false, 1, 0), STATUS_SUCCESS);
  const KSPROPERTY_VIDEOPROCAMP_S *reply = request_->Data<KSPROPERTY_VIDEOPROCAMP_S>();
  EXPECT_EQ(reply->Value, 70);
  EXPECT_EQ(reply->Flags, 2u);
  EXPECT_EQ(reply->Capabilities, 2u);
  EXPECT_EQ(Bytes(), 40u);
  EXPECT_EQ(request_->descriptor.PropertyOutputSize, 40u);
  EXPECT_EQ(dc_.g_bStillRequested, 1);

  dc_.g_nSharpness = 0x12345;  // only the low 16 bits are reported
  ASSERT_EQ(ProcAmp(false, 4, 0), STATUS_SUCCESS);
  EXPECT_EQ(request_->Data<KSPROPERTY_VIDEOPROCAMP_S>()->Value, 0x2345);
  dc_.g_nWhiteBalance = -1;
  ASSERT_EQ(ProcAmp(false, 7, 0), STATUS_SUCCESS);
  EXPECT_EQ(request_->Data<KSPROPERTY_VIDEOPROCAMP_S>()->Value, 0xFFFF);
}

TEST_F(VideoPropertyTest, UnknownIdsAndShortBuffersAreRefused) {
  for (ULONG id : {2u, 5u, 6u, 8u, 9u}) {
    EXPECT_EQ(ProcAmp(false, id, 0), STATUS_NOT_SUPPORTED) << id;
    EXPECT_EQ(ProcAmp(true, id, 50), STATUS_NOT_SUPPORTED) << id;
    EXPECT_EQ(Bytes(), 0u);
  }
  EXPECT_EQ(dc_.g_bStillRequested, 0) << "a refused get requests no still";

  EXPECT_EQ(ProcAmp(false, 0, 0, 36), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Bytes(), 0u);
  EXPECT_EQ(dc_.g_bStillRequested, 0);
  dc_.g_nBrightness = 42;
  EXPECT_EQ(ProcAmp(true, 0, 0, 27), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dc_.g_nBrightness, 42);
  EXPECT_FALSE(HostRegistry_KeyExists(&pdo_, "Settings"));
}

// ---- VideoControl ------------------------------------------------------------------------------

TEST_F(VideoPropertyTest, CapsOfTheStillPinOfferTheTrigger) {
  ASSERT_EQ(Control<KSPROPERTY_VIDEOCONTROL_CAPS_S>(false, KSPROPERTY_VIDEOCONTROL_CAPS, 1, 32), STATUS_SUCCESS);
  EXPECT_EQ(request_->Data<KSPROPERTY_VIDEOCONTROL_CAPS_S>()->VideoControlCaps, 0x0Cu);
  EXPECT_EQ(Bytes(), 32u);
  EXPECT_EQ(Control<KSPROPERTY_VIDEOCONTROL_CAPS_S>(false, KSPROPERTY_VIDEOCONTROL_CAPS, 0, 32),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control<KSPROPERTY_VIDEOCONTROL_CAPS_S>(false, KSPROPERTY_VIDEOCONTROL_CAPS, 1, 31),
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(VideoPropertyTest, ActualFrameRateFollowsTheStreamWidth) {
  dc_.g_bStreamOpened = 1;
  dc_.g_nFrameRateIndex = 2;  // what bandwidth allocation sets
  struct Case {
    LONG width;
    LONGLONG actual, max;
  } cases[] = {{160, 500000, 200000}, {320, 2000000, 800000}, {640, 5000000, 2000000}};
  for (const Case &c : cases) {
    dc_.g_nStreamWidth = c.width;
    ASSERT_EQ(Control<KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>(false, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
                                                                  0, 56),
              STATUS_SUCCESS);
    const auto *reply = request_->Data<KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>();
    EXPECT_EQ(reply->CurrentActualFrameRate, c.actual) << c.width;
    EXPECT_EQ(reply->CurrentMaxAvailableFrameRate, c.max) << c.width;
    EXPECT_EQ(Bytes(), 56u);
  }
  // Inside the interval table the entry is used as it is.
  dc_.g_nFrameRateIndex = 0;
  ASSERT_EQ(Control<KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>(false, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 0,
                                                                56),
            STATUS_SUCCESS);
  EXPECT_EQ(request_->Data<KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>()->CurrentActualFrameRate, 0);
}

TEST_F(VideoPropertyTest, ActualFrameRateRefusals) {
  dc_.g_bStreamOpened = 1;
  dc_.g_nStreamWidth = 320;
  using S = KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;
  EXPECT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 0, 0), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Bytes(), 56u);
  EXPECT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 1, 56), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 0, 55), STATUS_NOT_SUPPORTED);
  dc_.g_bStreamOpened = 0;
  EXPECT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 0, 56), STATUS_NOT_SUPPORTED);
}

TEST_F(VideoPropertyTest, FrameRatesListOneIntervalForTheRequestedWidth) {
  using S = KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;
  struct Case {
    LONG width;
    LONGLONG interval;
  } cases[] = {{160, 500000}, {320, 2000000}, {640, 5000000}, {176, 5000000}};
  for (const Case &c : cases) {
    ASSERT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 0, 16, c.width), STATUS_SUCCESS);
    const KSMULTIPLE_ITEM *list = request_->Data<KSMULTIPLE_ITEM>();
    EXPECT_EQ(list->Count, 1u);
    EXPECT_EQ(list->Size, 16u);
    LONGLONG interval;
    memcpy(&interval, list + 1, sizeof(interval));
    EXPECT_EQ(interval, c.interval) << c.width;
    EXPECT_EQ(Bytes(), 16u);
  }
  EXPECT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 0, 0, 320), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Bytes(), 16u);
  EXPECT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 0, 15, 320), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(VideoPropertyTest, ModeTriggersAStillOnlyOnTheStillPin) {
  using S = KSPROPERTY_VIDEOCONTROL_MODE_S;
  EXPECT_EQ(Control<S>(true, KSPROPERTY_VIDEOCONTROL_MODE, 0, 32, KS_VideoControlFlag_Trigger), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bStillRequested, 0);
  EXPECT_EQ(Control<S>(true, KSPROPERTY_VIDEOCONTROL_MODE, 1, 32, KS_VideoControlFlag_FlipHorizontal),
            STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bStillRequested, 0);
  EXPECT_EQ(Control<S>(true, KSPROPERTY_VIDEOCONTROL_MODE, 1, 32, KS_VideoControlFlag_Trigger), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bStillRequested, 1);
  dc_.g_bStillRequested = 0;
  EXPECT_EQ(Control<S>(true, KSPROPERTY_VIDEOCONTROL_MODE, 1, 32, KS_VideoControlFlag_ExternalTriggerEnable),
            STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bStillRequested, 1);
  dc_.g_bStillRequested = 0;
  EXPECT_EQ(Control<S>(true, KSPROPERTY_VIDEOCONTROL_MODE, 1, 31, KS_VideoControlFlag_Trigger),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dc_.g_bStillRequested, 0);
}

TEST_F(VideoPropertyTest, OtherVideoControlItemsAreRefused) {
  using S = KSPROPERTY_VIDEOCONTROL_CAPS_S;
  EXPECT_EQ(Control<S>(false, KSPROPERTY_VIDEOCONTROL_MODE, 1, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control<S>(false, 4, 1, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control<S>(true, KSPROPERTY_VIDEOCONTROL_CAPS, 1, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control<S>(true, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 1, 32), STATUS_NOT_SUPPORTED);
}

}  // namespace
