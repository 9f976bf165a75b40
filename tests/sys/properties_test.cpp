// The picture-setting and video-control properties: replies, statuses, byte counts and still requests.
#include <functional>

#include "controls_fixture.h"

namespace {

using namespace controls;

using Rates = KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;  // the longest input record: stream index and width
using Actual = KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;

class VideoPropertyTest : public ControlsTest {
 protected:
  // A request with a data buffer of `size` bytes: a setting's value, or a stream index and width or mode.
  NTSTATUS Send(bool procamp, bool set, ULONG id, size_t size, LONG value = 0, ULONG stream = 0) {
    r_ = std::make_unique<PropertyRequest>(id, set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET, sizeof(Rates), size);
    r_->In<Rates>()->StreamIndex = stream;
    r_->In<Rates>()->Dimensions.cx = value;
    if (procamp && size >= sizeof(KSPROPERTY_VIDEOPROCAMP_S)) Reply<KSPROPERTY_VIDEOPROCAMP_S>()->Value = value;
    if (!procamp && size >= sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S))
      *Reply<KSPROPERTY_VIDEOCONTROL_MODE_S>() = {{}, stream, value};
    NTSTATUS s = procamp ? (set ? LUMAREX_SetVideoProcAmpProperty : LUMAREX_GetVideoProcAmpProperty)(&dc_, &r_->srb)
                         : (set ? LUMAREX_SetVideoControlProperty : LUMAREX_GetVideoControlProperty)(&dc_, &r_->srb);
    EXPECT_EQ(r_->srb.Status, s);
    EXPECT_TRUE(r_->GuardIntact()) << "written past the property buffer";
    return s;
  }
  NTSTATUS ProcAmp(bool set, ULONG id, LONG value, size_t size = sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
    return Send(true, set, id, size, value);
  }
  NTSTATUS Control(bool set, ULONG id, ULONG stream, size_t size, LONG value = 0) {
    return Send(false, set, id, size, value, stream);
  }
  ULONG Bytes() const { return r_->srb.ActualBytesTransferred; }
  template <typename T>
  T *Reply() { return r_->Data<T>(); }
  std::unique_ptr<PropertyRequest> r_;
};

TEST_F(VideoPropertyTest, SetStoresValuesInRangeAndGetReportsThemAsManual) {
  struct Case { ULONG id; LONG *field; LONG value; } cases[] = {
      {0, &dc_.g_nBrightness, 0}, {1, &dc_.g_nContrast, 25}, {3, &dc_.g_nSaturation, 50},
               {4, &dc_.g_nSharpness, 75}, {7, &dc_.g_nWhiteBalance, 100}};
  for (const Case &c : cases) {
    *c.field = 33;
    // Out of range: ignored without an error. A set completes with code 1 and no bytes.
    EXPECT_EQ(ProcAmp(true, c.id, 101), 1);
    EXPECT_EQ(ProcAmp(true, c.id, -1), 1);
    EXPECT_EQ(*c.field, 33) << c.id;
    EXPECT_EQ(ProcAmp(true, c.id, c.value), 1);
    EXPECT_EQ(std::tuple(Bytes(), *c.field), std::tuple(0u, c.value)) << c.id;
    EXPECT_EQ(dc_.g_bStillRequested, 0);
    ASSERT_EQ(ProcAmp(false, c.id, 0), STATUS_SUCCESS);
    const KSPROPERTY_VIDEOPROCAMP_S *reply = Reply<KSPROPERTY_VIDEOPROCAMP_S>();
    EXPECT_EQ(std::tuple(reply->Value, reply->Flags, reply->Capabilities, Bytes()), std::tuple(c.value, 2u, 2u, 40u));
    EXPECT_EQ(dc_.g_bStillRequested, 1) << "a get requests a still";
    dc_.g_bStillRequested = 0;
  }
  EXPECT_TRUE(HostRegistry_KeyExists(&pdo_, "Settings")) << "the save opens (creates) the settings key";
  EXPECT_TRUE(HostRegistry_ValueNames(&pdo_, "Settings").empty()) << "single-setting saves write nothing";
  EXPECT_TRUE(Seen().empty()) << "settings are applied in software";
  dc_.g_nSharpness = 0x12345;  // only the low 16 bits are reported
  ASSERT_EQ(ProcAmp(false, 4, 0), STATUS_SUCCESS);
  EXPECT_EQ(Reply<KSPROPERTY_VIDEOPROCAMP_S>()->Value, 0x2345);
}

