// Data ranges, format verification, and the data intersection with its clamp, sizes and refusals.
#include <gtest/gtest.h>

#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

bool SameGuid(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
const KS_DATARANGE_VIDEO &Capture(ULONG i) {
  return *reinterpret_cast<const KS_DATARANGE_VIDEO *>(LUMAREX_StreamInfo[0].StreamFormatsArray[i]);
}
KS_DATAFORMAT_VIDEOINFOHEADER FormatFrom(const KS_DATARANGE_VIDEO &r) {
  KS_DATAFORMAT_VIDEOINFOHEADER f = {};
  memcpy(&f.DataFormat, &r.DataRange, sizeof(KSDATAFORMAT));
  f.DataFormat.FormatSize = sizeof(f);
  f.VideoInfoHeader = r.VideoInfoHeader;
  return f;
}

// Every range against the format it offers: image sizes from width, height and bits, bit rates at 30 fps.
TEST(StreamInfoTest, EveryRangeIsConsistentWithTheFormatItOffers) {
  struct Offer { const KS_DATARANGE_VIDEO *range; ULONG compression; USHORT bits; LONG width, height; LONGLONG maxInt; }
      offers[] = {{&Capture(0), KS_BI_RGB, 24, 320, 240, 333333},
                {&Capture(1), KS_BI_RGB, 24, 640, 480, 333333},
                {&Capture(2), KS_BI_RGB, 24, 160, 120, 333333},
                {&LUMAREX_RangeStill_320x240, KS_BI_RGB, 24, 320, 240, 5000000}};
  std::vector<Offer> all(std::begin(offers), std::end(offers));
  ASSERT_EQ(LUMAREX_UnlistedRangeCount, 9u);
  const ULONG fourccs[] = {0x47504A4D /* MJPG */, 0x30323449 /* I420 */, 0x32595559 /* YUY2 */};
  const USHORT bits[] = {24, 12, 16};
  for (ULONG i = 0; i < 9; ++i)
    all.push_back({&LUMAREX_UnlistedRanges[i], fourccs[i / 3], bits[i / 3], 160 << (i % 3), 120 << (i % 3), 2000000});
  const GUID video = {STATIC_KSDATAFORMAT_TYPE_VIDEO}, videoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
  const GUID rgb = {STATIC_KSDATAFORMAT_SUBTYPE_RGB24};
  for (const Offer &o : all) {
    const KS_DATARANGE_VIDEO &r = *o.range;
    const KS_BITMAPINFOHEADER &b = r.VideoInfoHeader.bmiHeader;
    const KS_VIDEO_STREAM_CONFIG_CAPS &c = r.ConfigCaps;
    SCOPED_TRACE(testing::Message() << std::hex << o.compression << std::dec << " " << o.width << "x" << o.height);
    GUID subtype = {o.compression, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    EXPECT_TRUE(SameGuid(r.DataRange.SubFormat, o.compression == KS_BI_RGB ? rgb : subtype));
    EXPECT_TRUE(SameGuid(r.DataRange.MajorFormat, video) && SameGuid(r.DataRange.Specifier, videoInfo));
    EXPECT_EQ(r.DataRange.FormatSize, sizeof(KS_DATARANGE_VIDEO));
    EXPECT_EQ(std::tuple(b.biSize, b.biWidth, b.biHeight, b.biPlanes, b.biBitCount, b.biCompression),
              std::tuple(40u, o.width, o.height, USHORT(1), o.bits, o.compression));
    const LONGLONG minInterval = o.maxInt == 5000000 ? 5000000 : 333333;  // the still pin: 2 per second
    EXPECT_EQ(std::tuple(c.MinFrameInterval, c.MaxFrameInterval, r.VideoInfoHeader.AvgTimePerFrame),
              std::tuple(minInterval, o.maxInt, minInterval));
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, ULONG(c.MaxBitsPerSecond));
    if (o.compression != 0x47504A4D) EXPECT_EQ(b.biSizeImage, ULONG(o.width * o.height * o.bits / 8));
    if (o.compression != 0x47504A4D && o.maxInt != 5000000) {  // uncompressed capture
      EXPECT_EQ(ULONG(c.MaxBitsPerSecond), b.biSizeImage * 8 * 30);
      EXPECT_EQ(ULONG(c.MinBitsPerSecond), b.biSizeImage * 8 * (10000000 / o.maxInt));
    }
  }
}

// A format matches a listed range in the three GUIDs, width, height and image size only.
TEST(VerifyFormatTest, AFormatMatchesInGuidsWidthHeightAndImageSizeOnly) {
  for (ULONG i = 0; i < 3; ++i) {
    KS_DATAFORMAT_VIDEOINFOHEADER f = FormatFrom(Capture(i));
    EXPECT_TRUE(LUMAREX_VerifyFormat(&f.DataFormat, 0)) << i;
    EXPECT_EQ(bool(LUMAREX_VerifyFormat(&f.DataFormat, 1)), i == 0) << "the still pin lists 320x240 only";
    EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 2) || LUMAREX_VerifyFormat(&f.DataFormat, -1));
    f.VideoInfoHeader.bmiHeader.biBitCount = 8, f.VideoInfoHeader.AvgTimePerFrame = 1;
    EXPECT_TRUE(LUMAREX_VerifyFormat(&f.DataFormat, 0));
    f.VideoInfoHeader.bmiHeader.biSizeImage = 76800;
    EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 0));
    f.VideoInfoHeader.bmiHeader.biSizeImage = Capture(i).VideoInfoHeader.bmiHeader.biSizeImage;
    f.DataFormat.FormatSize = sizeof(f) - 1;  // too short to hold a video-info header
    EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 0));
  }
  for (ULONG i = 0; i < LUMAREX_UnlistedRangeCount; ++i) {
    KS_DATAFORMAT_VIDEOINFOHEADER f = FormatFrom(LUMAREX_UnlistedRanges[i]);
    EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 0)) << i;
  }
  KS_DATARANGE_VIDEO a = Capture(0), b = Capture(1);
  EXPECT_TRUE(LUMAREX_CompareRangeHeader(&a.DataRange, &b.DataRange)) << "the sample size is not compared";
  b.DataRange.Specifier.Data4[7] ^= 1;
  EXPECT_FALSE(LUMAREX_CompareRangeHeader(&a.DataRange, &b.DataRange));
}

