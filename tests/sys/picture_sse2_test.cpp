// The vector form of the picture adjustments against the scalar form, which defines them:
// byte equality over image sizes (row tails of every length), the whole range of every
// setting, random combinations, and images that drive the clamps; settings outside 0..100
// are refused without touching anything.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lumarex.h"

namespace {

// A BGR image whose rows are separate allocations of exactly width * 3 bytes, so that the
// address sanitizer reports any access past the end of a row.
struct RowImage {
  LONG width, height;
  std::vector<std::vector<UCHAR>> data;
  std::vector<PUCHAR> rows;

  RowImage(LONG w, LONG h, UCHAR fill = 0) : width(w), height(h), data(h, std::vector<UCHAR>(size_t(w) * 3, fill)) {
    Index();
  }
  RowImage(const RowImage &o) : width(o.width), height(o.height), data(o.data) { Index(); }
  RowImage &operator=(const RowImage &) = delete;
  void Index() {
    rows.resize(height);
    for (LONG y = 0; y < height; ++y) rows[y] = data[y].data();
  }
  UCHAR *At(LONG x, LONG y) { return rows[y] + 3 * x; }
  void Set(LONG x, LONG y, UCHAR b, UCHAR g, UCHAR r) {
    At(x, y)[0] = b;
    At(x, y)[1] = g;
    At(x, y)[2] = r;
  }
  bool operator==(const RowImage &o) const { return width == o.width && height == o.height && data == o.data; }
};

LUMAREX_FRAME_SETTINGS Settings(LONG bv, LONG cv, LONG sv, LONG sh) {
  return LUMAREX_FRAME_SETTINGS{bv, cv, sh, sv, 50};
}

std::string Describe(const LUMAREX_FRAME_SETTINGS &s, LONG w, LONG h) {
  return "Bv " + std::to_string(s.Brightness) + " Cv " + std::to_string(s.Contrast) + " Sv " +
         std::to_string(s.Saturation) + " Sh " + std::to_string(s.Sharpness) + " on " + std::to_string(w) + "x" +
         std::to_string(h);
}

RowImage RandomImage(LONG w, LONG h, std::mt19937 &rng) {
  RowImage img(w, h);
  for (auto &row : img.data)
    for (UCHAR &b : row) b = UCHAR(rng());
  return img;
}

// Every byte value in every channel, in several pairings of the channels, plus random rows.
RowImage AllValuesImage(std::mt19937 &rng) {
  RowImage img = RandomImage(259, 7, rng);
  for (LONG x = 0; x < 256; ++x) {
    img.Set(x, 0, UCHAR(x), UCHAR(x), UCHAR(x));
    img.Set(x, 2, UCHAR(x), UCHAR(255 - x), UCHAR(x * 97 + 13));
    img.Set(x, 3, UCHAR(x * 37 + 5), UCHAR(x), UCHAR(255 - x));
    img.Set(x, 5, UCHAR(255 - x), UCHAR(x * 151 + 7), UCHAR(x));
  }
  return img;
}

// Runs both forms on copies of src. Fails when the vector form refuses valid settings or any
// byte differs; *changed tells whether the adjustments changed the image at all.
::testing::AssertionResult SameAsScalar(const RowImage &src, const LUMAREX_FRAME_SETTINGS &s,
                                        bool *changed = nullptr) {
  RowImage scalar = src, vector = src;
  std::vector<UCHAR> lumaScalar(size_t(src.width) * src.height);
  // The vector form must not depend on what the work image holds beforehand.
  std::vector<UCHAR> lumaVector(size_t(src.width) * src.height, 0xA5);
  LUMAREX_AdjustImageScalar(scalar.rows.data(), src.width, src.height, &s, lumaScalar.data());
  if (!LUMAREX_AdjustImageMMX(vector.rows.data(), src.width, src.height, &s, lumaVector.data())) {
    return ::testing::AssertionFailure() << "vector form refused " << Describe(s, src.width, src.height);
  }
  if (changed != nullptr) *changed = !(scalar == src);
  for (LONG y = 0; y < src.height; ++y) {
    for (LONG i = 0; i < 3 * src.width; ++i) {
      if (scalar.data[y][i] != vector.data[y][i]) {
        return ::testing::AssertionFailure()
               << Describe(s, src.width, src.height) << ": pixel (" << i / 3 << ", " << y << ") channel " << i % 3
               << " was " << int(src.data[y][i]) << ", scalar " << int(scalar.data[y][i]) << ", vector "
               << int(vector.data[y][i]);
      }
    }
  }
  return ::testing::AssertionSuccess();
}

LONG Pick(std::mt19937 &rng) {
  // A fifth of the draws land on 0, 50 or 100; the rest anywhere in 0..100.
  static const LONG kEnds[3] = {0, 50, 100};
  if (rng() % 5 == 0) return kEnds[rng() % 3];
  return LONG(rng() % 101);
}

LUMAREX_FRAME_SETTINGS RandomSettings(std::mt19937 &rng) {
  LONG bv = Pick(rng), cv = Pick(rng), sv = Pick(rng), sh = Pick(rng);
  return Settings(bv, cv, sv, sh);
}

class PictureSse2 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!LUMAREX_HasSSE2()) GTEST_SKIP() << "the processor reports no SSE2";
  }
};

