// Stream formats and data ranges: the pins and ranges as the stream class reads them, format
// verification at open and proposal, and the data intersection with its clamp, sizes and
// refusals.
#include <gtest/gtest.h>

#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

bool SameGuid(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

GUID FourccSubtype(ULONG fourcc) {
  GUID g = {fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  return g;
}

const KS_DATARANGE_VIDEO *CaptureRange(ULONG i) {
  return reinterpret_cast<const KS_DATARANGE_VIDEO *>(LUMAREX_StreamInfo[0].StreamFormatsArray[i]);
}

// A concrete format as an application opens a stream with it.
KS_DATAFORMAT_VIDEOINFOHEADER FormatFrom(const KS_DATARANGE_VIDEO &r) {
  KS_DATAFORMAT_VIDEOINFOHEADER f;
  memset(&f, 0, sizeof(f));
  memcpy(&f.DataFormat, &r.DataRange, sizeof(KSDATAFORMAT));
  f.DataFormat.FormatSize = sizeof(f);
  f.VideoInfoHeader = r.VideoInfoHeader;
  return f;
}

TEST(StreamInfoTest, TheCapturePinListsThreeRgbRangesAndTheStillPinOne) {
  const HW_STREAM_INFORMATION &capture = LUMAREX_StreamInfo[0];
  const HW_STREAM_INFORMATION &still = LUMAREX_StreamInfo[1];
  EXPECT_EQ(capture.NumberOfPossibleInstances, 1u);
  EXPECT_EQ(capture.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_TRUE(capture.DataAccessible);
  ASSERT_EQ(capture.NumberOfFormatArrayEntries, 3u);
  EXPECT_EQ(capture.StreamFormatsArray[3], nullptr) << "the list ends with a NULL entry";
  ASSERT_EQ(still.NumberOfFormatArrayEntries, 1u);
  EXPECT_EQ(still.StreamFormatsArray[1], nullptr);
  const GUID captureName = {STATIC_PINNAME_VIDEO_CAPTURE}, stillName = {STATIC_PINNAME_VIDEO_STILL};
  EXPECT_TRUE(SameGuid(*capture.Category, captureName));
  EXPECT_TRUE(SameGuid(*capture.Name, captureName));
  EXPECT_TRUE(SameGuid(*still.Name, stillName));
  const GUID standard = {STATIC_KSMEDIUMSETID_Standard};
  for (const HW_STREAM_INFORMATION *s : {&capture, &still}) {
    EXPECT_EQ(s->NumStreamPropArrayEntries, 2u);
    EXPECT_EQ(s->NumStreamEventArrayEntries, 0u);
    EXPECT_EQ(s->StreamEventsArray, nullptr);
    EXPECT_EQ(s->MediumsCount, 0u);
    EXPECT_TRUE(SameGuid(s->Mediums->Set, standard));
    EXPECT_FALSE(s->BridgeStream);
    for (PVOID r : s->ClassReserved) EXPECT_EQ(r, nullptr);
  }
  // Connection allocator framing and the dropped-frame count, get only.
  const KSPROPERTY_SET *sets = capture.StreamPropertiesArray;
  const GUID connection = {STATIC_KSPROPSETID_Connection}, dropped = {STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES};
  EXPECT_TRUE(SameGuid(*sets[0].Set, connection));
  EXPECT_EQ(sets[0].PropertyItem[0].PropertyId, 3u);
  EXPECT_EQ(sets[0].PropertyItem[0].MinData, 24u);
  EXPECT_EQ(sets[0].PropertyItem[0].SerializedSize, 4u);
  EXPECT_TRUE(sets[0].PropertyItem[0].GetSupported);
  EXPECT_FALSE(sets[0].PropertyItem[0].SetSupported);
  EXPECT_TRUE(SameGuid(*sets[1].Set, dropped));
  EXPECT_EQ(sets[1].PropertyItem[0].MinProperty, 48u);
}

// The per-range numbers; the image sizes and bit rates of the uncompressed ranges follow from
// width, height and bit count at 30 frames per second (5 per second at the longest interval).
TEST(StreamInfoTest, EveryRangeCarriesItsSizesTimingAndSubtype) {
  struct Row {
    const KS_DATARANGE_VIDEO *range;
    GUID subtype;
    LONG width, height;
    USHORT bits;
    ULONG compression, sampleSize, sizeImage;
    BOOL fixed;
    ULONG flags;
    LONG inW, inH, minW, minH, maxW, maxH, gran;
    LONGLONG minInterval, maxInterval;
    LONG minBps, maxBps;
  };
  const GUID rgb = {STATIC_KSDATAFORMAT_SUBTYPE_RGB24};
  const GUID mjpg = FourccSubtype(0x47504A4D), i420 = FourccSubtype(0x30323449), yuy2 = FourccSubtype(0x32595559);
  const KS_DATARANGE_VIDEO *u = LUMAREX_UnlistedRanges;
  ASSERT_EQ(LUMAREX_UnlistedRangeCount, 9u);
  const Row rows[] = {
      {CaptureRange(0), rgb, 320, 240, 24, 0, 76800, 230400, 1, 2, 320, 240, 320, 240, 320, 240, 1, 333333, 333333, 55296000, 55296000},
      {CaptureRange(1), rgb, 640, 480, 24, 0, 307200, 921600, 1, 2, 640, 480, 640, 480, 640, 480, 1, 333333, 333333, 221184000, 221184000},
      {CaptureRange(2), rgb, 160, 120, 24, 0, 19200, 57600, 1, 2, 160, 120, 160, 120, 160, 120, 1, 333333, 333333, 13824000, 13824000},
      {&LUMAREX_RangeStill_320x240, rgb, 320, 240, 24, 0, 76800, 230400, 1, 0x1000, 320, 240, 160, 120, 720, 480, 8, 5000000, 5000000, 7372800, 7372800},
      {&u[0], mjpg, 160, 120, 24, 0x47504A4D, 38400, 19200, 0, 2, 160, 120, 160, 120, 160, 120, 1, 333333, 2000000, 153600, 921600},
      {&u[1], mjpg, 320, 240, 24, 0x47504A4D, 153600, 76800, 0, 2, 640, 480, 320, 240, 320, 240, 1, 333333, 2000000, 614400, 3686400},
      {&u[2], mjpg, 640, 480, 24, 0x47504A4D, 614400, 307200, 0, 2, 640, 480, 640, 480, 640, 480, 1, 333333, 2000000, 2457600, 14745600},
      {&u[3], i420, 160, 120, 12, 0x30323449, 28800, 28800, 1, 2, 160, 120, 160, 120, 160, 120, 1, 333333, 2000000, 1152000, 6912000},
      {&u[4], i420, 320, 240, 12, 0x30323449, 115200, 115200, 1, 2, 320, 240, 320, 240, 320, 240, 1, 333333, 2000000, 4608000, 27648000},
      {&u[5], i420, 640, 480, 12, 0x30323449, 460800, 460800, 1, 2, 640, 480, 640, 480, 640, 480, 1, 333333, 2000000, 18432000, 110592000},
      {&u[6], yuy2, 160, 120, 16, 0x32595559, 38400, 38400, 1, 2, 160, 120, 160, 120, 160, 120, 1, 333333, 2000000, 1536000, 9216000},
      {&u[7], yuy2, 320, 240, 16, 0x32595559, 153600, 153600, 1, 2, 320, 240, 320, 240, 320, 240, 1, 333333, 2000000, 6144000, 36864000},
      {&u[8], yuy2, 640, 480, 16, 0x32595559, 614400, 614400, 1, 2, 640, 480, 640, 480, 640, 480, 1, 333333, 2000000, 24576000, 147456000},
  };
  const GUID video = {STATIC_KSDATAFORMAT_TYPE_VIDEO}, videoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
  for (const Row &w : rows) {
    const KS_DATARANGE_VIDEO &r = *w.range;
    const KS_VIDEO_STREAM_CONFIG_CAPS &c = r.ConfigCaps;
    const KS_BITMAPINFOHEADER &b = r.VideoInfoHeader.bmiHeader;
    SCOPED_TRACE(testing::Message() << w.width << "x" << w.height << " bits " << w.bits << " flags " << w.flags);
    EXPECT_EQ(r.DataRange.FormatSize, 296u);
    EXPECT_EQ(r.DataRange.Flags, 0u);
    EXPECT_EQ(r.DataRange.SampleSize, w.sampleSize);
    EXPECT_TRUE(SameGuid(r.DataRange.MajorFormat, video));
    EXPECT_TRUE(SameGuid(r.DataRange.SubFormat, w.subtype));
    EXPECT_TRUE(SameGuid(r.DataRange.Specifier, videoInfo));
    EXPECT_EQ(r.bFixedSizeSamples, w.fixed);
    EXPECT_EQ(r.bTemporalCompression, 1);
    EXPECT_EQ(r.StreamDescriptionFlags, w.flags);
    EXPECT_EQ(r.MemoryAllocationFlags, 0u);
    EXPECT_TRUE(SameGuid(c.guid, videoInfo));
    EXPECT_EQ(c.InputSize.cx, w.inW);
    EXPECT_EQ(c.InputSize.cy, w.inH);
    EXPECT_EQ(c.MinCroppingSize.cx, w.minW);
    EXPECT_EQ(c.MinOutputSize.cy, w.minH);
    EXPECT_EQ(c.MaxCroppingSize.cx, w.maxW);
    EXPECT_EQ(c.MaxOutputSize.cy, w.maxH);
    EXPECT_EQ(0, memcmp(&c.MinCroppingSize, &c.MinOutputSize, sizeof(SIZE)));
    EXPECT_EQ(0, memcmp(&c.MaxCroppingSize, &c.MaxOutputSize, sizeof(SIZE)));
    EXPECT_EQ(c.CropGranularityX, w.gran);
    EXPECT_EQ(c.CropAlignX, w.gran);
    EXPECT_EQ(c.OutputGranularityX, w.gran);
    EXPECT_EQ(c.CropGranularityY + c.CropAlignY + c.OutputGranularityY, 3);
    EXPECT_EQ(c.StretchTapsX | c.StretchTapsY | c.ShrinkTapsX | c.ShrinkTapsY, 0);
    EXPECT_EQ(c.MinFrameInterval, w.minInterval);
    EXPECT_EQ(c.MaxFrameInterval, w.maxInterval);
    EXPECT_EQ(c.MinBitsPerSecond, w.minBps);
    EXPECT_EQ(c.MaxBitsPerSecond, w.maxBps);
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, ULONG(w.maxBps));
    EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, w.minInterval);
    EXPECT_EQ(b.biSize, 40u);
    EXPECT_EQ(b.biWidth, w.width);
    EXPECT_EQ(b.biHeight, w.height);
    EXPECT_EQ(b.biPlanes, 1);
    EXPECT_EQ(b.biBitCount, w.bits);
    EXPECT_EQ(b.biCompression, w.compression);
    EXPECT_EQ(b.biSizeImage, w.sizeImage);
    if (w.compression != 0x47504A4D) {
      EXPECT_EQ(b.biSizeImage, ULONG(w.width * w.height * w.bits / 8));
      if (w.flags == 2) {
        EXPECT_EQ(ULONG(w.maxBps), b.biSizeImage * 8 * 30);
      }
    }
  }
}

TEST(StreamInfoTest, DevicePropertySetsAdvertiseTheCustomAndProcAmpItems) {
  ULONG count = 0;
  const KSPROPERTY_SET *sets = LUMAREX_GetDevicePropertySets(&count);
  ASSERT_EQ(count, 2u);
  const GUID custom = {0x86CED40F, 0x9209, 0x4F1C, {0xB9, 0x1E, 0xAA, 0xD1, 0x51, 0x21, 0x27, 0x34}};
  const GUID procamp = {STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP};
  ASSERT_TRUE(SameGuid(*sets[0].Set, custom));
  ASSERT_EQ(sets[0].PropertiesCount, 13u);
  const ULONG ids[] = {0, 1, 2, 3, 5, 4, 6, 7, 8, 9, 11, 12, 10};
  for (ULONG i = 0; i < 13; ++i) {
    const KSPROPERTY_ITEM &item = sets[0].PropertyItem[i];
    EXPECT_EQ(item.PropertyId, ids[i]);
    EXPECT_TRUE(item.GetSupported);
    EXPECT_EQ(bool(item.SetSupported), i >= 5) << "item " << i;
    EXPECT_EQ(item.MinProperty, 32u);
    EXPECT_EQ(item.MinData, 32u);
    EXPECT_EQ(item.Values, nullptr);
  }
  ASSERT_TRUE(SameGuid(*sets[1].Set, procamp));
  ASSERT_EQ(sets[1].PropertiesCount, 4u);
  struct {
    ULONG id;
    LONG defaults[4];
  } procampItems[] = {{0, {50, 20, 50, 50}}, {4, {20, 50, 50, 50}}, {3, {50, 50, 50, 0}}, {1, {50, 50, 0, 0}}};
  for (ULONG i = 0; i < 4; ++i) {
    const KSPROPERTY_ITEM &item = sets[1].PropertyItem[i];
    EXPECT_EQ(item.PropertyId, procampItems[i].id);
    EXPECT_TRUE(item.GetSupported && item.SetSupported);
    EXPECT_EQ(item.MinProperty, 40u);
    EXPECT_EQ(item.MinData, 40u);
    ASSERT_NE(item.Values, nullptr);
    ASSERT_EQ(item.Values->MembersListCount, 2u);
    const KSPROPERTY_MEMBERSLIST &range = item.Values->MembersList[0];
    const KSPROPERTY_MEMBERSLIST &defaults = item.Values->MembersList[1];
    EXPECT_EQ(range.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
    auto *step = static_cast<const KSPROPERTY_STEPPING_LONG *>(range.Members);
    EXPECT_EQ(step->SteppingDelta, 10u);
    EXPECT_EQ(step->Bounds.SignedMinimum, 0);
    EXPECT_EQ(step->Bounds.SignedMaximum, 100);
    EXPECT_EQ(defaults.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
    EXPECT_EQ(defaults.MembersHeader.MembersSize, 4u);
    EXPECT_EQ(defaults.MembersHeader.MembersCount, 4u);
    EXPECT_EQ(defaults.MembersHeader.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
    EXPECT_EQ(0, memcmp(defaults.Members, procampItems[i].defaults, 16)) << "item " << i;
  }
}

TEST(VerifyFormatTest, AFormatMatchesInGuidsWidthHeightAndImageSizeOnly) {
  KS_DATAFORMAT_VIDEOINFOHEADER f = FormatFrom(*CaptureRange(0));
  EXPECT_TRUE(LUMAREX_VerifyFormat(&f.DataFormat, 0));
  // Bit count, compression and frame interval are not compared.
  f.VideoInfoHeader.bmiHeader.biBitCount = 8;
  f.VideoInfoHeader.AvgTimePerFrame = 1;
  EXPECT_TRUE(LUMAREX_VerifyFormat(&f.DataFormat, 0));
  for (ULONG size : {0u, 76800u}) {
    f.VideoInfoHeader.bmiHeader.biSizeImage = size;
    EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 0)) << size;
  }
  // Each listed size matches on the capture pin. The still pin's range has the same GUIDs and
  // size as RGB24 320x240 (the stream flags are not compared); 640x480 is not in its list.
  for (ULONG i = 0; i < 3; ++i) {
    KS_DATAFORMAT_VIDEOINFOHEADER g = FormatFrom(*CaptureRange(i));
    EXPECT_TRUE(LUMAREX_VerifyFormat(&g.DataFormat, 0)) << i;
    EXPECT_EQ(bool(LUMAREX_VerifyFormat(&g.DataFormat, 1)), i == 0) << i;
  }
  KS_DATAFORMAT_VIDEOINFOHEADER big = FormatFrom(*CaptureRange(1));
  big.VideoInfoHeader.bmiHeader.biSizeImage = 230400;
  EXPECT_FALSE(LUMAREX_VerifyFormat(&big.DataFormat, 0));
}

TEST(VerifyFormatTest, UnlistedSubtypesStreamNumbersAndShortFormatsDoNotMatch) {
  for (ULONG i = 0; i < LUMAREX_UnlistedRangeCount; ++i) {
    KS_DATAFORMAT_VIDEOINFOHEADER f = FormatFrom(LUMAREX_UnlistedRanges[i]);
    EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 0)) << i;
  }
  KS_DATAFORMAT_VIDEOINFOHEADER f = FormatFrom(*CaptureRange(0));
  EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 2));
  EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, -1));
  // The still pin's one range matches on stream 1.
  KS_DATAFORMAT_VIDEOINFOHEADER s = FormatFrom(LUMAREX_RangeStill_320x240);
  EXPECT_TRUE(LUMAREX_VerifyFormat(&s.DataFormat, 1));
  // A record too short to hold a video-info header is not read past its end.
  std::vector<uint8_t> shortBlock(sizeof(KSDATAFORMAT));
  memcpy(shortBlock.data(), &f.DataFormat, sizeof(KSDATAFORMAT));
  reinterpret_cast<KSDATAFORMAT *>(shortBlock.data())->FormatSize = sizeof(KSDATAFORMAT);
  EXPECT_FALSE(LUMAREX_VerifyFormat(reinterpret_cast<KSDATAFORMAT *>(shortBlock.data()), 0));
  f.DataFormat.FormatSize = sizeof(f) - 1;
  EXPECT_FALSE(LUMAREX_VerifyFormat(&f.DataFormat, 0));
}

