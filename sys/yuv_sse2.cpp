// Vector forms (SSE2) of the BGR24 to YUY2 and I420 converters of yuv.cpp, giving the same
// bytes for every image and size.
//
// Each colour table T[i] = floor(k * i + 0.5) is replaced by the exact integer form
// T[i] = (floor(i * m / 256) + c) >> 7, which _mm_mulhi_epu16 of (i << 8) and m, an add and a
// shift compute in 16-bit lanes. The constants m and c below are checked against the table's
// own definition for all 256 inputs when this file is compiled, so a wrong constant does not
// build. Sums are then taken modulo 256 as in the scalar form (the low byte of each lane).
//
// 32 pixels (96 bytes) at a time are split into their B, G and R bytes with five rounds of
// byte interleaving (as the luma step of picture_sse2.cpp does). The pixels at the end of a row
// that do not fill a step are copied to a small buffer on the stack, run through the same
// code, and only their own output bytes are copied out, so nothing beyond the rows or the
// planes is read or written.
#include "lumarex.h"

#define YUV_SSE2_INLINE static inline __attribute__((target("sse2"), always_inline))
#if defined(__i386__)
#define YUV_SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer, noinline))
#else
#define YUV_SSE2_ENTRY __attribute__((target("sse2"), noinline))
#endif

