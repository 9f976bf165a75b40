// Picture adjustments and the YUY2 / I420 converters: worked numbers, an independent model
// of the colour tables, and the frame-level routine with its work buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

struct Image {
  LONG width, height;
  std::vector<UCHAR> bgr;
  std::vector<PUCHAR> rows;

  Image(LONG w, LONG h, UCHAR fill = 0) : width(w), height(h), bgr(size_t(w) * h * 3, fill) { Index(); }
  // Copies own their pixels: the row table is rebuilt for the copy's buffer.
  Image(const Image &o) : width(o.width), height(o.height), bgr(o.bgr) { Index(); }
  Image &operator=(const Image &o) {
    width = o.width;
    height = o.height;
    bgr = o.bgr;
    Index();
    return *this;
  }
  void Index() {
    rows.resize(height);
    for (LONG y = 0; y < height; ++y) rows[y] = bgr.data() + size_t(y) * width * 3;
  }
  UCHAR *At(LONG x, LONG y) { return rows[y] + 3 * x; }
  void Set(LONG x, LONG y, UCHAR b, UCHAR g, UCHAR r) {
    At(x, y)[0] = b;
    At(x, y)[1] = g;
    At(x, y)[2] = r;
  }
};

LUMAREX_FRAME_SETTINGS Settings(LONG bv = 50, LONG cv = 50, LONG sv = 50, LONG sh = 0) {
  return LUMAREX_FRAME_SETTINGS{bv, cv, sh, sv, 50};
}

void Adjust(Image &img, const LUMAREX_FRAME_SETTINGS &s) {
  std::vector<UCHAR> luma(size_t(img.width) * img.height);
  LUMAREX_AdjustImageScalar(img.rows.data(), img.width, img.height, &s, luma.data());
}

Image RandomImage(LONG w, LONG h, unsigned seed) {
  Image img(w, h);
  std::mt19937 rng(seed);
  for (UCHAR &b : img.bgr) b = UCHAR(rng());
  return img;
}

TEST(PictureAdjust, NeutralSettingsLeaveTheImageAlone) {
  Image img = RandomImage(32, 24, 1);
  std::vector<UCHAR> before = img.bgr;
  Adjust(img, Settings());
  EXPECT_EQ(img.bgr, before);
}

TEST(PictureAdjust, BrightnessShiftsEveryByteWithSaturation) {
  Image img = RandomImage(16, 8, 2);
  std::vector<UCHAR> before = img.bgr;
  Adjust(img, Settings(60));
  for (size_t i = 0; i < before.size(); ++i) ASSERT_EQ(img.bgr[i], std::min(255, before[i] + 10)) << i;
  img.bgr = before;
  Adjust(img, Settings(0));
  for (size_t i = 0; i < before.size(); ++i) ASSERT_EQ(img.bgr[i], std::max(0, before[i] - 50)) << i;
}

TEST(PictureAdjust, SaturationScalesColourDifferencesAroundGreen) {
  Image img(4, 1);
  img.Set(0, 0, 100, 120, 150);
  img.Set(1, 0, 10, 200, 250);
  Image grey = img;
  Adjust(grey, Settings(50, 50, 0));
  EXPECT_EQ(grey.At(0, 0)[0], 120);
  EXPECT_EQ(grey.At(0, 0)[2], 120);
  EXPECT_EQ(grey.At(1, 0)[0], 200);
  Adjust(img, Settings(50, 50, 100));
  // R - G = 30 doubles to 60; B - G = -20 doubles to -40.
  EXPECT_EQ(img.At(0, 0)[2], 180);
  EXPECT_EQ(img.At(0, 0)[0], 80);
  EXPECT_EQ(img.At(0, 0)[1], 120);
  // Clamped at both ends.
  EXPECT_EQ(img.At(1, 0)[2], 255);
  EXPECT_EQ(img.At(1, 0)[0], 0);
}

