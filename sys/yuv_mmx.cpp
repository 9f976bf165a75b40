// Vector forms (MMX) of the BGR24 to YUY2 and I420 converters of yuv.cpp, giving the same bytes
// for every image and size, for processors with MMX but no SSE2.
//
// MMX has only a signed high multiply. Each colour table T[i] = floor(k * i + 0.5) is computed in
// the exact integer form T[i] = (floor((i << 7) * m / 2^16) + c) >> 6, one _mm_mulhi_pi16 of
// (i << 7) <= 32640 and m < 2^15 (both positive signed values), an add and a shift. The
// constants m and c below are checked against the table's own definition for all 256 inputs
// when this file is compiled, so a wrong constant does not build. Sums are taken modulo 256 as in
// the scalar form (the low byte of each lane).
//
// Pixels are split four at a time (MmxSplitBgr4). The steps of whole groups of eight pixels are
// also written as instructions (YUY2_MMX_STEP, I420_MMX_STEP, I420_MMX_LUMA_STEP): the same values
// in the same lanes, as GCC keeps few MMX values in registers. YUY2 needs U of the even pixels
// and V of the odd ones only; both are one sum of three look-ups whose inputs and tables are
// chosen per lane (see Yuy2Step). The pixels at the end of a row that do not
// fill a whole step are copied to a small buffer on the stack, run through the same code, and
// only their own output bytes are copied out, so nothing beyond the rows or the planes is read
// or written. Each entry ends with _mm_empty.
#include "lumarex.h"
#include "mmx_bgr.h"
#include "yuv_forms.h"

