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

// Constants of the line converter, read as memory operands by its instructions.
struct ColourMmxConsts {
  uint64_t zero;     // 0
  uint64_t c128;     // 128 in each 16-bit lane
  uint64_t one;      // 1 in each 16-bit lane
  uint64_t red;      // 22971 in each 16-bit lane
  uint64_t blue;     // 29033 in each 16-bit lane
  uint64_t green;    // -11277, -23401, -11277, -23401
  uint64_t half;     // 16384 in each 32-bit lane
  uint64_t low_byte; // 0x00FF in each 16-bit lane
};

// Eight pixels sharing each of four chroma samples between two, as instructions: luminance
// at Y (8 bytes), chroma at CB and CR (4 bytes each), 24 bytes and 2 beyond written at OUT.
// Constants at %[k].
//
// Offsets, with v = sample - 128 (so k = 2 v):
//   red    ((8 v x 22971) >> 16 + 1) >> 1 = (45941 k + 32768) >> 16 for every v (pmulhw of
//          8 v, |8 v| <= 1024, then the rounding add and shift; checked for all 256 samples
//          at compile time below);
//   blue   ((8 v x 29033) >> 16 + 1) >> 1 = (58065 k + 32768) >> 16, likewise;
//   green  (16384 - 11277 vb - 23401 vr) >> 15 = (32768 - 11277 kb - 23401 kr) >> 16, the exact
//          32-bit sum of both products (pmaddwd).
// The luminance is split into the even and the odd pixels (16-bit lanes, lane j = pixels 2 j
// and 2 j + 1) so that lane j lines up with chroma sample j; Y + offset lies in -227..482 and
// packuswb is the clamp. The clamped channels are packed to bytes and interleaved into the
// words B G (even pixel), R B (even, odd), G R (odd) of each pair, and each pair's 6 bytes go out
// as an 8-byte store 6 bytes after the last one.
#define COLOUR_MMX_HALF8(Y, CB, CR, OFF)                                                                          \
  "movd " CB ", %%mm0\n\t"                                                                                        \
  "movd " CR ", %%mm1\n\t"                                                                                        \
  "punpcklbw 0+%[k], %%mm0\n\t"                                                                                   \
  "punpcklbw 0+%[k], %%mm1\n\t"                                                                                   \
  "psubw 8+%[k], %%mm0\n\t"                                                                                       \
  "psubw 8+%[k], %%mm1\n\t"                                                                                       \
  "movq %%mm0, %%mm2\n\t"                                                                                         \
  "movq %%mm0, %%mm3\n\t"                                                                                         \
  "punpcklwd %%mm1, %%mm2\n\t"                                                                                    \
  "punpckhwd %%mm1, %%mm3\n\t"                                                                                    \
  "psllw $3, %%mm0\n\t"                                                                                           \
  "psllw $3, %%mm1\n\t"                                                                                           \
  "pmaddwd 40+%[k], %%mm2\n\t"                                                                                    \
  "pmaddwd 40+%[k], %%mm3\n\t"                                                                                    \
  "pmulhw 32+%[k], %%mm0\n\t"                                                                                     \
  "pmulhw 24+%[k], %%mm1\n\t"                                                                                     \
  "paddd 48+%[k], %%mm2\n\t"                                                                                      \
  "paddd 48+%[k], %%mm3\n\t"                                                                                      \
  "paddw 16+%[k], %%mm0\n\t"                                                                                      \
  "paddw 16+%[k], %%mm1\n\t"                                                                                      \
  "psrad $15, %%mm2\n\t"                                                                                          \
  "psrad $15, %%mm3\n\t"                                                                                          \
  "psraw $1, %%mm0\n\t"                                                                                           \
  "psraw $1, %%mm1\n\t"                                                                                           \
  "packssdw %%mm3, %%mm2\n\t"                                                                                     \
  "movq " Y ", %%mm3\n\t"                                                                                         \
  "movq %%mm3, %%mm4\n\t"                                                                                         \
  "pand 56+%[k], %%mm3\n\t"                                                                                       \
  "psrlw $8, %%mm4\n\t"                                                                                           \
  "movq %%mm3, %%mm5\n\t"                                                                                         \
  "movq %%mm3, %%mm6\n\t"                                                                                         \
  "paddw %%mm0, %%mm5\n\t"                                                                                        \
  "paddw %%mm4, %%mm0\n\t"                                                                                        \
  "paddw %%mm1, %%mm6\n\t"                                                                                        \
  "paddw %%mm4, %%mm1\n\t"                                                                                        \
  "paddw %%mm2, %%mm3\n\t"                                                                                        \
  "paddw %%mm4, %%mm2\n\t"                                                                                        \
  "packuswb %%mm6, %%mm5\n\t"                                                                                     \
  "packuswb %%mm0, %%mm3\n\t"                                                                                     \
  "packuswb %%mm1, %%mm2\n\t"                                                                                     \
  "movq %%mm5, %%mm4\n\t"                                                                                         \
  "movq %%mm2, %%mm6\n\t"                                                                                         \
  "punpcklbw %%mm3, %%mm5\n\t"                                                                                    \
  "punpckhbw %%mm3, %%mm4\n\t"                                                                                    \
  "psrlq $32, %%mm6\n\t"                                                                                          \
  "punpcklbw %%mm6, %%mm2\n\t"                                                                                    \
  "movq %%mm5, %%mm0\n\t"                                                                                         \
  "movq %%mm2, %%mm1\n\t"                                                                                         \
  "punpcklwd %%mm4, %%mm5\n\t"                                                                                    \
  "punpckhwd %%mm4, %%mm0\n\t"                                                                                    \
  "punpcklwd 0+%[k], %%mm2\n\t"                                                                                   \
  "punpckhwd 0+%[k], %%mm1\n\t"                                                                                   \
  "movq %%mm5, %%mm3\n\t"                                                                                         \
  "movq %%mm0, %%mm4\n\t"                                                                                         \
  "punpckldq %%mm2, %%mm5\n\t"                                                                                    \
  "punpckhdq %%mm2, %%mm3\n\t"                                                                                    \
  "punpckldq %%mm1, %%mm0\n\t"                                                                                    \
  "punpckhdq %%mm1, %%mm4\n\t"                                                                                    \
  "movq %%mm5, 0+" OFF "(%[o])\n\t"                                                                                     \
  "movq %%mm3, 6+" OFF "(%[o])\n\t"                                                                                     \
  "movq %%mm0, 12+" OFF "(%[o])\n\t"                                                                                    \
  "movq %%mm4, 18+" OFF "(%[o])\n\t"