// ---- Image sizes --------------------------------------------------------------------------

TEST_F(PictureSse2, EverySmallSize) {
  std::mt19937 rng(1);
  const LUMAREX_FRAME_SETTINGS fixed[] = {Settings(50, 50, 50, 0), Settings(50, 50, 50, 20),
                                          Settings(73, 31, 88, 100), Settings(0, 100, 0, 1),
                                          Settings(100, 0, 100, 57)};
  for (LONG w = 1; w <= 20; ++w) {
    for (LONG h = 1; h <= 12; ++h) {
      RowImage img = RandomImage(w, h, rng);
      for (const auto &s : fixed) ASSERT_TRUE(SameAsScalar(img, s));
      for (int k = 0; k < 4; ++k) ASSERT_TRUE(SameAsScalar(img, RandomSettings(rng)));
    }
  }
}

TEST_F(PictureSse2, RowTailsOfEveryLength) {
  // Widths around the vector steps (8 pixels sharpened, 16 coloured, 32 for the luma), most
  // with rows that are not a multiple of 16 bytes.
  std::mt19937 rng(2);
  for (LONG w :
       {21, 26, 31, 32, 33, 34, 35, 39, 40, 41, 42, 47, 48, 49, 50, 63, 64, 65, 66, 95, 97, 101, 127, 161, 333}) {
    for (LONG h : {5, 6, 9}) {
      RowImage img = RandomImage(w, h, rng);
      ASSERT_TRUE(SameAsScalar(img, Settings(50, 50, 50, 20)));
      ASSERT_TRUE(SameAsScalar(img, Settings(64, 77, 21, 100)));
      for (int k = 0; k < 3; ++k) ASSERT_TRUE(SameAsScalar(img, RandomSettings(rng)));
    }
  }
}

TEST_F(PictureSse2, FullFrames) {
  std::mt19937 rng(3);
  for (auto [w, h] : {std::pair<LONG, LONG>{640, 480}, {320, 240}, {160, 120}, {176, 144}, {639, 479}}) {
    RowImage img = RandomImage(w, h, rng);
    bool changed = false;
    ASSERT_TRUE(SameAsScalar(img, Settings(50, 50, 50, 20), &changed));
    EXPECT_TRUE(changed);
    ASSERT_TRUE(SameAsScalar(img, RandomSettings(rng)));
  }
}

// ---- Each setting over its whole range ----------------------------------------------------

enum Field { kBrightness, kContrast, kSaturation, kSharpness };

LUMAREX_FRAME_SETTINGS With(LUMAREX_FRAME_SETTINGS s, Field f, LONG v) {
  switch (f) {
    case kBrightness: s.Brightness = v; break;
    case kContrast: s.Contrast = v; break;
    case kSaturation: s.Saturation = v; break;
    case kSharpness: s.Sharpness = v; break;
  }
  return s;
}