TEST(PictureAdjust, ContrastAtOneHundred) {
  Image img(256, 1);
  for (int i = 0; i < 256; ++i) img.Set(i, 0, UCHAR(i), UCHAR(i), UCHAR(i));
  Adjust(img, Settings(50, 100));
  auto t = [&](int i) { return int(img.At(i, 0)[0]); };
  EXPECT_EQ(t(0), 0);
  EXPECT_EQ(t(255), 255);
  EXPECT_EQ(t(128), 128);
  for (int i = 0; i < 256; ++i) {
    int expected = std::clamp(355 * i / 255 - 50, 0, 255);
    ASSERT_EQ(t(i), expected) << i;
    ASSERT_EQ(img.At(i, 0)[2], expected);
  }
  // Lowest contrast: step 155, offset +50.
  for (int i = 0; i < 256; ++i) img.Set(i, 0, UCHAR(i), UCHAR(i), UCHAR(i));
  Adjust(img, Settings(50, 0));
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t(i), 155 * i / 255 + 50) << i;
}

TEST(PictureAdjust, SharpeningAroundASinglePixel) {
  // A grey field of luma 100 with one pixel of luma 200: that pixel keeps its value, the four
  // pixels two places away get D = (-2 * 100^2 * Sh) >> 13, nothing else changes.
  const LONG sh = 20;
  Image img(16, 16, 100);
  img.Set(8, 7, 200, 200, 200);
  Image before = img;
  Adjust(img, Settings(50, 50, 50, sh));
  int d = (-2 * 100 * 100 * sh) >> 13;
  ASSERT_EQ(d, -49);
  for (LONG y = 0; y < 16; ++y) {
    for (LONG x = 0; x < 16; ++x) {
      bool neighbour = (y == 7 && (x == 6 || x == 10)) || (x == 8 && (y == 5 || y == 9));
      int expected = neighbour ? 100 + d : before.At(x, y)[0];
      ASSERT_EQ(img.At(x, y)[0], expected) << x << "," << y;
      ASSERT_EQ(img.At(x, y)[2], expected) << x << "," << y;
    }
  }
  // A uniform image does not change at any sharpness.
  Image flat(12, 12, 77);
  std::vector<UCHAR> flatBefore = flat.bgr;
  Adjust(flat, Settings(50, 50, 50, 100));
  EXPECT_EQ(flat.bgr, flatBefore);
}

TEST(PictureAdjust, SharpeningLeavesTheTwoOuterRowsAndColumns) {
  Image img = RandomImage(9, 7, 3);
  Image before = img;
  Adjust(img, Settings(50, 50, 50, 100));
  for (LONG y = 0; y < 7; ++y) {
    for (LONG x = 0; x < 9; ++x) {
      if (x < 2 || x > 6 || y < 2 || y > 4) {
        ASSERT_EQ(0, memcmp(img.At(x, y), before.At(x, y), 3)) << x << "," << y;
      }
    }
  }
  // Four rows or fewer: nothing to sharpen.
  Image small = RandomImage(9, 4, 4);
  std::vector<UCHAR> smallBefore = small.bgr;
  Adjust(small, Settings(50, 50, 50, 100));
  EXPECT_EQ(small.bgr, smallBefore);
}

// ---- Converters --------------------------------------------------------------------------

// The colour tables as the coefficients define them, computed in floating point.
int Tab(double k, int i) { return int(std::floor(k * i + 0.5 + 1e-9)); }

struct Coefficients {
  double yr, yg, yb, ur, ug, ub, vg, vb;
};
const Coefficients kYuy2 = {0.299, 0.587, 0.114, 0.169, 0.331, 0.5, 0.419, 0.081};
const Coefficients kI420 = {0.257, 0.504, 0.098, 0.148, 0.291, 0.439, 0.368, 0.071};

UCHAR ModelY(const Coefficients &c, const UCHAR *p) {
  return UCHAR(Tab(c.yr, p[2]) + Tab(c.yg, p[1]) + Tab(c.yb, p[0]));
}
UCHAR ModelU(const Coefficients &c, const UCHAR *p) {
  return UCHAR(Tab(c.ub, p[0]) - Tab(c.ug, p[1]) - Tab(c.ur, p[2]) + 127);
}
UCHAR ModelV(const Coefficients &c, const UCHAR *p) {
  return UCHAR(Tab(c.ub, p[2]) - Tab(c.vg, p[1]) - Tab(c.vb, p[0]) + 127);
}

