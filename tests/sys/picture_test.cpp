// Picture adjustments (scalar form) and the YUY2 / I420 converters against worked numbers.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

struct Image {
  LONG width, height;
  std::vector<UCHAR> bgr;
  std::vector<PUCHAR> rows;
  Image(LONG w, LONG h, UCHAR fill = 0, unsigned seed = 0) : width(w), height(h), bgr(size_t(w) * h * 3, fill) {
    std::mt19937 rng(seed);
    if (seed) std::generate(bgr.begin(), bgr.end(), [&] { return UCHAR(rng()); });
    Index();
  }
  Image(const Image &o) : width(o.width), height(o.height), bgr(o.bgr) { Index(); }  // owns its pixels
  void Index() {
    rows.clear();
    for (LONG y = 0; y < height; ++y) rows.push_back(bgr.data() + size_t(y) * width * 3);
  }
  UCHAR *At(LONG x, LONG y) { return rows[y] + 3 * x; }
  void Adjust(LONG bv, LONG cv, LONG sv, LONG sh) {
    LUMAREX_FRAME_SETTINGS s = {bv, cv, sh, sv, 50};
    std::vector<UCHAR> luma(bgr.size() / 3);
    LUMAREX_AdjustImageScalar(rows.data(), width, height, &s, luma.data());
  }
};

TEST(PictureAdjust, BrightnessAndNeutralSettings) {
  const Image src(16, 8, 0, 2);
  Image neutral = src, brighter = src, darker = src;
  neutral.Adjust(50, 50, 50, 0);
  EXPECT_EQ(neutral.bgr, src.bgr);
  brighter.Adjust(60, 50, 50, 0);
  darker.Adjust(0, 50, 50, 0);
  for (size_t i = 0; i < src.bgr.size(); ++i) {
    ASSERT_EQ(brighter.bgr[i], std::min(255, src.bgr[i] + 10)) << i;
    ASSERT_EQ(darker.bgr[i], std::max(0, src.bgr[i] - 50)) << i;
  }
}

TEST(PictureAdjust, SaturationScalesColourDifferencesAroundGreen) {
  // (B, G, R) = (100, 120, 150): R - G = 30 and B - G = -20 double at 100 and vanish at 0;
  Image img(2, 1);
  img.bgr = {100, 120, 150, 10, 200, 250};
  Image grey = img;
  img.Adjust(50, 50, 100, 0);
  grey.Adjust(50, 50, 0, 0);
  EXPECT_EQ(img.bgr, (std::vector<UCHAR>{80, 120, 180, 0, 200, 255}));
  EXPECT_EQ(grey.bgr, (std::vector<UCHAR>{120, 120, 120, 200, 200, 200}));
}

TEST(PictureAdjust, ContrastWorkedValues) {
  // Cv 100: step 355, offset -50, so i * 355 / 255 - 50 clamped; Cv 0: step 155, offset +50.
  const int values[] = {0, 36, 37, 128, 200, 219, 220, 255};
  const int at100[] = {0, 0, 1, 128, 228, 254, 255, 255};
  const int at0[] = {50, 71, 72, 127, 171, 183, 183, 205};
  for (int k = 0; k < 8; ++k) {
    Image high(1, 1, UCHAR(values[k])), low(1, 1, UCHAR(values[k]));
    high.Adjust(50, 100, 50, 0);
    low.Adjust(50, 0, 50, 0);
    EXPECT_EQ(high.bgr, std::vector<UCHAR>(3, UCHAR(at100[k]))) << values[k];
    EXPECT_EQ(low.bgr, std::vector<UCHAR>(3, UCHAR(at0[k]))) << values[k];
  }
}

