// The B, G, R conversion of jpg_colour.cpp (out_mode 0) with SSE2, sixteen pixels per call,
// giving the same bytes: the colour offsets of eight chroma samples at a time are computed by
// the rule the colour tables are built by, then added to the luminance, clamped and
// interleaved into 3-byte pixels in vector registers.
//
// Why it matches: Y + offset lies in -227..482, inside the 16-bit lanes of _mm_add_epi16, and
// _mm_packus_epi16 saturates to 0..255, which is the clamp.
#include "jpg_colour_sse2.h"

#if JPG_COLOUR_HAVE_SSE2

#include <emmintrin.h>

#if defined(__i386__)
#define COLOUR_SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer))
#else
#define COLOUR_SSE2_ENTRY __attribute__((target("sse2")))
#endif
#define COLOUR_SSE2_INLINE static inline __attribute__((target("sse2"), always_inline))

// Writes the 16 pixels whose channels are in b, g, r (bytes 0..15) as 48 bytes of B, G, R
// triples, in three 16-byte stores.
COLOUR_SSE2_INLINE void store_bgr16(uint8_t *out, __m128i b, __m128i g, __m128i r) {
  const __m128i zero = _mm_setzero_si128();
  __m128i bg_lo = _mm_unpacklo_epi8(b, g);
  __m128i bg_hi = _mm_unpackhi_epi8(b, g);
  __m128i r0_lo = _mm_unpacklo_epi8(r, zero);
  __m128i r0_hi = _mm_unpackhi_epi8(r, zero);
  // Four pixels per register as B, G, R, 0.
  __m128i px[4] = {_mm_unpacklo_epi16(bg_lo, r0_lo), _mm_unpackhi_epi16(bg_lo, r0_lo),
                   _mm_unpacklo_epi16(bg_hi, r0_hi), _mm_unpackhi_epi16(bg_hi, r0_hi)};
  // Squeeze out the zero bytes: in each 64-bit lane the second pixel moves down one byte
  // (bytes 0..5 valid), then the upper lane's six bytes move down to bytes 6..11.
  const __m128i low3 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i high3 = _mm_set_epi32(0x0000FFFF, (int32_t)0xFF000000, 0x0000FFFF, (int32_t)0xFF000000);
  const __m128i first6 = _mm_set_epi32(0, 0, 0x0000FFFF, (int32_t)0xFFFFFFFF);
  const __m128i next6 = _mm_set_epi32(0, (int32_t)0xFFFFFFFF, (int32_t)0xFFFF0000, 0);
  __m128i c[4];
  for (int32_t q = 0; q < 4; ++q) {
    __m128i v = px[q];
    __m128i six = _mm_or_si128(_mm_and_si128(v, low3), _mm_and_si128(_mm_srli_epi64(v, 8), high3));
    c[q] = _mm_or_si128(_mm_and_si128(six, first6), _mm_and_si128(_mm_srli_si128(six, 2), next6));
  }
  // 4 x 12 bytes into 3 x 16.
  __m128i o0 = _mm_or_si128(c[0], _mm_slli_si128(c[1], 12));
  __m128i o1 = _mm_or_si128(_mm_srli_si128(c[1], 4), _mm_slli_si128(c[2], 8));
  __m128i o2 = _mm_or_si128(_mm_srli_si128(c[2], 8), _mm_slli_si128(c[3], 4));
  _mm_storeu_si128((__m128i *)(void *)out, o0);
  _mm_storeu_si128((__m128i *)(void *)(out + 16), o1);
  _mm_storeu_si128((__m128i *)(void *)(out + 32), o2);
}

// Sixteen pixels: y0 and y1 the luminance of pixels 0..7 and 8..15 as 16-bit lanes; ob, og,
// or the offsets of each pixel (16-bit lanes, halves likewise).
COLOUR_SSE2_INLINE void emit16(uint8_t *out, __m128i y0, __m128i y1, const __m128i off[6]) {
  __m128i b = _mm_packus_epi16(_mm_add_epi16(y0, off[0]), _mm_add_epi16(y1, off[1]));
  __m128i g = _mm_packus_epi16(_mm_add_epi16(y0, off[2]), _mm_add_epi16(y1, off[3]));
  __m128i r = _mm_packus_epi16(_mm_add_epi16(y0, off[4]), _mm_add_epi16(y1, off[5]));
  store_bgr16(out, b, g, r);
}

COLOUR_SSE2_INLINE __m128i load8_u16(const uint8_t *p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(const void *)p), _mm_setzero_si128());
}