void Sweep(Field f, LONG neutral, unsigned seed) {
  std::mt19937 rng(seed);
  const RowImage images[] = {RandomImage(45, 11, rng), AllValuesImage(rng)};
  for (LONG v = 0; v <= 100; ++v) {
    for (const RowImage &img : images) {
      // Alone, the others neutral: the setting by itself must change the image.
      bool changed = false;
      ASSERT_TRUE(SameAsScalar(img, With(Settings(50, 50, 50, 0), f, v), &changed));
      if (v != neutral) EXPECT_TRUE(changed) << "value " << v;
      // With the others random.
      for (int k = 0; k < 3; ++k) ASSERT_TRUE(SameAsScalar(img, With(RandomSettings(rng), f, v)));
      // With the others at their ends.
      ASSERT_TRUE(SameAsScalar(img, With(Settings(0, 100, 100, 100), f, v)));
      ASSERT_TRUE(SameAsScalar(img, With(Settings(100, 0, 0, 1), f, v)));
    }
  }
}

TEST_F(PictureSse2, BrightnessOverItsRange) { Sweep(kBrightness, 50, 10); }
TEST_F(PictureSse2, ContrastOverItsRange) { Sweep(kContrast, 50, 11); }
TEST_F(PictureSse2, SaturationOverItsRange) { Sweep(kSaturation, 50, 12); }
TEST_F(PictureSse2, SharpnessOverItsRange) { Sweep(kSharpness, 0, 13); }

TEST_F(PictureSse2, RandomCombinations) {
  std::mt19937 rng(4);
  for (int k = 0; k < 3000; ++k) {
    LONG w = LONG(1 + rng() % 70), h = LONG(1 + rng() % 20);
    RowImage img = RandomImage(w, h, rng);
    ASSERT_TRUE(SameAsScalar(img, RandomSettings(rng))) << "combination " << k;
  }
}

// ---- Images that drive the clamps ---------------------------------------------------------

