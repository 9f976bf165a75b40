// The fast forms of the picture adjustments (the scalar form organised for speed, MMX, SSE2)
// against the definition, and the vector converters against the scalar ones. Every test runs
// once per form; a form the processor lacks (TORVANE_CPU may hide SSE2, or MMX too) is skipped.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "lumarex.h"

namespace {

using Adjust = BOOLEAN (*)(PUCHAR *, LONG, LONG, const LUMAREX_FRAME_SETTINGS *, PUCHAR);
using Convert = VOID (*)(PUCHAR *, PUCHAR, LONG, LONG);

struct VectorForm {
  const char *name;
  BOOLEAN (*available)(VOID);
  Adjust adjust;
  Convert yuy2, i420;
};

void PrintTo(const VectorForm &form, std::ostream *os) { *os << form.name; }

BOOLEAN Always(VOID) { return TRUE; }

// The converters' definition, byte by byte, for the scalar converters to be compared with: every
// term is a coefficient (in thousandths; I420's luma in ten-thousandths, scaled to 219 / 255)
// times the channel, rounded half up; sums wrap to 8 bits; chroma adds 127, I420 luma 16. YUY2
// takes U from the left pixel of a pair and V from the right one; I420 both from the left pixel
// of the upper row of a row pair.
struct RefCoefficients {
  unsigned yr, yg, yb, yParts, ur, ug, ub, vg, vb, yOffset;
};
constexpr RefCoefficients kRefYuy2 = {299, 587, 114, 1000, 169, 331, 500, 419, 81, 0};
constexpr RefCoefficients kRefI420 = {2568, 5041, 979, 10000, 148, 291, 439, 368, 71, 16};
UCHAR Term(unsigned k, unsigned parts, unsigned v) { return UCHAR((k * v + parts / 2) / parts); }
UCHAR RefY(const RefCoefficients &c, const UCHAR *p) {
  return UCHAR(Term(c.yr, c.yParts, p[2]) + Term(c.yg, c.yParts, p[1]) + Term(c.yb, c.yParts, p[0]) + c.yOffset);
}
UCHAR RefU(const RefCoefficients &c, const UCHAR *p) {
  return UCHAR(Term(c.ub, 1000, p[0]) - Term(c.ug, 1000, p[1]) - Term(c.ur, 1000, p[2]) + 127);
}
UCHAR RefV(const RefCoefficients &c, const UCHAR *p) {
  return UCHAR(Term(c.ub, 1000, p[2]) - Term(c.vg, 1000, p[1]) - Term(c.vb, 1000, p[0]) + 127);
}
VOID RefYuy2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  PUCHAR o = out;
  for (LONG i = 0; i < height; ++i) {
    const UCHAR *src = rows[height - 1 - i];
    for (LONG x = 0; x < width; ++x, src += 3) {
      *o++ = RefY(kRefYuy2, src);
      *o++ = x % 2 ? RefV(kRefYuy2, src) : RefU(kRefYuy2, src);
    }
  }
  LUMAREX_StoreYUY2Rows(rows, out, width, height);
}
VOID RefI420(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const ULONG pixels = ULONG(width) * height;
  PUCHAR y = out, u = out + pixels, v = u + pixels / 4;
  for (LONG row = 0; row < height; ++row) {
    const UCHAR *src = rows[height - 1 - row];
    for (LONG x = 0; x < width; ++x, src += 3) {
      *y++ = RefY(kRefI420, src);
      if (row % 2 == 0 && row + 1 < height && x % 2 == 0 && x + 1 < width) {
        *u++ = RefU(kRefI420, src);
        *v++ = RefV(kRefI420, src);
      }
    }
  }
  memcpy(rows[0], out, pixels + pixels / 2);
}

// The fast scalar form, with its tables from the heap.
BOOLEAN AdjustFast(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings, PUCHAR luma) {
  LUMAREX_PICTURE_TABLES tables;
  return LUMAREX_AdjustImageFast(rows, width, height, settings, luma, &tables);
}

const VectorForm kForms[] = {
    // The scalar form's converters against their definition (the forms compared change places).
    {"Scalar", Always, AdjustFast, RefYuy2, RefI420},
    {"MMX", LUMAREX_HasMMX, LUMAREX_AdjustImageMMX, LUMAREX_RGB24ToYUY2MMX, LUMAREX_RGB24ToI420MMX},
    {"SSE2", LUMAREX_HasSSE2, LUMAREX_AdjustImageSSE2, LUMAREX_RGB24ToYUY2SSE2, LUMAREX_RGB24ToI420SSE2},
};