TEST_F(VideoPropertyTest, ProcAmpRefusalsAndRegistryFailures) {
  for (ULONG id : {2u, 5u, 6u, 8u}) {
    EXPECT_EQ(ProcAmp(false, id, 0), STATUS_NOT_SUPPORTED) << id;
    EXPECT_EQ(ProcAmp(true, id, 50), STATUS_NOT_SUPPORTED) << id;
  }
  dc_.g_nBrightness = 42;
  EXPECT_EQ(ProcAmp(false, 0, 0, 36), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Bytes(), 0u);
  EXPECT_EQ(ProcAmp(true, 0, 0, 27), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dc_.g_nBrightness, 42);
  EXPECT_EQ(dc_.g_bStillRequested, 0) << "a refused get requests no still";
  EXPECT_FALSE(HostRegistry_KeyExists(&pdo_, "Settings"));
}

// The nominal interval of 1,000,000 (100 ns units) and the maximum of 400,000 scale with the
// width: half at 160, twice at 320, five times otherwise.
TEST_F(VideoPropertyTest, FrameRatesFollowTheWidth) {
  const ULONG kActual = KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, kRates = KSPROPERTY_VIDEOCONTROL_FRAME_RATES;
  dc_.g_bStreamOpened = 1;
  dc_.g_nFrameRateIndex = 2;  // what bandwidth allocation sets: past the table, its last entry
  struct Case { LONG width; LONGLONG interval, max; } cases[] = {
      {160, 500000, 200000}, {320, 2000000, 800000}, {640, 5000000, 2000000}, {176, 5000000, 2000000}};
  for (const Case &c : cases) {
    dc_.g_nStreamWidth = c.width;
    ASSERT_EQ(Control(false, kActual, 0, 56), STATUS_SUCCESS);
    const Actual *actual = Reply<Actual>();
    EXPECT_EQ(std::tuple(actual->CurrentActualFrameRate, actual->CurrentMaxAvailableFrameRate, Bytes()),
              std::tuple(c.interval, c.max, 56u)) << c.width;
    ASSERT_EQ(Control(false, kRates, 0, 16, c.width), STATUS_SUCCESS);
    const KSMULTIPLE_ITEM *list = Reply<KSMULTIPLE_ITEM>();
    EXPECT_EQ(std::tuple(list->Count, list->Size, reinterpret_cast<const LONGLONG *>(list)[1], Bytes()),
              std::tuple(1u, 16u, c.interval, 16u)) << c.width;
  }
  dc_.g_nFrameRateIndex = 0;  // inside the table: no rate
  ASSERT_EQ(Control(false, kActual, 0, 56), STATUS_SUCCESS);
  EXPECT_EQ(Reply<Actual>()->CurrentActualFrameRate, 0);
  EXPECT_EQ(Control(false, kActual, 0, 0), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Bytes(), 56u);
  EXPECT_EQ(Control(false, kRates, 0, 0, 320), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Bytes(), 16u);
  EXPECT_EQ(Control(false, kRates, 0, 15, 320), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Control(false, kActual, 1, 56), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control(false, kActual, 0, 55), STATUS_NOT_SUPPORTED);
  dc_.g_bStreamOpened = 0;
  EXPECT_EQ(Control(false, kActual, 0, 56), STATUS_NOT_SUPPORTED);
}