TEST(Yuy2, WhitePairAndWrapAround) {
  Image img(2, 1, 255);
  std::vector<UCHAR> out(4);
  LUMAREX_RGB24ToYUY2(img.rows.data(), out.data(), 2, 1);
  EXPECT_EQ(img.bgr[0], 255);
  EXPECT_EQ(img.bgr[1], 128);
  EXPECT_EQ(img.bgr[2], 255);
  EXPECT_EQ(img.bgr[3], 127);
  Image cyan(2, 1);
  cyan.Set(1, 0, 255, 255, 0);
  LUMAREX_RGB24ToYUY2(cyan.rows.data(), out.data(), 2, 1);
  EXPECT_EQ(cyan.bgr[3], 255);  // 127 - 107 - 21 = -1, stored modulo 256
}

TEST(Yuy2, MatchesTheCoefficientModelTopRowFirst) {
  const LONG w = 40, h = 30;
  Image img = RandomImage(w, h, 5);
  Image source = img;
  std::vector<UCHAR> out(size_t(w) * h * 2);
  LUMAREX_RGB24ToYUY2(img.rows.data(), out.data(), w, h);
  for (LONG i = 0; i < h; ++i) {
    const UCHAR *src = source.rows[h - 1 - i];  // output row 0 is the last row in memory
    const UCHAR *dst = img.bgr.data() + size_t(i) * w * 2;
    ASSERT_EQ(img.rows[i], dst);
    for (LONG x = 0; x < w; x += 2) {
      ASSERT_EQ(dst[2 * x + 0], ModelY(kYuy2, src + 3 * x));
      ASSERT_EQ(dst[2 * x + 1], ModelU(kYuy2, src + 3 * x));
      ASSERT_EQ(dst[2 * x + 2], ModelY(kYuy2, src + 3 * x + 3));
      ASSERT_EQ(dst[2 * x + 3], ModelV(kYuy2, src + 3 * x + 3));
    }
  }
}

TEST(Yuy2, OddWidthStaysInsideItsRows) {
  const LONG w = 5, h = 3;
  Image img = RandomImage(w, h, 6);
  Image source = img;
  std::vector<UCHAR> out(size_t(w) * h * 2);  // exactly the size: the sanitizer build checks
  LUMAREX_RGB24ToYUY2(img.rows.data(), out.data(), w, h);
  const UCHAR *top = source.rows[h - 1];
  EXPECT_EQ(out[8], ModelY(kYuy2, top + 12));
  EXPECT_EQ(out[9], ModelU(kYuy2, top + 12));
  EXPECT_EQ(out[10], ModelY(kYuy2, source.rows[h - 2]));
}

TEST(I420, WhitePictureAndPlaneLayout) {
  const LONG w = 8, h = 4;
  Image img(w, h, 255);
  std::vector<UCHAR> out(size_t(w) * h * 2);
  LUMAREX_RGB24ToI420(img.rows.data(), out.data(), w, h);
  for (int i = 0; i < w * h; ++i) ASSERT_EQ(img.bgr[i], 220) << i;
  for (int i = w * h; i < w * h * 3 / 2; ++i) ASSERT_EQ(img.bgr[i], 127) << i;
}

TEST(I420, MatchesTheCoefficientModel) {
  const LONG w = 10, h = 6;
  Image img = RandomImage(w, h, 7);
  Image source = img;
  std::vector<UCHAR> out(size_t(w) * h * 2);
  LUMAREX_RGB24ToI420(img.rows.data(), out.data(), w, h);
  const UCHAR *y = img.bgr.data();
  const UCHAR *u = y + w * h;
  const UCHAR *v = u + w * h / 4;
  for (LONG row = 0; row < h; ++row) {
    const UCHAR *src = source.rows[h - 1 - row];
    for (LONG x = 0; x < w; ++x) ASSERT_EQ(y[row * w + x], ModelY(kI420, src + 3 * x)) << row << "," << x;
    if (row % 2 == 0) {
      for (LONG x = 0; x < w; x += 2) {
        ASSERT_EQ(u[(row / 2) * (w / 2) + x / 2], ModelU(kI420, src + 3 * x));
        ASSERT_EQ(v[(row / 2) * (w / 2) + x / 2], ModelV(kI420, src + 3 * x));
      }
    }
  }
}

