// Splitting packed B, G, R pixels into their channels with SSE2, for the vector picture
// adjustments (picture_sse2.cpp) and the vector YUY2/I420 converters (yuv_sse2.cpp).
#ifndef TORVANE_SYS_SSE2_BGR_H
#define TORVANE_SYS_SSE2_BGR_H

#include "lumarex.h"

// B, G and R of the 32 pixels at p (96 bytes), each as 32 bytes in two registers, in pixel
// order. One round interleaves the bytes of the first 48 with those of the last 48, moving the
// byte at position q to 2q mod 95 (95 stays). After five rounds it is at 32q mod 95; for
// q = 3j + c (pixel j, channel c) that is j + 32c, because 96 = 1 mod 95. Any thread, any IRQL;
// only on processors with SSE2.
static inline __attribute__((target("sse2"), always_inline)) void LUMAREX_SplitBgr32Sse2(
    const UCHAR *p, __m128i b[2], __m128i g[2], __m128i r[2]) {
  __m128i v0 = _mm_loadu_si128((const __m128i *)(p + 0));
  __m128i v1 = _mm_loadu_si128((const __m128i *)(p + 16));
  __m128i v2 = _mm_loadu_si128((const __m128i *)(p + 32));
  __m128i v3 = _mm_loadu_si128((const __m128i *)(p + 48));
  __m128i v4 = _mm_loadu_si128((const __m128i *)(p + 64));
  __m128i v5 = _mm_loadu_si128((const __m128i *)(p + 80));
  // Unrolled, so that the six registers stay in registers through the rounds.
#pragma GCC unroll 5
  for (int round = 0; round < 5; ++round) {
    __m128i t0 = _mm_unpacklo_epi8(v0, v3), t1 = _mm_unpackhi_epi8(v0, v3);
    __m128i t2 = _mm_unpacklo_epi8(v1, v4), t3 = _mm_unpackhi_epi8(v1, v4);
    __m128i t4 = _mm_unpacklo_epi8(v2, v5), t5 = _mm_unpackhi_epi8(v2, v5);
    v0 = t0;
    v1 = t1;
    v2 = t2;
    v3 = t3;
    v4 = t4;
    v5 = t5;
  }
  b[0] = v0;
  b[1] = v1;
  g[0] = v2;
  g[1] = v3;
  r[0] = v4;
  r[1] = v5;
}

#endif  // TORVANE_SYS_SSE2_BGR_H
