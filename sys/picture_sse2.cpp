// Vector form of the picture adjustments (SSE2): the same luma, sharpening term and
// brightness, saturation and contrast tables as LUMAREX_AdjustImageScalar (picture.cpp, which
// defines the arithmetic), giving the same bytes for every image and every setting in 0..100.
//
// Why each step matches the definition (settings limited to 0..100):
//   luma        77 R + 150 G + 29 B <= 256 * 255 = 65280 fits an unsigned 16-bit lane, so
//               _mm_mullo_epi16 / _mm_add_epi16 are exact and _mm_srli_epi16 by 8 is the >> 8.
//   sharpening  the sum is formed as (a1 + a2) b2 + (a1 + a3) b3 (see Sharpen8): weights at
//               most 765 and differences within -510..510 fit signed 16-bit lanes and
//               _mm_madd_epi16 forms the exact 32-bit sum; it is at most 2 * 765 * 510 =
//               780300 in magnitude and times Sh <= 100 stays below 2^31, so the scalar form's unsigned arithmetic never
//               wraps and the low 32 bits of _mm_mul_epu32 are the signed product (for
//               Sh <= 64 the factor is taken into b2 and b3 in their lanes instead). D is then
//               within +-9526, so _mm_packs_epi32 keeps it, pixel + D fits 16 bits, and
//               _mm_packus_epi16 is the clamp to 0..255.
//   brightness  T[i] = clamp(i + Bv - 50) is a saturating byte add (_mm_adds_epu8) of Bv - 50
//               or a saturating subtract (_mm_subs_epu8) of 50 - Bv.
//   saturation  S[i] = i * Sv / 50 with i * Sv <= 25500 (exact division shown at Div50);
//               R and B become S[x] - S[G] + G, clamped by _mm_packus_epi16.
//   contrast    floor(i * step / 255) + (50 - Cv), step = 255 +- k, k = 2 |Cv - 50| <= 100:
//               i + floor(i * k / 255) for Cv > 50 and i - ceil(i * k / 255) for Cv < 50
//               (exact division shown at Div255), clamped by _mm_packus_epi16.
//
// The image is worked on as interleaved B, G, R bytes. Brightness and contrast treat every
// byte alike; saturation needs, at each B and R byte, G - S[G] of its own pixel, which sits one
// 16-bit lane after B and one lane before R and is brought there by shifting across
// registers. Only the luma needs the channels apart: 32 pixels (96 bytes) are de-interleaved
// with five rounds of byte interleaving (LUMAREX_SplitBgr32Sse2).
//
// Rows are done in one sweep: before row y is sharpened, the luma of row y + 2 is taken while
// that row is still unchanged; row y is then sharpened and gets its brightness, saturation
// and contrast. Pixels at the end of a row that do not fill a whole vector step are copied to
// a small buffer on the stack and run through the same vector code (the colour steps work on
// each pixel alone), or, for the sharpening, computed with the scalar expression. Nothing
// outside the rows or the luma image is read or written.
//
// The functions carry target("sse2") so that 32-bit builds, whose baseline is below SSE2,
// compile them; the callers only run them on processors that report SSE2.
#include "lumarex.h"
#include "sse2_bgr.h"

#define PIC_SSE2_INLINE static inline __attribute__((target("sse2"), always_inline))

// The 32-bit Windows kernel stack is only 4-byte aligned: the vector entry realigns its frame
// so that the compiler's 16-byte spills are aligned.
#if defined(__i386__)
#define PIC_SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer, noinline))
#else
#define PIC_SSE2_ENTRY __attribute__((target("sse2"), noinline))
#endif

