// The B, G, R conversion of jpg_colour.cpp (out_mode 0) with MMX, sixteen pixels per call,
// giving the same bytes: the colour offsets of four chroma samples at a time are computed by
// the rule the colour tables are built by, then added to the luminance, clamped and written as
// 3-byte pixels, two pixels per 8-byte store.
//
// Why it matches: Y + offset lies in -227..482, inside the 16-bit lanes of paddw, and packuswb
// saturates to 0..255, which is the clamp (MMX has no pminsw/pmaxsw; the pack does it).
//
// Every entry ends with EMMS (_mm_empty), so the floating-point unit is usable afterwards.
#include "jpg_colour_mmx.h"

#if JPG_COLOUR_HAVE_MMX

#include <mmintrin.h>

#if defined(__i386__)
#define COLOUR_MMX_ENTRY __attribute__((target("mmx"), force_align_arg_pointer))
#else
#define COLOUR_MMX_ENTRY __attribute__((target("mmx")))
#endif
#define COLOUR_MMX_INLINE static inline __attribute__((target("mmx"), always_inline))

// An 8-byte value at any address.
typedef __m64 colour_m64_u __attribute__((aligned(1), may_alias));

COLOUR_MMX_INLINE __m64 load8(const uint8_t *p) {
  return *(const colour_m64_u *)(const void *)p;
}

// Bytes 0..3 (lo) or 4..7 (hi) of v as 16-bit lanes.
COLOUR_MMX_INLINE __m64 lo_u16(__m64 v) {
  return _mm_unpacklo_pi8(v, _mm_setzero_si64());
}

COLOUR_MMX_INLINE __m64 hi_u16(__m64 v) {
  return _mm_unpackhi_pi8(v, _mm_setzero_si64());
}

// The colour offsets of 4 chroma pairs, computed with the integer rule the tables are built
// by (k = 2 c - 256):
//   cr_r_tab = (45941 k + 32768) >> 16      cb_b_tab = (58065 k + 32768) >> 16
//   cb_g_tab + cr_g_tab = 32768 - 11277 kb - 23401 kr, then >> 16
// 45941 and 58065 do not fit a signed 16-bit lane; with 45941 = 65536 - 19595 the red offset
// is k + high(k x -19595) + (low(k x -19595) >= 32768), the rounding constant carried in from
// the low half; likewise blue with 58065 = 65536 - 7471. Green is an exact 32-bit sum of two
// products (pmaddwd) shifted down.
// vb and vr hold the samples as 16-bit lanes.
COLOUR_MMX_INLINE void chroma_offsets4(__m64 vb, __m64 vr, __m64 *ob, __m64 *og, __m64 *orr) {
  const __m64 k256 = _mm_set1_pi16(256);
  __m64 kb = _mm_sub_pi16(_mm_add_pi16(vb, vb), k256);
  __m64 kr = _mm_sub_pi16(_mm_add_pi16(vr, vr), k256);

  const __m64 red = _mm_set1_pi16(-19595);
  __m64 r_lo = _mm_mullo_pi16(kr, red);
  *orr = _mm_add_pi16(_mm_add_pi16(kr, _mm_mulhi_pi16(kr, red)), _mm_srli_pi16(r_lo, 15));

  const __m64 blue = _mm_set1_pi16(-7471);
  __m64 b_lo = _mm_mullo_pi16(kb, blue);
  *ob = _mm_add_pi16(_mm_add_pi16(kb, _mm_mulhi_pi16(kb, blue)), _mm_srli_pi16(b_lo, 15));

  const __m64 green = _mm_set_pi16(-23401, -11277, -23401, -11277);
  const __m64 half = _mm_set1_pi32(32768);
  __m64 g0 = _mm_madd_pi16(_mm_unpacklo_pi16(kb, kr), green);
  __m64 g1 = _mm_madd_pi16(_mm_unpackhi_pi16(kb, kr), green);
  g0 = _mm_srai_pi32(_mm_add_pi32(g0, half), 16);
  g1 = _mm_srai_pi32(_mm_add_pi32(g1, half), 16);
  *og = _mm_packs_pi32(g0, g1);
}