TEST_F(VideoPropertyTest, ModeTriggersAStillOnlyOnTheStillPinWhoseCapsOfferIt) {
  struct Case { ULONG stream; size_t size; LONG mode; NTSTATUS status; UCHAR still; } cases[] = {
      {0, 32, KS_VideoControlFlag_Trigger, STATUS_SUCCESS, 0},
               {1, 32, KS_VideoControlFlag_FlipHorizontal, STATUS_SUCCESS, 0},
               {1, 32, KS_VideoControlFlag_Trigger, STATUS_SUCCESS, 1},
               {1, 32, KS_VideoControlFlag_ExternalTriggerEnable, STATUS_SUCCESS, 1},
               {1, 31, KS_VideoControlFlag_Trigger, STATUS_BUFFER_TOO_SMALL, 0}};
  for (const Case &c : cases) {
    dc_.g_bStillRequested = 0;
    EXPECT_EQ(Control(true, KSPROPERTY_VIDEOCONTROL_MODE, c.stream, c.size, c.mode), c.status);
    EXPECT_EQ(dc_.g_bStillRequested, c.still) << c.stream << " " << c.mode;
  }
  // The caps of the still pin offer the trigger; other items and directions are refused.
  ASSERT_EQ(Control(false, KSPROPERTY_VIDEOCONTROL_CAPS, 1, 32), STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(Reply<KSPROPERTY_VIDEOCONTROL_CAPS_S>()->VideoControlCaps, Bytes()), std::tuple(0x0Cu, 32u));
  EXPECT_EQ(Control(false, KSPROPERTY_VIDEOCONTROL_CAPS, 0, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control(false, KSPROPERTY_VIDEOCONTROL_CAPS, 1, 31), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Control(false, KSPROPERTY_VIDEOCONTROL_MODE, 1, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control(false, 4, 1, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control(true, KSPROPERTY_VIDEOCONTROL_CAPS, 1, 32), STATUS_NOT_SUPPORTED);
}

// Every byte a get reports is the reply's: the fields it fills and zeros elsewhere, never what
// the buffer held before (0xCD here). The private get 0 with a still pending sends nothing to
// the camera and leaves the still pending.
TEST_F(VideoPropertyTest, GetsReportOnlyBytesOfTheirReply) {
  dc_.g_nContrast = 70;
  dc_.g_bStreamOpened = 1;
  dc_.g_nStreamWidth = 320;
  dc_.g_nFrameRateIndex = 2;
  auto bytesOf = [](const auto &record) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(p, p + sizeof(record));
  };
  KSPROPERTY_VIDEOPROCAMP_S procamp;
  memset(&procamp, 0, sizeof(procamp));
  procamp.Value = 70, procamp.Flags = 2, procamp.Capabilities = 2;
  KSPROPERTY_VIDEOCONTROL_CAPS_S caps;
  memset(&caps, 0, sizeof(caps));
  caps.VideoControlCaps = 0x0C;
  Actual actual;
  memset(&actual, 0, sizeof(actual));
  actual.CurrentActualFrameRate = 2000000, actual.CurrentMaxAvailableFrameRate = 800000;  // at width 320
  std::vector<uint8_t> still(32, 0);
  still[25] = 1;  // the word 256 at bytes 24..27
  const struct {
    const char *what;
    std::function<NTSTATUS()> get;
    std::vector<uint8_t> reply;
  } cases[] = {
      {"contrast", [&] { return ProcAmp(false, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0); }, bytesOf(procamp)},
      {"caps", [&] { return Control(false, KSPROPERTY_VIDEOCONTROL_CAPS, 1, 32); }, bytesOf(caps)},
      {"actual frame rate", [&] { return Control(false, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 0, 56); },
       bytesOf(actual)},
      {"private 0, still pending",
       [&] {
         dc_.g_bStillRequested = 1;
         r_ = std::make_unique<PropertyRequest>(0, KSPROPERTY_TYPE_GET, 32, 32);
         return LUMAREX_GetCustomProperty(&dc_, &r_->srb);
       },
       still},
  };
  for (const auto &c : cases) {
    camera_.ClearRequests();
    ASSERT_EQ(c.get(), STATUS_SUCCESS) << c.what;
    const uint8_t *data = r_->Data<uint8_t>();
    EXPECT_EQ(Hex(std::vector<uint8_t>(data, data + std::min<ULONG>(Bytes(), 64))), Hex(c.reply)) << c.what;
    EXPECT_TRUE(r_->GuardIntact()) << c.what;
  }
  EXPECT_TRUE(Seen().empty()) << "no USB traffic";
  EXPECT_EQ(dc_.g_bStillRequested, 1) << "the still stays pending";
}

}  // namespace