namespace {

constexpr bool MmxFormExact(const TableForm &f) {
  if (f.m >= 0x8000) return false;  // the signed multiply needs a positive multiplier
  for (ULONG i = 0; i < 256; ++i) {
    if (((((i << 7) * f.m) >> 16) + f.c) >> 6 != (f.kParts * i + f.parts / 2) / f.parts) return false;
  }
  return true;
}

constexpr bool AllMmxExact(const ConverterForms &f) {
  for (int i = 0; i < 8; ++i) {
    if (!MmxFormExact(f.t[i])) return false;
  }
  return true;
}

// The tables of yuv_forms.h (same order and coefficients) in this file's form.
constexpr ConverterForms kYuy2Mmx = {{{299, 9798, 32, 1000}, {587, 19232, 33, 1000}, {114, 3736, 32, 1000},
                                      {169, 5538, 32, 1000}, {331, 10846, 32, 1000}, {500, 16322, 63, 1000},
                                      {419, 13730, 32, 1000}, {81, 2654, 32, 1000}},
                                     kYuy2Forms.yOffset};
constexpr ConverterForms kI420Mmx = {{{2568, 8411, 33, 10000}, {5041, 16516, 33, 10000}, {979, 3208, 32, 10000},
                                      {148, 4846, 33, 1000}, {291, 9535, 32, 1000}, {439, 14385, 32, 1000},
                                      {368, 12058, 32, 1000}, {71, 2327, 32, 1000}},
                                     kI420Forms.yOffset};
static_assert(AllMmxExact(kYuy2Mmx), "a YUY2 table form differs from its table");
static_assert(AllMmxExact(kI420Mmx), "an I420 table form differs from its table");

constexpr bool SameCoefficients(const ConverterForms &a, const ConverterForms &b) {
  for (int i = 0; i < 8; ++i) {
    if (a.t[i].kParts != b.t[i].kParts || a.t[i].parts != b.t[i].parts) return false;
  }
  return true;
}
static_assert(SameCoefficients(kYuy2Mmx, kYuy2Forms) && SameCoefficients(kI420Mmx, kI420Forms),
              "the tables differ from the converters' own");

// Table t of forms f applied to four samples given as (i << 7) in 16-bit lanes.
LUMAREX_MMX_INLINE __m64 Look(const ConverterForms &f, int t, __m64 x7) {
  __m64 product = _mm_mulhi_pi16(x7, _mm_set1_pi16((short)f.t[t].m));
  return _mm_srli_pi16(_mm_add_pi16(product, _mm_set1_pi16((short)f.t[t].c)), 6);
}

// Luma, U and V of the four pixels at p (reads 13 bytes); the low byte of each lane is the sum
// modulo 256.
LUMAREX_MMX_INLINE void Yuv4(const ConverterForms &f, const UCHAR *p, __m64 *y, __m64 *u, __m64 *v) {
  __m64 b, g, r;
  MmxSplitBgr4(p, &b, &g, &r);
  b = _mm_slli_pi16(b, 7);
  g = _mm_slli_pi16(g, 7);
  r = _mm_slli_pi16(r, 7);
  const __m64 c127 = _mm_set1_pi16(127);
  *y = _mm_add_pi16(_mm_add_pi16(Look(f, YR, r), Look(f, YG, g)),
                    _mm_add_pi16(Look(f, YB, b), _mm_set1_pi16((short)f.yOffset)));
  *u = _mm_add_pi16(_mm_sub_pi16(_mm_sub_pi16(Look(f, UB, b), Look(f, UG, g)), Look(f, UR, r)), c127);
  *v = _mm_add_pi16(_mm_sub_pi16(_mm_sub_pi16(Look(f, UB, r), Look(f, VG, g)), Look(f, VB, b)), c127);
}

// Table t of forms f for the even lanes and table te of forms f for the odd lanes, applied to
// four samples given as (i << 7) in 16-bit lanes.
LUMAREX_MMX_INLINE __m64 Look2(const ConverterForms &f, int t, int te, __m64 x7) {
  __m64 product = _mm_mulhi_pi16(x7, _mm_set_pi16((short)f.t[te].m, (short)f.t[t].m, (short)f.t[te].m,
                                                  (short)f.t[t].m));
  return _mm_srli_pi16(
      _mm_add_pi16(product, _mm_set_pi16((short)f.t[te].c, (short)f.t[t].c, (short)f.t[te].c, (short)f.t[t].c)), 6);
}

// Four pixels of YUY2 (8 bytes): Y0 U0 Y1 V1 Y2 U2 Y3 V3. U is needed of the even pixels only
// and V of the odd ones: U = UB[B] - UG[G] - UR[R] + 127 and V = VR[R] - VG[G] - VB[B] + 127
// with VR = UB are one sum of three terms whose inputs (B or R, G, R or B) and tables are
// chosen per lane, so each pixel's chroma byte takes three look-ups, not six.
LUMAREX_MMX_INLINE void Yuy2Step(const UCHAR *p, PUCHAR dst) {
  const ConverterForms &f = kYuy2Mmx;
  __m64 b, g, r;
  MmxSplitBgr4(p, &b, &g, &r);
  b = _mm_slli_pi16(b, 7);
  g = _mm_slli_pi16(g, 7);
  r = _mm_slli_pi16(r, 7);
  const __m64 even = _mm_set_pi16(0, -1, 0, -1);
  __m64 y = _mm_add_pi16(_mm_add_pi16(Look(f, YR, r), Look(f, YG, g)),
                         _mm_add_pi16(Look(f, YB, b), _mm_set1_pi16((short)f.yOffset)));
  __m64 first = _mm_or_si64(_mm_and_si64(even, b), _mm_andnot_si64(even, r));  // B (U) or R (V)
  __m64 third = _mm_or_si64(_mm_and_si64(even, r), _mm_andnot_si64(even, b));  // R (U) or B (V)
  __m64 c = _mm_add_pi16(_mm_sub_pi16(_mm_sub_pi16(Look(f, UB, first), Look2(f, UG, VG, g)), Look2(f, UR, VB, third)),
                         _mm_set1_pi16(127));
  MmxStore64(dst, _mm_or_si64(_mm_and_si64(y, _mm_set1_pi16(0xFF)), _mm_slli_pi16(c, 8)));
}

// Luma of the four pixels at p (reads 13 bytes), in the low byte of each lane.
LUMAREX_MMX_INLINE __m64 Luma4(const ConverterForms &f, const UCHAR *p) {
  __m64 b, g, r;
  MmxSplitBgr4(p, &b, &g, &r);
  return _mm_add_pi16(_mm_add_pi16(Look(f, YR, _mm_slli_pi16(r, 7)), Look(f, YG, _mm_slli_pi16(g, 7))),
                      _mm_add_pi16(Look(f, YB, _mm_slli_pi16(b, 7)), _mm_set1_pi16((short)f.yOffset)));
}

// Eight pixels of a row without chroma: 8 luma bytes.
LUMAREX_MMX_INLINE void I420LumaStep(const UCHAR *p, PUCHAR y) {
  const __m64 low = _mm_set1_pi16(0xFF);
  MmxStore64(y, _mm_packs_pu16(_mm_and_si64(Luma4(kI420Mmx, p), low), _mm_and_si64(Luma4(kI420Mmx, p + 12), low)));
}

// Eight pixels of one I420 row: 8 luma bytes, and the U and V of pixels 0, 2, 4 and 6.
LUMAREX_MMX_INLINE void I420Step(const UCHAR *p, PUCHAR y, PUCHAR u, PUCHAR v) {
  __m64 y0, u0, v0, y1, u1, v1;
  Yuv4(kI420Mmx, p, &y0, &u0, &v0);
  Yuv4(kI420Mmx, p + 12, &y1, &u1, &v1);
  const __m64 low = _mm_set1_pi16(0xFF);
  const __m64 evenLow = _mm_set_pi16(0, 0xFF, 0, 0xFF);  // the even pixels' low byte, per 32 bits
  MmxStore64(y, _mm_packs_pu16(_mm_and_si64(y0, low), _mm_and_si64(y1, low)));
  __m64 uu = _mm_packs_pi32(_mm_and_si64(u0, evenLow), _mm_and_si64(u1, evenLow));
  __m64 vv = _mm_packs_pi32(_mm_and_si64(v0, evenLow), _mm_and_si64(v1, evenLow));
  MmxStore32(u, _mm_packs_pu16(uu, uu));
  MmxStore32(v, _mm_packs_pu16(vv, vv));
}

// MmxSplitBgr4 of the four pixels at %[p] + P (reads 13 bytes), each sample times 128 (the
// input of Look): B in mm0, G in mm2, R in mm1. Uses mm3. %[k] + 0 holds 8 zero bytes.
#define MMX_SPLIT7(P)                                                                                             \
  LUMAREX_MMX_SPLIT_BGR4(P)                                                                                       \
  "psllw $7, %%mm0\n\t"                                                                                           \
  "psllw $7, %%mm1\n\t"                                                                                           \
  "psllw $7, %%mm2\n\t"

// Constants of the YUY2 step written as instructions (Yuy2Step's values, lane by lane).
struct Yuy2MmxConsts {
  ULONGLONG zero;
  ULONGLONG even;           // all ones in lanes 0 and 2
  ULONGLONG mYB, cYB, mYR, cYR, mYG, cYG;
  ULONGLONG mFirst, cFirst; // UB = VR, every lane
  ULONGLONG mG, cG;         // UG in lanes 0 and 2, VG in lanes 1 and 3
  ULONGLONG mThird, cThird; // UR in lanes 0 and 2, VB in lanes 1 and 3
  ULONGLONG c127;
  ULONGLONG low;            // 0x00FF in every lane
};

constexpr ULONGLONG Lanes(USHORT even, USHORT odd) {
  return (ULONGLONG)even | ((ULONGLONG)odd << 16) | ((ULONGLONG)even << 32) | ((ULONGLONG)odd << 48);
}

// Yuy2Step as instructions, for the four pixels at %[p] + 3 OFF (reads 13 bytes), written at
// %[o] + 2 OFF: the split of MmxSplitBgr4, the samples times 128, the chroma inputs chosen per
// lane, then each table as pmulhw, paddw and psrlw by 6 (Look). The luma offset is 0.
#define YUY2_MMX_STEP(P, O)                                                                                       \
  MMX_SPLIT7(P)                                                                                                   \
  "movq %%mm0, %%mm3\n\t"                                                                                         \
  "movq 8+%[k], %%mm4\n\t"                                                                                        \
  "pand 8+%[k], %%mm3\n\t"                                                                                        \
  "pandn %%mm1, %%mm4\n\t"                                                                                        \
  "por %%mm4, %%mm3\n\t" /* first: B in even lanes, R in odd */                                                   \
  "movq %%mm1, %%mm4\n\t"                                                                                         \
  "movq 8+%[k], %%mm5\n\t"                                                                                        \
  "pand 8+%[k], %%mm4\n\t"                                                                                        \
  "pandn %%mm0, %%mm5\n\t"                                                                                        \
  "por %%mm5, %%mm4\n\t" /* third: R in even lanes, B in odd */                                                   \
  "movq %%mm2, %%mm5\n\t"                                                                                         \
  "pmulhw 16+%[k], %%mm0\n\t"                                                                                     \
  "pmulhw 32+%[k], %%mm1\n\t"                                                                                     \
  "pmulhw 48+%[k], %%mm5\n\t"                                                                                     \
  "pmulhw 64+%[k], %%mm3\n\t"                                                                                     \
  "pmulhw 80+%[k], %%mm2\n\t"                                                                                     \
  "pmulhw 96+%[k], %%mm4\n\t"                                                                                     \
  "paddw 24+%[k], %%mm0\n\t"                                                                                      \
  "paddw 40+%[k], %%mm1\n\t"                                                                                      \
  "paddw 56+%[k], %%mm5\n\t"                                                                                      \
  "paddw 72+%[k], %%mm3\n\t"                                                                                      \
  "paddw 88+%[k], %%mm2\n\t"                                                                                      \
  "paddw 104+%[k], %%mm4\n\t"                                                                                     \
  "psrlw $6, %%mm0\n\t"                                                                                           \
  "psrlw $6, %%mm1\n\t"                                                                                           \
  "psrlw $6, %%mm5\n\t"                                                                                           \
  "psrlw $6, %%mm3\n\t"                                                                                           \
  "psrlw $6, %%mm2\n\t"                                                                                           \
  "psrlw $6, %%mm4\n\t"                                                                                           \
  "paddw %%mm1, %%mm0\n\t"                                                                                        \
  "psubw %%mm2, %%mm3\n\t"                                                                                        \
  "paddw %%mm5, %%mm0\n\t" /* Y */                                                                                \
  "psubw %%mm4, %%mm3\n\t"                                                                                        \
  "pand 120+%[k], %%mm0\n\t"                                                                                      \
  "paddw 112+%[k], %%mm3\n\t" /* U in even lanes, V in odd */                                                     \
  "psllw $8, %%mm3\n\t"                                                                                           \
  "por %%mm3, %%mm0\n\t"                                                                                          \
  "movq %%mm0, " O "(%[o])\n\t"

LUMAREX_MMX_ENTRY void Yuy2Mmx(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const ULONG rowBytes = (ULONG)width * 2;
  const ConverterForms &f = kYuy2Mmx;
  static_assert(kYuy2Mmx.yOffset == 0, "the instructions add no luma offset");
  const Yuy2MmxConsts k = {0,
                           Lanes(0xFFFF, 0),
                           Lanes(f.t[YB].m, f.t[YB].m), Lanes(f.t[YB].c, f.t[YB].c),
                           Lanes(f.t[YR].m, f.t[YR].m), Lanes(f.t[YR].c, f.t[YR].c),
                           Lanes(f.t[YG].m, f.t[YG].m), Lanes(f.t[YG].c, f.t[YG].c),
                           Lanes(f.t[UB].m, f.t[UB].m), Lanes(f.t[UB].c, f.t[UB].c),
                           Lanes(f.t[UG].m, f.t[VG].m), Lanes(f.t[UG].c, f.t[VG].c),
                           Lanes(f.t[UR].m, f.t[VB].m), Lanes(f.t[UR].c, f.t[VB].c),
                           Lanes(127, 127),
                           Lanes(0xFF, 0xFF)};
  for (LONG i = 0; i < height; ++i) {
    const UCHAR *src = rows[height - 1 - i];
    PUCHAR dst = out + (ULONG)i * rowBytes;
    LONG x = 0;
    // A step reads one byte past its pixels: it must still be in the row.
    for (; x + 8 < width; x += 8) {
      __asm__ volatile(YUY2_MMX_STEP("0", "0") YUY2_MMX_STEP("12", "8")
                       :
                       : [p] "r"(src + 3 * x), [o] "r"(dst + 2 * x), [k] "m"(k)
                       : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5");
    }
    for (; x + 4 < width; x += 4) {
      Yuy2Step(src + 3 * x, dst + 2 * x);
    }
    // The last one to four pixels; an unpaired last pixel gets Y and U only, its two bytes.
    const LONG n = width - x;
    UCHAR pixels[16] = {0};
    UCHAR bytes[8];
    for (LONG k = 0; k < 3 * n; ++k) pixels[k] = src[3 * x + k];
    Yuy2Step(pixels, bytes);
    for (LONG k = 0; k < 2 * n; ++k) dst[2 * x + k] = bytes[k];
  }
  _mm_empty();
}

// One I420 row: width luma bytes at y; with chroma, the U and V of each whole pixel pair's left
// pixel at u and v. Returns the chroma bytes written to each plane.
// Constants of the I420 steps written as instructions (Luma4 and Yuv4's values).
struct I420MmxConsts {
  ULONGLONG zero;
  ULONGLONG mYB, cYB, mYR, cYR, mYG, cYG, yOffset;             // 8 .. 56
  ULONGLONG mUB, cUB, mUG, cUG, mUR, cUR, mVG, cVG, mVB, cVB;  // 64 .. 136
  ULONGLONG c127;                                              // 144
  ULONGLONG low;                                               // 152: 0x00FF in every lane
  ULONGLONG evenLow;                                           // 160: 0x00FF in lanes 0 and 2
};

// Luma of B (mm0), G (mm2), R (mm1) into mm3, keeping them. Uses mm4, mm5.
#define I420_MMX_LUMA_KEEP                                                                                        \
  "movq %%mm0, %%mm3\n\t"                                                                                         \
  "movq %%mm1, %%mm4\n\t"                                                                                         \
  "movq %%mm2, %%mm5\n\t"                                                                                         \
  "pmulhw 8+%[k], %%mm3\n\t"                                                                                      \
  "pmulhw 24+%[k], %%mm4\n\t"                                                                                     \
  "pmulhw 40+%[k], %%mm5\n\t"                                                                                     \
  "paddw 16+%[k], %%mm3\n\t"                                                                                      \
  "paddw 32+%[k], %%mm4\n\t"                                                                                      \
  "paddw 48+%[k], %%mm5\n\t"                                                                                      \
  "psrlw $6, %%mm3\n\t"                                                                                           \
  "psrlw $6, %%mm4\n\t"                                                                                           \
  "psrlw $6, %%mm5\n\t"                                                                                           \
  "paddw %%mm4, %%mm3\n\t"                                                                                        \
  "paddw %%mm5, %%mm3\n\t"                                                                                        \
  "paddw 56+%[k], %%mm3\n\t"

// Luma of B (mm0), G (mm2), R (mm1) into mm0, using them up.
#define I420_MMX_LUMA                                                                                             \
  "pmulhw 8+%[k], %%mm0\n\t"                                                                                      \
  "pmulhw 24+%[k], %%mm1\n\t"                                                                                     \
  "pmulhw 40+%[k], %%mm2\n\t"                                                                                     \
  "paddw 16+%[k], %%mm0\n\t"                                                                                      \
  "paddw 32+%[k], %%mm1\n\t"                                                                                      \
  "paddw 48+%[k], %%mm2\n\t"                                                                                      \
  "psrlw $6, %%mm0\n\t"                                                                                           \
  "psrlw $6, %%mm1\n\t"                                                                                           \
  "psrlw $6, %%mm2\n\t"                                                                                           \
  "paddw %%mm1, %%mm0\n\t"                                                                                        \
  "paddw %%mm2, %%mm0\n\t"                                                                                        \
  "paddw 56+%[k], %%mm0\n\t"

// U into mm4 and V into mm1 from B (mm0), G (mm2), R (mm1), using them up. Uses mm5, mm6.
#define I420_MMX_CHROMA                                                                                           \
  "movq %%mm0, %%mm4\n\t"                                                                                         \
  "movq %%mm2, %%mm5\n\t"                                                                                         \
  "movq %%mm1, %%mm6\n\t"                                                                                         \
  "pmulhw 64+%[k], %%mm4\n\t"                                                                                     \
  "pmulhw 80+%[k], %%mm5\n\t"                                                                                     \
  "pmulhw 96+%[k], %%mm6\n\t"                                                                                     \
  "pmulhw 64+%[k], %%mm1\n\t"                                                                                     \
  "pmulhw 112+%[k], %%mm2\n\t"                                                                                    \
  "pmulhw 128+%[k], %%mm0\n\t"                                                                                    \
  "paddw 72+%[k], %%mm4\n\t"                                                                                      \
  "paddw 88+%[k], %%mm5\n\t"                                                                                      \
  "paddw 104+%[k], %%mm6\n\t"                                                                                     \
  "paddw 72+%[k], %%mm1\n\t"                                                                                      \
  "paddw 120+%[k], %%mm2\n\t"                                                                                     \
  "paddw 136+%[k], %%mm0\n\t"                                                                                     \
  "psrlw $6, %%mm4\n\t"                                                                                           \
  "psrlw $6, %%mm5\n\t"                                                                                           \
  "psrlw $6, %%mm6\n\t"                                                                                           \
  "psrlw $6, %%mm1\n\t"                                                                                           \
  "psrlw $6, %%mm2\n\t"                                                                                           \
  "psrlw $6, %%mm0\n\t"                                                                                           \
  "psubw %%mm5, %%mm4\n\t"                                                                                        \
  "psubw %%mm2, %%mm1\n\t"                                                                                        \
  "psubw %%mm6, %%mm4\n\t"                                                                                        \
  "psubw %%mm0, %%mm1\n\t"                                                                                        \
  "paddw 144+%[k], %%mm4\n\t"                                                                                     \
  "paddw 144+%[k], %%mm1\n\t"

// Scratch of the I420 step: one group's luma, U and V while the next is formed.
struct I420MmxScratch {
  ULONGLONG y, u, v;
};

// I420Step as instructions: eight pixels at %[p], 8 luma bytes at %[y], the U and V of pixels
// 0, 2, 4 and 6 at %[u] and %[v].
#define I420_MMX_STEP                                                                                             \
  MMX_SPLIT7("0") I420_MMX_LUMA_KEEP I420_MMX_CHROMA                                                              \
  "movq %%mm3, 0+%[s]\n\t"                                                                                        \
  "movq %%mm4, 8+%[s]\n\t"                                                                                        \
  "movq %%mm1, 16+%[s]\n\t" MMX_SPLIT7("12") I420_MMX_LUMA_KEEP I420_MMX_CHROMA                                   \
  "movq 0+%[s], %%mm0\n\t"                                                                                        \
  "pand 152+%[k], %%mm3\n\t"                                                                                      \
  "pand 152+%[k], %%mm0\n\t"                                                                                      \
  "packuswb %%mm3, %%mm0\n\t"                                                                                     \
  "movq %%mm0, (%[y])\n\t"                                                                                        \
  "movq 8+%[s], %%mm0\n\t"                                                                                        \
  "pand 160+%[k], %%mm4\n\t"                                                                                      \
  "pand 160+%[k], %%mm0\n\t"                                                                                      \
  "packssdw %%mm4, %%mm0\n\t"                                                                                     \
  "packuswb %%mm0, %%mm0\n\t"                                                                                     \
  "movd %%mm0, (%[u])\n\t"                                                                                        \
  "movq 16+%[s], %%mm0\n\t"                                                                                       \
  "pand 160+%[k], %%mm1\n\t"                                                                                      \
  "pand 160+%[k], %%mm0\n\t"                                                                                      \
  "packssdw %%mm1, %%mm0\n\t"                                                                                     \
  "packuswb %%mm0, %%mm0\n\t"                                                                                     \
  "movd %%mm0, (%[v])\n\t"

// I420LumaStep as instructions: eight pixels at %[p], 8 luma bytes at %[y].
#define I420_MMX_LUMA_STEP                                                                                        \
  MMX_SPLIT7("0") I420_MMX_LUMA                                                                                   \
  "pand 152+%[k], %%mm0\n\t"                                                                                      \
  "movq %%mm0, %%mm7\n\t" MMX_SPLIT7("12") I420_MMX_LUMA                                                          \
  "pand 152+%[k], %%mm0\n\t"                                                                                      \
  "packuswb %%mm0, %%mm7\n\t"                                                                                     \
  "movq %%mm7, (%[y])\n\t"

LUMAREX_MMX_INLINE LONG I420Row(const UCHAR *src, PUCHAR y, PUCHAR u, PUCHAR v, LONG width, BOOLEAN chroma,
                                 const I420MmxConsts &k) {
  LONG x = 0;
  if (chroma) {
    I420MmxScratch scratch;
    for (; x + 8 < width; x += 8) {
      __asm__ volatile(I420_MMX_STEP
                       : [s] "=m"(scratch)
                       : [p] "r"(src + 3 * x), [y] "r"(y + x), [u] "r"(u + x / 2), [v] "r"(v + x / 2), [k] "m"(k)
                       : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6");
    }
  } else {
    for (; x + 8 < width; x += 8) {
      __asm__ volatile(I420_MMX_LUMA_STEP
                       :
                       : [p] "r"(src + 3 * x), [y] "r"(y + x), [k] "m"(k)
                       : "memory", "mm0", "mm1", "mm2", "mm3", "mm7");
    }
  }
  const LONG n = width - x;
  UCHAR pixels[32] = {0};
  UCHAR ly[8], lu[4], lv[4];
  for (LONG k = 0; k < 3 * n; ++k) pixels[k] = src[3 * x + k];
  I420Step(pixels, ly, lu, lv);
  for (LONG k = 0; k < n; ++k) y[x + k] = ly[k];
  if (!chroma) {
    return 0;
  }
  // Chroma only for whole pixel pairs: an unpaired last column has none.
  for (LONG k = 0; k < n / 2; ++k) {
    u[x / 2 + k] = lu[k];
    v[x / 2 + k] = lv[k];
  }
  return x / 2 + n / 2;
}

LUMAREX_MMX_ENTRY void I420Mmx(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const ULONG pixels = (ULONG)width * (ULONG)height;
  PUCHAR y = out;
  PUCHAR u = out + pixels;
  PUCHAR v = u + pixels / 4;
  const ConverterForms &f = kI420Mmx;
  const I420MmxConsts c = {0,
                           Lanes(f.t[YB].m, f.t[YB].m), Lanes(f.t[YB].c, f.t[YB].c),
                           Lanes(f.t[YR].m, f.t[YR].m), Lanes(f.t[YR].c, f.t[YR].c),
                           Lanes(f.t[YG].m, f.t[YG].m), Lanes(f.t[YG].c, f.t[YG].c),
                           Lanes(f.yOffset, f.yOffset),
                           Lanes(f.t[UB].m, f.t[UB].m), Lanes(f.t[UB].c, f.t[UB].c),
                           Lanes(f.t[UG].m, f.t[UG].m), Lanes(f.t[UG].c, f.t[UG].c),
                           Lanes(f.t[UR].m, f.t[UR].m), Lanes(f.t[UR].c, f.t[UR].c),
                           Lanes(f.t[VG].m, f.t[VG].m), Lanes(f.t[VG].c, f.t[VG].c),
                           Lanes(f.t[VB].m, f.t[VB].m), Lanes(f.t[VB].c, f.t[VB].c),
                           Lanes(127, 127),
                           Lanes(0xFF, 0xFF),
                           Lanes(0xFF, 0)};
  for (LONG k = 0; 2 * k < height; ++k) {
    const BOOLEAN hasLower = (BOOLEAN)(2 * k + 1 < height);
    const LONG written = I420Row(rows[height - 1 - 2 * k], y, u, v, width, hasLower, c);
    y += width;
    u += written;
    v += written;
    if (hasLower) {
      I420Row(rows[height - 2 - 2 * k], y, u, v, width, FALSE, c);
      y += width;
    }
  }
  _mm_empty();
}

}  // namespace

// LUMAREX_RGB24ToYUY2MMX - LUMAREX_RGB24ToYUY2 with MMX, the same bytes. Runs on the decode
// worker at PASSIVE_LEVEL where the vector registers may be used, only on processors with MMX.
// No result.
VOID LUMAREX_RGB24ToYUY2MMX(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  if (width <= 0 || height <= 0) {
    return;
  }
  Yuy2Mmx(rows, out, width, height);
  LUMAREX_StoreYUY2Rows(rows, out, width, height);
}

// LUMAREX_RGB24ToI420MMX - LUMAREX_RGB24ToI420 with MMX, the same bytes. Runs on the decode
// worker at PASSIVE_LEVEL where the vector registers may be used, only on processors with MMX.
// No result.
VOID LUMAREX_RGB24ToI420MMX(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  if (width <= 0 || height <= 0) {
    return;
  }
  I420Mmx(rows, out, width, height);
  const ULONG pixels = (ULONG)width * (ULONG)height;
  RtlCopyMemory(rows[0], out, pixels + pixels / 2);
}
