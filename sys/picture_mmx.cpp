// Vector form of the picture adjustments with MMX, for processors without SSE2: the same luma,
// sharpening term and brightness, saturation and contrast tables as LUMAREX_AdjustImageScalar
// (picture.cpp, which defines the arithmetic), giving the same bytes for every image and every
// setting in 0..100. The bounds are those shown in picture_sse2.cpp; MMX lacks the unsigned
// high multiply, the 16-bit maximum and the 32-bit multiply, so:
//   luma        77 R + 150 G + 29 B <= 65280: _mm_mullo_pi16 / _mm_add_pi16 are exact modulo
//               2^16 and _mm_srli_pi16 by 8 is the >> 8.
//   sharpening  |v| is (v ^ s) - s with s the sign; the sum (a1 + a2) b2 + (a1 + a3) b3 is
//               formed by _mm_madd_pi16 with Sh taken into b2 and b3, in two parts of at most
//               64 (510 * 64 fits a signed lane) whose 32-bit results are added: the exact
//               sum * Sh, below 2^31 for Sh <= 100.
//   saturation  floor(n / 50) for 0 <= n <= 25500 is floor(n * 20972 / 2^20): 20972 * 50 =
//               2^20 + 24, an error below 24 * 25500 / (50 * 2^20) < 1/50; n and 20972 are
//               positive signed 16-bit values, so _mm_mulhi_pi16 and a shift by 4 give it.
//   contrast    floor(n / 255) for 0 <= n <= 25754 is (n + (n >> 8) + 1) >> 8 (n < 65535).
//   clamps      _mm_packs_pu16.
//
// Four pixels (12 bytes) make a step; a row's last pixels that do not fill one are copied to a
// small buffer on the stack and run through the same code (the colour steps and the luma work
// on each pixel alone), or, for the sharpening, computed with the scalar expression. Rows are
// done in one sweep as in the SSE2 form: the luma of row y + 2 is taken before row y is
// sharpened and coloured. The luma step and the sharpening step for Sh up to 64 (the default
// is 20) are written as instructions (PIC_MMX_LUMA4, PIC_MMX_SHARPEN4), eight pixels a step:
// the same values in the same lanes, as GCC keeps few MMX values in registers; there the
// absolute differences of the non-negative l, r, u, d, l + r and u + d are
// psubusw(a, b) | psubusw(b, a), one of which is 0. The entry ends with _mm_empty.
#include "lumarex.h"
#include "mmx_bgr.h"

