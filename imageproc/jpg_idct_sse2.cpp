// Dequantisation and inverse DCT of one 8x8 block with SSE2: the same Arai-Agui-Nakajima
// transform as idct_8x8_scalar (jpg_idct.cpp, which defines the arithmetic), eight 16-bit
// lanes per instruction, giving the same bytes for every input.
//
// Why each instruction matches the definition:
//   dequantise   _mm_mullo_epi16 keeps the low 16 bits of the product;
//   + and -      _mm_add_epi16 / _mm_sub_epi16 wrap modulo 2^16;
//   M(v, K)      _mm_slli_epi16 by 2 drops the bits shifted out of 16, and _mm_mulhi_epi16
//                returns the high 16 bits of the signed 32-bit product (floor of product/2^16);
//   output       _mm_srai_epi16 by 5, _mm_adds_epi16 with 128 (saturating), then
//                _mm_packus_epi16 saturates to 0..255.
//
// Lanes are independent, so the column pass runs on all eight columns at once with one
// register per block row. An 8x8 16-bit transposition in registers then puts one column of
// the workspace in each register, the row pass runs on all eight rows at once, and a
// transposition of the packed bytes brings the samples back into rows for storing.
//
// The functions carry target("sse2") so that 32-bit builds, whose baseline is below SSE2,
// still compile them; a decoder state selects them only on processors that report SSE2.
#include "jpg_idct.h"

#if JPG_IDCT_HAVE_SSE2

#include <emmintrin.h>

#define IDCT_SSE2_INLINE static inline __attribute__((target("sse2"), always_inline))

// On 32-bit Windows the kernel stack is only 4-byte aligned. The entry realigns its frame so
// that the compiler's 16-byte vector spills are aligned.
#if defined(__i386__)
#define IDCT_SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer))
#else
#define IDCT_SSE2_ENTRY __attribute__((target("sse2")))
#endif

// Transform constants, as in jpg_idct.cpp: effective factor K / 16384 after the 2-bit
// pre-shift.
enum : int16_t {
  IDCT_SSE2_K1 = 23170,  // 0x5A82:  1.41418, sqrt(2)
  IDCT_SSE2_K2 = 30273,  // 0x7641:  1.84772, 2 cos(pi / 8)
  IDCT_SSE2_K3 = -12540, // 0xCF04: -0.76538, -2 sin(pi / 8)
  IDCT_SSE2_K4 = -30353, // 0x896F: -1.85260 (not -K2; kept for bit-exactness)
};

// M(v, K): (v << 2) wrapped to 16 bits, times K, high half of the 32-bit product.
IDCT_SSE2_INLINE __m128i mul_k(__m128i v, __m128i k) {
  return _mm_mulhi_epi16(_mm_slli_epi16(v, 2), k);
}

// One-dimensional AAN inverse transform, lane by lane, of v[0..7] in place.
IDCT_SSE2_INLINE void aan_idct_1d_x8(__m128i v[8]) {
  const __m128i k1 = _mm_set1_epi16(IDCT_SSE2_K1);
  const __m128i k2 = _mm_set1_epi16(IDCT_SSE2_K2);
  const __m128i k3 = _mm_set1_epi16(IDCT_SSE2_K3);
  const __m128i k4 = _mm_set1_epi16(IDCT_SSE2_K4);

  // Even part.
  __m128i t10 = _mm_add_epi16(v[0], v[4]);
  __m128i t11 = _mm_sub_epi16(v[0], v[4]);
  __m128i t13 = _mm_add_epi16(v[2], v[6]);
  __m128i t12 = _mm_sub_epi16(mul_k(_mm_sub_epi16(v[2], v[6]), k1), t13);

  __m128i e0 = _mm_add_epi16(t10, t13);
  __m128i e3 = _mm_sub_epi16(t10, t13);
  __m128i e1 = _mm_add_epi16(t11, t12);
  __m128i e2 = _mm_sub_epi16(t11, t12);

  // Odd part.
  __m128i z11 = _mm_add_epi16(v[1], v[7]);
  __m128i z12 = _mm_sub_epi16(v[1], v[7]);
  __m128i z13 = _mm_add_epi16(v[5], v[3]);
  __m128i z10 = _mm_sub_epi16(v[5], v[3]);

  __m128i t7 = _mm_add_epi16(z11, z13);
  __m128i t6 = _mm_sub_epi16(_mm_add_epi16(mul_k(z10, k3), mul_k(z12, k2)), t7);
  __m128i t5 = _mm_sub_epi16(mul_k(_mm_sub_epi16(z11, z13), k1), t6);
  __m128i t4 = _mm_add_epi16(_mm_add_epi16(mul_k(z10, k4), mul_k(z12, k3)), t5);

  v[0] = _mm_add_epi16(e0, t7);
  v[7] = _mm_sub_epi16(e0, t7);
  v[1] = _mm_add_epi16(e1, t6);
  v[6] = _mm_sub_epi16(e1, t6);
  v[2] = _mm_add_epi16(e2, t5);
  v[5] = _mm_sub_epi16(e2, t5);
  v[4] = _mm_add_epi16(e3, t4);
  v[3] = _mm_sub_epi16(e3, t4);
}