constexpr bool ColourMmxOffsetsExact() {
  for (int32_t i = 0; i < 256; ++i) {
    const int32_t k = 2 * i - 256, v8 = (i - 128) * 8;
    if ((((v8 * 22971) >> 16) + 1) >> 1 != (45941 * k + 32768) >> 16) return false;
    if ((((v8 * 29033) >> 16) + 1) >> 1 != (58065 * k + 32768) >> 16) return false;
  }
  return true;
}
static_assert(ColourMmxOffsetsExact(), "the red or blue offset differs from its table");

COLOUR_MMX_ENTRY void colour_bgr_half_line_mmx(uint8_t *out, const uint8_t *mcu, int32_t mcu_bytes, int32_t mcus,
                                               int32_t yl, int32_t yr, int32_t cb, int32_t cr) {
  const ColourMmxConsts k = {0,
                             0x0080008000800080ULL,
                             0x0001000100010001ULL,
                             0x0001000100010001ULL * 22971,
                             0x0001000100010001ULL * 29033,
                             ((uint64_t)(uint16_t)-23401 << 48) | ((uint64_t)(uint16_t)-11277 << 32) |
                                 ((uint64_t)(uint16_t)-23401 << 16) | (uint16_t)-11277,
                             0x0000400000004000ULL,
                             0x00FF00FF00FF00FFULL};
  const intptr_t dy = yr - yl, dc = cr - cb;
  const uint8_t *y = mcu + yl, *c = mcu + cb;
  for (int32_t m = 0; m < mcus; ++m, y += mcu_bytes, c += mcu_bytes, out += 48) {
    __asm__ volatile(COLOUR_MMX_HALF8("(%[y])", "(%[c])", "(%[c],%[dc])", "0")
                         COLOUR_MMX_HALF8("(%[y],%[dy])", "4(%[c])", "4(%[c],%[dc])", "24")
                     :
                     : [y] "r"(y), [c] "r"(c), [o] "r"(out), [dy] "r"(dy), [dc] "r"(dc), [k] "m"(k)
                     : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
  }
  __asm__ volatile("emms" ::: "memory");
}

COLOUR_MMX_ENTRY void colour_bgr_full16_mmx(uint8_t *out, const uint8_t *y0, const uint8_t *cb0,
                                            const uint8_t *cr0, const uint8_t *y1, const uint8_t *cb1,
                                            const uint8_t *cr1) {
  bgr_full8(out, y0, cb0, cr0);
  bgr_full8(out + 24, y1, cb1, cr1);
  _mm_empty();
}

#endif
