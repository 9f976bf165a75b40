// Inverse DCT of one block: worked blocks, the exact inverse DCT, each fast form (the scalar
// form organised for speed, SSE2, MMX) against the definition, choice of form per decoder state.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "host_kernel.h"
#include "jpg_idct.h"
#include "jpg_internal.h"
#include "jpg_colour_mmx.h"
#include "jpg_entropy_writer.h"
#include "jpg_test_support.h"

namespace {

using Block = std::array<int16_t, 64>;
using Samples = std::array<uint8_t, 64>;

// mt19937_64 gives the same sequence everywhere, so a failing seed reproduces.
using Rng = std::mt19937_64;
int32_t Range(Rng &rng, int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(rng() % (hi - lo + 1u)); }

enum class Form { kScalar, kSse2, kMmx, kFast };

std::string FormName(Form f) {
  return f == Form::kScalar ? "Scalar" : f == Form::kSse2 ? "Sse2" : f == Form::kMmx ? "Mmx" : "FastScalar";
}
void PrintTo(Form f, std::ostream *os) { *os << FormName(f); }

// Whether this processor runs the form; a test of a form it lacks is skipped with a message.
bool FormRuns(Form f) {
  return f == Form::kScalar || f == Form::kFast || (f == Form::kSse2 && idct_cpu_has_sse2()) || (f == Form::kMmx && idct_cpu_has_mmx());
}

// The 64 samples, row-major, through row pointers 8 bytes apart.
Samples Transform(Form f, const Block &coef, const Block &quant) {
  Samples out;
  uint8_t *rows[8];
  for (int r = 0; r < 8; ++r) rows[r] = out.data() + 8 * r;
#if JPG_IDCT_HAVE_SSE2
  if (f == Form::kSse2) idct_8x8_sse2(coef.data(), quant.data(), rows, 0);
#endif
#if JPG_IDCT_HAVE_MMX
  if (f == Form::kMmx) idct_8x8_mmx(coef.data(), quant.data(), rows, 0);
#endif
  if (f == Form::kScalar) idct_8x8_scalar(coef.data(), quant.data(), rows, 0);
  if (f == Form::kFast) {
    // One block of an MCU row with every coefficient position in use: transformed, then cleared.
    Block work = coef;
    int32_t extent = 64;
    const int16_t *table = quant.data();
    idct_blocks_scalar(work.data(), out.data(), &extent, 1, &table, 1);
    Block cleared{};
    cleared[0] = coef[0];
    if (work != cleared || extent != 1) ADD_FAILURE() << "coefficients not cleared after the transform";
  }
  return out;
}

Block Filled(int16_t value) { Block b; b.fill(value); return b; }

const double kPi = 3.14159265358979323846;

// Annex K tables K.1 and K.2 (natural order) at a quality (percent scaling, entries 1..255).
void QualityTable(bool luma, int quality, int out[64]) {
  static const int k1[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                             14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                             18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                             49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
  static const int k2[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
                             99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                             99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
  int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  for (int k = 0; k < 64; ++k) out[k] = std::clamp(((luma ? k1 : k2)[k] * scale + 50) / 100, 1, 255);
}

// A table as the decoder stores it: q x 16384 a(u) a(v), a(0) = 1, a(k) = sqrt(2) cos(k pi/16),
// 2 fraction bits kept.
Block ScaledTable(const int q[64]) {
  auto a = [](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * kPi / 16.0); };
  Block t;
  for (int k = 0; k < 64; ++k) t[k] = static_cast<int16_t>((q[k] * std::lround(16384.0 * a(k / 8) * a(k % 8)) + 2048) >> 12);
  return t;
}

enum class Kind { kRealistic, kUniform, kEdges, kSumsWrap };

// Realistic camera blocks; any 16-bit values (most products and sums wrap); values on every
// boundary of the arithmetic; products that fit but sums and the multiplier's pre-shift
// (|v| >= 8192) that wrap.
void RandomCase(Kind kind, Rng &rng, Block &coef, Block &quant) {
  static const int16_t kEdges[] = {-32768, -32767, -16385, -16384, -8193, -8192, -8191, -4096, -2, -1, 0,
                                   1,      2,      4095,   8191,   8192,  8193,  16383, 16384, 32766, 32767};
  if (kind == Kind::kRealistic) {
    int q[64];
    QualityTable(Range(rng, 0, 1), Range(rng, 10, 100), q);
    quant = ScaledTable(q);
    coef = Filled(0);
    coef[0] = static_cast<int16_t>(Range(rng, -1024, 1016) / q[0]);
    for (int i = Range(rng, 0, 20); i > 0; --i) {
      int k = Range(rng, 1, 63), span = 1024 / (1 + k / 4);
      coef[k] = static_cast<int16_t>(Range(rng, -span, span) / q[k]);
    }
    return;
  }
  for (int k = 0; k < 64; ++k) {
    if (kind == Kind::kUniform) {
      coef[k] = static_cast<int16_t>(rng());
      quant[k] = static_cast<int16_t>(rng());
    } else if (kind == Kind::kEdges) {
      coef[k] = kEdges[rng() % std::size(kEdges)];
      quant[k] = Range(rng, 0, 3) ? kEdges[rng() % std::size(kEdges)] : 1;
    } else {
      quant[k] = static_cast<int16_t>(Range(rng, 1, 4));
      int32_t limit = Range(rng, 0, 2) ? 32767 / quant[k] : 2048;
      coef[k] = static_cast<int16_t>(Range(rng, -limit, limit));
    }
  }
}

class IdctForms : public ::testing::TestWithParam<Form> {
 protected:
  void SetUp() override {
    if (!FormRuns(GetParam())) GTEST_SKIP() << "processor without " << FormName(GetParam());
  }
};

// Blocks whose rows are flat, worked by hand: a quantiser q of the file is stored as 4 q; a
// sample is (o >> 5) + 128 clamped; products, sums and the multiplier's v << 2 wrap at 16 bits.
TEST_P(IdctForms, WorkedBlocks) {
  const struct { const char *name; std::vector<std::pair<int, int>> coef; int16_t quant; int rows[8]; } cases[] = {
      {"zero block", {}, 0, {128, 128, 128, 128, 128, 128, 128, 128}},
      {"zero block, any table", {}, -12345, {128, 128, 128, 128, 128, 128, 128, 128}},
      {"DC 8 x 16", {{0, 8}}, 16, {132, 132, 132, 132, 132, 132, 132, 132}},
      {"DC -8 x 16", {{0, -8}}, 16, {124, 124, 124, 124, 124, 124, 124, 124}},
      {"DC 300 x 200 wraps to -5536", {{0, 300}}, 200, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"DC 2049 x 32 wraps to 32", {{0, 2049}}, 32, {129, 129, 129, 129, 129, 129, 129, 129}},
      // x[0][0] = x[4][0] = 16384: t10 = 32768 wraps to -32768 in workspace rows 0, 3, 4, 7.
      {"butterfly sum wraps", {{0, 16384}, {32, 16384}}, 1, {0, 128, 128, 0, 0, 128, 128, 0}},
      // x[2][0] = 8192: 8192 << 2 wraps to -32768, M = -11585, t12 = -19777.
      {"pre-shift wraps", {{16, 8192}}, 1, {255, 0, 255, 0, 0, 255, 0, 255}},
      // x[2][0] = 4096: M = 5792, t12 = 1696; rows 4096, 1696, -1696, -4096, ... >> 5, + 128.
      {"pre-shift clear of the wrap", {{16, 4096}}, 1, {255, 181, 75, 0, 0, 75, 181, 255}},
  };
  for (const auto &c : cases) {
    Block coef = Filled(0);
    for (auto [k, v] : c.coef) coef[k] = static_cast<int16_t>(v);
    Samples s = Transform(GetParam(), coef, Filled(c.quant));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(c.rows[i / 8], s[i]) << c.name << ", sample " << i;
  }
  // DC only, quantiser 1 (stored 4): every sample is floor(d / 8) + 128, clamped.
  for (int d = -1100; d <= 1100; ++d) {
    Block coef = Filled(0);
    coef[0] = static_cast<int16_t>(d);
    Samples want;
    want.fill(static_cast<uint8_t>(std::clamp(static_cast<int>(std::floor(d / 8.0)) + 128, 0, 255)));
    ASSERT_EQ(want, Transform(GetParam(), coef, Filled(4))) << "d = " << d;
  }
}

INSTANTIATE_TEST_SUITE_P(Idct, IdctForms, ::testing::Values(Form::kScalar, Form::kSse2, Form::kMmx, Form::kFast),
                         [](const auto &info) { return FormName(info.param); });

// The exact inverse DCT s(y, x) = 1/4 sum C(u) C(v) S(v, u) cos((2x+1) u pi/16) cos((2y+1) v pi/16)
// and its forward transform, on real-looking blocks (a gradient, an edge, noise) quantised with
// scaled Annex K tables. The fixed-point transform truncates in its multiplications and final
// shift, so it sits about half a level low; a fault in the butterflies or constants shows as
// errors of many levels.
TEST(IdctAccuracy, CloseToTheExactInverseDctOfNaturalBlocks) {
  double basis[8][8];  // [x][u]
  for (int x = 0; x < 64; ++x) {
    basis[x / 8][x % 8] = (x % 8 == 0 ? 1 / std::sqrt(2.0) : 1.0) * std::cos((2 * (x / 8) + 1) * (x % 8) * kPi / 16);
  }
  auto transform = [&](const double in[64], double out[64], bool inverse) {
    for (int o = 0; o < 64; ++o) {
      double sum = 0;
      for (int i = 0; i < 64; ++i) {
        sum += in[i] * (inverse ? basis[o % 8][i % 8] * basis[o / 8][i / 8] : basis[i % 8][o % 8] * basis[i / 8][o / 8]);
      }
      out[o] = sum / 4;
    }
  };
  Rng rng{20240611};
  long near = 0, count = 0;  // samples exact or one level low
  double sum_error = 0, sum_square = 0;
  int worst = 0;
  for (int n = 0; n < 4000; ++n) {
    int q[64];
    QualityTable(n % 2 == 0, 50 + (n % 5) * 10, q);
    double pixels[64], freq[64], dequant[64], exact[64];
    double gx = Range(rng, -12, 12), gy = Range(rng, -12, 12), base = Range(rng, 30, 225);
    int edge = Range(rng, 0, 8), step = Range(rng, -60, 60), noise = Range(rng, 0, 20);
    for (int i = 0; i < 64; ++i) {
      double p = base + gx * (i % 8 - 3.5) + gy * (i / 8 - 3.5) + (i % 8 >= edge ? step : 0) + Range(rng, -noise, noise);
      pixels[i] = std::clamp(p, 0.0, 255.0) - 128.0;
    }
    transform(pixels, freq, false);
    Block coef;
    for (int k = 0; k < 64; ++k) {
      coef[k] = static_cast<int16_t>(std::lround(freq[k] / q[k]));
      dequant[k] = coef[k] * q[k];
    }
    transform(dequant, exact, true);
    Samples got = Transform(Form::kScalar, coef, ScaledTable(q));
    for (int i = 0; i < 64; ++i, ++count) {
      int error = got[i] - static_cast<int>(std::clamp(std::lround(exact[i] + 128.0), 0L, 255L));
      worst = std::max(worst, std::abs(error));
      near += error == 0 || error == -1;
      sum_error += error;
      sum_square += static_cast<double>(error) * error;
    }
  }
  // Measured on these blocks: worst 2, mean -0.48, rms 0.69, 99.7 % of samples at 0 or -1.
  EXPECT_LE(worst, 2);
  EXPECT_GT(sum_error / count, -0.75);
  EXPECT_LT(sum_error / count, -0.25);
  EXPECT_LT(std::sqrt(sum_square / count), 0.8);
  EXPECT_GT(near, count * 99 / 100);
}

// Each fast form gives the definition's bytes on random cases of every kind.
using IdctVectorForm = IdctForms;

TEST_P(IdctVectorForm, IdenticalToScalar) {
  Rng rng{0x5EED1DC700000004ull};
  for (Kind kind : {Kind::kRealistic, Kind::kUniform, Kind::kEdges, Kind::kSumsWrap}) {
    for (int n = 0; n < 100000; ++n) {
      Block coef, quant;
      RandomCase(kind, rng, coef, quant);
      ASSERT_EQ(Transform(Form::kScalar, coef, quant), Transform(GetParam(), coef, quant))
          << "kind " << static_cast<int>(kind) << " case " << n << "\ncoefficients " << testing::PrintToString(coef)
          << "\ntable " << testing::PrintToString(quant);
    }
  }
}

// The MCU-row routine of each fast form gives every block the scalar transform's bytes, on
// blocks whose values stop at every zig-zag extent (the routine may take shortcuts for short
// extents: only the DC, or only the top-left corner), with a mix of tables per MCU, and leaves
// every block cleared with extent 1.
TEST_P(IdctVectorForm, BlocksOfEveryExtentIdenticalToScalar) {
  Rng rng{0x5EED1DC700000005ull};
  const int32_t kBlocks = 96, kPerMcu = 3;
  for (Kind kind : {Kind::kRealistic, Kind::kUniform, Kind::kEdges, Kind::kSumsWrap}) {
    for (int round = 0; round < 200; ++round) {
      std::vector<int16_t> coef(kBlocks * 64);
      std::vector<int32_t> extent(kBlocks);
      std::vector<Block> quant(kPerMcu);
      std::vector<Samples> want(kBlocks);
      for (int32_t i = 0; i < kBlocks; ++i) {
        Block c, q;
        RandomCase(kind, rng, c, q);
        if (i < kPerMcu) quant[i] = q;
        // Extents 1..64, the short ones most often; positions at and past the extent are zero.
        const int32_t e = Range(rng, 0, 2) ? Range(rng, 1, 12) : Range(rng, 1, 64);
        for (int32_t z = e; z < 64; ++z) c[jpg_zigzag[z]] = 0;
        std::copy(c.begin(), c.end(), coef.begin() + 64 * i);
        extent[i] = e;
      }
      for (int32_t i = 0; i < kBlocks; ++i) {
        Block c;
        std::copy(coef.begin() + 64 * i, coef.begin() + 64 * (i + 1), c.begin());
        want[i] = Transform(Form::kScalar, c, quant[i % kPerMcu]);
      }
      const int16_t *tables[kPerMcu] = {quant[0].data(), quant[1].data(), quant[2].data()};
      std::vector<uint8_t> samples(kBlocks * 64);
#if JPG_IDCT_HAVE_SSE2
      if (GetParam() == Form::kSse2) {
        idct_blocks_sse2(coef.data(), samples.data(), extent.data(), kBlocks, tables, kPerMcu);
      }
#endif
#if JPG_IDCT_HAVE_MMX
      if (GetParam() == Form::kMmx) {
        idct_blocks_mmx(coef.data(), samples.data(), extent.data(), kBlocks, tables, kPerMcu);
      }
#endif
      if (GetParam() == Form::kFast) {
        idct_blocks_scalar(coef.data(), samples.data(), extent.data(), kBlocks, tables, kPerMcu);
      }
      for (int32_t i = 0; i < kBlocks; ++i) {
        ASSERT_TRUE(std::equal(want[i].begin(), want[i].end(), samples.begin() + 64 * i))
            << "kind " << static_cast<int>(kind) << " round " << round << " block " << i;
        // The DC-only blocks keep their DC; every other block is cleared whole.
        for (int32_t k = 1; k < 64; ++k) ASSERT_EQ(0, coef[64 * i + k]) << "block " << i << " position " << k;
        ASSERT_EQ(1, extent[i]) << "block " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Idct, IdctVectorForm, ::testing::Values(Form::kSse2, Form::kMmx, Form::kFast),
                         [](const auto &info) { return FormName(info.param); });

// Every decoder state chooses its form from the processor when it is initialised. Keeping one
// state to the scalar forms leaves every other state's form as it was (each worker decodes with
// its own), and initialising the state again chooses afresh.
TEST(IdctSelect, EachDecoderStateChoosesAtInitialisationAndIsNarrowedAlone) {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
  // The compiler's own processor probe, independent of the library's CPUID code. It is made
  // before the program starts, so it does not see an older processor presented through TORVANE_CPU:
  // that processor's form is then the one to expect.
  const HostCpuForm presented = HostCpu_Form();
  const bool older = presented == HostCpuForm::Mmx || presented == HostCpuForm::Scalar;
  const bool sse2 = older ? false : __builtin_cpu_supports("sse2") != 0;
  const bool mmx = older ? presented == HostCpuForm::Mmx : __builtin_cpu_supports("mmx") != 0;
  const int32_t best = sse2 ? JPG_IDCT_SSE2 : mmx ? JPG_IDCT_MMX : JPG_IDCT_SCALAR;
  EXPECT_EQ(mmx, idct_cpu_has_mmx() != 0);
#else
  const int32_t best = JPG_IDCT_SCALAR;
#endif
  EXPECT_EQ(best == JPG_IDCT_SSE2, idct_cpu_has_sse2() != 0);
  EXPECT_EQ(best, idct_cpu_best_form());
  TestDecoder a, b;
  EXPECT_EQ(best, jpg_vector_form(a.get()));
  EXPECT_EQ(best, jpg_vector_form(b.get()));
  struct Step { int32_t allow_a, form_a; };
  for (const Step &step : {Step{0, JPG_IDCT_SCALAR}, Step{1, best}, Step{0, JPG_IDCT_SCALAR}, Step{7, best}}) {
    jpg_allow_vector_forms(a.get(), step.allow_a);
    EXPECT_EQ(step.form_a, jpg_vector_form(a.get())) << "allow " << step.allow_a;
    EXPECT_EQ(best, jpg_vector_form(b.get())) << "the other state, allow " << step.allow_a;
  }
  jpg_allow_vector_forms(a.get(), 0);
  jpg_init(a.get());
  EXPECT_EQ(best, jpg_vector_form(a.get()));
}

// The test hook that forces a form: a form the processor reports is taken (and still narrowed
// to scalar while the vector forms are not allowed), any other is refused and changes nothing,
// and the next initialisation chooses from the processor again.
TEST(IdctSelect, ForcedFormHoldsUntilInitialisation) {
  TestDecoder d;
  const int32_t best = jpg_vector_form(d.get());
  for (Form f : {Form::kScalar, Form::kMmx, Form::kSse2}) {
    const int32_t form = f == Form::kScalar ? JPG_IDCT_SCALAR : f == Form::kSse2 ? JPG_IDCT_SSE2 : JPG_IDCT_MMX;
    const int32_t before = jpg_vector_form(d.get());
    if (!FormRuns(f)) {
      EXPECT_EQ(-1, jpg_force_form(d.get(), form)) << FormName(f);
      EXPECT_EQ(before, jpg_vector_form(d.get())) << FormName(f);
      continue;
    }
    ASSERT_EQ(0, jpg_force_form(d.get(), form)) << FormName(f);
    EXPECT_EQ(form, jpg_vector_form(d.get())) << FormName(f);
    jpg_allow_vector_forms(d.get(), 0);
    EXPECT_EQ(JPG_IDCT_SCALAR, jpg_vector_form(d.get())) << FormName(f);
    jpg_allow_vector_forms(d.get(), 1);
    EXPECT_EQ(form, jpg_vector_form(d.get())) << FormName(f);
  }
  const int32_t held = jpg_vector_form(d.get());
  for (int32_t bad : {-1, 3, 255}) {
    EXPECT_EQ(-1, jpg_force_form(d.get(), bad)) << bad;
    EXPECT_EQ(held, jpg_vector_form(d.get())) << bad;
  }
  jpg_init(d.get());
  EXPECT_EQ(best, jpg_vector_form(d.get()));
}

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
// The x87 tag word: 0xFFFF when every register is empty, as EMMS leaves it; an MMX instruction
// without EMMS after it marks them all valid, and the floating-point unit then overflows its
// stack on the first load.
uint16_t X87TagWord() {
  uint32_t env[7];  // the 28-byte protected-mode environment: control, status, tag, ...
  __asm__ volatile("fnstenv %0\n\tfldcw %0" : "=m"(env));
  return static_cast<uint16_t>(env[2]);
}

// Every MMX routine hands the floating-point unit back usable: after the block transform and
// after whole decodes in each mode and sampling with the MMX form forced (the MCU-row transform,
// both colour converters, the line copy), the x87 registers are all empty and floating-point
// arithmetic gives its right result.
TEST(IdctMmx, FloatingPointUnitUsableAfterEveryMmxRoutine) {
  if (!idct_cpu_has_mmx()) GTEST_SKIP() << "processor without MMX";
  ASSERT_EQ(0xFFFF, X87TagWord()) << "the x87 registers are in use before the test";
  // Each routine called on its own, as a decode may call it last.
  std::vector<uint8_t> in(512, 77), out(512);
  const struct { const char *name; std::function<void()> call; } routines[] = {
      {"idct_8x8_mmx", [] { Transform(Form::kMmx, Filled(3), Filled(40)); }},
      {"idct_blocks_mmx",
       [] {
         std::vector<int16_t> coef(4 * 64, 5);
         std::vector<uint8_t> samples(4 * 64);
         int32_t extent[4] = {64, 1, 64, 1};
         const Block q = Filled(40);
         const int16_t *quant[2] = {q.data(), q.data()};
         idct_blocks_mmx(coef.data(), samples.data(), extent, 4, quant, 2);
       }},
      {"colour_bgr_full16_mmx",
       [&] {
         const uint8_t *p = in.data();
         colour_bgr_full16_mmx(out.data(), p, p + 8, p + 16, p + 24, p + 32, p + 40);
       }},
      {"colour_bgr_half_line_mmx", [&] { colour_bgr_half_line_mmx(out.data(), in.data(), 256, 2, 0, 64, 128, 192); }},
  };
  for (const auto &r : routines) {
    r.call();
    EXPECT_EQ(0xFFFF, X87TagWord()) << r.name;
  }
  // Whole decodes, which end in the line copy or a colour converter.
  TestContext ctx;
  ASSERT_EQ(0, jpg_force_form(ctx.decoder(), JPG_IDCT_MMX));
  for (int h = 1; h <= 2; ++h) {
    for (int v = 1; v <= 2; ++v) {
      for (uint32_t mode = 0; mode <= 2; ++mode) {
        TestDecoded r = TestDecodeFrame(ctx, TestRandomBlockFrame(176, 32, h, v, 0, 1), mode, 176 * 32 * 3);
        EXPECT_EQ(0xFFFF, X87TagWord()) << h << "x" << v << " mode " << mode;
        ASSERT_EQ(0, r.result) << h << "x" << v << " mode " << mode << " error " << r.error;
        volatile long double a = 1.5L;
        EXPECT_EQ(2.25L, a * a) << h << "x" << v << " mode " << mode;
      }
    }
  }
}
#endif

}  // namespace