// Transposes an 8x8 matrix of 16-bit values held one row per register: afterwards lane r of
// v[c] is what lane c of v[r] was.
IDCT_SSE2_INLINE void transpose_8x8_epi16(__m128i v[8]) {
  // Pairs of rows interleaved: a0 = r0c0 r1c0 r0c1 r1c1 r0c2 r1c2 r0c3 r1c3, and so on.
  __m128i a0 = _mm_unpacklo_epi16(v[0], v[1]);
  __m128i a1 = _mm_unpackhi_epi16(v[0], v[1]);
  __m128i a2 = _mm_unpacklo_epi16(v[2], v[3]);
  __m128i a3 = _mm_unpackhi_epi16(v[2], v[3]);
  __m128i a4 = _mm_unpacklo_epi16(v[4], v[5]);
  __m128i a5 = _mm_unpackhi_epi16(v[4], v[5]);
  __m128i a6 = _mm_unpacklo_epi16(v[6], v[7]);
  __m128i a7 = _mm_unpackhi_epi16(v[6], v[7]);

  // Quads: b0 = columns 0 and 1 of rows 0..3, b4 = the same of rows 4..7, and so on.
  __m128i b0 = _mm_unpacklo_epi32(a0, a2);
  __m128i b1 = _mm_unpackhi_epi32(a0, a2);
  __m128i b2 = _mm_unpacklo_epi32(a1, a3);
  __m128i b3 = _mm_unpackhi_epi32(a1, a3);
  __m128i b4 = _mm_unpacklo_epi32(a4, a6);
  __m128i b5 = _mm_unpackhi_epi32(a4, a6);
  __m128i b6 = _mm_unpacklo_epi32(a5, a7);
  __m128i b7 = _mm_unpackhi_epi32(a5, a7);

  v[0] = _mm_unpacklo_epi64(b0, b4);
  v[1] = _mm_unpackhi_epi64(b0, b4);
  v[2] = _mm_unpacklo_epi64(b1, b5);
  v[3] = _mm_unpackhi_epi64(b1, b5);
  v[4] = _mm_unpacklo_epi64(b2, b6);
  v[5] = _mm_unpackhi_epi64(b2, b6);
  v[6] = _mm_unpacklo_epi64(b3, b7);
  v[7] = _mm_unpackhi_epi64(b3, b7);
}

// Row r of the block times row r of the table, low 16 bits of each product.
IDCT_SSE2_INLINE __m128i dequantise_row(const int16_t *coef, const int16_t *quant, int32_t r) {
  __m128i c = _mm_loadu_si128((const __m128i *)(coef + 8 * r));
  __m128i q = _mm_loadu_si128((const __m128i *)(quant + 8 * r));
  return _mm_mullo_epi16(c, q);
}

// Output value of a sample: (o >> 5) + 128, the addition saturating at 16 bits.
IDCT_SSE2_INLINE __m128i descale(__m128i o) {
  return _mm_adds_epi16(_mm_srai_epi16(o, 5), _mm_set1_epi16(128));
}