TEST(I420, OddSizesStayInsideThePlanes) {
  const LONG w = 5, h = 5;
  Image img = RandomImage(w, h, 8);
  Image source = img;
  std::vector<UCHAR> out(size_t(w) * h * 3 / 2);  // exactly the I420 size
  LUMAREX_RGB24ToI420(img.rows.data(), out.data(), w, h);
  // Last (unpaired) row: luma only; chroma of the two complete row pairs, two pairs each.
  EXPECT_EQ(out[20], ModelY(kI420, source.rows[0]));
  EXPECT_EQ(out[25], ModelU(kI420, source.rows[4]));
  EXPECT_EQ(out[25 + 6], ModelV(kI420, source.rows[4]));
}

// ---- The frame-level routine --------------------------------------------------------------

class ProcessImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostPool_Reset();
    memset(&dc_, 0, sizeof(dc_));
  }
  void TearDown() override {
    HostPool_ClearFaults();
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  }
  void Frame(LONG w, LONG h, UCHAR format, unsigned seed) {
    img_ = RandomImage(w, h, seed);
    dc_.g_nDecodeWidth = w;
    dc_.g_nDecodeHeight = h;
    dc_.g_pBmpBuf = img_.bgr.data();
    dc_.g_nBmpBufSize = ULONG(img_.bgr.size());
    ip_.assign(size_t(w) * h * 2, 0);
    dc_.g_pIPBuf = ip_.data();
    dc_.g_nIPBufSize = ULONG(ip_.size());
    dc_.g_nOutputFormat = format;
  }
  DeviceContext dc_;
  Image img_{1, 1};
  std::vector<UCHAR> ip_;
};

TEST_F(ProcessImageTest, AdjustsWithTheSnapshotAndConvertsToYuy2) {
  Frame(64, 48, LUMAREX_FORMAT_YUY2, 9);
  Image expected = img_;
  dc_.g_FrameSettings = Settings(55, 60, 40, 20);
  Adjust(expected, dc_.g_FrameSettings);
  std::vector<UCHAR> out(64 * 48 * 2);
  LUMAREX_RGB24ToYUY2(expected.rows.data(), out.data(), 64, 48);
  LUMAREX_ProcessImage(&dc_);
  EXPECT_EQ(0, memcmp(img_.bgr.data(), expected.bgr.data(), 64 * 48 * 2));
  EXPECT_EQ(dc_.g_pRowTable[1], img_.bgr.data() + 64 * 2);
}

TEST_F(ProcessImageTest, Rgb24IsAdjustedInPlaceOnly) {
  Frame(32, 16, LUMAREX_FORMAT_RGB24, 10);
  Image expected = img_;
  dc_.g_FrameSettings = Settings(30, 70, 80, 50);
  Adjust(expected, dc_.g_FrameSettings);
  LUMAREX_ProcessImage(&dc_);
  EXPECT_EQ(img_.bgr, expected.bgr);
  EXPECT_EQ(dc_.g_pRowTable[0], nullptr);
}

TEST_F(ProcessImageTest, AllocationFailureLeavesTheFrameAsDecoded) {
  for (uint64_t n : {1u, 2u}) {
    Frame(32, 16, LUMAREX_FORMAT_YUY2, 11);
    std::vector<UCHAR> before = img_.bgr;
    dc_.g_FrameSettings = Settings(80, 20, 90, 40);
    HostPool_FailNthAllocation(n);
    LUMAREX_ProcessImage(&dc_);
    EXPECT_EQ(img_.bgr, before) << "allocation " << n;
  }
}

TEST_F(ProcessImageTest, TallerThanTheRowTableIsNotConverted) {
  Frame(4, 482, LUMAREX_FORMAT_I420, 12);
  Image expected = img_;
  dc_.g_FrameSettings = Settings();
  LUMAREX_ProcessImage(&dc_);
  EXPECT_EQ(img_.bgr, expected.bgr);
}

}  // namespace
