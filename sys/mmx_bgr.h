// Loading and storing with MMX, shared by the MMX picture adjustments and converters, and the
// split of four BGR pixels into their channels, which the adjustments take. Every routine that
// uses these ends its MMX work with _mm_empty (EMMS), so that the floating-point unit is usable
// again afterwards.
#pragma once

// The MMX intrinsics come with the vector intrinsics that platform.h includes.
#include "lumarex.h"

#define LUMAREX_MMX_INLINE static inline __attribute__((target("mmx"), always_inline))
#define LUMAREX_MMX_ENTRY __attribute__((target("mmx"), noinline))

namespace {

typedef int MmxUnalignedInt __attribute__((aligned(1), may_alias));
typedef __m64 MmxUnaligned64 __attribute__((aligned(1), may_alias));

LUMAREX_MMX_INLINE __m64 MmxLoad32(const UCHAR *p) { return _mm_cvtsi32_si64(*(const MmxUnalignedInt *)p); }
LUMAREX_MMX_INLINE void MmxStore32(PUCHAR p, __m64 v) { *(MmxUnalignedInt *)p = _mm_cvtsi64_si32(v); }
LUMAREX_MMX_INLINE __m64 MmxLoad64(const UCHAR *p) { return *(const MmxUnaligned64 *)p; }
LUMAREX_MMX_INLINE void MmxStore64(PUCHAR p, __m64 v) { *(MmxUnaligned64 *)p = v; }

// B, G and R of the four pixels at p as 16-bit lanes. Reads 13 bytes (p[0] .. p[12]): the byte
// after the fourth pixel must be readable.
LUMAREX_MMX_INLINE void MmxSplitBgr4(const UCHAR *p, __m64 *b, __m64 *g, __m64 *r) {
  // Four 4-byte loads at the pixels: bytes B0 G0 R0 . | B1 G1 R1 . | B2 G2 R2 . | B3 G3 R3 .
  __m64 p01 = _mm_unpacklo_pi8(MmxLoad32(p), MmxLoad32(p + 3));      // B0 B1 G0 G1 R0 R1 . .
  __m64 p23 = _mm_unpacklo_pi8(MmxLoad32(p + 6), MmxLoad32(p + 9));  // B2 B3 G2 G3 R2 R3 . .
  __m64 bg = _mm_unpacklo_pi16(p01, p23);                            // B0 B1 B2 B3 G0 G1 G2 G3
  __m64 rx = _mm_unpackhi_pi16(p01, p23);                            // R0 R1 R2 R3 . . . .
  const __m64 zero = _mm_setzero_si64();
  *b = _mm_unpacklo_pi8(bg, zero);
  *g = _mm_unpackhi_pi8(bg, zero);
  *r = _mm_unpacklo_pi8(rx, zero);
}

}  // namespace

// The same split written as instructions, for the steps written that way: the four pixels at
// OFF + %[p] (reads 13 bytes) into B in mm0, G in mm2 and R in mm1 as 16-bit lanes. Uses mm3;
// %[k] + 0 holds 8 zero bytes.
#define LUMAREX_MMX_SPLIT_BGR4(OFF)                                                                               \
  "movd " OFF "+0(%[p]), %%mm0\n\t"                                                                               \
  "movd " OFF "+3(%[p]), %%mm1\n\t"                                                                               \
  "movd " OFF "+6(%[p]), %%mm2\n\t"                                                                               \
  "movd " OFF "+9(%[p]), %%mm3\n\t"                                                                               \
  "punpcklbw %%mm1, %%mm0\n\t"                                                                                   \
  "punpcklbw %%mm3, %%mm2\n\t"                                                                                   \
  "movq %%mm0, %%mm1\n\t"                                                                                        \
  "punpcklwd %%mm2, %%mm0\n\t"                                                                                   \
  "punpckhwd %%mm2, %%mm1\n\t"                                                                                   \
  "movq %%mm0, %%mm2\n\t"                                                                                        \
  "punpcklbw 0+%[k], %%mm0\n\t"                                                                                  \
  "punpckhbw 0+%[k], %%mm2\n\t"                                                                                  \
  "punpcklbw 0+%[k], %%mm1\n\t"