namespace {

// One table as multiplier and rounding constant; kThousandths is k in thousandths.
struct TableForm {
  ULONG kThousandths;
  USHORT m;
  USHORT c;
};

constexpr bool FormExact(const TableForm &f) {
  for (ULONG i = 0; i < 256; ++i) {
    if ((((i * f.m) >> 8) + f.c) >> 7 != (f.kThousandths * i + 500) / 1000) return false;
  }
  return true;
}

// The tables in the order YR, YG, YB, UR, UG, UB (= VR), VG, VB.
struct ConverterForms {
  TableForm t[8];
};

constexpr ConverterForms kYuy2Forms = {{{299, 9798, 64}, {587, 19231, 67}, {114, 3736, 64}, {169, 5536, 65},
                                        {331, 10845, 65}, {500, 16321, 127}, {419, 13728, 65}, {81, 2652, 65}}};
constexpr ConverterForms kI420Forms = {{{257, 8421, 64}, {504, 16514, 65}, {98, 3211, 65}, {148, 4846, 66},
                                        {291, 9533, 65}, {439, 14384, 65}, {368, 12058, 64}, {71, 2327, 64}}};

constexpr bool AllExact(const ConverterForms &f) {
  for (int i = 0; i < 8; ++i) {
    if (!FormExact(f.t[i])) return false;
  }
  return true;
}
static_assert(AllExact(kYuy2Forms), "a YUY2 table form differs from its table");
static_assert(AllExact(kI420Forms), "an I420 table form differs from its table");

enum { YR, YG, YB, UR, UG, UB, VG, VB };

// The eight multipliers and rounding constants broadcast to every lane.
struct VectorForms {
  __m128i m[8], c[8];
};

YUV_SSE2_INLINE void LoadForms(const ConverterForms &f, VectorForms *v) {
  for (int i = 0; i < 8; ++i) {
    v->m[i] = _mm_set1_epi16((short)f.t[i].m);
    v->c[i] = _mm_set1_epi16((short)f.t[i].c);
  }
}

// Table t applied to eight samples given as (i << 8) in 16-bit lanes.
YUV_SSE2_INLINE __m128i Look(const VectorForms &v, int t, __m128i x8) {
  return _mm_srli_epi16(_mm_add_epi16(_mm_mulhi_epu16(x8, v.m[t]), v.c[t]), 7);
}

// Luma, U and V of eight pixels (16-bit lanes, modulo 256 in the low byte).
struct Yuv8 {
  __m128i y, u, v;
};

YUV_SSE2_INLINE Yuv8 Convert8(const VectorForms &f, __m128i b8, __m128i g8, __m128i r8, BOOLEAN chroma) {
  Yuv8 o;
  const __m128i lowByte = _mm_set1_epi16(0xFF);
  o.y = _mm_and_si128(_mm_add_epi16(_mm_add_epi16(Look(f, YR, r8), Look(f, YG, g8)), Look(f, YB, b8)), lowByte);
  if (chroma) {
    const __m128i bias = _mm_set1_epi16(127);
    o.u = _mm_and_si128(
        _mm_add_epi16(_mm_sub_epi16(_mm_sub_epi16(Look(f, UB, b8), Look(f, UG, g8)), Look(f, UR, r8)), bias),
        lowByte);
    o.v = _mm_and_si128(
        _mm_add_epi16(_mm_sub_epi16(_mm_sub_epi16(Look(f, UB, r8), Look(f, VG, g8)), Look(f, VB, b8)), bias),
        lowByte);
  } else {
    o.u = o.v = _mm_setzero_si128();
  }
  return o;
}

// B, G and R of 32 pixels at p, each as 32 bytes in two registers.
YUV_SSE2_INLINE void Split32(const UCHAR *p, __m128i *b, __m128i *g, __m128i *r) {
  __m128i v[6];
  for (int i = 0; i < 6; ++i) v[i] = _mm_loadu_si128((const __m128i *)(p + 16 * i));
  // One round moves the byte at position q to 2q mod 95; after five, pixel j's channel c sits
  // at j + 32c.
  for (int round = 0; round < 5; ++round) {
    __m128i t0 = _mm_unpacklo_epi8(v[0], v[3]), t1 = _mm_unpackhi_epi8(v[0], v[3]);
    __m128i t2 = _mm_unpacklo_epi8(v[1], v[4]), t3 = _mm_unpackhi_epi8(v[1], v[4]);
    __m128i t4 = _mm_unpacklo_epi8(v[2], v[5]), t5 = _mm_unpackhi_epi8(v[2], v[5]);
    v[0] = t0; v[1] = t1; v[2] = t2; v[3] = t3; v[4] = t4; v[5] = t5;
  }
  b[0] = v[0]; b[1] = v[1]; g[0] = v[2]; g[1] = v[3]; r[0] = v[4]; r[1] = v[5];
}

// The four groups of eight pixels of a split step, converted.
YUV_SSE2_INLINE void Convert32(const VectorForms &f, const UCHAR *p, Yuv8 *o, BOOLEAN chroma) {
  __m128i b[2], g[2], r[2];
  const __m128i zero = _mm_setzero_si128();
  Split32(p, b, g, r);
  for (int h = 0; h < 2; ++h) {
    o[2 * h] = Convert8(f, _mm_unpacklo_epi8(zero, b[h]), _mm_unpacklo_epi8(zero, g[h]),
                        _mm_unpacklo_epi8(zero, r[h]), chroma);
    o[2 * h + 1] = Convert8(f, _mm_unpackhi_epi8(zero, b[h]), _mm_unpackhi_epi8(zero, g[h]),
                            _mm_unpackhi_epi8(zero, r[h]), chroma);
  }
}

// 32 pixels of YUY2 (64 bytes): U of the even pixels, V of the odd ones.
YUV_SSE2_INLINE void Yuy2Step(const VectorForms &f, const UCHAR *src, PUCHAR dst) {
  Yuv8 o[4];
  Convert32(f, src, o, TRUE);
  const __m128i even = _mm_set1_epi32(0x0000FFFF);
  for (int h = 0; h < 2; ++h) {
    __m128i y = _mm_packus_epi16(o[2 * h].y, o[2 * h + 1].y);
    __m128i uv0 = _mm_or_si128(_mm_and_si128(o[2 * h].u, even), _mm_andnot_si128(even, o[2 * h].v));
    __m128i uv1 = _mm_or_si128(_mm_and_si128(o[2 * h + 1].u, even), _mm_andnot_si128(even, o[2 * h + 1].v));
    __m128i uv = _mm_packus_epi16(uv0, uv1);
    _mm_storeu_si128((__m128i *)(dst + 32 * h), _mm_unpacklo_epi8(y, uv));
    _mm_storeu_si128((__m128i *)(dst + 32 * h + 16), _mm_unpackhi_epi8(y, uv));
  }
}

// 32 pixels of one I420 row: 32 luma bytes, and with chroma the U and V of the 16 even pixels.
YUV_SSE2_INLINE void I420Step(const VectorForms &f, const UCHAR *src, PUCHAR y, PUCHAR u, PUCHAR v,
                              BOOLEAN chroma) {
  Yuv8 o[4];
  Convert32(f, src, o, chroma);
  _mm_storeu_si128((__m128i *)y, _mm_packus_epi16(o[0].y, o[1].y));
  _mm_storeu_si128((__m128i *)(y + 16), _mm_packus_epi16(o[2].y, o[3].y));
  if (chroma) {
    // The even lanes, each the low half of a 32-bit lane below 256.
    const __m128i even = _mm_set1_epi32(0x000000FF);
    __m128i u01 = _mm_packs_epi32(_mm_and_si128(o[0].u, even), _mm_and_si128(o[1].u, even));
    __m128i u23 = _mm_packs_epi32(_mm_and_si128(o[2].u, even), _mm_and_si128(o[3].u, even));
    __m128i v01 = _mm_packs_epi32(_mm_and_si128(o[0].v, even), _mm_and_si128(o[1].v, even));
    __m128i v23 = _mm_packs_epi32(_mm_and_si128(o[2].v, even), _mm_and_si128(o[3].v, even));
    _mm_storeu_si128((__m128i *)u, _mm_packus_epi16(u01, u23));
    _mm_storeu_si128((__m128i *)v, _mm_packus_epi16(v01, v23));
  }
}

inline VOID CopyBytes(PUCHAR dst, const UCHAR *src, LONG n) {
  for (LONG i = 0; i < n; ++i) dst[i] = src[i];
}

YUV_SSE2_ENTRY void Yuy2Sse2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  VectorForms f;
  LoadForms(kYuy2Forms, &f);
  const ULONG rowBytes = (ULONG)width * 2;
  for (LONG i = 0; i < height; ++i) {
    const UCHAR *src = rows[height - 1 - i];
    PUCHAR dst = out + (ULONG)i * rowBytes;
    LONG x = 0;
    for (; x + 32 <= width; x += 32) {
      Yuy2Step(f, src + 3 * x, dst + 2 * x);
    }
    if (x < width) {
      UCHAR pixels[96] = {0};
      UCHAR yuy2[64];
      CopyBytes(pixels, src + 3 * x, 3 * (width - x));
      Yuy2Step(f, pixels, yuy2);
      CopyBytes(dst + 2 * x, yuy2, 2 * (width - x));
    }
  }
}

