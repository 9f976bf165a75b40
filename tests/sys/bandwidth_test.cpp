// Bandwidth and output-format selection: format codes, raw lengths, buffer sizes, refusals and failures.
#include <gtest/gtest.h>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

constexpr ULONG kTag = LUMAREX_POOL_TAG;

class BandwidthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostPool_Reset(), HostDbg_Clear();
    memset(&dc_, 0, sizeof(dc_));
  }
  void TearDown() override {
    CamUnInitialize(nullptr, &dc_);
    HostPool_ClearFaults();
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  }
  NTSTATUS Allocate(LONG width, LONG height, ULONG compression = KS_BI_RGB, ULONG stream = 0) {
    KS_DATAFORMAT_VIDEOINFOHEADER f = {};
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader.bmiHeader.biWidth = width;
    f.VideoInfoHeader.bmiHeader.biHeight = height;
    f.VideoInfoHeader.bmiHeader.biCompression = compression;
    length_ = 99;
    return CamAllocateBandwidthEx(nullptr, &dc_, &length_, &f, stream);
  }
  static size_t BlockSize(const void *p) {
    for (const HostPoolBlock &b : HostPool_LiveBlocks())
      if (b.address == p) return b.size;
    return 0;
  }
  DeviceContext dc_;
  ULONG length_ = 0;
};

// Raw buffer (width + 20480) x 30 bytes, bitmap and work buffers (width + 30816) x 30, or the
// whole RGB24 image where that is larger (1280 x 1024).
TEST_F(BandwidthTest, EachSizeAndCompressionGetsItsCodeLengthsAndBuffers) {
  struct Case { LONG width, height; ULONG compression; const char *log; ULONG raw, rawLength, bufSize; } cases[] = {
      {160, 120, KS_BI_RGB, "Format=1(RGB24)", 19200, 619200, 929280},
      {320, 240, KS_BI_RGB, "Format=1(RGB24)", 76800, 624000, 934080},
      {640, 480, KS_BI_RGB, "Format=1(RGB24)", 307200, 633600, 943680},
      {176, 144, KS_BI_RGB, "Format=1(RGB24)", 25344, 619680, 929760},  // the width is not checked
      {1280, 1024, KS_BI_RGB, "Format=1(RGB24)", 1310720, 652800, 3932160},
      {320, 240, LUMAREX_FOURCC_I420, "Format=2(I420 )", 76800, 624000, 934080},
      {320, 240, LUMAREX_FOURCC_YUY2, "Format=3(YUV2 )", 76800, 624000, 934080},
      {640, 480, 0x47504A4D /* "MJPG" */, "Format=10(JPEG )", 307200, 633600, 943680},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.log);
    HostDbg_Clear();
    ASSERT_EQ(Allocate(c.width, c.height, c.compression), STATUS_SUCCESS);
    EXPECT_EQ(HostDbg_Count((std::string("<AllocateBandWidth>Driver Output ") + c.log).c_str()), 1u);
    EXPECT_EQ(std::tuple(length_, dc_.g_nRawFrameSize, dc_.g_nRawLength, dc_.g_nBmpBufSize, dc_.g_nIPBufSize),
              std::tuple(c.raw, c.raw, c.rawLength, c.bufSize, c.bufSize));
    EXPECT_EQ(std::tuple(BlockSize(dc_.g_pRawBuf), BlockSize(dc_.g_pBmpBuf), BlockSize(dc_.g_pIPBuf)),
              std::tuple(size_t(c.rawLength), size_t(c.bufSize), size_t(c.bufSize)));
    EXPECT_EQ(std::tuple(dc_.g_nDecodeWidth, dc_.g_nDecodeHeight, dc_.g_nFrameRateIndex),
              std::tuple(c.width, c.height, 2u));
    EXPECT_EQ(CamFreeBandwidthEx(nullptr, &dc_, 0), STATUS_SUCCESS);
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
  }
}

TEST_F(BandwidthTest, OnlyTheListedHeightsAreAccepted) {
  for (LONG h : {120, 144, 240, 288, 480, 600, 768, 960, 1024}) {
    for (LONG height : {h - 1, h, h + 1}) {
      HostDbg_Clear();
      std::string refusal = "<ERROR>Unsupport Driver Output Size(320," + std::to_string(height) + ")!";
      EXPECT_EQ(Allocate(320, height), height == h ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER) << height;
      EXPECT_EQ(HostDbg_Count(refusal.c_str()), height == h ? 0u : 1u) << height;
      CamFreeBandwidth(nullptr, &dc_);
    }
  }
}