namespace {

struct MmxColourParams {
  __m64 brightenBy;    // Bv - 50 when positive, else 0 (bytes)
  __m64 darkenBy;      // 50 - Bv when positive, else 0 (bytes)
  __m64 satFactor;     // Sv (16-bit)
  __m64 contrastK;     // 2 |Cv - 50| (16-bit)
  __m64 contrastBias;  // 254 when Cv < 50 (ceiling form), else 0
  __m64 contrastNeg;   // all ones when Cv < 50 (the quotient is subtracted), else 0
  __m64 contrastOff;   // 50 - Cv (16-bit)
  // Lanes of a 12-lane group (4 pixels as 16-bit lanes in three registers) holding B, G, R.
  __m64 maskB[3], maskG[3], maskR[3];
  BOOLEAN saturate;
  BOOLEAN contrast;
  BOOLEAN any;
};

LUMAREX_MMX_INLINE __m64 Div50(__m64 n) { return _mm_srli_pi16(_mm_mulhi_pi16(n, _mm_set1_pi16(20972)), 4); }

LUMAREX_MMX_INLINE __m64 Div255(__m64 n) {
  return _mm_srli_pi16(_mm_add_pi16(_mm_add_pi16(n, _mm_srli_pi16(n, 8)), _mm_set1_pi16(1)), 8);
}

LUMAREX_MMX_INLINE __m64 Abs16(__m64 v) {
  __m64 s = _mm_srai_pi16(v, 15);
  return _mm_sub_pi16(_mm_xor_si64(v, s), s);
}

// ---- Luma -------------------------------------------------------------------------------------

// Luma of the 4 pixels at p (reads 13 bytes) into l (4 bytes).
LUMAREX_MMX_INLINE void Luma4(const UCHAR *p, PUCHAR l) {
  __m64 b, g, r;
  MmxSplitBgr4(p, &b, &g, &r);
  __m64 sum = _mm_add_pi16(_mm_add_pi16(_mm_mullo_pi16(r, _mm_set1_pi16(77)), _mm_mullo_pi16(g, _mm_set1_pi16(150))),
                           _mm_mullo_pi16(b, _mm_set1_pi16(29)));
  __m64 v = _mm_srli_pi16(sum, 8);
  MmxStore32(l, _mm_packs_pu16(v, v));
}

// Constants read as memory operands by the instructions below.
struct MmxAdjustConsts {
  ULONGLONG zero;
  ULONGLONG k29, k150, k77;  // luma weights in every 16-bit lane
  ULONGLONG sh;              // Sh in every 16-bit lane (Sh <= kSharpnessPart)
};

// Luma of the 4 pixels at P + OFF into 4 bytes at L + OFF / 3, as instructions (the same
// steps as Luma4; reads 13 bytes). Constants at %[k].
#define PIC_MMX_LUMA4(OFF, LOFF)                                                                                  \
  LUMAREX_MMX_SPLIT_BGR4(OFF)                                                                                     \
  "pmullw 8+%[k], %%mm0\n\t"                                                                                     \
  "pmullw 16+%[k], %%mm2\n\t"                                                                                    \
  "pmullw 24+%[k], %%mm1\n\t"                                                                                    \
  "paddw %%mm2, %%mm0\n\t"                                                                                       \
  "paddw %%mm1, %%mm0\n\t"                                                                                       \
  "psrlw $8, %%mm0\n\t"                                                                                          \
  "packuswb %%mm0, %%mm0\n\t"                                                                                    \
  "movd %%mm0, " LOFF "(%[l])\n\t"

LUMAREX_MMX_INLINE void LumaRow(const UCHAR *p, PUCHAR l, LONG width, const MmxAdjustConsts &k) {
  LONG x = 0;
  // Eight pixels a step while the step's last read (byte 24 of its pixels) lies in the row.
  for (; x + 8 < width; x += 8) {
    __asm__ volatile(PIC_MMX_LUMA4("0", "0") PIC_MMX_LUMA4("12", "4")
                     :
                     : [p] "r"(p + 3 * x), [l] "r"(l + x), [k] "m"(k)
                     : "memory", "mm0", "mm1", "mm2", "mm3");
  }
  for (; x + 4 < width; x += 4) {
    Luma4(p + 3 * x, l + x);
  }
  const LONG n = width - x;
  UCHAR pixels[16] = {0};
  UCHAR out[4];
  for (LONG i = 0; i < 3 * n; ++i) pixels[i] = p[3 * x + i];
  Luma4(pixels, out);
  for (LONG i = 0; i < n; ++i) l[x + i] = out[i];
}

// ---- Sharpening -------------------------------------------------------------------------------

inline LONG SharpenTerm(LONG c, LONG l, LONG r, LONG u, LONG d, LONG sh) {
  LONG lr = l + r, ud = u + d;
  LONG a1 = lr > ud ? lr - ud : ud - lr;
  LONG a2 = u > d ? u - d : d - u;
  LONG a3 = l > r ? l - r : r - l;
  LONG sum = a1 * (4 * c - lr - ud) + a2 * (2 * c - ud) + a3 * (2 * c - lr);
  return (sum * sh) >> 13;
}

inline UCHAR AddClamped(UCHAR v, LONG dv) {
  LONG s = (LONG)v + dv;
  return (UCHAR)(s < 0 ? 0 : s > 255 ? 255 : s);
}

const LONG kSharpnessPart = 64;  // 510 * 64 = 32640 fits a signed 16-bit lane

// sum * part for pixels 0, 1 (lo) and 2, 3 (hi) as 32-bit lanes.
LUMAREX_MMX_INLINE void SharpenParts(__m64 a12, __m64 a13, __m64 b2, __m64 b3, __m64 part, __m64 *lo, __m64 *hi) {
  b2 = _mm_mullo_pi16(b2, part);
  b3 = _mm_mullo_pi16(b3, part);
  *lo = _mm_madd_pi16(_mm_unpacklo_pi16(a12, a13), _mm_unpacklo_pi16(b2, b3));
  *hi = _mm_madd_pi16(_mm_unpackhi_pi16(a12, a13), _mm_unpackhi_pi16(b2, b3));
}

// Sharpening of 4 pixels at x .. x + 3 of one row; lm, lu, ld point at luma x of rows y, y - 2
// and y + 2, px at pixel x. Reads luma x - 2 .. x + 5.
LUMAREX_MMX_INLINE void Sharpen4(const UCHAR *lm, const UCHAR *lu, const UCHAR *ld, PUCHAR px, __m64 sh1, __m64 sh2,
                                 BOOLEAN twoParts) {
  const __m64 zero = _mm_setzero_si64();
  __m64 c = _mm_unpacklo_pi8(MmxLoad32(lm), zero);
  __m64 l = _mm_unpacklo_pi8(MmxLoad32(lm - 2), zero);
  __m64 r = _mm_unpacklo_pi8(MmxLoad32(lm + 2), zero);
  __m64 u = _mm_unpacklo_pi8(MmxLoad32(lu), zero);
  __m64 d = _mm_unpacklo_pi8(MmxLoad32(ld), zero);
  __m64 lr = _mm_add_pi16(l, r);
  __m64 ud = _mm_add_pi16(u, d);
  __m64 c2 = _mm_add_pi16(c, c);
  __m64 a1 = Abs16(_mm_sub_pi16(lr, ud));
  __m64 b2 = _mm_sub_pi16(c2, ud);
  __m64 b3 = _mm_sub_pi16(c2, lr);
  // a1 b1 + a2 b2 + a3 b3 with b1 = b2 + b3 is (a1 + a2) b2 + (a1 + a3) b3.
  __m64 a12 = _mm_add_pi16(a1, Abs16(_mm_sub_pi16(u, d)));
  __m64 a13 = _mm_add_pi16(a1, Abs16(_mm_sub_pi16(l, r)));
  __m64 lo, hi;
  SharpenParts(a12, a13, b2, b3, sh1, &lo, &hi);
  if (twoParts) {
    __m64 lo2, hi2;
    SharpenParts(a12, a13, b2, b3, sh2, &lo2, &hi2);
    lo = _mm_add_pi32(lo, lo2);
    hi = _mm_add_pi32(hi, hi2);
  }
  __m64 dv = _mm_packs_pi32(_mm_srai_pi32(lo, 13), _mm_srai_pi32(hi, 13));  // D0 D1 D2 D3
  // D of each pixel on its three bytes: D0 D0 D0 D1 | D1 D1 D2 D2 | D2 D3 D3 D3.
  const __m64 lane0 = _mm_set_pi16(0, 0, 0, -1), lane3 = _mm_set_pi16(-1, 0, 0, 0);
  __m64 d01 = _mm_unpacklo_pi16(dv, dv);  // D0 D0 D1 D1
  __m64 d23 = _mm_unpackhi_pi16(dv, dv);  // D2 D2 D3 D3
  __m64 e0 = _mm_or_si64(_mm_slli_si64(d01, 16), _mm_and_si64(dv, lane0));
  __m64 e1 = _mm_unpacklo_pi32(_mm_srli_si64(d01, 32), d23);
  __m64 e2 = _mm_or_si64(_mm_srli_si64(d23, 16), _mm_and_si64(dv, lane3));
  __m64 p0 = MmxLoad64(px);
  __m64 p1 = MmxLoad32(px + 8);
  __m64 w0 = _mm_add_pi16(_mm_unpacklo_pi8(p0, zero), e0);
  __m64 w1 = _mm_add_pi16(_mm_unpackhi_pi8(p0, zero), e1);
  __m64 w2 = _mm_add_pi16(_mm_unpacklo_pi8(p1, zero), e2);
  MmxStore64(px, _mm_packs_pu16(w0, w1));
  MmxStore32(px + 8, _mm_packs_pu16(w2, w2));
}

// Sharpening of row y (2 <= y <= height - 3), pixels 2 .. width - 3.
// Sharpen4 for Sh <= kSharpnessPart, as instructions: the same values in the same lanes, the
// factor taken into b2 and b3 (%[k] + 32) before the one multiply-add. Pointers: %[c], %[u],
// %[d] luma x of rows y, y - 2, y + 2; %[px] pixel x.
#define PIC_MMX_SHARPEN4(LO, PO)                                                                                         \
  "movd " LO "(%[c]), %%mm0\n\t"                                                                                       \
  "movd " LO "-2(%[c]), %%mm1\n\t"                                                                                     \
  "movd " LO "+2(%[c]), %%mm2\n\t"                                                                                      \
  "movd " LO "(%[u]), %%mm3\n\t"                                                                                       \
  "movd " LO "(%[d]), %%mm4\n\t"                                                                                       \
  "punpcklbw 0+%[k], %%mm0\n\t"                                                                                  \
  "punpcklbw 0+%[k], %%mm1\n\t"                                                                                  \
  "punpcklbw 0+%[k], %%mm2\n\t"                                                                                  \
  "punpcklbw 0+%[k], %%mm3\n\t"                                                                                  \
  "punpcklbw 0+%[k], %%mm4\n\t"                                                                                  \
  "movq %%mm1, %%mm5\n\t"                                                                                        \
  "movq %%mm3, %%mm6\n\t"                                                                                        \
  "paddw %%mm2, %%mm5\n\t"       /* lr */                                                                        \
  "paddw %%mm4, %%mm6\n\t"       /* ud */                                                                        \
  "movq %%mm1, %%mm7\n\t"                                                                                         \
  "psubusw %%mm2, %%mm1\n\t" /* l - r where positive */                                                           \
  "psubusw %%mm7, %%mm2\n\t" /* r - l where positive */                                                           \
  "por %%mm2, %%mm1\n\t" /* a3 */                                                                                 \
  "movq %%mm3, %%mm7\n\t"                                                                                         \
  "psubusw %%mm4, %%mm3\n\t"                                                                                      \
  "psubusw %%mm7, %%mm4\n\t"                                                                                      \
  "por %%mm4, %%mm3\n\t" /* a2 */                                                                                 \
  "movq %%mm5, %%mm2\n\t"                                                                                         \
  "psubusw %%mm6, %%mm2\n\t"                                                                                      \
  "movq %%mm6, %%mm7\n\t"                                                                                         \
  "psubusw %%mm5, %%mm7\n\t"                                                                                      \
  "por %%mm7, %%mm2\n\t" /* a1 */                                                                                 \
  "paddw %%mm0, %%mm0\n\t"       /* 2 c */                                                                       \
  "movq %%mm0, %%mm4\n\t"                                                                                        \
  "psubw %%mm6, %%mm4\n\t"       /* b2 */                                                                        \
  "psubw %%mm5, %%mm0\n\t"       /* b3 */                                                                        \
  "paddw %%mm2, %%mm3\n\t"       /* a12 */                                                                       \
  "paddw %%mm2, %%mm1\n\t"       /* a13 */                                                                       \
  "pmullw 32+%[k], %%mm4\n\t"                                                                                    \
  "pmullw 32+%[k], %%mm0\n\t"                                                                                    \
  "movq %%mm3, %%mm2\n\t"                                                                                        \
  "movq %%mm4, %%mm5\n\t"                                                                                        \
  "punpcklwd %%mm1, %%mm3\n\t"                                                                                   \
  "punpckhwd %%mm1, %%mm2\n\t"                                                                                   \
  "punpcklwd %%mm0, %%mm4\n\t"                                                                                   \
  "punpckhwd %%mm0, %%mm5\n\t"                                                                                   \
  "pmaddwd %%mm4, %%mm3\n\t"                                                                                     \
  "pmaddwd %%mm5, %%mm2\n\t"                                                                                     \
  "psrad $13, %%mm3\n\t"                                                                                         \
  "psrad $13, %%mm2\n\t"                                                                                         \
  "packssdw %%mm2, %%mm3\n\t"    /* D0 D1 D2 D3 */                                                               \
  "movq %%mm3, %%mm4\n\t"                                                                                        \
  "movq %%mm3, %%mm1\n\t"                                                                                        \
  "punpcklwd %%mm3, %%mm4\n\t"   /* D0 D0 D1 D1 */                                                               \
  "punpckhwd %%mm3, %%mm1\n\t"   /* D2 D2 D3 D3 */                                                               \
  "movq %%mm4, %%mm0\n\t"                                                                                        \
  "punpckldq %%mm3, %%mm0\n\t"   /* e0: D0 D0 D0 D1 */                                                           \
  "punpckhdq %%mm1, %%mm3\n\t"   /* e2: D2 D3 D3 D3 */                                                           \
  "psrlq $32, %%mm4\n\t"                                                                                         \
  "punpckldq %%mm1, %%mm4\n\t"   /* e1: D1 D1 D2 D2 */                                                           \
  "movq " PO "(%[px]), %%mm5\n\t"                                                                                      \
  "movd " PO "+8(%[px]), %%mm7\n\t"                                                                                     \
  "movq %%mm5, %%mm6\n\t"                                                                                        \
  "punpcklbw 0+%[k], %%mm5\n\t"                                                                                  \
  "punpckhbw 0+%[k], %%mm6\n\t"                                                                                  \
  "punpcklbw 0+%[k], %%mm7\n\t"                                                                                  \
  "paddw %%mm0, %%mm5\n\t"                                                                                       \
  "paddw %%mm4, %%mm6\n\t"                                                                                       \
  "paddw %%mm3, %%mm7\n\t"                                                                                       \
  "packuswb %%mm6, %%mm5\n\t"                                                                                    \
  "packuswb %%mm7, %%mm7\n\t"                                                                                    \
  "movq %%mm5, " PO "(%[px])\n\t"                                                                                      \
  "movd %%mm7, " PO "+8(%[px])\n\t"

LUMAREX_MMX_INLINE void SharpenRow(PUCHAR px, const UCHAR *lm, LONG width, LONG sh, const MmxAdjustConsts &k) {
  const UCHAR *lu = lm - 2 * width;
  const UCHAR *ld = lm + 2 * width;
  const LONG part1 = sh < kSharpnessPart ? sh : kSharpnessPart;
  const __m64 sh1 = _mm_set1_pi16((short)part1);
  const __m64 sh2 = _mm_set1_pi16((short)(sh - part1));
  const BOOLEAN twoParts = (BOOLEAN)(sh > kSharpnessPart);
  LONG x = 2;
  // The step reads luma up to x + 5 and changes pixels up to x + 3 <= width - 3.
  if (!twoParts) {
    for (; x + 10 <= width; x += 8) {
      __asm__ volatile(PIC_MMX_SHARPEN4("0", "0") PIC_MMX_SHARPEN4("4", "12")
                       :
                       : [c] "r"(lm + x), [u] "r"(lu + x), [d] "r"(ld + x), [px] "r"(px + 3 * x), [k] "m"(k)
                       : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
    }
    for (; x + 6 <= width; x += 4) {
      __asm__ volatile(PIC_MMX_SHARPEN4("0", "0")
                       :
                       : [c] "r"(lm + x), [u] "r"(lu + x), [d] "r"(ld + x), [px] "r"(px + 3 * x), [k] "m"(k)
                       : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
    }
  }
  for (; x + 6 <= width; x += 4) {
    Sharpen4(lm + x, lu + x, ld + x, px + 3 * x, sh1, sh2, twoParts);
  }
  for (; x <= width - 3; ++x) {
    LONG dv = SharpenTerm(lm[x], lm[x - 2], lm[x + 2], lu[x], ld[x], sh);
    PUCHAR q = px + 3 * x;
    q[0] = AddClamped(q[0], dv);
    q[1] = AddClamped(q[1], dv);
    q[2] = AddClamped(q[2], dv);
  }
}

// ---- Brightness, saturation, contrast ---------------------------------------------------------

// Contrast on 4 bytes in 16-bit lanes: floor(i * step / 255) + (50 - Cv).
LUMAREX_MMX_INLINE __m64 Contrast4(__m64 w, const MmxColourParams &cp) {
  __m64 q = Div255(_mm_add_pi16(_mm_mullo_pi16(w, cp.contrastK), cp.contrastBias));
  q = _mm_sub_pi16(_mm_xor_si64(q, cp.contrastNeg), cp.contrastNeg);  // -q when Cv < 50
  return _mm_add_pi16(_mm_add_pi16(w, q), cp.contrastOff);
}

// Saturation of 4 pixels given as 12 16-bit lanes w[0..2]: R, B <- S[x] - S[G] + G.
LUMAREX_MMX_INLINE void Saturate4(__m64 *w, const MmxColourParams &cp) {
  __m64 s[3], h[3];
  for (int i = 0; i < 3; ++i) {
    s[i] = Div50(_mm_mullo_pi16(w[i], cp.satFactor));
    h[i] = _mm_sub_pi16(w[i], s[i]);  // x - S[x]
  }
  // next: the lane after (the G after a B); prev: the lane before (the G before an R).
  __m64 next[3], prev[3];
  next[0] = _mm_or_si64(_mm_srli_si64(h[0], 16), _mm_slli_si64(h[1], 48));
  next[1] = _mm_or_si64(_mm_srli_si64(h[1], 16), _mm_slli_si64(h[2], 48));
  next[2] = _mm_srli_si64(h[2], 16);
  prev[0] = _mm_slli_si64(h[0], 16);
  prev[1] = _mm_or_si64(_mm_slli_si64(h[1], 16), _mm_srli_si64(h[0], 48));
  prev[2] = _mm_or_si64(_mm_slli_si64(h[2], 16), _mm_srli_si64(h[1], 48));
  for (int i = 0; i < 3; ++i) {
    __m64 sel = _mm_or_si64(_mm_or_si64(_mm_and_si64(next[i], cp.maskB[i]), _mm_and_si64(h[i], cp.maskG[i])),
                            _mm_and_si64(prev[i], cp.maskR[i]));
    w[i] = _mm_add_pi16(s[i], sel);
  }
}

// Brightness, saturation and contrast of the 4 pixels (12 bytes) at p.
LUMAREX_MMX_INLINE void Colour4(PUCHAR p, const MmxColourParams &cp) {
  const __m64 zero = _mm_setzero_si64();
  __m64 a0 = MmxLoad64(p), a1 = MmxLoad32(p + 8);
  a0 = _mm_subs_pu8(_mm_adds_pu8(a0, cp.brightenBy), cp.darkenBy);
  a1 = _mm_subs_pu8(_mm_adds_pu8(a1, cp.brightenBy), cp.darkenBy);
  __m64 w[3];
  if (cp.saturate) {
    w[0] = _mm_unpacklo_pi8(a0, zero);
    w[1] = _mm_unpackhi_pi8(a0, zero);
    w[2] = _mm_unpacklo_pi8(a1, zero);
    Saturate4(w, cp);
    a0 = _mm_packs_pu16(w[0], w[1]);
    a1 = _mm_packs_pu16(w[2], w[2]);
  }
  if (cp.contrast) {
    w[0] = Contrast4(_mm_unpacklo_pi8(a0, zero), cp);
    w[1] = Contrast4(_mm_unpackhi_pi8(a0, zero), cp);
    w[2] = Contrast4(_mm_unpacklo_pi8(a1, zero), cp);
    a0 = _mm_packs_pu16(w[0], w[1]);
    a1 = _mm_packs_pu16(w[2], w[2]);
  }
  MmxStore64(p, a0);
  MmxStore32(p + 8, a1);
}

LUMAREX_MMX_INLINE void ColourRow(PUCHAR p, LONG width, const MmxColourParams &cp) {
  LONG x = 0;
  for (; x + 4 <= width; x += 4) {
    Colour4(p + 3 * x, cp);
  }
  if (x < width) {
    UCHAR pixels[12] = {0};
    const LONG n = 3 * (width - x);
    PUCHAR q = p + 3 * x;
    for (LONG i = 0; i < n; ++i) pixels[i] = q[i];
    Colour4(pixels, cp);
    for (LONG i = 0; i < n; ++i) q[i] = pixels[i];
  }
}

LUMAREX_MMX_ENTRY void AdjustMmx(PUCHAR *rows, LONG width, LONG height, LONG bv, LONG cv, LONG sv, LONG sh,
                                 PUCHAR luma) {
  MmxColourParams cp;
  cp.brightenBy = _mm_set1_pi8((char)(bv > 50 ? bv - 50 : 0));
  cp.darkenBy = _mm_set1_pi8((char)(bv < 50 ? 50 - bv : 0));
  cp.satFactor = _mm_set1_pi16((short)sv);
  cp.contrastK = _mm_set1_pi16((short)(cv >= 50 ? 2 * (cv - 50) : 2 * (50 - cv)));
  cp.contrastBias = _mm_set1_pi16((short)(cv < 50 ? 254 : 0));
  cp.contrastNeg = cv < 50 ? _mm_set1_pi16(-1) : _mm_setzero_si64();
  cp.contrastOff = _mm_set1_pi16((short)(50 - cv));
  // Lane k of register i of a group is byte 4 i + k of 4 pixels: channel (4 i + k) mod 3.
  cp.maskB[0] = _mm_setr_pi16(-1, 0, 0, -1);
  cp.maskG[0] = _mm_setr_pi16(0, -1, 0, 0);
  cp.maskR[0] = _mm_setr_pi16(0, 0, -1, 0);
  cp.maskB[1] = _mm_setr_pi16(0, 0, -1, 0);
  cp.maskG[1] = _mm_setr_pi16(-1, 0, 0, -1);
  cp.maskR[1] = _mm_setr_pi16(0, -1, 0, 0);
  cp.maskB[2] = _mm_setr_pi16(0, -1, 0, 0);
  cp.maskG[2] = _mm_setr_pi16(0, 0, -1, 0);
  cp.maskR[2] = _mm_setr_pi16(-1, 0, 0, -1);
  cp.saturate = sv != 50 ? TRUE : FALSE;
  cp.contrast = cv != 50 ? TRUE : FALSE;
  // At 50 every table is the identity and contrast is skipped: the pass would change nothing.
  cp.any = (bv != 50 || cp.saturate || cp.contrast) ? TRUE : FALSE;

  MmxAdjustConsts k;
  k.zero = 0;
  k.k29 = 0x0001000100010001ULL * 29;
  k.k150 = 0x0001000100010001ULL * 150;
  k.k77 = 0x0001000100010001ULL * 77;
  k.sh = 0x0001000100010001ULL * (USHORT)(sh < kSharpnessPart ? sh : kSharpnessPart);

  const SIZE_T stride = (SIZE_T)width;
  if (sh != 0) {
    for (LONG y = 0; y < 2 && y < height; ++y) {
      LumaRow(rows[y], luma + (SIZE_T)y * stride, width, k);
    }
  }
  for (LONG y = 0; y < height; ++y) {
    if (sh != 0) {
      if (y + 2 < height) {
        LumaRow(rows[y + 2], luma + (SIZE_T)(y + 2) * stride, width, k);
      }
      if (y >= 2 && y <= height - 3) {
        SharpenRow(rows[y], luma + (SIZE_T)y * stride, width, sh, k);
      }
    }
    if (cp.any) {
      ColourRow(rows[y], width, cp);
    }
  }
  _mm_empty();
}

inline BOOLEAN InRange(LONG v) { return (v >= 0 && v <= 100) ? TRUE : FALSE; }

}  // namespace

// LUMAREX_AdjustImageMMX - the picture adjustments with MMX, exactly as
// LUMAREX_AdjustImageScalar. Runs where the caller may use the vector registers (on the target,
// inside its floating-point state save), only on processors with MMX; leaves the
// floating-point unit usable (EMMS).
// Returns FALSE without touching anything for a setting outside 0..100 (the scalar form then
// handles it), for a row length that overflows, or when sharpening is asked for without a luma
// image; TRUE otherwise (also for an image without pixels, which needs nothing).
BOOLEAN LUMAREX_AdjustImageMMX(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                               PUCHAR luma) {
  if (settings == NULL || !InRange(settings->Brightness) || !InRange(settings->Contrast) ||
      !InRange(settings->Saturation) || !InRange(settings->Sharpness)) {
    return FALSE;
  }
  if (width <= 0 || height <= 0) {
    return TRUE;
  }
  if (width > 0x7FFFFFFF / 3 || rows == NULL || (settings->Sharpness != 0 && luma == NULL)) {
    return FALSE;
  }
  AdjustMmx(rows, width, height, settings->Brightness, settings->Contrast, settings->Saturation,
            settings->Sharpness, luma);
  return TRUE;
}
