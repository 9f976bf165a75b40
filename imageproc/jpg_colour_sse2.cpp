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

// The upper 8 bytes of v to p, any alignment (movhps).
COLOUR_SSE2_INLINE void store_high8(uint8_t *p, __m128i v) {
  _mm_storeh_pi((__m64 *)(void *)p, _mm_castsi128_ps(v));
}

// Four pixels held as B, G, R, 0 in the 32-bit lanes of v, written as 12 bytes at out, and
// 2 bytes beyond them that the caller overwrites or ignores: in each 64-bit half the upper
// pixel moves down next to the lower one, and each half is stored as 8 bytes, the upper
// one 6 bytes after the lower one.
COLOUR_SSE2_INLINE void store_bgr4(uint8_t *out, __m128i v) {
  const __m128i low_pixel = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i high_pixel = _mm_set_epi32(0x0000FFFF, (int32_t)0xFF000000, 0x0000FFFF, (int32_t)0xFF000000);
  __m128i six = _mm_or_si128(_mm_and_si128(v, low_pixel), _mm_and_si128(_mm_srli_epi64(v, 8), high_pixel));
  _mm_storel_epi64((__m128i *)(void *)out, six);
  store_high8(out + 6, six);
}

// Writes the 16 pixels whose channels are in b, g, r (bytes 0..15) as 48 bytes of B, G, R
// triples, and 2 bytes beyond them that the caller overwrites or ignores.
COLOUR_SSE2_INLINE void store_bgr16(uint8_t *out, __m128i b, __m128i g, __m128i r) {
  const __m128i zero = _mm_setzero_si128();
  __m128i bg_lo = _mm_unpacklo_epi8(b, g);
  __m128i bg_hi = _mm_unpackhi_epi8(b, g);
  __m128i r0_lo = _mm_unpacklo_epi8(r, zero);
  __m128i r0_hi = _mm_unpackhi_epi8(r, zero);
  // Four pixels per register as B, G, R, 0; the stores go in address order, so each one's
  // two extra bytes are overwritten by the next.
  store_bgr4(out, _mm_unpacklo_epi16(bg_lo, r0_lo));
  store_bgr4(out + 12, _mm_unpackhi_epi16(bg_lo, r0_lo));
  store_bgr4(out + 24, _mm_unpacklo_epi16(bg_hi, r0_hi));
  store_bgr4(out + 36, _mm_unpackhi_epi16(bg_hi, r0_hi));
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

// Sixteen pixels sharing each chroma sample between two. The luminance is split into the
// even and the odd pixels (16-bit lanes, lane j = pixels 2 j and 2 j + 1), so that lane j of
// each half lines up with chroma sample j; each channel is clamped to 0..255 in its lane
// (the same as the saturation of a pack). The channels are then paired into 16-bit words in
// output order (B G of the even pixel, R of the even and B of the odd, G R of the odd), and
// the 6 bytes of each pixel pair go out as 8-byte stores 6 bytes apart, in address order.
COLOUR_SSE2_INLINE void bgr_half16(uint8_t *out, const uint8_t *yl, const uint8_t *yr, const uint8_t *cb,
                                    const uint8_t *cr) {
  __m128i vb, vg, vr;
  chroma_offsets8(cb, cr, &vb, &vg, &vr);
  const __m128i zero = _mm_setzero_si128();
  const __m128i max = _mm_set1_epi16(255);
  __m128i y = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(_mm_loadl_epi64((const __m128i *)(const void *)yl)),
                                            (const double *)(const void *)yr));
  __m128i ye = _mm_and_si128(y, _mm_set1_epi16(0x00FF));
  __m128i yo = _mm_srli_epi16(y, 8);
  __m128i be = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(ye, vb), zero), max);
  __m128i bo = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(yo, vb), zero), max);
  __m128i ge = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(ye, vg), zero), max);
  __m128i go = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(yo, vg), zero), max);
  __m128i re = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(ye, vr), zero), max);
  __m128i ro = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(yo, vr), zero), max);
  __m128i w1 = _mm_or_si128(be, _mm_slli_epi16(ge, 8));
  __m128i w2 = _mm_or_si128(re, _mm_slli_epi16(bo, 8));
  __m128i w3 = _mm_or_si128(go, _mm_slli_epi16(ro, 8));
  // Pair j as a 64-bit value: words w1, w2, w3 of lane j, then two zero bytes.
  __m128i a_lo = _mm_unpacklo_epi16(w1, w2);
  __m128i a_hi = _mm_unpackhi_epi16(w1, w2);
  __m128i c_lo = _mm_unpacklo_epi16(w3, zero);
  __m128i c_hi = _mm_unpackhi_epi16(w3, zero);
  __m128i q0 = _mm_unpacklo_epi32(a_lo, c_lo);
  __m128i q1 = _mm_unpackhi_epi32(a_lo, c_lo);
  __m128i q2 = _mm_unpacklo_epi32(a_hi, c_hi);
  __m128i q3 = _mm_unpackhi_epi32(a_hi, c_hi);
  _mm_storel_epi64((__m128i *)(void *)out, q0);
  store_high8(out + 6, q0);
  _mm_storel_epi64((__m128i *)(void *)(out + 12), q1);
  store_high8(out + 18, q1);
  _mm_storel_epi64((__m128i *)(void *)(out + 24), q2);
  store_high8(out + 30, q2);
  _mm_storel_epi64((__m128i *)(void *)(out + 36), q3);
  store_high8(out + 42, q3);
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
