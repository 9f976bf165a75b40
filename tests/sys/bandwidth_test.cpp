// Bandwidth and output-format selection: the output format code and its log line, the raw
// frame length and buffer sizes for each offered size, the refused formats, the allocation
// failures, and buffers kept or replaced between allocations.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

constexpr ULONG kWdm = LUMAREX_POOL_TAG;

KS_DATAFORMAT_VIDEOINFOHEADER Format(LONG width, LONG height, ULONG compression) {
  KS_DATAFORMAT_VIDEOINFOHEADER f;
  memset(&f, 0, sizeof(f));
  f.DataFormat.FormatSize = sizeof(f);
  f.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  f.VideoInfoHeader.bmiHeader.biWidth = width;
  f.VideoInfoHeader.bmiHeader.biHeight = height;
  f.VideoInfoHeader.bmiHeader.biCompression = compression;
  return f;
}

class BandwidthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostPool_Reset();
    HostDbg_Clear();
    memset(&dc_, 0, sizeof(dc_));
  }
  void TearDown() override {
    CamUnInitialize(nullptr, &dc_);
    HostPool_ClearFaults();
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  }
  NTSTATUS Allocate(LONG width, LONG height, ULONG compression, ULONG *length, ULONG stream = 0) {
    KS_DATAFORMAT_VIDEOINFOHEADER f = Format(width, height, compression);
    return CamAllocateBandwidthEx(nullptr, &dc_, length, &f, stream);
  }
  // The size of the live pool block at p (0 when p is no live block).
  static size_t BlockSize(const void *p) {
    for (const HostPoolBlock &b : HostPool_LiveBlocks()) {
      if (b.address == p) {
        return b.size;
      }
    }
    return 0;
  }
  // Every size field names no more than its block holds.
  void ExpectSizesWithinBlocks() {
    EXPECT_GE(BlockSize(dc_.g_pRawBuf), dc_.g_nRawBufSize);
    EXPECT_GE(dc_.g_nRawBufSize, dc_.g_nRawLength);
    EXPECT_GE(BlockSize(dc_.g_pBmpBuf), dc_.g_nBmpBufSize);
    EXPECT_GE(BlockSize(dc_.g_pIPBuf), dc_.g_nIPBufSize);
  }
  DeviceContext dc_;
};

TEST_F(BandwidthTest, EachOfferedSizeGetsItsRawLengthAndBufferSizes) {
  struct Case {
    LONG width, height;
    ULONG raw, rawLength, bufSize;
  } cases[] = {
      {160, 120, 19200, 619200, 929280},
      {320, 240, 76800, 624000, 934080},
      {640, 480, 307200, 633600, 943680},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.width);
    ULONG length = 1;
    ASSERT_EQ(Allocate(c.width, c.height, KS_BI_RGB, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, c.raw);
    EXPECT_EQ(dc_.g_nRawFrameSize, c.raw);
    EXPECT_EQ(dc_.g_nOutputFormat, LUMAREX_FORMAT_RGB24);
    EXPECT_EQ(dc_.g_nRawLength, c.rawLength);
    EXPECT_EQ(dc_.g_nBmpBufSize, c.bufSize);
    EXPECT_EQ(dc_.g_nIPBufSize, c.bufSize);
    EXPECT_EQ(BlockSize(dc_.g_pRawBuf), c.rawLength);
    EXPECT_EQ(BlockSize(dc_.g_pBmpBuf), c.bufSize);
    EXPECT_EQ(BlockSize(dc_.g_pIPBuf), c.bufSize);
    EXPECT_EQ(dc_.g_nFrameWidth, c.width);
    EXPECT_EQ(dc_.g_nDecodeHeight, c.height);
    EXPECT_EQ(dc_.g_nFrameRateIndex, 2u);
    // The decoded image fits the bitmap buffer.
    EXPECT_GE(dc_.g_nBmpBufSize, ULONG(c.width * c.height * 3));
    EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 3u);
    EXPECT_EQ(CamFreeBandwidthEx(nullptr, &dc_, 0), STATUS_SUCCESS);
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
  }
  EXPECT_EQ(HostDbg_Count("<AllocateBandWidth>Driver Output Format=1(RGB24)"), 3u);
}