TEST(PictureAdjust, SharpeningAroundASinglePixelAndAtTheEdges) {
  // A grey field of luma 100 with one pixel of luma 200: that pixel keeps its value, the four
  // pixels two places away get (-2 * 100 * 100 * 20) >> 13 = -49, nothing else changes.
  Image img(16, 16, 100);
  std::fill_n(img.At(8, 7), 3, 200);
  Image expected = img;
  for (auto [x, y] : {std::pair{6, 7}, {10, 7}, {8, 5}, {8, 9}}) std::fill_n(expected.At(x, y), 3, 51);
  img.Adjust(50, 50, 50, 20);
  EXPECT_EQ(img.bgr, expected.bgr);
  // The two outer rows and columns keep their pixels; four rows or fewer do not change at all.
  for (LONG h : {7, 4}) {
    const Image src(9, h, 0, 3);
    Image img2 = src;
    img2.Adjust(50, 50, 50, 100);
    for (LONG y = 0; y < h; ++y)
      for (LONG x = 0; x < 9; ++x)
        if (h == 4 || x < 2 || x > 6 || y < 2 || y > h - 3)
          ASSERT_EQ(0, memcmp(img2.At(x, y), src.bgr.data() + 27 * y + 3 * x, 3)) << x << "," << y;
  }
}

// Each table entry is floor(k * i + 0.5); chroma adds 127, modulo 256.
// (B, G, R) = (147, 30, 200) in YUY2: Y = 60 + 18 + 17 = 95, U = 74 - 10 - 34 + 127 = 157,
// V = 100 - 13 - 12 + 127 = 202. I420 luma is limited range: 16 + 0.2568 R + 0.5041 G +
// 0.0979 B, each term rounded: 16 + 51 + 15 + 14 = 96.
struct Worked {
  UCHAR b, g, r;
  UCHAR yuy2[3], i420[3];  // Y, U, V
};
const Worked kPalette[] = {{147, 30, 200, {95, 157, 202}, {96, 153, 194}},
                           {10, 220, 90, {157, 44, 79}, {151, 54, 85}},
                           {255, 255, 0, {179, 171, 255}, {170, 165, 15}},
                           {0, 0, 255, {76, 84, 255}, {81, 89, 239}},
                           {255, 255, 255, {255, 128, 127}, {235, 127, 127}}};

// Pixel (x, y) of the picture, y counted from the top, is palette entry (x + 2y) % 5.
int ColourAt(LONG x, LONG y) { return int(x + 2 * y) % 5; }
Image PaletteImage(LONG w, LONG h) {
  Image img(w, h);
  for (LONG y = 0; y < h; ++y)
    for (LONG x = 0; x < w; ++x) {
      const Worked &c = kPalette[ColourAt(x, y)];
      UCHAR *p = img.At(x, h - 1 - y);
      p[0] = c.b, p[1] = c.g, p[2] = c.r;
    }
  return img;
}

TEST(Converters, Yuy2PairsTopRowFirstAndOddWidths) {
  for (auto [w, h] : {std::pair<LONG, LONG>{6, 3}, {5, 3}}) {
    Image img = PaletteImage(w, h);
    std::vector<UCHAR> out(size_t(w) * h * 2), expected;  // exactly the size: the sanitizer checks
    for (LONG y = 0; y < h; ++y)
      for (LONG x = 0; x < w; ++x) {
        const UCHAR *c = kPalette[ColourAt(x, y)].yuy2;
        expected.push_back(c[0]);
        expected.push_back(x % 2 ? c[2] : c[1]);  // U of the left pixel, V of the right one
      }
    LUMAREX_RGB24ToYUY2(img.rows.data(), out.data(), w, h);
    EXPECT_EQ(std::vector<UCHAR>(img.bgr.begin(), img.bgr.begin() + w * h * 2), expected) << w;
    EXPECT_EQ(img.rows[1], img.bgr.data() + w * 2);
  }
}