TEST(CompareRangeHeaderTest, SizeAndTheThreeGuidsDecide) {
  KS_DATARANGE_VIDEO a = *CaptureRange(0), b = *CaptureRange(1);
  EXPECT_TRUE(LUMAREX_CompareRangeHeader(&a.DataRange, &b.DataRange)) << "sample size is not compared";
  b.DataRange.FormatSize = 300;
  EXPECT_FALSE(LUMAREX_CompareRangeHeader(&a.DataRange, &b.DataRange));
  b = *CaptureRange(1);
  b.DataRange.Specifier.Data4[7] ^= 1;
  EXPECT_FALSE(LUMAREX_CompareRangeHeader(&a.DataRange, &b.DataRange));
  EXPECT_FALSE(LUMAREX_CompareRangeHeader(&a.DataRange, const_cast<PKSDATARANGE>(&LUMAREX_UnlistedRanges[4].DataRange)));
}

// An intersection request: the caller's range and an output buffer with guard bytes behind it.
class IntersectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&srb_, 0, sizeof(srb_));
    memset(&info_, 0, sizeof(info_));
    srb_.Command = SRB_GET_DATA_INTERSECTION;
    srb_.CommandData.IntersectInfo = &info_;
    srb_.Status = (NTSTATUS)0x12345678;
    srb_.ActualBytesTransferred = 0xAAAA;
    range_ = *CaptureRange(1);  // RGB24 640x480
  }
  NTSTATUS Run(ULONG stream, ULONG bufferSize) {
    out_.assign(bufferSize + 16, 0xEE);
    info_.StreamNumber = stream;
    info_.DataRange = &range_.DataRange;
    info_.DataFormatBuffer = out_.data();
    info_.SizeOfDataFormatBuffer = bufferSize;
    NTSTATUS status = LUMAREX_GetDataIntersection(&srb_);
    for (size_t i = bufferSize; i < out_.size(); ++i) EXPECT_EQ(out_[i], 0xEE) << "byte " << i;
    return status;
  }
  const KS_DATAFORMAT_VIDEOINFOHEADER &Out() const {
    return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(out_.data());
  }
  HW_STREAM_REQUEST_BLOCK srb_;
  STREAM_DATA_INTERSECT_INFO info_;
  KS_DATARANGE_VIDEO range_;
  alignas(8) std::vector<uint8_t> out_;
};