// The colour offsets of 8 chroma pairs, computed with the integer rule the tables are built
// by (k = 2 c - 256):
//   cr_r_tab = (45941 k + 32768) >> 16      cb_b_tab = (58065 k + 32768) >> 16
//   cb_g_tab + cr_g_tab = 32768 - 11277 kb - 23401 kr, then >> 16
// 45941 and 58065 do not fit a signed 16-bit lane; with 45941 = 65536 - 19595 the red offset
// is k + high(k x -19595) + (low(k x -19595) >= 32768), the rounding constant carried in from
// the low half; likewise blue with 58065 = 65536 - 7471. Green is an exact 32-bit sum of two
// products (pmaddwd) shifted down. The results equal the table entries for every sample value
// (a test compares all 65536 pairs).
COLOUR_SSE2_INLINE void chroma_offsets8(const uint8_t *cb, const uint8_t *cr, __m128i *ob, __m128i *og,
                                        __m128i *orr) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i k256 = _mm_set1_epi16(256);
  __m128i vb = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(const void *)cb), zero);
  __m128i vr = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(const void *)cr), zero);
  __m128i kb = _mm_sub_epi16(_mm_add_epi16(vb, vb), k256);
  __m128i kr = _mm_sub_epi16(_mm_add_epi16(vr, vr), k256);

  const __m128i red = _mm_set1_epi16(-19595);
  __m128i r_lo = _mm_mullo_epi16(kr, red);
  *orr = _mm_add_epi16(_mm_add_epi16(kr, _mm_mulhi_epi16(kr, red)), _mm_srli_epi16(r_lo, 15));

  const __m128i blue = _mm_set1_epi16(-7471);
  __m128i b_lo = _mm_mullo_epi16(kb, blue);
  *ob = _mm_add_epi16(_mm_add_epi16(kb, _mm_mulhi_epi16(kb, blue)), _mm_srli_epi16(b_lo, 15));

  const __m128i green = _mm_set_epi16(-23401, -11277, -23401, -11277, -23401, -11277, -23401, -11277);
  const __m128i half = _mm_set1_epi32(32768);
  __m128i g0 = _mm_madd_epi16(_mm_unpacklo_epi16(kb, kr), green);
  __m128i g1 = _mm_madd_epi16(_mm_unpackhi_epi16(kb, kr), green);
  g0 = _mm_srai_epi32(_mm_add_epi32(g0, half), 16);
  g1 = _mm_srai_epi32(_mm_add_epi32(g1, half), 16);
  *og = _mm_packs_epi32(g0, g1);
}

COLOUR_SSE2_INLINE void bgr_half16(uint8_t *out, const uint8_t *yl, const uint8_t *yr, const uint8_t *cb,
                                    const uint8_t *cr) {
  __m128i vb, vg, vr;
  chroma_offsets8(cb, cr, &vb, &vg, &vr);
  // Each chroma offset serves two neighbouring pixels.
  __m128i off[6] = {_mm_unpacklo_epi16(vb, vb), _mm_unpackhi_epi16(vb, vb),
                    _mm_unpacklo_epi16(vg, vg), _mm_unpackhi_epi16(vg, vg),
                    _mm_unpacklo_epi16(vr, vr), _mm_unpackhi_epi16(vr, vr)};
  emit16(out, load8_u16(yl), load8_u16(yr), off);
}

COLOUR_SSE2_ENTRY void colour_bgr_half_line_sse2(uint8_t *out, const uint8_t *mcu, int32_t mcu_bytes,
                                                 int32_t mcus, int32_t yl, int32_t yr, int32_t cb,
                                                 int32_t cr) {
  for (int32_t m = 0; m < mcus; ++m, mcu += mcu_bytes, out += 48) {
    bgr_half16(out, mcu + yl, mcu + yr, mcu + cb, mcu + cr);
  }
}

COLOUR_SSE2_ENTRY void colour_bgr_full16_sse2(uint8_t *out, const uint8_t *y0, const uint8_t *cb0,
                                              const uint8_t *cr0, const uint8_t *y1, const uint8_t *cb1,
                                              const uint8_t *cr1) {
  __m128i off[6];
  chroma_offsets8(cb0, cr0, &off[0], &off[2], &off[4]);
  chroma_offsets8(cb1, cr1, &off[1], &off[3], &off[5]);
  emit16(out, load8_u16(y0), load8_u16(y1), off);
}

#endif