// v clamped to 0..255 in its 16-bit lanes.
COLOUR_MMX_INLINE __m64 clamp_u8(__m64 v) {
  return _mm_unpacklo_pi8(_mm_packs_pu16(v, v), _mm_setzero_si64());
}

// Two pixels held as B, G, R, 0, B, G, R, 0 in v written as 6 bytes at out, and 2 bytes
// beyond them that the caller overwrites or ignores.
COLOUR_MMX_INLINE void store_bgr2(uint8_t *out, __m64 v) {
  const __m64 low_pixel = _mm_set_pi32(0, 0x00FFFFFF);
  const __m64 high_pixel = _mm_set_pi32(0x0000FFFF, (int32_t)0xFF000000);
  __m64 six = _mm_or_si64(_mm_and_si64(v, low_pixel), _mm_and_si64(_mm_srli_si64(v, 8), high_pixel));
  *(colour_m64_u *)(void *)out = six;
}

// Four pixels: y the luminance (16-bit lanes), ob, og, orr the offsets of each pixel. Writes
// 12 bytes and 2 beyond them, in address order.
COLOUR_MMX_INLINE void emit4(uint8_t *out, __m64 y, __m64 ob, __m64 og, __m64 orr) {
  __m64 b = clamp_u8(_mm_add_pi16(y, ob));
  __m64 g = clamp_u8(_mm_add_pi16(y, og));
  __m64 r = clamp_u8(_mm_add_pi16(y, orr));
  __m64 bg = _mm_or_si64(b, _mm_slli_pi16(g, 8));
  store_bgr2(out, _mm_unpacklo_pi16(bg, r));
  store_bgr2(out + 6, _mm_unpackhi_pi16(bg, r));
}

// Eight pixels with chroma of their own.
COLOUR_MMX_INLINE void bgr_full8(uint8_t *out, const uint8_t *y, const uint8_t *cb, const uint8_t *cr) {
  const __m64 vy = load8(y), vb = load8(cb), vr = load8(cr);
  __m64 ob, og, orr;
  chroma_offsets4(lo_u16(vb), lo_u16(vr), &ob, &og, &orr);
  emit4(out, lo_u16(vy), ob, og, orr);
  chroma_offsets4(hi_u16(vb), hi_u16(vr), &ob, &og, &orr);
  emit4(out + 12, hi_u16(vy), ob, og, orr);
}

// Eight pixels sharing each of four chroma samples (16-bit lanes in vb, vr) between two: the
// offsets of sample j go to pixels 2 j and 2 j + 1.
COLOUR_MMX_INLINE void bgr_half8(uint8_t *out, const uint8_t *y, __m64 vb, __m64 vr) {
  const __m64 vy = load8(y);
  __m64 ob, og, orr;
  chroma_offsets4(vb, vr, &ob, &og, &orr);
  emit4(out, lo_u16(vy), _mm_unpacklo_pi16(ob, ob), _mm_unpacklo_pi16(og, og), _mm_unpacklo_pi16(orr, orr));
  emit4(out + 12, hi_u16(vy), _mm_unpackhi_pi16(ob, ob), _mm_unpackhi_pi16(og, og), _mm_unpackhi_pi16(orr, orr));
}

COLOUR_MMX_ENTRY void colour_bgr_half_line_mmx(uint8_t *out, const uint8_t *mcu, int32_t mcu_bytes, int32_t mcus,
                                               int32_t yl, int32_t yr, int32_t cb, int32_t cr) {
  for (int32_t m = 0; m < mcus; ++m, mcu += mcu_bytes, out += 48) {
    const __m64 vb = load8(mcu + cb), vr = load8(mcu + cr);
    bgr_half8(out, mcu + yl, lo_u16(vb), lo_u16(vr));
    bgr_half8(out + 24, mcu + yr, hi_u16(vb), hi_u16(vr));
  }
  _mm_empty();
}

COLOUR_MMX_ENTRY void colour_bgr_full16_mmx(uint8_t *out, const uint8_t *y0, const uint8_t *cb0,
                                            const uint8_t *cr0, const uint8_t *y1, const uint8_t *cb1,
                                            const uint8_t *cr1) {
  bgr_full8(out, y0, cb0, cr0);
  bgr_full8(out + 24, y1, cb1, cr1);
  _mm_empty();
}

#endif