namespace {

// floor(n / 50) for 0 <= n <= 25500: floor(n * 41944 / 2^21).
// 41944 = ceil(2^21 / 50) and 41944 * 50 = 2^21 + 48, so n * 41944 / 2^21 = n / 50 + e with
// e = 48 n / (50 * 2^21) <= 0.0117 < 1/50. Writing n = 50 q + r (r <= 49), n / 50 + e <
// q + 49/50 + 1/50 = q + 1, hence the floor is q. _mm_mulhi_epu16 gives floor(n * M / 2^16)
// and the shift by 5 the remaining floor(. / 32).
const USHORT kDiv50Magic = 41944;
const int kDiv50Shift = 5;

// floor(n / 255) for 0 <= n <= 25754 (i * k + 254 with i <= 255, k <= 100):
// floor(n * 32897 / 2^23). 32897 = ceil(2^23 / 255) and 32897 * 255 = 2^23 + 127, so the
// error is e = 127 n / (255 * 2^23) <= 0.0016 < 1/255; as above the floor is exact.
const USHORT kDiv255Magic = 32897;
const int kDiv255Shift = 7;

// Per-image constants of the colour steps, broadcast to every lane.
struct ColourParams {
  __m128i brightenBy;   // Bv - 50 when positive, else 0 (bytes)
  __m128i darkenBy;     // 50 - Bv when positive, else 0 (bytes)
  __m128i satFactor;    // Sv (16-bit)
  __m128i contrastK;    // 2 |Cv - 50| (16-bit)
  __m128i contrastBias; // 254 when Cv < 50 (ceiling form), else 0
  __m128i contrastNeg;  // all ones when Cv < 50 (the quotient is subtracted), else 0
  __m128i contrastOff;  // 50 - Cv (16-bit)
  // Lanes of a 24-lane group (8 pixels as 16-bit lanes in three registers) holding B, G, R.
  __m128i maskB[3], maskG[3], maskR[3];
  BOOLEAN saturate;     // Sv != 50
  BOOLEAN contrast;     // Cv != 50
  BOOLEAN any;          // some colour step changes bytes: Bv, Sv or Cv is not 50
};

PIC_SSE2_INLINE __m128i Div50(__m128i n) {
  return _mm_srli_epi16(_mm_mulhi_epu16(n, _mm_set1_epi16((short)kDiv50Magic)), kDiv50Shift);
}

PIC_SSE2_INLINE __m128i Div255(__m128i n) {
  return _mm_srli_epi16(_mm_mulhi_epu16(n, _mm_set1_epi16((short)kDiv255Magic)), kDiv255Shift);
}

PIC_SSE2_INLINE __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// Low 32 bits of each 32-bit lane times factor (factor in the low half of every 64-bit lane).
PIC_SSE2_INLINE __m128i MulLo32(__m128i v, __m128i factor) {
  __m128i even = _mm_mul_epu32(v, factor);
  __m128i odd = _mm_mul_epu32(_mm_srli_epi64(v, 32), factor);
  even = _mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0));
  odd = _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0));
  return _mm_unpacklo_epi32(even, odd);
}

// ---- Luma -------------------------------------------------------------------------------------

// Luma of 32 pixels at p (96 bytes) into l (32 bytes).
PIC_SSE2_INLINE void Luma32(const UCHAR *p, PUCHAR l) {
  __m128i b[2], g[2], r[2];
  LUMAREX_SplitBgr32Sse2(p, b, g, r);
  const __m128i zero = _mm_setzero_si128();
  const __m128i kr = _mm_set1_epi16(77), kg = _mm_set1_epi16(150), kb = _mm_set1_epi16(29);
  for (int half = 0; half < 2; ++half) {
    __m128i lo = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(r[half], zero), kr),
                                             _mm_mullo_epi16(_mm_unpacklo_epi8(g[half], zero), kg)),
                               _mm_mullo_epi16(_mm_unpacklo_epi8(b[half], zero), kb));
    __m128i hi = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(r[half], zero), kr),
                                             _mm_mullo_epi16(_mm_unpackhi_epi8(g[half], zero), kg)),
                               _mm_mullo_epi16(_mm_unpackhi_epi8(b[half], zero), kb));
    _mm_storeu_si128((__m128i *)(l + 16 * half), _mm_packus_epi16(_mm_srli_epi16(lo, 8), _mm_srli_epi16(hi, 8)));
  }
}