TEST_F(IntersectionTest, AMatchingRangeBecomesAFormatWithTheComputedImageSize) {
  range_.VideoInfoHeader.rcSource = {1, 2, 3, 4};  // copied from the caller, not the driver
  range_.DataRange.SampleSize = 5;
  ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
  EXPECT_EQ(srb_.ActualBytesTransferred, 152u);
  EXPECT_EQ(Out().DataFormat.FormatSize, 152u);
  EXPECT_EQ(Out().DataFormat.SampleSize, 921600u);
  EXPECT_EQ(Out().VideoInfoHeader.bmiHeader.biSizeImage, 921600u);
  EXPECT_EQ(Out().VideoInfoHeader.rcSource.right, 3);
  EXPECT_EQ(0, memcmp(&Out().DataFormat.MajorFormat, &range_.DataRange.MajorFormat, 48));
  EXPECT_EQ(Out().VideoInfoHeader.AvgTimePerFrame, 333333);
  EXPECT_EQ(Out().VideoInfoHeader.bmiHeader.biWidth, 640);
  EXPECT_EQ(srb_.Status, (NTSTATUS)0x12345678) << "the success path leaves Srb->Status to the dispatcher";
}

TEST_F(IntersectionTest, ImageSizeUsesTheAbsoluteHeightAndRoundsRowsToFourBytes) {
  range_.VideoInfoHeader.bmiHeader.biHeight = -480;
  // A negative height matches no listed range: the comparison is exact.
  ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
  EXPECT_EQ(srb_.ActualBytesTransferred, 0xAAAAu);
  // The output's own bit count decides: 640 x 12 bits is 960 bytes a row.
  range_ = *CaptureRange(1);
  range_.VideoInfoHeader.bmiHeader.biBitCount = 12;
  ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
  EXPECT_EQ(Out().VideoInfoHeader.bmiHeader.biSizeImage, 460800u);
  // 160 pixels of 1 bit: 20 bytes, rounded to 20; of 9 bits: 180 bytes rounded up to 180.
  range_ = *CaptureRange(2);
  range_.VideoInfoHeader.bmiHeader.biBitCount = 9;
  ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
  EXPECT_EQ(Out().DataFormat.SampleSize, 180u * 120u);
  range_ = *CaptureRange(2);
  range_.VideoInfoHeader.bmiHeader.biBitCount = 7;  // 1120 bits: 35 words of 4 bytes
  ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
  EXPECT_EQ(Out().DataFormat.SampleSize, 140u * 120u);
}