// A BGR image whose rows are separate blocks of exactly width * 3 bytes, for the sanitizer build.
struct RowImage {
  LONG width, height;
  std::vector<std::vector<UCHAR>> data;
  RowImage(LONG w, LONG h, std::mt19937 *rng = nullptr, UCHAR fill = 0)
      : width(w), height(h), data(h, std::vector<UCHAR>(size_t(w) * 3, fill)) {
    for (auto &row : data)
      for (UCHAR &b : row) b = rng ? UCHAR((*rng)()) : b;
  }
  std::vector<PUCHAR> Rows() {
    std::vector<PUCHAR> rows;
    for (auto &row : data) rows.push_back(row.data());
    return rows;
  }
};

LUMAREX_FRAME_SETTINGS Settings(LONG bv, LONG cv, LONG sv, LONG sh) { return {bv, cv, sh, sv, 50}; }

LONG &Field(LUMAREX_FRAME_SETTINGS &s, int f) {  // 0 brightness, 1 contrast, 2 saturation, 3 sharpness
  return f == 0 ? s.Brightness : f == 1 ? s.Contrast : f == 2 ? s.Saturation : s.Sharpness;
}

LUMAREX_FRAME_SETTINGS RandomSettings(std::mt19937 &rng) {
  auto pick = [&] { return rng() % 5 == 0 ? LONG(rng() % 3) * 50 : LONG(rng() % 101); };  // ends often
  return Settings(pick(), pick(), pick(), pick());
}

::testing::AssertionResult AdjustSameAsScalar(Adjust adjust, const RowImage &src, const LUMAREX_FRAME_SETTINGS &s,
                                        bool *changed = nullptr) {
  RowImage scalar = src, vector = src;
  std::vector<UCHAR> lumaScalar(size_t(src.width) * src.height), lumaVector(lumaScalar.size(), 0xA5);
  LUMAREX_PICTURE_TABLES tables;
  LUMAREX_AdjustImageDefinition(scalar.Rows().data(), src.width, src.height, &s, lumaScalar.data(), &tables);
  bool accepted = adjust(vector.Rows().data(), src.width, src.height, &s, lumaVector.data());
  if (changed != nullptr) *changed = scalar.data != src.data;
  if (accepted && scalar.data == vector.data) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (accepted ? "differs" : "refused") << " at Bv " << s.Brightness << " Cv "
                                       << s.Contrast << " Sv " << s.Saturation << " Sh " << s.Sharpness << " on "
                                       << src.width << "x" << src.height;
}

class PictureVector : public ::testing::TestWithParam<VectorForm> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "the processor reports no " << GetParam().name;
  }
  ::testing::AssertionResult SameAsScalar(const RowImage &src, const LUMAREX_FRAME_SETTINGS &s,
                                          bool *changed = nullptr) {
    return AdjustSameAsScalar(GetParam().adjust, src, s, changed);
  }
  std::mt19937 rng_{1};
};

// Every small size, widths around the vector steps (4, 8, 16 and 32 pixels) and whole frames.
TEST_P(PictureVector, EverySizeAndRowTail) {
  std::vector<std::pair<LONG, LONG>> sizes = {{640, 480}, {176, 144}, {639, 479}};
  for (LONG w = 1; w <= 20; ++w)
    for (LONG h = 1; h <= 12; ++h) sizes.push_back({w, h});
  for (LONG w : {21, 26, 31, 32, 33, 35, 39, 40, 41, 47, 48, 49, 63, 64, 65, 66, 95, 97, 127, 161, 333})
    for (LONG h : {5, 6, 9}) sizes.push_back({w, h});
  for (auto [w, h] : sizes) {
    RowImage img(w, h, &rng_);
    // The defaults, brightness and contrast with saturation at 50 (the channels apart), random.
    for (int k = 0; k < 6; ++k)
      ASSERT_TRUE(SameAsScalar(img, k == 0 ? Settings(50, 50, 50, 20) : k == 1 ? Settings(63, 37, 50, 45)
                                                                               : RandomSettings(rng_)));
  }
}