PIC_SSE2_INLINE void LumaRow(const UCHAR *p, PUCHAR l, LONG width) {
  LONG x = 0;
  for (; x + 32 <= width; x += 32) {
    Luma32(p + 3 * x, l + x);
  }
  if (x < width) {
    UCHAR pixels[96] = {0};
    UCHAR out[32];
    const LONG n = width - x;
    for (LONG i = 0; i < 3 * n; ++i) pixels[i] = p[3 * x + i];
    Luma32(pixels, out);
    for (LONG i = 0; i < n; ++i) l[x + i] = out[i];
  }
}

// ---- Sharpening -------------------------------------------------------------------------------

// Largest sharpness whose product with a second difference (at most 510) fits a signed
// 16-bit lane.
const LONG kSmallSharpness = 32767 / 510;
static_assert(kSmallSharpness == 64, "510 * 64 = 32640 is the largest product that fits");

// The sharpening term of one pixel, as the scalar form computes it (no wrap for Sh <= 100).
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

// Sharpening of 8 pixels at x .. x + 7 of one row; lm, lu, ld point at luma x of rows y,
// y - 2 and y + 2, px at pixel x. Reads luma x - 2 .. x + 9.
// With kSmall the factor sh (16-bit lanes) is at most kSmallSharpness and is taken into b2
// and b3 before the multiply-add, which then gives sum * Sh directly; otherwise sh holds Sh
// in 32-bit lanes and multiplies the sum.
template <bool kSmall>
PIC_SSE2_INLINE void Sharpen8(const UCHAR *lm, const UCHAR *lu, const UCHAR *ld, PUCHAR px, __m128i sh) {
  const __m128i zero = _mm_setzero_si128();
  __m128i c = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)lm), zero);
  __m128i l = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(lm - 2)), zero);
  __m128i r = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(lm + 2)), zero);
  __m128i u = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)lu), zero);
  __m128i d = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)ld), zero);
  __m128i lr = _mm_add_epi16(l, r);
  __m128i ud = _mm_add_epi16(u, d);
  __m128i c2 = _mm_add_epi16(c, c);
  __m128i a1 = Abs16(_mm_sub_epi16(lr, ud));
  __m128i b2 = _mm_sub_epi16(c2, ud);
  __m128i b3 = _mm_sub_epi16(c2, lr);
  // b1 = 4c - l - r - u - d = b2 + b3, so the sum a1 b1 + a2 b2 + a3 b3 is
  // (a1 + a2) b2 + (a1 + a3) b3: one multiply-add per pixel. The factors stay within 765 and
  // 510 in magnitude, and the sum is the same integer.
  __m128i a12 = _mm_add_epi16(a1, Abs16(_mm_sub_epi16(u, d)));
  __m128i a13 = _mm_add_epi16(a1, Abs16(_mm_sub_epi16(l, r)));
  // Per pixel, as 32-bit lanes: pixels 0..3, then 4..7.
  __m128i dLo, dHi;
  if (kSmall) {
    // |b| * Sh <= 510 * 64 = 32640 fits a signed lane; the sum times Sh stays below
    // 2 * 765 * 32640 < 2^31, as in the scalar form.
    b2 = _mm_mullo_epi16(b2, sh);
    b3 = _mm_mullo_epi16(b3, sh);
    dLo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a12, a13), _mm_unpacklo_epi16(b2, b3)), 13);
    dHi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a12, a13), _mm_unpackhi_epi16(b2, b3)), 13);
  } else {
    __m128i sumLo = _mm_madd_epi16(_mm_unpacklo_epi16(a12, a13), _mm_unpacklo_epi16(b2, b3));
    __m128i sumHi = _mm_madd_epi16(_mm_unpackhi_epi16(a12, a13), _mm_unpackhi_epi16(b2, b3));
    dLo = _mm_srai_epi32(MulLo32(sumLo, sh), 13);
    dHi = _mm_srai_epi32(MulLo32(sumHi, sh), 13);
  }
  __m128i dv = _mm_packs_epi32(dLo, dHi);  // D0 .. D7
  // D of each pixel on its three bytes: D0 D0 D0 D1 D1 D1 D2 D2 | D2 D3 D3 D3 D4 D4 D4 D5 |
  // D5 D5 D6 D6 D6 D7 D7 D7.
  __m128i low4 = _mm_unpacklo_epi64(dv, dv);
  __m128i high4 = _mm_unpackhi_epi64(dv, dv);
  __m128i e0 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(low4, _MM_SHUFFLE(1, 0, 0, 0)), _MM_SHUFFLE(2, 2, 1, 1));
  __m128i e1 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(dv, _MM_SHUFFLE(3, 3, 3, 2)), _MM_SHUFFLE(1, 0, 0, 0));
  __m128i e2 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(high4, _MM_SHUFFLE(2, 2, 1, 1)), _MM_SHUFFLE(3, 3, 3, 2));
  __m128i p0 = _mm_loadu_si128((const __m128i *)px);
  __m128i p1 = _mm_loadl_epi64((const __m128i *)(px + 16));
  __m128i w0 = _mm_add_epi16(_mm_unpacklo_epi8(p0, zero), e0);
  __m128i w1 = _mm_add_epi16(_mm_unpackhi_epi8(p0, zero), e1);
  __m128i w2 = _mm_add_epi16(_mm_unpacklo_epi8(p1, zero), e2);
  _mm_storeu_si128((__m128i *)px, _mm_packus_epi16(w0, w1));
  _mm_storel_epi64((__m128i *)(px + 16), _mm_packus_epi16(w2, w2));
}