TEST_F(IntersectionTest, ASlowFrameRateIsClampedAndAFastOneKept) {
  range_.VideoInfoHeader.AvgTimePerFrame = 666666;
  range_.VideoInfoHeader.dwBitRate = 1;
  ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
  EXPECT_EQ(Out().VideoInfoHeader.AvgTimePerFrame, 333333);
  EXPECT_EQ(Out().VideoInfoHeader.dwBitRate, 221184000u);
  EXPECT_EQ(range_.VideoInfoHeader.AvgTimePerFrame, 333333) << "the caller's range is clamped in place";

  range_ = *CaptureRange(1);
  range_.VideoInfoHeader.AvgTimePerFrame = 100000;
  range_.VideoInfoHeader.dwBitRate = 1;
  ASSERT_EQ(Run(0, 152), STATUS_SUCCESS);
  EXPECT_EQ(Out().VideoInfoHeader.AvgTimePerFrame, 100000);
  EXPECT_EQ(Out().VideoInfoHeader.dwBitRate, 1u);
}

TEST_F(IntersectionTest, ZeroAndSmallBuffersReportTheirOwnWay) {
  EXPECT_EQ(Run(0, 0), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(srb_.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(srb_.ActualBytesTransferred, 152u);

  srb_.ActualBytesTransferred = 0xAAAA;
  EXPECT_EQ(Run(0, 151), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(srb_.Status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(srb_.ActualBytesTransferred, 0xAAAAu);
  EXPECT_EQ(out_[0], 0xEE) << "nothing is written";

  // A larger buffer gets the same 152 bytes.
  EXPECT_EQ(Run(0, 400), STATUS_SUCCESS);
  EXPECT_EQ(srb_.ActualBytesTransferred, 152u);
  EXPECT_EQ(out_[152], 0xEE);
}

TEST_F(IntersectionTest, MismatchingRangesProduceNothing) {
  auto expectNoMatch = [&](const char *what, ULONG stream = 0) {
    srb_.ActualBytesTransferred = 0xAAAA;
    srb_.Status = (NTSTATUS)0x12345678;
    EXPECT_EQ(Run(stream, 152), STATUS_SUCCESS) << what;
    EXPECT_EQ(srb_.ActualBytesTransferred, 0xAAAAu) << what;
    EXPECT_EQ(srb_.Status, (NTSTATUS)0x12345678) << what;
    EXPECT_EQ(out_[0], 0xEE) << what;
    range_ = *CaptureRange(1);
  };
  range_.DataRange.FormatSize = 300;
  expectNoMatch("format size 300");
  range_.ConfigCaps.MaxBitsPerSecond += 1;
  expectNoMatch("a ConfigCaps byte");
  reinterpret_cast<uint8_t *>(&range_.ConfigCaps)[127] ^= 0x80;
  expectNoMatch("the last ConfigCaps byte");
  range_.bFixedSizeSamples = 0;
  expectNoMatch("variable-size samples");
  range_.StreamDescriptionFlags = KS_VIDEOSTREAM_STILL;
  expectNoMatch("still flags");
  range_.VideoInfoHeader.bmiHeader.biWidth = 320;
  expectNoMatch("another width");
  expectNoMatch("the still pin's list", 1);
  expectNoMatch("no stream 2", 2);
  range_ = LUMAREX_UnlistedRanges[5];
  expectNoMatch("I420 640x480");
  // The still range matches on the still pin.
  range_ = LUMAREX_RangeStill_320x240;
  EXPECT_EQ(Run(1, 152), STATUS_SUCCESS);
  EXPECT_EQ(Out().DataFormat.SampleSize, 230400u);
}

TEST_F(IntersectionTest, ABitmapHeaderSizeOutsideTheCallersRangeIsRefused) {
  for (ULONG biSize : {41u, 39u, 0u, 0xFFFFFF90u, 0xFFFFFFFFu}) {
    range_ = *CaptureRange(1);
    range_.VideoInfoHeader.bmiHeader.biSize = biSize;
    srb_.ActualBytesTransferred = 0xAAAA;
    EXPECT_EQ(Run(0, 0x10000), STATUS_INVALID_PARAMETER) << biSize;
    EXPECT_EQ(srb_.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(srb_.ActualBytesTransferred, 0xAAAAu);
    EXPECT_EQ(out_[0], 0xEE);
  }
  // A range too short to be a video range is not read beyond its header.
  std::vector<uint64_t> block(sizeof(KSDATARANGE) / 8);
  memcpy(block.data(), &range_.DataRange, sizeof(KSDATARANGE));
  auto *header = reinterpret_cast<KSDATARANGE *>(block.data());
  header->FormatSize = sizeof(KSDATARANGE);
  out_.assign(200, 0xEE);
  info_.StreamNumber = 0;
  info_.DataRange = header;
  info_.DataFormatBuffer = out_.data();
  info_.SizeOfDataFormatBuffer = 200;
  EXPECT_EQ(LUMAREX_GetDataIntersection(&srb_), STATUS_SUCCESS);
  EXPECT_EQ(out_[0], 0xEE);
}

}  // namespace