class IntersectionTest : public ::testing::Test {
 protected:
  void SetUp() override { range_ = Capture(1); }  // RGB24 640x480
  NTSTATUS Run(ULONG stream, ULONG bufferSize, PKSDATARANGE range = nullptr) {
    srb_ = {};
    info_ = {stream, range ? range : &range_.DataRange, nullptr, bufferSize};
    srb_.CommandData.IntersectInfo = &info_;
    srb_.Status = (NTSTATUS)0x12345678;
    srb_.ActualBytesTransferred = 0xAAAA;
    out_.assign(bufferSize / 8 + 3, 0xEEEEEEEEEEEEEEEEull);
    info_.DataFormatBuffer = out_.data();
    NTSTATUS status = LUMAREX_GetDataIntersection(&srb_);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out_.data());
    for (size_t i = bufferSize; i < out_.size() * 8; ++i) EXPECT_EQ(bytes[i], 0xEE) << "byte " << i;
    return status;
  }
  const KS_DATAFORMAT_VIDEOINFOHEADER &Out() const {
    return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(out_.data());
  }
  bool Untouched() const { return srb_.ActualBytesTransferred == 0xAAAA && out_[0] == 0xEEEEEEEEEEEEEEEEull; }
  HW_STREAM_REQUEST_BLOCK srb_;
  STREAM_DATA_INTERSECT_INFO info_;
  KS_DATARANGE_VIDEO range_;
  std::vector<uint64_t> out_;
};

TEST_F(IntersectionTest, AMatchingRangeBecomesAFormatWithItsImageSize) {
  range_.VideoInfoHeader.rcSource = {1, 2, 3, 4};  // copied from the caller, not the driver
  range_.VideoInfoHeader.bmiHeader.biBitCount = 12;  // the output's own bit count decides
  ASSERT_EQ(Run(0, 400), STATUS_SUCCESS);
  // A larger buffer gets the same 152 bytes; 640 x 12 bits is 960 bytes a row.
  EXPECT_EQ(std::tuple(srb_.ActualBytesTransferred, Out().DataFormat.FormatSize, Out().DataFormat.SampleSize,
                       Out().VideoInfoHeader.bmiHeader.biSizeImage, Out().VideoInfoHeader.rcSource.right),
            std::tuple(152u, 152u, 460800u, 460800u, 3));
  EXPECT_EQ(0, memcmp(&Out().DataFormat.MajorFormat, &range_.DataRange.MajorFormat, 48));
  EXPECT_EQ(srb_.Status, (NTSTATUS)0x12345678) << "the success path leaves Srb->Status to the dispatcher";
  range_ = LUMAREX_RangeStill_320x240;
  ASSERT_EQ(Run(1, 152), STATUS_SUCCESS);
  EXPECT_EQ(Out().DataFormat.SampleSize, 230400u);
}

TEST_F(IntersectionTest, ASlowFrameRateIsClampedInPlaceAndAFastOneKept) {
  for (LONGLONG interval : {666666LL, 100000LL}) {
    range_.VideoInfoHeader.AvgTimePerFrame = interval;
    range_.VideoInfoHeader.dwBitRate = 1;
    ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
    const bool slow = interval > 333333;  // the new rate: 640 x 480 x 24 bits x 30
    EXPECT_EQ(std::tuple(Out().VideoInfoHeader.AvgTimePerFrame, Out().VideoInfoHeader.dwBitRate,
                         range_.VideoInfoHeader.AvgTimePerFrame),
              slow ? std::tuple(LONGLONG(333333), 221184000u, LONGLONG(333333)) : std::tuple(interval, 1u, interval));
  }
}