// Sharpening of row y (2 <= y <= height - 3), pixels 2 .. width - 3.
PIC_SSE2_INLINE void SharpenRow(PUCHAR px, const UCHAR *lm, LONG width, LONG sh) {
  const UCHAR *lu = lm - 2 * width;
  const UCHAR *ld = lm + 2 * width;
  LONG x = 2;
  // The step reads luma up to x + 9, which must be at most width - 1.
  if (sh <= kSmallSharpness) {
    const __m128i shv = _mm_set1_epi16((short)sh);
    for (; x + 10 <= width; x += 8) {
      Sharpen8<true>(lm + x, lu + x, ld + x, px + 3 * x, shv);
    }
  } else {
    const __m128i shv = _mm_set1_epi32(sh);
    for (; x + 10 <= width; x += 8) {
      Sharpen8<false>(lm + x, lu + x, ld + x, px + 3 * x, shv);
    }
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

// Contrast on 16 bytes: floor(i * step / 255) + (50 - Cv), clamped.
PIC_SSE2_INLINE __m128i Contrast16(__m128i v, const ColourParams &cp) {
  const __m128i zero = _mm_setzero_si128();
  __m128i half[2] = {_mm_unpacklo_epi8(v, zero), _mm_unpackhi_epi8(v, zero)};
  for (int h = 0; h < 2; ++h) {
    __m128i q = Div255(_mm_add_epi16(_mm_mullo_epi16(half[h], cp.contrastK), cp.contrastBias));
    q = _mm_sub_epi16(_mm_xor_si128(q, cp.contrastNeg), cp.contrastNeg);  // -q when Cv < 50
    half[h] = _mm_add_epi16(_mm_add_epi16(half[h], q), cp.contrastOff);
  }
  return _mm_packus_epi16(half[0], half[1]);
}

// Saturation of 8 pixels given as 24 16-bit lanes w[0..2] (values after brightness):
// R, B <- S[x] - S[G] + G; G stays (S[G] + (G - S[G])).
PIC_SSE2_INLINE void Saturate8(__m128i *w, const ColourParams &cp) {
  __m128i s[3], h[3];
  for (int i = 0; i < 3; ++i) {
    s[i] = Div50(_mm_mullo_epi16(w[i], cp.satFactor));
    h[i] = _mm_sub_epi16(w[i], s[i]);  // x - S[x]
  }
  // next[k] = h[k + 1] (the G after a B), prev[k] = h[k - 1] (the G before an R), across the
  // three registers; lanes shifted in from outside the group are never selected.
  __m128i next[3], prev[3];
  next[0] = _mm_or_si128(_mm_srli_si128(h[0], 2), _mm_slli_si128(h[1], 14));
  next[1] = _mm_or_si128(_mm_srli_si128(h[1], 2), _mm_slli_si128(h[2], 14));
  next[2] = _mm_srli_si128(h[2], 2);
  prev[0] = _mm_slli_si128(h[0], 2);
  prev[1] = _mm_or_si128(_mm_slli_si128(h[1], 2), _mm_srli_si128(h[0], 14));
  prev[2] = _mm_or_si128(_mm_slli_si128(h[2], 2), _mm_srli_si128(h[1], 14));
  for (int i = 0; i < 3; ++i) {
    __m128i sel = _mm_or_si128(_mm_or_si128(_mm_and_si128(next[i], cp.maskB[i]), _mm_and_si128(h[i], cp.maskG[i])),
                               _mm_and_si128(prev[i], cp.maskR[i]));
    w[i] = _mm_add_epi16(s[i], sel);
  }
}

// Brightness, saturation and contrast of 16 pixels (48 bytes) at p.
PIC_SSE2_INLINE void Colour16(PUCHAR p, const ColourParams &cp) {
  __m128i a[3];
  for (int i = 0; i < 3; ++i) {
    a[i] = _mm_loadu_si128((const __m128i *)(p + 16 * i));
    a[i] = _mm_subs_epu8(_mm_adds_epu8(a[i], cp.brightenBy), cp.darkenBy);
  }
  if (cp.saturate) {
    const __m128i zero = _mm_setzero_si128();
    __m128i w[6];
    for (int i = 0; i < 3; ++i) {
      w[2 * i] = _mm_unpacklo_epi8(a[i], zero);
      w[2 * i + 1] = _mm_unpackhi_epi8(a[i], zero);
    }
    Saturate8(w, cp);      // pixels 0..7
    Saturate8(w + 3, cp);  // pixels 8..15
    for (int i = 0; i < 3; ++i) {
      a[i] = _mm_packus_epi16(w[2 * i], w[2 * i + 1]);
    }
  }
  if (cp.contrast) {
    for (int i = 0; i < 3; ++i) {
      a[i] = Contrast16(a[i], cp);
    }
  }
  for (int i = 0; i < 3; ++i) {
    _mm_storeu_si128((__m128i *)(p + 16 * i), a[i]);
  }
}

PIC_SSE2_INLINE void ColourRow(PUCHAR p, LONG width, const ColourParams &cp) {
  LONG x = 0;
  for (; x + 16 <= width; x += 16) {
    Colour16(p + 3 * x, cp);
  }
  if (x < width) {
    UCHAR pixels[48] = {0};
    const LONG n = 3 * (width - x);
    PUCHAR q = p + 3 * x;
    for (LONG i = 0; i < n; ++i) pixels[i] = q[i];
    Colour16(pixels, cp);
    for (LONG i = 0; i < n; ++i) q[i] = pixels[i];
  }
}

PIC_SSE2_ENTRY void AdjustSse2(PUCHAR *rows, LONG width, LONG height, LONG bv, LONG cv, LONG sv, LONG sh,
                               PUCHAR luma) {
  ColourParams cp;
  cp.brightenBy = _mm_set1_epi8((char)(bv > 50 ? bv - 50 : 0));
  cp.darkenBy = _mm_set1_epi8((char)(bv < 50 ? 50 - bv : 0));
  cp.satFactor = _mm_set1_epi16((short)sv);
  cp.contrastK = _mm_set1_epi16((short)(cv >= 50 ? 2 * (cv - 50) : 2 * (50 - cv)));
  cp.contrastBias = _mm_set1_epi16((short)(cv < 50 ? 254 : 0));
  cp.contrastNeg = cv < 50 ? _mm_set1_epi16(-1) : _mm_setzero_si128();
  cp.contrastOff = _mm_set1_epi16((short)(50 - cv));
  // Lane k of register i of a group is byte 8 i + k of 8 pixels: channel (8 i + k) mod 3.
  cp.maskB[0] = _mm_setr_epi16(-1, 0, 0, -1, 0, 0, -1, 0);
  cp.maskG[0] = _mm_setr_epi16(0, -1, 0, 0, -1, 0, 0, -1);
  cp.maskR[0] = _mm_setr_epi16(0, 0, -1, 0, 0, -1, 0, 0);
  cp.maskB[1] = _mm_setr_epi16(0, -1, 0, 0, -1, 0, 0, -1);
  cp.maskG[1] = _mm_setr_epi16(0, 0, -1, 0, 0, -1, 0, 0);
  cp.maskR[1] = _mm_setr_epi16(-1, 0, 0, -1, 0, 0, -1, 0);
  cp.maskB[2] = _mm_setr_epi16(0, 0, -1, 0, 0, -1, 0, 0);
  cp.maskG[2] = _mm_setr_epi16(-1, 0, 0, -1, 0, 0, -1, 0);
  cp.maskR[2] = _mm_setr_epi16(0, -1, 0, 0, -1, 0, 0, -1);
  cp.saturate = sv != 50 ? TRUE : FALSE;
  cp.contrast = cv != 50 ? TRUE : FALSE;
  // At 50 the brightness and saturation tables are the identity (S[i] = i * 50 / 50 = i), and
  // contrast is skipped, so the pass would store every byte unchanged.
  cp.any = (bv != 50 || cp.saturate || cp.contrast) ? TRUE : FALSE;

  const SIZE_T stride = (SIZE_T)width;
  if (sh != 0) {
    // Luma of rows 0 and 1; every later row's luma is taken two rows ahead of its use.
    for (LONG y = 0; y < 2 && y < height; ++y) {
      LumaRow(rows[y], luma + (SIZE_T)y * stride, width);
    }
  }
  for (LONG y = 0; y < height; ++y) {
    if (sh != 0) {
      if (y + 2 < height) {
        LumaRow(rows[y + 2], luma + (SIZE_T)(y + 2) * stride, width);
      }
      if (y >= 2 && y <= height - 3) {
        SharpenRow(rows[y], luma + (SIZE_T)y * stride, width, sh);
      }
    }
    if (cp.any) {
      ColourRow(rows[y], width, cp);
    }
  }
}

inline BOOLEAN InRange(LONG v) { return (v >= 0 && v <= 100) ? TRUE : FALSE; }

}  // namespace

// LUMAREX_AdjustImageSSE2 - the picture adjustments with SSE2, exactly as
// LUMAREX_AdjustImageScalar. Runs where the caller may use the vector registers (on the
// target, inside its floating-point state save), only on processors with SSE2.
// Returns FALSE without touching anything for a setting outside 0..100 (the scalar form then
// handles it), for a row length that overflows, or when sharpening is asked for without a
// luma image; TRUE otherwise (also for an image without pixels, which needs nothing).
BOOLEAN LUMAREX_AdjustImageSSE2(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                PUCHAR luma) {
  if (settings == NULL || !InRange(settings->Brightness) || !InRange(settings->Contrast) ||
      !InRange(settings->Saturation) || !InRange(settings->Sharpness)) {
    return FALSE;
  }
  if (width <= 0 || height <= 0) {
    return TRUE;  // no pixels: nothing to adjust
  }
  if (width > 0x7FFFFFFF / 3 || rows == NULL || (settings->Sharpness != 0 && luma == NULL)) {
    return FALSE;
  }
  AdjustSse2(rows, width, height, settings->Brightness, settings->Contrast, settings->Saturation,
             settings->Sharpness, luma);
  return TRUE;
}