TEST(Converters, I420PlanesWithChromaOfEachUpperLeftPixel) {
  for (auto [w, h] : {std::pair<LONG, LONG>{6, 4}, {5, 5}}) {
    Image img = PaletteImage(w, h);
    std::vector<UCHAR> out(size_t(w) * h * 3 / 2), y, u, v;  // exactly the I420 size
    for (LONG row = 0; row < h; ++row)
      for (LONG x = 0; x < w; ++x) {
        const UCHAR *c = kPalette[ColourAt(x, row)].i420;
        y.push_back(c[0]);
        if (row % 2 == 0 && row + 1 < h && x % 2 == 0 && x + 1 < w) u.push_back(c[1]), v.push_back(c[2]);
      }
    LUMAREX_RGB24ToI420(img.rows.data(), out.data(), w, h);
    const UCHAR *p = img.bgr.data(), *uPlane = p + w * h, *vPlane = uPlane + w * h / 4;
    EXPECT_EQ(std::vector<UCHAR>(p, p + y.size()), y) << w;
    EXPECT_EQ(std::vector<UCHAR>(uPlane, uPlane + u.size()), u) << w;
    EXPECT_EQ(std::vector<UCHAR>(vPlane, vPlane + v.size()), v) << w;
  }
}

// I420 luma is the limited range players expect: black 16, white 235, and every grey level the
// grey and the full-range YUY2 luma of the same pixels mapped onto 16..235 (16 + Y * 219 / 255), within the
// rounding of the three table terms. Blank frames are not made here and stay as they are.
TEST(Converters, I420LumaIsLimitedRangeAgainstYuy2OfTheSamePicture) {
  const LONG w = 256, h = 2;  // one column per grey level
  Image grey(w, h);
  for (LONG y = 0; y < h; ++y)
    for (LONG x = 0; x < w; ++x) memset(grey.At(x, y), int(x), 3);
  Image copy(grey);
  std::vector<UCHAR> work(size_t(w) * h * 2);
  LUMAREX_RGB24ToI420(grey.rows.data(), work.data(), w, h);
  LUMAREX_RGB24ToYUY2(copy.rows.data(), work.data(), w, h);
  const UCHAR *i420 = grey.bgr.data(), *yuy2 = copy.bgr.data();
  EXPECT_EQ(i420[0], 16);
  EXPECT_EQ(i420[255], 235);
  EXPECT_EQ(yuy2[0], 0);
  EXPECT_EQ(yuy2[2 * 255], 255);
  // Each form rounds its three terms: the grey itself within 1.5, and the YUY2 luma (rounded
  // the same way, then scaled) within 1.5 + 1.5 * 219 / 255.
  for (LONG x = 0; x < w; ++x) {
    EXPECT_NEAR(i420[x], 16 + x * 219.0 / 255.0, 1.5) << "grey " << x;
    EXPECT_NEAR(i420[x], 16 + yuy2[2 * x] * 219.0 / 255.0, 2.8) << "grey " << x;
    EXPECT_EQ(i420[w + x], i420[x]) << "grey " << x << ", second row";
  }
  EXPECT_EQ(i420[30], 42);  // grey 30: 16 + 8 + 15 + 3, not 26
}

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
  void Frame(Image &img, UCHAR format, LUMAREX_FRAME_SETTINGS settings) {
    dc_.g_nDecodeWidth = img.width, dc_.g_nDecodeHeight = img.height;
    dc_.g_pBmpBuf = img.bgr.data();
    ip_.assign(img.bgr.size(), 0);
    dc_.g_pIPBuf = ip_.data();
    dc_.g_nBmpBufSize = dc_.g_nIPBufSize = ULONG(ip_.size());
    dc_.g_nOutputFormat = format;
    dc_.g_FrameSettings = settings;
  }
  DeviceContext dc_;
  std::vector<UCHAR> ip_;
};

TEST_F(ProcessImageTest, AFailedAllocationOrATooTallFrameLeavesTheFrameAsDecoded) {
  for (uint64_t n : {1u, 2u, 0u}) {
    Image img(4, n ? 16 : 482, 0, 11);
    const std::vector<UCHAR> before = img.bgr;
    Frame(img, n ? LUMAREX_FORMAT_YUY2 : LUMAREX_FORMAT_I420, {n ? 80 : 50, n ? 20 : 50, n ? 40 : 0, n ? 90 : 50, 50});
    if (n) HostPool_FailNthAllocation(n);
    LUMAREX_ProcessImage(&dc_);
    EXPECT_EQ(img.bgr, before) << "allocation " << n;
  }
}

}  // namespace