YUV_SSE2_ENTRY void I420Sse2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  VectorForms f;
  LoadForms(kI420Forms, &f);
  const ULONG pixels = (ULONG)width * (ULONG)height;
  PUCHAR y = out;
  PUCHAR u = out + pixels;
  PUCHAR v = u + pixels / 4;
  for (LONG k = 0; 2 * k < height; ++k) {
    const BOOLEAN hasLower = 2 * k + 1 < height ? TRUE : FALSE;
    for (LONG half = 0; half < (hasLower ? 2 : 1); ++half) {
      const UCHAR *src = rows[height - 1 - 2 * k - half];
      const BOOLEAN chroma = (hasLower && half == 0) ? TRUE : FALSE;
      LONG x = 0;
      for (; x + 32 <= width; x += 32) {
        I420Step(f, src + 3 * x, y + x, u + x / 2, v + x / 2, chroma);
      }
      if (x < width) {
        UCHAR pix[96] = {0};
        UCHAR ys[32], us[16], vs[16];
        const LONG n = width - x;
        CopyBytes(pix, src + 3 * x, 3 * n);
        I420Step(f, pix, ys, us, vs, chroma);
        CopyBytes(y + x, ys, n);
        if (chroma) {
          // Chroma only for whole pixel pairs: an unpaired last column has none.
          CopyBytes(u + x / 2, us, n / 2);
          CopyBytes(v + x / 2, vs, n / 2);
        }
      }
      y += width;
      if (chroma) {
        u += width / 2;
        v += width / 2;
      }
    }
  }
}

}  // namespace

// LUMAREX_RGB24ToYUY2SSE2 - LUMAREX_RGB24ToYUY2 with SSE2, the same bytes. Runs on the decode
// worker at PASSIVE_LEVEL where the vector registers may be used, only on processors with SSE2.
// No result.
VOID LUMAREX_RGB24ToYUY2SSE2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  if (width <= 0 || height <= 0) {
    return;
  }
  Yuy2Sse2(rows, out, width, height);
  const ULONG rowBytes = (ULONG)width * 2;
  RtlCopyMemory(rows[0], out, (SIZE_T)rowBytes * (ULONG)height);
  for (LONG i = 1; i < height; ++i) {
    rows[i] = rows[0] + (ULONG)i * rowBytes;
  }
}

// LUMAREX_RGB24ToI420SSE2 - LUMAREX_RGB24ToI420 with SSE2, the same bytes. Runs on the decode
// worker at PASSIVE_LEVEL where the vector registers may be used, only on processors with SSE2.
// No result.
VOID LUMAREX_RGB24ToI420SSE2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  if (width <= 0 || height <= 0) {
    return;
  }
  I420Sse2(rows, out, width, height);
  const ULONG pixels = (ULONG)width * (ULONG)height;
  RtlCopyMemory(rows[0], out, pixels + pixels / 2);
}