TEST_F(IntersectionTest, SmallBuffersAndBadHeadersAreRefusedWithTheirStatus) {
  EXPECT_EQ(Run(0, 0), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::tuple(srb_.Status, srb_.ActualBytesTransferred), std::tuple(STATUS_BUFFER_OVERFLOW, 152u));
  EXPECT_EQ(Run(0, 151), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(srb_.Status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Untouched());
  for (ULONG biSize : {41u, 39u, 0u, 0xFFFFFF90u, 0xFFFFFFFFu}) {
    range_.VideoInfoHeader.bmiHeader.biSize = biSize;
    EXPECT_EQ(Run(0, 0x10000), STATUS_INVALID_PARAMETER) << biSize;
    EXPECT_EQ(srb_.Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Untouched());
  }
}

TEST_F(IntersectionTest, MismatchingRangesProduceNothing) {
  std::vector<std::pair<const char *, std::function<void()>>> changes = {
      {"format size 300", [&] { range_.DataRange.FormatSize = 300; }},
      {"the last ConfigCaps byte", [&] { reinterpret_cast<uint8_t *>(&range_.ConfigCaps)[127] ^= 0x80; }},
      {"still flags", [&] { range_.StreamDescriptionFlags = KS_VIDEOSTREAM_STILL; }},
      {"a negative height", [&] { range_.VideoInfoHeader.bmiHeader.biHeight = -480; }},
      {"I420 640x480", [&] { range_ = LUMAREX_UnlistedRanges[5]; }}};
  for (auto &[what, change] : changes) {
    range_ = Capture(1);
    change();
    EXPECT_EQ(Run(0, 152), STATUS_SUCCESS) << what;
    EXPECT_TRUE(Untouched() && srb_.Status == (NTSTATUS)0x12345678) << what;
  }
  range_ = Capture(1);
  for (ULONG stream : {1u, 2u}) {
    EXPECT_EQ(Run(stream, 152), STATUS_SUCCESS);
    EXPECT_TRUE(Untouched()) << stream;
  }
  std::vector<uint64_t> block(sizeof(KSDATARANGE) / 8);
  memcpy(block.data(), &range_.DataRange, sizeof(KSDATARANGE));
  reinterpret_cast<KSDATARANGE *>(block.data())->FormatSize = sizeof(KSDATARANGE);
  EXPECT_EQ(Run(0, 200, reinterpret_cast<KSDATARANGE *>(block.data())), STATUS_SUCCESS);
  EXPECT_TRUE(Untouched());
}

}  // namespace

namespace {

// The device property sets in the order the stream class finds them: the private set, the
// picture settings, then the video-control items the property routing serves, each in the one
// direction it serves, with the public record sizes as minimum lengths (FRAME_RATES sizes its
// list itself).
TEST(StreamInfoTest, TheDevicePropertySetsListEverySetTheRoutingServes) {
  ULONG count = 0;
  const KSPROPERTY_SET *sets = LUMAREX_GetDevicePropertySets(&count);
  ASSERT_EQ(count, 3u);
  EXPECT_TRUE(SameGuid(*sets[0].Set, LUMAREX_GuidPropsetCustom));
  EXPECT_EQ(sets[0].PropertiesCount, 13u);
  EXPECT_TRUE(SameGuid(*sets[1].Set, LUMAREX_GuidPropsetVideoProcAmp));
  EXPECT_EQ(sets[1].PropertiesCount, 4u);
  ASSERT_TRUE(SameGuid(*sets[2].Set, LUMAREX_GuidPropsetVideoControl));
  const struct { ULONG id, minProperty, minData; bool get, set; } items[] = {
      {KSPROPERTY_VIDEOCONTROL_CAPS, 32, 32, true, false},
      {KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 56, true, false},
      {KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 40, 0, true, false},
      {KSPROPERTY_VIDEOCONTROL_MODE, 32, 32, false, true}};
  ASSERT_EQ(sets[2].PropertiesCount, 4u);
  for (ULONG i = 0; i < 4; ++i) {
    const KSPROPERTY_ITEM &item = sets[2].PropertyItem[i];
    EXPECT_EQ(std::tuple(item.PropertyId, item.MinProperty, item.MinData, item.GetPropertyHandler != nullptr,
                         item.SetPropertyHandler != nullptr, item.Values == nullptr),
              std::tuple(items[i].id, items[i].minProperty, items[i].minData, items[i].get, items[i].set, true))
        << "item " << i;
  }
}

}  // namespace