std::vector<RowImage> ExtremeImages() {
  const LONG w = 23, h = 19;
  std::vector<RowImage> out;
  out.emplace_back(w, h, 0);
  out.emplace_back(w, h, 255);
  RowImage checker(w, h), colourChecker(w, h), brightDot(w, h, 0), darkDot(w, h, 255), greyBrightDot(w, h, 100),
      greyDarkDot(w, h, 160), stripes(w, h), primaries(w, h), grid(w, h, 0);
  std::mt19937 rng(5);
  for (LONG y = 0; y < h; ++y) {
    for (LONG x = 0; x < w; ++x) {
      UCHAR v = ((x + y) & 1) ? 255 : 0;
      checker.Set(x, y, v, v, v);
      colourChecker.Set(x, y, v, UCHAR(255 - v), v);
      UCHAR s = (x & 1) ? 255 : 0;
      stripes.Set(x, y, s, s, s);
      const UCHAR p[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
      const UCHAR *c = p[rng() % 3];
      primaries.Set(x, y, c[0], c[1], c[2]);
      if (x % 4 == 2 && y % 4 == 2) grid.Set(x, y, 255, 255, 255);
    }
  }
  brightDot.Set(w / 2, h / 2, 255, 255, 255);
  darkDot.Set(w / 2, h / 2, 0, 0, 0);
  greyBrightDot.Set(w / 2, h / 2, 255, 255, 255);
  greyDarkDot.Set(w / 2, h / 2, 0, 0, 0);
  for (RowImage *img :
       {&checker, &colourChecker, &brightDot, &darkDot, &greyBrightDot, &greyDarkDot, &stripes, &primaries, &grid}) {
    out.push_back(*img);
  }
  return out;
}

TEST_F(PictureSse2, ExtremeImagesOverExtremeSettings) {
  const LONG values[] = {0, 1, 49, 50, 51, 99, 100};
  for (const RowImage &img : ExtremeImages()) {
    for (LONG bv : values)
      for (LONG cv : values)
        for (LONG sv : values)
          for (LONG sh : values) ASSERT_TRUE(SameAsScalar(img, Settings(bv, cv, sv, sh)));
  }
}

TEST_F(PictureSse2, SharpeningDrivesNeighboursToTheClamps) {
  // Around a dot of luma L on a field of luma g the four pixels two places away get
  // D = 2 |L - g| (g - L) Sh >> 13: on the grey fields (L - g = 155 and -160) that passes
  // 0 and 255 from Sh 18 on; the dots on black and white push their field further into the
  // clamp it already sits at. The checkerboards and stripes give large terms of both signs.
  const std::vector<RowImage> images = ExtremeImages();
  for (const RowImage &img : images) {
    for (LONG sh = 0; sh <= 100; ++sh) {
      ASSERT_TRUE(SameAsScalar(img, Settings(50, 50, 50, sh)));
      ASSERT_TRUE(SameAsScalar(img, Settings(100, 100, 100, sh)));
      ASSERT_TRUE(SameAsScalar(img, Settings(0, 0, 0, sh)));
    }
  }
  bool changed = false;
  for (size_t k : {6, 7}) {  // the dots on grey
    ASSERT_TRUE(SameAsScalar(images[k], Settings(50, 50, 50, 100), &changed));
    EXPECT_TRUE(changed);
  }
}

// ---- Settings the vector form does not take -----------------------------------------------

TEST_F(PictureSse2, OutOfRangeSettingsAreRefusedUntouched) {
  std::mt19937 rng(6);
  const RowImage src = RandomImage(37, 9, rng);
  for (Field f : {kBrightness, kContrast, kSaturation, kSharpness}) {
    for (LONG v : {LONG(-1), LONG(101), LONG(1000), LONG(INT_MIN), LONG(INT_MAX)}) {
      RowImage img = src;
      std::vector<UCHAR> luma(size_t(src.width) * src.height, 0x3C);
      const LUMAREX_FRAME_SETTINGS s = With(Settings(60, 40, 70, 20), f, v);
      EXPECT_FALSE(LUMAREX_AdjustImageMMX(img.rows.data(), src.width, src.height, &s, luma.data()))
          << Describe(s, src.width, src.height);
      EXPECT_TRUE(img == src) << Describe(s, src.width, src.height);
      EXPECT_EQ(std::vector<UCHAR>(luma.size(), 0x3C), luma) << Describe(s, src.width, src.height);
    }
  }
}

TEST_F(PictureSse2, WhiteBalanceIsNotLookedAt) {
  std::mt19937 rng(7);
  const RowImage src = RandomImage(29, 8, rng);
  for (LONG wb : {LONG(-1), LONG(101), LONG(INT_MIN), LONG(INT_MAX)}) {
    LUMAREX_FRAME_SETTINGS s = Settings(61, 45, 80, 30);
    s.WhiteBalance = wb;
    ASSERT_TRUE(SameAsScalar(src, s));
  }
}

// ---- YUY2 and I420 conversion -------------------------------------------------------------

// Each converter's vector form against its scalar form on copies of one contiguous image: the
// work buffer, the image afterwards (the converted bytes copied over its start) and the row
// table must agree. Widths 1..70 cover every row tail of the 32-pixel step, odd widths and
// heights the unpaired last column and row.
TEST_F(PictureSse2, ConversionsSameAsScalar) {
  using Convert = VOID (*)(PUCHAR *, PUCHAR, LONG, LONG);
  const std::pair<Convert, Convert> forms[] = {{LUMAREX_RGB24ToYUY2, LUMAREX_RGB24ToYUY2SSE2},
                                               {LUMAREX_RGB24ToI420, LUMAREX_RGB24ToI420SSE2}};
  std::vector<std::pair<LONG, LONG>> sizes = {{640, 480}, {320, 240}, {160, 120}, {639, 479}};
  for (LONG w = 1; w <= 70; ++w) sizes.push_back({w, LONG(1 + w % 6)});
  std::mt19937 rng(8);
  for (auto [w, h] : sizes) {
    std::vector<UCHAR> image(size_t(w) * h * 3);
    for (UCHAR &b : image) b = UCHAR(rng());
    for (size_t f = 0; f < 2; ++f) {
      std::vector<UCHAR> img[2] = {image, image}, work[2];
      std::vector<PUCHAR> rows[2];
      for (int k = 0; k < 2; ++k) {
        work[k].assign(size_t(w) * h * 2, 0x5A);
        for (LONG y = 0; y < h; ++y) rows[k].push_back(img[k].data() + size_t(y) * w * 3);
      }
      forms[f].first(rows[0].data(), work[0].data(), w, h);
      forms[f].second(rows[1].data(), work[1].data(), w, h);
      const std::string what = (f ? "I420 " : "YUY2 ") + std::to_string(w) + "x" + std::to_string(h);
      ASSERT_EQ(work[0], work[1]) << what;
      ASSERT_EQ(img[0], img[1]) << what;
      for (LONG y = 0; y < h; ++y) ASSERT_EQ(rows[0][y] - img[0].data(), rows[1][y] - img[1].data()) << what;
    }
  }
}

}  // namespace