// Each setting over its range, alone and with the others random or at their ends, on clamp-driving images.
TEST_P(PictureVector, EachSettingOverItsRangeOnImagesThatDriveTheClamps) {
  std::vector<RowImage> images = {RowImage(45, 11, &rng_), RowImage(259, 7, &rng_)};
  for (LONG x = 0; x < 256; ++x) {
    const UCHAR px[4][3] = {{UCHAR(x), UCHAR(x), UCHAR(x)}, {UCHAR(x), UCHAR(255 - x), UCHAR(x * 97 + 13)},
                            {UCHAR(x * 37 + 5), UCHAR(x), UCHAR(255 - x)}, {UCHAR(255 - x), UCHAR(x * 151), UCHAR(x)}};
    for (int y = 0; y < 4; ++y) std::copy(px[y], px[y] + 3, &images[1].data[y][3 * x]);
  }
  for (UCHAR field : {0, 255, 100, 160}) {
    images.emplace_back(23, 19, nullptr, field);
    std::fill_n(&images.back().data[9][33], 3, UCHAR(field < 128 ? 255 : 0));
  }
  images.emplace_back(23, 19);
  for (LONG y = 0; y < 19; ++y)
    for (LONG x = 0; x < 23; ++x) std::fill_n(&images.back().data[y][3 * x], 3, UCHAR((x + y) & 1 ? 255 : 0));
  // Columns two wide, black and white: the edge measure reaches its extremes, +-510 * 510.
  images.emplace_back(23, 9);
  for (LONG y = 0; y < 9; ++y)
    for (LONG x = 0; x < 23; ++x) std::fill_n(&images.back().data[y][3 * x], 3, UCHAR(x & 2 ? 0 : 255));
  for (int field = 0; field < 4; ++field) {
    for (LONG v = 0; v <= 100; ++v) {
      auto with = [&](LUMAREX_FRAME_SETTINGS s) { return Field(s, field) = v, s; };
      for (size_t i = 0; i < images.size(); ++i) {
        bool changed = false;
        ASSERT_TRUE(SameAsScalar(images[i], with(Settings(50, 50, 50, 0)), &changed));
        if (i < 2) EXPECT_EQ(changed, v != (field == 3 ? 0 : 50)) << "setting " << field << " at " << v;
        ASSERT_TRUE(SameAsScalar(images[i], with(RandomSettings(rng_))));
        ASSERT_TRUE(SameAsScalar(images[i], with(Settings(0, 100, 100, 100))));
        ASSERT_TRUE(SameAsScalar(images[i], with(Settings(100, 0, 0, 1))));
      }
    }
  }
}

TEST_P(PictureVector, OutOfRangeSettingsAreRefusedUntouchedAndWhiteBalanceIsIgnored) {
  const RowImage src(37, 9, &rng_);
  for (int field = 0; field < 4; ++field) {
    for (LONG v : {-1, 101, INT_MIN, INT_MAX}) {
      RowImage img = src;
      std::vector<UCHAR> luma(size_t(src.width) * src.height, 0x3C);
      LUMAREX_FRAME_SETTINGS s = Settings(60, 40, 70, 20);
      Field(s, field) = v;
      EXPECT_FALSE(GetParam().adjust(img.Rows().data(), src.width, src.height, &s, luma.data())) << v;
      EXPECT_TRUE(img.data == src.data && luma == std::vector<UCHAR>(luma.size(), 0x3C)) << field << " " << v;
      s = Settings(61, 45, 80, 30);
      s.WhiteBalance = v;
      ASSERT_TRUE(SameAsScalar(src, s));
    }
  }
}

// ---- YUY2 and I420 conversion -------------------------------------------------------------

// Each converter's vector form against its scalar form on copies of one contiguous image: the
// work buffer, the image afterwards (the converted bytes copied over its start) and the row
// table must agree. Widths 1..70 cover every row tail of the 32-pixel step, odd widths and
// heights the unpaired last column and row.
TEST_P(PictureVector, ConversionsSameAsScalar) {
  const std::pair<Convert, Convert> forms[] = {{LUMAREX_RGB24ToYUY2, GetParam().yuy2},
                                               {LUMAREX_RGB24ToI420, GetParam().i420}};
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

INSTANTIATE_TEST_SUITE_P(Forms, PictureVector, ::testing::ValuesIn(kForms),
                         [](const ::testing::TestParamInfo<VectorForm> &info) { return std::string(info.param.name); });

}  // namespace
