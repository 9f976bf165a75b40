// Vector forms (SSE2) of the BGR24 to YUY2 and I420 converters of yuv.cpp, giving the same
// bytes for every image and size.
//
// Each colour table T[i] = floor(k * i + 0.5) is replaced by the exact integer form
// T[i] = (floor(i * m / 256) + c) >> 7 of yuv_forms.h, which _mm_mulhi_epu16 of (i << 8) and m,
// an add and a shift compute in 16-bit lanes. Sums are then taken modulo 256 as in the scalar form (the low byte of each lane).
//
// 32 pixels (96 bytes) at a time are split into their B, G and R bytes by
// LUMAREX_SplitBgr32Sse2, as the vector luma step does. The pixels at the end of a row that do
// not fill a step are copied to a small buffer on the stack, run through the same code, and
// only their own output bytes are copied out, so nothing beyond the rows or the planes is read
// or written.
#include "lumarex.h"
#include "sse2_bgr.h"
#include "yuv_forms.h"

#define YUV_SSE2_INLINE static inline __attribute__((target("sse2"), always_inline))
#if defined(__i386__)
#define YUV_SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer, noinline))
#else
#define YUV_SSE2_ENTRY __attribute__((target("sse2"), noinline))
#endif

namespace {


// The multipliers and rounding constants in every 16-bit lane, read from memory as operands
// (the 32-bit build has only eight vector registers).
struct alignas(16) Lanes {
  USHORT v[8];
};
struct VectorForms {
  Lanes m[8], c[8];
  Lanes yOffset;
};

constexpr VectorForms Broadcast(const ConverterForms &f) {
  VectorForms v = {};
  for (int t = 0; t < 8; ++t) {
    for (int i = 0; i < 8; ++i) {
      v.m[t].v[i] = f.t[t].m;
      v.c[t].v[i] = f.t[t].c;
    }
  }
  for (int i = 0; i < 8; ++i) v.yOffset.v[i] = f.yOffset;
  return v;
}

constexpr VectorForms kYuy2Vector = Broadcast(kYuy2Forms);
constexpr VectorForms kI420Vector = Broadcast(kI420Forms);

YUV_SSE2_INLINE __m128i Load(const Lanes &l) { return _mm_load_si128((const __m128i *)l.v); }

// Table t applied to eight samples given as (i << 8) in 16-bit lanes.
YUV_SSE2_INLINE __m128i Look(const VectorForms &f, int t, __m128i x8) {
  return _mm_srli_epi16(_mm_add_epi16(_mm_mulhi_epu16(x8, Load(f.m[t])), Load(f.c[t])), 7);
}

// Luma, U and V of eight pixels; the low byte of each lane is the sum modulo 256.
YUV_SSE2_INLINE __m128i Luma8(const VectorForms &f, __m128i b8, __m128i g8, __m128i r8) {
  return _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(Look(f, YR, r8), Look(f, YG, g8)), Look(f, YB, b8)),
                       Load(f.yOffset));
}
YUV_SSE2_INLINE __m128i ChromaU8(const VectorForms &f, __m128i b8, __m128i g8, __m128i r8) {
  return _mm_add_epi16(_mm_sub_epi16(_mm_sub_epi16(Look(f, UB, b8), Look(f, UG, g8)), Look(f, UR, r8)),
                       _mm_set1_epi16(127));
}
YUV_SSE2_INLINE __m128i ChromaV8(const VectorForms &f, __m128i b8, __m128i g8, __m128i r8) {
  return _mm_add_epi16(_mm_sub_epi16(_mm_sub_epi16(Look(f, UB, r8), Look(f, VG, g8)), Look(f, VB, b8)),
                       _mm_set1_epi16(127));
}

// Of 16 bytes (one channel of 16 pixels), the even or the odd pixels' bytes as (i << 8) in
// 16-bit lanes.
YUV_SSE2_INLINE __m128i Even8(__m128i x) { return _mm_slli_epi16(x, 8); }
YUV_SSE2_INLINE __m128i Odd8(__m128i x) { return _mm_and_si128(x, _mm_set1_epi16((short)0xFF00)); }

// The low bytes of the lanes of even and odd back in pixel order: 16 bytes.
YUV_SSE2_INLINE __m128i Interleave(__m128i even, __m128i odd) {
  return _mm_or_si128(_mm_and_si128(even, _mm_set1_epi16(0xFF)), _mm_slli_epi16(odd, 8));
}

// 32 pixels of YUY2 (64 bytes): U of the even pixels, V of the odd ones.
YUV_SSE2_INLINE void Yuy2Step(const VectorForms &f, const UCHAR *src, PUCHAR dst) {
  __m128i b[2], g[2], r[2];
  LUMAREX_SplitBgr32Sse2(src, b, g, r);
  for (int h = 0; h < 2; ++h) {
    const __m128i be = Even8(b[h]), ge = Even8(g[h]), re = Even8(r[h]);
    const __m128i bo = Odd8(b[h]), go = Odd8(g[h]), ro = Odd8(r[h]);
    const __m128i y = Interleave(Luma8(f, be, ge, re), Luma8(f, bo, go, ro));
    const __m128i uv = Interleave(ChromaU8(f, be, ge, re), ChromaV8(f, bo, go, ro));
    _mm_storeu_si128((__m128i *)(dst + 32 * h), _mm_unpacklo_epi8(y, uv));
    _mm_storeu_si128((__m128i *)(dst + 32 * h + 16), _mm_unpackhi_epi8(y, uv));
  }
}

// 32 pixels of one I420 row: 32 luma bytes, and with chroma the U and V of the 16 even pixels.
YUV_SSE2_INLINE void I420Step(const VectorForms &f, const UCHAR *src, PUCHAR y, PUCHAR u, PUCHAR v,
                              BOOLEAN chroma) {
  __m128i b[2], g[2], r[2], us[2], vs[2];
  const __m128i lowByte = _mm_set1_epi16(0xFF);
  LUMAREX_SplitBgr32Sse2(src, b, g, r);
  for (int h = 0; h < 2; ++h) {
    const __m128i be = Even8(b[h]), ge = Even8(g[h]), re = Even8(r[h]);
    _mm_storeu_si128((__m128i *)(y + 16 * h),
                     Interleave(Luma8(f, be, ge, re), Luma8(f, Odd8(b[h]), Odd8(g[h]), Odd8(r[h]))));
    if (chroma) {
      us[h] = _mm_and_si128(ChromaU8(f, be, ge, re), lowByte);
      vs[h] = _mm_and_si128(ChromaV8(f, be, ge, re), lowByte);
    }
  }
  if (chroma) {
    _mm_storeu_si128((__m128i *)u, _mm_packus_epi16(us[0], us[1]));
    _mm_storeu_si128((__m128i *)v, _mm_packus_epi16(vs[0], vs[1]));
  }
}

inline VOID CopyBytes(PUCHAR dst, const UCHAR *src, LONG n) {
  for (LONG i = 0; i < n; ++i) dst[i] = src[i];
}

YUV_SSE2_ENTRY void Yuy2Sse2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const VectorForms &f = kYuy2Vector;
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
  const VectorForms &f = kI420Vector;
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
  LUMAREX_StoreYUY2Rows(rows, out, width, height);
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