TEST_F(BandwidthTest, RefusedFormatsReportWhatWasSetBeforeTheRefusal) {
  dc_.g_nBrightness = 77;
  EXPECT_EQ(Allocate(320, 240, 0x34363248 /* "H264" */), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(std::tuple(length_, dc_.g_nFrameWidth, dc_.g_nBrightness), std::tuple(0u, 320, 77)) << "not restored";
  EXPECT_EQ(HostDbg_Count("<ERROR> Bad Driver Output Compression: 0x34363248"), 1u);
  EXPECT_EQ(Allocate(320, 200), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(std::tuple(length_, dc_.g_nBrightness), std::tuple(64000u, 50));
  EXPECT_EQ(Allocate(-320, 240), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Allocate(0x7FFFFFF0, 1024), STATUS_INVALID_PARAMETER);
  KS_DATAFORMAT_VIDEOINFOHEADER f = {};
  f.DataFormat.FormatSize = sizeof(KSDATAFORMAT);
  f.VideoInfoHeader.bmiHeader.biWidth = 320;
  f.VideoInfoHeader.bmiHeader.biHeight = 240;
  EXPECT_EQ(CamAllocateBandwidth(nullptr, &dc_, &length_, &f), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
  EXPECT_EQ(Allocate(640, 480, KS_BI_RGB, 1), STATUS_SUCCESS);  // the still pin: a length, no buffers
  EXPECT_EQ(std::tuple(length_, HostPool_LiveBlockCount()), std::tuple(76800u, size_t(0)));
}

TEST_F(BandwidthTest, FailedBuffersAreReportedOredAndFilledInByTheNextAllocation) {
  HostPool_FailNthAllocation(2);  // raw, then bitmap: the bitmap buffer fails
  EXPECT_EQ(Allocate(320, 240), (NTSTATUS)0xC0000417);
  EXPECT_EQ(HostDbg_Count("<ERROR> Allocate Memory for Bmp Buffer (size=934080)"), 1u);
  EXPECT_TRUE(dc_.g_pBmpBuf == nullptr && dc_.g_pIPBuf != nullptr);
  PUCHAR raw = dc_.g_pRawBuf;
  EXPECT_EQ(Allocate(320, 240), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_pRawBuf, raw);
  EXPECT_NE(dc_.g_pBmpBuf, nullptr);
  CamFreeBandwidth(nullptr, &dc_);
  HostPool_FailTag(kTag, true);
  EXPECT_EQ(Allocate(640, 480), (NTSTATUS)(0xC0000217 | 0xC0000417 | 0xC0001017));
  HostPool_FailTag(kTag, false);
}

TEST_F(BandwidthTest, SmallerBuffersAreReplacedLargerOnesKeptAndAFreeKeepsTheContext) {
  ASSERT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  ASSERT_EQ(Allocate(160, 120), STATUS_SUCCESS);
  ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);  // wider: blocks of the new sizes
  EXPECT_EQ(BlockSize(dc_.g_pBmpBuf), 943680u);
  EXPECT_EQ(BlockSize(dc_.g_pRawBuf), 633600u);
  EXPECT_EQ(HostPool_TagStats(kTag).liveBlocks, 4u);
  PUCHAR bmp640 = dc_.g_pBmpBuf;
  ASSERT_EQ(Allocate(160, 120), STATUS_SUCCESS);  // narrower: the larger blocks keep their sizes
  EXPECT_EQ(dc_.g_pBmpBuf, bmp640);
  EXPECT_EQ(std::tuple(dc_.g_nBmpBufSize, dc_.g_nRawLength, dc_.g_nRawBufSize), std::tuple(943680u, 619200u, 633600u));
  EXPECT_EQ(HostPool_TagStats(kTag).liveBlocks, 4u);
  for (int i = 0; i < 2; ++i) {  // a second free does nothing
    EXPECT_EQ(CamFreeBandwidth(nullptr, &dc_), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(HostPool_TagStats(kTag).liveBlocks, dc_.g_nBmpBufSize), std::tuple(1u, 0u)) << "context kept";
  }
}

}  // namespace