// The transform of one block: the samples of rows 0-1, 2-3, 4-5 and 6-7 in rows[0..3], 16
// bytes each.
IDCT_SSE2_INLINE void idct_8x8_rows(const int16_t *coef, const int16_t *quant, __m128i out[4]) {
  __m128i v[8];

  // Dequantise: one block row per register, written out row by row so that v stays in
  // registers. Unaligned loads: blocks and tables need only 2-byte alignment.
  v[0] = dequantise_row(coef, quant, 0);
  v[1] = dequantise_row(coef, quant, 1);
  v[2] = dequantise_row(coef, quant, 2);
  v[3] = dequantise_row(coef, quant, 3);
  v[4] = dequantise_row(coef, quant, 4);
  v[5] = dequantise_row(coef, quant, 5);
  v[6] = dequantise_row(coef, quant, 6);
  v[7] = dequantise_row(coef, quant, 7);

  // Column pass on all eight columns at once; v[r] becomes workspace row r.
  aan_idct_1d_x8(v);

  // Row pass: after the transposition v[c] holds workspace column c, lane r from row r, so
  // the transform yields output column c of every row in v[c].
  transpose_8x8_epi16(v);
  aan_idct_1d_x8(v);

  // Descale and level-shift.
  v[0] = descale(v[0]);
  v[1] = descale(v[1]);
  v[2] = descale(v[2]);
  v[3] = descale(v[3]);
  v[4] = descale(v[4]);
  v[5] = descale(v[5]);
  v[6] = descale(v[6]);
  v[7] = descale(v[7]);

  // Saturate to 0..255 and transpose the bytes back into rows. Byte r of the low half of
  // p0 is sample (row r, column 0), of its high half (row r, column 4); likewise p1 holds
  // columns 1 and 5, p2 columns 2 and 6, p3 columns 3 and 7.
  __m128i p0 = _mm_packus_epi16(v[0], v[4]);
  __m128i p1 = _mm_packus_epi16(v[1], v[5]);
  __m128i p2 = _mm_packus_epi16(v[2], v[6]);
  __m128i p3 = _mm_packus_epi16(v[3], v[7]);

  // 16-bit lane r: columns 0-1 (q0), 4-5 (q1), 2-3 (q2), 6-7 (q3) of row r.
  __m128i q0 = _mm_unpacklo_epi8(p0, p1);
  __m128i q1 = _mm_unpackhi_epi8(p0, p1);
  __m128i q2 = _mm_unpacklo_epi8(p2, p3);
  __m128i q3 = _mm_unpackhi_epi8(p2, p3);

  // 32-bit lane: columns 0-3 of rows 0-3 (u0) and 4-7 (u1); columns 4-7 of rows 0-3 (u2)
  // and 4-7 (u3).
  __m128i u0 = _mm_unpacklo_epi16(q0, q2);
  __m128i u1 = _mm_unpackhi_epi16(q0, q2);
  __m128i u2 = _mm_unpacklo_epi16(q1, q3);
  __m128i u3 = _mm_unpackhi_epi16(q1, q3);

  // Two whole rows per register: rows 0-1, 2-3, 4-5, 6-7.
  out[0] = _mm_unpacklo_epi32(u0, u2);
  out[1] = _mm_unpackhi_epi32(u0, u2);
  out[2] = _mm_unpacklo_epi32(u1, u3);
  out[3] = _mm_unpackhi_epi32(u1, u3);
}

IDCT_SSE2_ENTRY void idct_8x8_sse2(const int16_t *coef, const int16_t *quant,
                                   uint8_t *const rows[8], uint32_t column_offset) {
  __m128i s[4];
  idct_8x8_rows(coef, quant, s);
  // 8-byte stores, no alignment needed.
  _mm_storel_epi64((__m128i *)(rows[0] + column_offset), s[0]);
  _mm_storel_epi64((__m128i *)(rows[1] + column_offset), _mm_unpackhi_epi64(s[0], s[0]));
  _mm_storel_epi64((__m128i *)(rows[2] + column_offset), s[1]);
  _mm_storel_epi64((__m128i *)(rows[3] + column_offset), _mm_unpackhi_epi64(s[1], s[1]));
  _mm_storel_epi64((__m128i *)(rows[4] + column_offset), s[2]);
  _mm_storel_epi64((__m128i *)(rows[5] + column_offset), _mm_unpackhi_epi64(s[2], s[2]));
  _mm_storel_epi64((__m128i *)(rows[6] + column_offset), s[3]);
  _mm_storel_epi64((__m128i *)(rows[7] + column_offset), _mm_unpackhi_epi64(s[3], s[3]));
}

IDCT_SSE2_ENTRY void idct_blocks_sse2(int16_t *coef, uint8_t *samples, int32_t *extent, int32_t count,
                                      const int16_t *const quant[], int32_t per_mcu) {
  const __m128i zero = _mm_setzero_si128();
  for (int32_t i = 0, j = 0; i < count; ++i, coef += 64, samples += 64) {
    const int16_t *q = quant[j];
    j = j + 1 == per_mcu ? 0 : j + 1;
    __m128i s[4];
    if (extent[i] == 1) {
      // Only the DC coefficient can be non-zero: every sample is (x0 >> 5) + 128 clamped,
      // x0 the low 16 bits of DC x q0 (see idct_dc_sample).
      s[0] = _mm_set1_epi8((char)idct_dc_sample(coef[0], q[0]));
      s[1] = s[0];
      s[2] = s[0];
      s[3] = s[0];
    } else {
      idct_8x8_rows(coef, q, s);
      for (int32_t r = 0; r < 8; ++r) {
        _mm_storeu_si128((__m128i *)(void *)(coef + 8 * r), zero);
      }
      extent[i] = 1;
    }
    _mm_storeu_si128((__m128i *)(void *)samples, s[0]);
    _mm_storeu_si128((__m128i *)(void *)(samples + 16), s[1]);
    _mm_storeu_si128((__m128i *)(void *)(samples + 32), s[2]);
    _mm_storeu_si128((__m128i *)(void *)(samples + 48), s[3]);
  }
}

#endif // JPG_IDCT_HAVE_SSE2