TEST_F(BandwidthTest, CompressionsMapToTheirCodesAndPrintedNames) {
  struct Case {
    ULONG compression;
    UCHAR code;
    const char *line;
  } cases[] = {
      {LUMAREX_FOURCC_I420, LUMAREX_FORMAT_I420, "<AllocateBandWidth>Driver Output Format=2(I420 )"},
      {LUMAREX_FOURCC_YUY2, LUMAREX_FORMAT_YUY2, "<AllocateBandWidth>Driver Output Format=3(YUV2 )"},
      {LUMAREX_FOURCC_MJPG, LUMAREX_FORMAT_MJPG, "<AllocateBandWidth>Driver Output Format=10(JPEG )"},
      {0x47504A4D, 10, "Format=10(JPEG )"},  // "MJPG" read as a little-endian word
  };
  for (const Case &c : cases) {
    ULONG length = 0;
    HostDbg_Clear();
    ASSERT_EQ(Allocate(320, 240, c.compression, &length), STATUS_SUCCESS);
    EXPECT_EQ(dc_.g_nOutputFormat, c.code);
    EXPECT_EQ(length, 76800u);
    EXPECT_EQ(HostDbg_Count(c.line), 1u) << c.line;
    CamFreeBandwidth(nullptr, &dc_);
  }
}

// Every range of the format tables, listed or not, as the class library passes the stream's
// format: the code follows the compression, the sizes follow the width.
TEST_F(BandwidthTest, EveryRangeOfTheFormatTablesIsAccepted) {
  std::vector<const KS_DATARANGE_VIDEO *> ranges = {&LUMAREX_RangeRGB24_320x240, &LUMAREX_RangeRGB24_640x480,
                                                    &LUMAREX_RangeRGB24_160x120};
  for (ULONG i = 0; i < LUMAREX_UnlistedRangeCount; ++i) ranges.push_back(&LUMAREX_UnlistedRanges[i]);
  const UCHAR codes[] = {1, 1, 1, 10, 10, 10, 2, 2, 2, 3, 3, 3};
  const ULONG bufSizes[] = {934080, 943680, 929280};  // by width 320, 640, 160
  for (size_t i = 0; i < ranges.size(); ++i) {
    const KS_BITMAPINFOHEADER &b = ranges[i]->VideoInfoHeader.bmiHeader;
    SCOPED_TRACE(testing::Message() << i << ": " << b.biWidth << "x" << b.biHeight);
    KS_DATAFORMAT_VIDEOINFOHEADER f = Format(b.biWidth, b.biHeight, b.biCompression);
    ULONG length = 0;
    ASSERT_EQ(CamAllocateBandwidthEx(nullptr, &dc_, &length, &f, 0), STATUS_SUCCESS);
    EXPECT_EQ(dc_.g_nOutputFormat, codes[i]);
    EXPECT_EQ(length, ULONG(b.biWidth * b.biHeight));
    EXPECT_EQ(dc_.g_nBmpBufSize, bufSizes[b.biWidth == 320 ? 0 : b.biWidth == 640 ? 1 : 2]);
    EXPECT_EQ(CamFreeBandwidthEx(nullptr, &dc_, 0), STATUS_SUCCESS);
  }
}

