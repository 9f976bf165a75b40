// The B, G, R conversion of jpg_colour.cpp (out_mode 0) with SSE2, sixteen pixels per call,
// giving the same bytes: the colour offsets still come from the four tables, looked up once
// per chroma sample; only the per-pixel additions, clamps and the interleaving into 3-byte
// pixels run in vector registers.
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

// Writes the 16 pixels whose channels are in b, g, r (bytes 0..15) as B, G, R triples, in
// 8-byte stores whose last two bytes the next store overwrites, so two bytes after the 48 are
// written too (the line buffers have room for them).
COLOUR_SSE2_INLINE void store_bgr16(uint8_t *out, __m128i b, __m128i g, __m128i r) {
  const __m128i zero = _mm_setzero_si128();
  __m128i bg_lo = _mm_unpacklo_epi8(b, g);
  __m128i bg_hi = _mm_unpackhi_epi8(b, g);
  __m128i r0_lo = _mm_unpacklo_epi8(r, zero);
  __m128i r0_hi = _mm_unpackhi_epi8(r, zero);
  __m128i px[4] = {_mm_unpacklo_epi16(bg_lo, r0_lo), _mm_unpackhi_epi16(bg_lo, r0_lo),
                   _mm_unpacklo_epi16(bg_hi, r0_hi), _mm_unpackhi_epi16(bg_hi, r0_hi)};
  // In each 64-bit lane two pixels B0 G0 R0 0 B1 G1 R1 0 become B0 G0 R0 B1 G1 R1: the
  // second pixel moves down one byte. The 8-byte stores overlap by two bytes.
  const __m128i low3 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i high3 = _mm_set_epi32(0x0000FFFF, (int32_t)0xFF000000, 0x0000FFFF, (int32_t)0xFF000000);
  for (int32_t q = 0; q < 4; ++q) {
    __m128i v = px[q];
    __m128i six = _mm_or_si128(_mm_and_si128(v, low3), _mm_and_si128(_mm_srli_epi64(v, 8), high3));
    _mm_storel_epi64((__m128i *)(void *)(out + 12 * q), six);
    _mm_storel_epi64((__m128i *)(void *)(out + 12 * q + 6), _mm_srli_si128(six, 8));
  }
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

COLOUR_SSE2_ENTRY void colour_bgr_half16_sse2(const JpgDecoder *d, uint8_t *out, const uint8_t *yl,
                                              const uint8_t *yr, const uint8_t *cb, const uint8_t *cr) {
  // Built in registers (pinsrw) rather than through memory: eight narrow stores followed by
  // one wide load would stall on store forwarding.
  int32_t ob[8], og[8], orr[8];
  for (int32_t x = 0; x < 8; ++x) {
    ob[x] = d->cb_b_tab[cb[x]];
    og[x] = (d->cb_g_tab[cb[x]] + d->cr_g_tab[cr[x]]) >> 16;
    orr[x] = d->cr_r_tab[cr[x]];
  }
  __m128i vb = _mm_setr_epi16((int16_t)ob[0], (int16_t)ob[1], (int16_t)ob[2], (int16_t)ob[3],
                              (int16_t)ob[4], (int16_t)ob[5], (int16_t)ob[6], (int16_t)ob[7]);
  __m128i vg = _mm_setr_epi16((int16_t)og[0], (int16_t)og[1], (int16_t)og[2], (int16_t)og[3],
                              (int16_t)og[4], (int16_t)og[5], (int16_t)og[6], (int16_t)og[7]);
  __m128i vr = _mm_setr_epi16((int16_t)orr[0], (int16_t)orr[1], (int16_t)orr[2], (int16_t)orr[3],
                              (int16_t)orr[4], (int16_t)orr[5], (int16_t)orr[6], (int16_t)orr[7]);
  // Each chroma offset serves two neighbouring pixels.
  __m128i off[6] = {_mm_unpacklo_epi16(vb, vb), _mm_unpackhi_epi16(vb, vb),
                    _mm_unpacklo_epi16(vg, vg), _mm_unpackhi_epi16(vg, vg),
                    _mm_unpacklo_epi16(vr, vr), _mm_unpackhi_epi16(vr, vr)};
  emit16(out, load8_u16(yl), load8_u16(yr), off);
}

COLOUR_SSE2_ENTRY void colour_bgr_full16_sse2(const JpgDecoder *d, uint8_t *out, const uint8_t *y0,
                                              const uint8_t *cb0, const uint8_t *cr0, const uint8_t *y1,
                                              const uint8_t *cb1, const uint8_t *cr1) {
  int16_t ob[16], og[16], orr[16];
  for (int32_t x = 0; x < 8; ++x) {
    ob[x] = (int16_t)d->cb_b_tab[cb0[x]];
    og[x] = (int16_t)((d->cb_g_tab[cb0[x]] + d->cr_g_tab[cr0[x]]) >> 16);
    orr[x] = (int16_t)d->cr_r_tab[cr0[x]];
    ob[8 + x] = (int16_t)d->cb_b_tab[cb1[x]];
    og[8 + x] = (int16_t)((d->cb_g_tab[cb1[x]] + d->cr_g_tab[cr1[x]]) >> 16);
    orr[8 + x] = (int16_t)d->cr_r_tab[cr1[x]];
  }
  __m128i off[6];
  for (int32_t h = 0; h < 2; ++h) {
    off[h] = _mm_loadu_si128((const __m128i *)(const void *)(ob + 8 * h));
    off[2 + h] = _mm_loadu_si128((const __m128i *)(const void *)(og + 8 * h));
    off[4 + h] = _mm_loadu_si128((const __m128i *)(const void *)(orr + 8 * h));
  }
  emit16(out, load8_u16(y0), load8_u16(y1), off);
}

#endif
