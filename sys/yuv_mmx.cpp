// Vector forms (MMX) of the BGR24 to YUY2 and I420 converters of yuv.cpp, giving the same bytes
// for every image and size, for processors with MMX but no SSE2.
//
// The sums are formed as the scalar form forms them, from table look-ups, but four at a time:
// each table entry is four 16-bit lanes, and the six entries of a pixel pair (B, G and R of the
// left pixel, B, G and R of the right one) add up to the pair's four output bytes, each the low
// byte of its lane (sums are taken modulo 256 as in the scalar form). The tables are made from
// the coefficients in yuv_forms.h when this file is compiled. As in the scalar form's packed
// tables, a term a sum subtracts is added as 256 - term and the chroma's 127 is taken into red,
// so no lane goes below 0 or past 1023 and none carries into the next. A look-up and an add per
// channel take fewer instructions than the multiply form of each table (MMX has only a signed
// high multiply), and on processors of every era they are faster.
//
// Rows are read pixel by pixel, so nothing beyond a row or a plane is read or written; each
// entry ends with _mm_empty.
#include "lumarex.h"
#include "mmx_bgr.h"
#include "yuv_forms.h"

namespace {

// Table t of the forms f at i, as a 64-bit value to be shifted into its lane.
constexpr ULONGLONG Lane(const ConverterForms &f, int t, ULONG i) { return FormValue(f, t, i); }

// The YUY2 sums of a pixel pair, lanes Y0 U0 Y1 V1: the left pixel's entries fill lanes 0 and 1
// (its luma and U), the right pixel's lanes 2 and 3 (its luma and V).
struct Yuy2PairTables {
  ULONGLONG LB[256], LG[256], LR[256], RB[256], RG[256], RR[256];
};

constexpr Yuy2PairTables MakeYuy2PairTables(const ConverterForms &f) {
  Yuy2PairTables p = {};
  for (ULONG i = 0; i < 256; ++i) {
    p.LB[i] = Lane(f, YB, i) | Lane(f, UB, i) << 16;
    p.LG[i] = Lane(f, YG, i) | (256 - Lane(f, UG, i)) << 16;
    p.LR[i] = (Lane(f, YR, i) + f.yOffset) | (256 - Lane(f, UR, i) + 127) << 16;
    p.RB[i] = Lane(f, YB, i) << 32 | (256 - Lane(f, VB, i)) << 48;
    p.RG[i] = Lane(f, YG, i) << 32 | (256 - Lane(f, VG, i)) << 48;
    p.RR[i] = (Lane(f, YR, i) + f.yOffset) << 32 | (Lane(f, UB, i) + 127) << 48;
  }
  return p;
}

constexpr Yuy2PairTables kYuy2Pairs = MakeYuy2PairTables(kYuy2Forms);

LUMAREX_MMX_INLINE __m64 Entry(const ULONGLONG *table, UCHAR i) { return *(const __m64 *)&table[i]; }

// Lanes 0 and 1 of a pair: the left pixel's luma and U.
LUMAREX_MMX_INLINE __m64 LeftSums(const UCHAR *p) {
  const Yuy2PairTables &t = kYuy2Pairs;
  return _mm_add_pi16(_mm_add_pi16(Entry(t.LB, p[0]), Entry(t.LG, p[1])), Entry(t.LR, p[2]));
}

// The four sums of the pixel pair at p.
LUMAREX_MMX_INLINE __m64 PairSums(const UCHAR *p) {
  const Yuy2PairTables &t = kYuy2Pairs;
  return _mm_add_pi16(LeftSums(p),
                      _mm_add_pi16(_mm_add_pi16(Entry(t.RB, p[3]), Entry(t.RG, p[4])), Entry(t.RR, p[5])));
}

LUMAREX_MMX_ENTRY void Yuy2Mmx(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const ULONG rowBytes = (ULONG)width * 2;
  const __m64 low = _mm_set1_pi16(0xFF);
  for (LONG i = 0; i < height; ++i) {
    const UCHAR *src = rows[height - 1 - i];
    PUCHAR dst = out + (ULONG)i * rowBytes;
    LONG x = 0;
    for (; x + 4 <= width; x += 4) {
      MmxStore64(dst + 2 * x, _mm_packs_pu16(_mm_and_si64(PairSums(src + 3 * x), low),
                                             _mm_and_si64(PairSums(src + 3 * x + 6), low)));
    }
    for (; x + 2 <= width; x += 2) {
      const __m64 sums = _mm_and_si64(PairSums(src + 3 * x), low);
      MmxStore32(dst + 2 * x, _mm_packs_pu16(sums, sums));
    }
    if (x < width) {
      // An unpaired last pixel: its luma and U.
      const __m64 sums = _mm_and_si64(LeftSums(src + 3 * x), low);
      const ULONG bytes = (ULONG)_mm_cvtsi64_si32(_mm_packs_pu16(sums, sums));
      dst[2 * x] = (UCHAR)bytes;
      dst[2 * x + 1] = (UCHAR)(bytes >> 8);
    }
  }
  _mm_empty();
}

// The I420 sums of a pixel pair, lanes Y0 Y1 U0 V0: the left pixel's entries fill lanes 0, 2 and
// 3 (its luma, U and V), the right pixel's lane 1 (its luma).
struct I420PairTables {
  ULONGLONG LB[256], LG[256], LR[256], RB[256], RG[256], RR[256];
};

constexpr I420PairTables MakeI420PairTables(const ConverterForms &f) {
  I420PairTables p = {};
  for (ULONG i = 0; i < 256; ++i) {
    p.LB[i] = Lane(f, YB, i) | Lane(f, UB, i) << 32 | (256 - Lane(f, VB, i)) << 48;
    p.LG[i] = Lane(f, YG, i) | (256 - Lane(f, UG, i)) << 32 | (256 - Lane(f, VG, i)) << 48;
    p.LR[i] = (Lane(f, YR, i) + f.yOffset) | (256 - Lane(f, UR, i) + 127) << 32 |
              (Lane(f, UB, i) + 127) << 48;
    p.RB[i] = Lane(f, YB, i) << 16;
    p.RG[i] = Lane(f, YG, i) << 16;
    p.RR[i] = (Lane(f, YR, i) + f.yOffset) << 16;
  }
  return p;
}

constexpr I420PairTables kI420Pairs = MakeI420PairTables(kI420Forms);

// Lane 0 (the left pixel's luma) and lanes 2 and 3 (its U and V) of a pair.
LUMAREX_MMX_INLINE __m64 I420LeftSums(const UCHAR *p) {
  const I420PairTables &t = kI420Pairs;
  return _mm_add_pi16(_mm_add_pi16(Entry(t.LB, p[0]), Entry(t.LG, p[1])), Entry(t.LR, p[2]));
}

// The four sums of the pixel pair at p, each reduced to its low byte.
LUMAREX_MMX_INLINE __m64 I420PairSums(const UCHAR *p, __m64 low) {
  const I420PairTables &t = kI420Pairs;
  return _mm_and_si64(_mm_add_pi16(I420LeftSums(p), _mm_add_pi16(_mm_add_pi16(Entry(t.RB, p[3]), Entry(t.RG, p[4])),
                                                                  Entry(t.RR, p[5]))),
                      low);
}

// One I420 row: width luma bytes at y; with chroma, the U and V of each whole pixel pair's left
// pixel at u and v. Returns the chroma bytes written to each plane.
LUMAREX_MMX_INLINE LONG I420PairRow(const UCHAR *src, PUCHAR y, PUCHAR u, PUCHAR v, LONG width, BOOLEAN chroma) {
  const __m64 low = _mm_set1_pi16(0xFF);
  LONG x = 0;
  for (; x + 8 <= width; x += 8) {
    // Words Y0Y1 U0V0 Y2Y3 U2V2 and Y4Y5 U4V4 Y6Y7 U6V6, regrouped into the luma words and the
    // chroma words.
    const UCHAR *p = src + 3 * x;
    const __m64 a = _mm_packs_pu16(I420PairSums(p, low), I420PairSums(p + 6, low));
    const __m64 b = _mm_packs_pu16(I420PairSums(p + 12, low), I420PairSums(p + 18, low));
    const __m64 lo = _mm_unpacklo_pi16(a, b), hi = _mm_unpackhi_pi16(a, b);
    MmxStore64(y + x, _mm_unpacklo_pi16(lo, hi));
    if (chroma) {
      const __m64 uv = _mm_unpackhi_pi16(lo, hi);  // U0 V0 U2 V2 U4 V4 U6 V6
      const __m64 us = _mm_and_si64(uv, low), vs = _mm_srli_pi16(uv, 8);
      MmxStore32(u + x / 2, _mm_packs_pu16(us, us));
      MmxStore32(v + x / 2, _mm_packs_pu16(vs, vs));
    }
  }
  for (; x + 2 <= width; x += 2) {
    const __m64 sums = I420PairSums(src + 3 * x, low);
    const ULONG bytes = (ULONG)_mm_cvtsi64_si32(_mm_packs_pu16(sums, sums));  // Y0 Y1 U0 V0
    y[x] = (UCHAR)bytes;
    y[x + 1] = (UCHAR)(bytes >> 8);
    if (chroma) {
      u[x / 2] = (UCHAR)(bytes >> 16);
      v[x / 2] = (UCHAR)(bytes >> 24);
    }
  }
  if (x < width) {
    // An unpaired last pixel: luma only.
    y[x] = (UCHAR)_mm_cvtsi64_si32(_mm_and_si64(I420LeftSums(src + 3 * x), low));
  }
  return chroma ? width / 2 : 0;
}

LUMAREX_MMX_ENTRY void I420Mmx(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const ULONG pixels = (ULONG)width * (ULONG)height;
  PUCHAR y = out;
  PUCHAR u = out + pixels;
  PUCHAR v = u + pixels / 4;
  for (LONG k = 0; 2 * k < height; ++k) {
    const BOOLEAN hasLower = (BOOLEAN)(2 * k + 1 < height);
    const LONG written = I420PairRow(rows[height - 1 - 2 * k], y, u, v, width, hasLower);
    y += width;
    u += written;
    v += written;
    if (hasLower) {
      I420PairRow(rows[height - 2 - 2 * k], y, u, v, width, FALSE);
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