TEST_F(BandwidthTest, RefusedFormatsReportWhatWasSetBeforeTheRefusal) {
  ULONG length = 99;
  dc_.g_nBrightness = 77;
  EXPECT_EQ(Allocate(320, 240, 0x34363248 /* "H264" */, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(dc_.g_nFrameWidth, 320);
  EXPECT_EQ(dc_.g_nBrightness, 77) << "the settings are not restored for a bad compression";
  EXPECT_EQ(HostDbg_Count("<ERROR> Bad Driver Output Compression: 0x34363248"), 1u);

  // A height outside the list fails after the length and the settings restore.
  EXPECT_EQ(Allocate(320, 200, KS_BI_RGB, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 64000u);
  EXPECT_EQ(dc_.g_nRawFrameSize, 64000u);
  EXPECT_EQ(dc_.g_nBrightness, 50);
  EXPECT_EQ(HostDbg_Count("<ERROR>Unsupport Driver Output Size(320,200)!"), 1u);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);

  // A width that is not positive, or too wide for a 32-bit buffer size, gets no buffers.
  EXPECT_EQ(Allocate(-320, 240, KS_BI_RGB, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Allocate(0x7FFFFFF0, 1024, KS_BI_RGB, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);

  // A format record shorter than a video-info format is not read.
  KS_DATAFORMAT_VIDEOINFOHEADER f = Format(320, 240, KS_BI_RGB);
  f.DataFormat.FormatSize = sizeof(KSDATAFORMAT);
  EXPECT_EQ(CamAllocateBandwidth(nullptr, &dc_, &length, &f), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
}

TEST_F(BandwidthTest, OnlyTheListedHeightsAreAccepted) {
  const LONG accepted[] = {120, 144, 240, 288, 480, 600, 768, 960, 1024};
  for (LONG h : accepted) {
    for (LONG height : {h - 1, h, h + 1}) {
      ULONG length = 0;
      HostDbg_Clear();
      char refusal[64];
      snprintf(refusal, sizeof(refusal), "<ERROR>Unsupport Driver Output Size(320,%d)!", int(height));
      EXPECT_EQ(Allocate(320, height, KS_BI_RGB, &length), height == h ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER)
          << height;
      EXPECT_EQ(HostDbg_Count(refusal), height == h ? 0u : 1u) << height;
      CamFreeBandwidth(nullptr, &dc_);
    }
  }
}

TEST_F(BandwidthTest, TheWidthIsNotTestedAndTallFramesGetAWholeBitmap) {
  ULONG length = 0;
  ASSERT_EQ(Allocate(176, 144, KS_BI_RGB, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 176u * 144u);
  EXPECT_EQ(dc_.g_nBmpBufSize, 929760u);
  CamFreeBandwidth(nullptr, &dc_);

  // 1280x1024: the formula gives 962880 bytes, the image needs 3932160.
  ASSERT_EQ(Allocate(1280, 1024, KS_BI_RGB, &length), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_nBmpBufSize, 3932160u);
  EXPECT_EQ(dc_.g_nIPBufSize, 3932160u);
  EXPECT_EQ(dc_.g_nRawLength, 652800u);
  ExpectSizesWithinBlocks();
}

TEST_F(BandwidthTest, TheStillPinReportsItsLengthAndAllocatesNothing) {
  ULONG length = 0;
  KS_DATAFORMAT_VIDEOINFOHEADER f = Format(320, 240, KS_BI_RGB);
  EXPECT_EQ(CamAllocateBandwidthEx(nullptr, &dc_, &length, &f, 1), STATUS_SUCCESS);
  EXPECT_EQ(length, 76800u);
  EXPECT_EQ(dc_.g_nOutputFormat, 0);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
  EXPECT_EQ(HostDbg_Lines().size(), 0u);
  EXPECT_EQ(CamFreeBandwidthEx(nullptr, &dc_, 1), STATUS_SUCCESS);
}

TEST_F(BandwidthTest, AFreeTwiceFreesOnceAndKeepsTheImageProcessContext) {
  ASSERT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  ULONG length = 0;
  ASSERT_EQ(Allocate(640, 480, KS_BI_RGB, &length), STATUS_SUCCESS);
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 4u);
  EXPECT_EQ(CamFreeBandwidth(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 1u);
  EXPECT_NE(dc_.g_pIPContext, nullptr);
  EXPECT_EQ(dc_.g_pRawBuf, nullptr);
  EXPECT_EQ(dc_.g_nBmpBufSize, 0u);
  EXPECT_EQ(CamFreeBandwidth(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 1u);
}

TEST_F(BandwidthTest, AFailedBufferIsReportedAndTheOthersStay) {
  ULONG length = 0;
  HostPool_FailNthAllocation(2);  // raw, then bitmap: the bitmap buffer fails
  EXPECT_EQ(Allocate(320, 240, KS_BI_RGB, &length), (NTSTATUS)0xC0000417);
  EXPECT_EQ(HostDbg_Count("<ERROR> Allocate Memory for Bmp Buffer (size=934080)"), 1u);
  EXPECT_EQ(HostDbg_Count("<ERROR> Allocate System Memory Error=0xc0000417"), 1u);
  EXPECT_NE(dc_.g_pRawBuf, nullptr);
  EXPECT_EQ(dc_.g_pBmpBuf, nullptr);
  EXPECT_NE(dc_.g_pIPBuf, nullptr);

  // The next allocation fills the gap and keeps the others.
  PUCHAR raw = dc_.g_pRawBuf;
  HostPool_FailTag(kWdm, true);
  EXPECT_EQ(Allocate(320, 240, KS_BI_RGB, &length), (NTSTATUS)0xC0000417);
  HostPool_FailTag(kWdm, false);
  EXPECT_EQ(Allocate(320, 240, KS_BI_RGB, &length), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_pRawBuf, raw);
  EXPECT_NE(dc_.g_pBmpBuf, nullptr);

  CamFreeBandwidth(nullptr, &dc_);
  HostPool_FailTag(kWdm, true);
  EXPECT_EQ(Allocate(640, 480, KS_BI_RGB, &length), (NTSTATUS)(0xC0000217 | 0xC0000417 | 0xC0001017));
  HostPool_FailTag(kWdm, false);
}

TEST_F(BandwidthTest, AnAllocationWithoutAFreeNeverLeavesASizeLargerThanItsBlock) {
  ULONG length = 0;
  ASSERT_EQ(Allocate(160, 120, KS_BI_RGB, &length), STATUS_SUCCESS);
  PUCHAR bmp160 = dc_.g_pBmpBuf;
  // Wider: the smaller blocks are replaced by blocks of the new sizes.
  ASSERT_EQ(Allocate(640, 480, KS_BI_RGB, &length), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_nBmpBufSize, 943680u);
  EXPECT_EQ(BlockSize(dc_.g_pBmpBuf), 943680u);
  EXPECT_EQ(BlockSize(dc_.g_pRawBuf), 633600u);
  EXPECT_FALSE(HostPool_IsLive(bmp160) && bmp160 != dc_.g_pBmpBuf);
  ExpectSizesWithinBlocks();
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 3u);

  // Narrower: the larger blocks are kept with their own sizes.
  PUCHAR bmp640 = dc_.g_pBmpBuf;
  ASSERT_EQ(Allocate(160, 120, KS_BI_RGB, &length), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_pBmpBuf, bmp640);
  EXPECT_EQ(dc_.g_nBmpBufSize, 943680u);
  EXPECT_EQ(dc_.g_nRawLength, 619200u);
  EXPECT_EQ(dc_.g_nRawBufSize, 633600u);
  ExpectSizesWithinBlocks();
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 3u);
}

TEST_F(BandwidthTest, TheReleaseWaitsUntilTheWorkerIsDoneWithTheBuffers) {
  ULONG length = 0;
  ASSERT_EQ(Allocate(320, 240, KS_BI_RGB, &length), STATUS_SUCCESS);
  KeInitializeEvent(&dc_.g_BufferFreeEvent, NotificationEvent, FALSE);
  dc_.g_bWorkerStarted = 1;
  dc_.g_bFrameInFlight = 1;
  std::atomic<bool> workerDone{false};
  std::atomic<bool> buffersAliveWhenDone{false};
  PUCHAR bmp = dc_.g_pBmpBuf;
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    buffersAliveWhenDone = HostPool_IsLive(bmp);
    workerDone = true;
    dc_.g_bFrameInFlight = 0;
    KeSetEvent(&dc_.g_BufferFreeEvent, 0, FALSE);
  });
  EXPECT_EQ(CamFreeBandwidth(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_TRUE(workerDone);
  worker.join();
  EXPECT_TRUE(buffersAliveWhenDone);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
  dc_.g_bWorkerStarted = 0;
}

}  // namespace
