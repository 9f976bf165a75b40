// Dequantisation and inverse DCT of one 8x8 block with MMX: the same Arai-Agui-Nakajima
// transform as idct_8x8_scalar (jpg_idct.cpp, which defines the arithmetic), four 16-bit lanes
// per instruction, giving the same bytes for every input. For processors with MMX but without
// SSE2 (Pentium II and III, Athlon).
//
// Why each instruction matches the definition:
//   dequantise   pmullw (_mm_mullo_pi16) keeps the low 16 bits of the product;
//   + and -      paddw / psubw wrap modulo 2^16;
//   M(v, K)      psllw by 2 drops the bits shifted out of 16, and pmulhw returns the high 16
//                bits of the signed 32-bit product (floor of product / 2^16);
//   output       psraw by 5, paddsw with 128 (saturating), then packuswb saturates to 0..255.
//
// The column pass runs on columns 0-3 and then 4-7 (one register per block row) and leaves
// its results in a 128-byte workspace on the stack. The row pass takes four rows at a time:
// two 4x4 transpositions in registers put one workspace column of those rows in each register,
// the transform yields one output column per register, and two more transpositions bring the
// samples back into rows before they are packed to bytes.
//
// Every entry ends with EMMS (_mm_empty): the MMX registers are the x87 registers, and the
// floating-point unit must be usable again when the routine returns.
#include "jpg_idct.h"

#if JPG_IDCT_HAVE_MMX

#include <mmintrin.h>

#define IDCT_MMX_INLINE static inline __attribute__((target("mmx"), always_inline))

// On 32-bit Windows the kernel stack is only 4-byte aligned. The entry realigns its frame so
// that the workspace and the compiler's 8-byte spills are aligned.
#if defined(__i386__)
#define IDCT_MMX_ENTRY __attribute__((target("mmx"), force_align_arg_pointer))
#else
#define IDCT_MMX_ENTRY __attribute__((target("mmx")))
#endif

// An 8-byte value at any address.
typedef __m64 idct_m64_u __attribute__((aligned(1), may_alias));

IDCT_MMX_INLINE __m64 load8(const void *p) {
  return *(const idct_m64_u *)p;
}

IDCT_MMX_INLINE void store8(void *p, __m64 v) {
  *(idct_m64_u *)p = v;
}

// Transform constants, as in jpg_idct.cpp: effective factor K / 16384 after the 2-bit
// pre-shift.
enum : int16_t {
  IDCT_MMX_K1 = 23170,  // 0x5A82:  1.41418, sqrt(2)
  IDCT_MMX_K2 = 30273,  // 0x7641:  1.84772, 2 cos(pi / 8)
  IDCT_MMX_K3 = -12540, // 0xCF04: -0.76538, -2 sin(pi / 8)
  IDCT_MMX_K4 = -30353, // 0x896F: -1.85260 (not -K2; kept for bit-exactness)
};

// M(v, K): (v << 2) wrapped to 16 bits, times K, high half of the 32-bit product.
IDCT_MMX_INLINE __m64 mul_k(__m64 v, int16_t k) {
  return _mm_mulhi_pi16(_mm_slli_pi16(v, 2), _mm_set1_pi16(k));
}

// One-dimensional AAN inverse transform, lane by lane, of v[0..7] in place.
IDCT_MMX_INLINE void aan_idct_1d_x4(__m64 v[8]) {
  // Even part.
  __m64 t10 = _mm_add_pi16(v[0], v[4]);
  __m64 t11 = _mm_sub_pi16(v[0], v[4]);
  __m64 t13 = _mm_add_pi16(v[2], v[6]);
  __m64 t12 = _mm_sub_pi16(mul_k(_mm_sub_pi16(v[2], v[6]), IDCT_MMX_K1), t13);

  __m64 e0 = _mm_add_pi16(t10, t13);
  __m64 e3 = _mm_sub_pi16(t10, t13);
  __m64 e1 = _mm_add_pi16(t11, t12);
  __m64 e2 = _mm_sub_pi16(t11, t12);

  // Odd part.
  __m64 z11 = _mm_add_pi16(v[1], v[7]);
  __m64 z12 = _mm_sub_pi16(v[1], v[7]);
  __m64 z13 = _mm_add_pi16(v[5], v[3]);
  __m64 z10 = _mm_sub_pi16(v[5], v[3]);

  __m64 t7 = _mm_add_pi16(z11, z13);
  __m64 t6 = _mm_sub_pi16(_mm_add_pi16(mul_k(z10, IDCT_MMX_K3), mul_k(z12, IDCT_MMX_K2)), t7);
  __m64 t5 = _mm_sub_pi16(mul_k(_mm_sub_pi16(z11, z13), IDCT_MMX_K1), t6);
  __m64 t4 = _mm_add_pi16(_mm_add_pi16(mul_k(z10, IDCT_MMX_K4), mul_k(z12, IDCT_MMX_K3)), t5);

  v[0] = _mm_add_pi16(e0, t7);
  v[7] = _mm_sub_pi16(e0, t7);
  v[1] = _mm_add_pi16(e1, t6);
  v[6] = _mm_sub_pi16(e1, t6);
  v[2] = _mm_add_pi16(e2, t5);
  v[5] = _mm_sub_pi16(e2, t5);
  v[4] = _mm_add_pi16(e3, t4);
  v[3] = _mm_sub_pi16(e3, t4);
}

// Transposes a 4x4 matrix of 16-bit values, one row per register: afterwards lane r of v[c]
// is what lane c of v[r] was.
IDCT_MMX_INLINE void transpose_4x4(__m64 &v0, __m64 &v1, __m64 &v2, __m64 &v3) {
  __m64 a0 = _mm_unpacklo_pi16(v0, v1); // r0c0 r1c0 r0c1 r1c1
  __m64 a1 = _mm_unpackhi_pi16(v0, v1); // r0c2 r1c2 r0c3 r1c3
  __m64 a2 = _mm_unpacklo_pi16(v2, v3); // r2c0 r3c0 r2c1 r3c1
  __m64 a3 = _mm_unpackhi_pi16(v2, v3); // r2c2 r3c2 r2c3 r3c3
  v0 = _mm_unpacklo_pi32(a0, a2);
  v1 = _mm_unpackhi_pi32(a0, a2);
  v2 = _mm_unpacklo_pi32(a1, a3);
  v3 = _mm_unpackhi_pi32(a1, a3);
}

// Output value of a sample: (o >> 5) + 128, the addition saturating at 16 bits.
IDCT_MMX_INLINE __m64 descale(__m64 o) {
  return _mm_adds_pi16(_mm_srai_pi16(o, 5), _mm_set1_pi16(128));
}

// The transform of one block: the 8 samples of row r in out[r].
IDCT_MMX_INLINE void idct_8x8_rows(const int16_t *coef, const int16_t *quant, __m64 out[8]) {
  // Workspace: ws[2 r + h] holds columns 4 h .. 4 h + 3 of workspace row r.
  __m64 ws[16];
  __m64 v[8];

  // Column pass, columns 0-3 (h = 0) and 4-7 (h = 1): dequantise one block row per register
  // (unaligned loads: blocks and tables need only 2-byte alignment) and transform.
  for (int32_t h = 0; h < 2; ++h) {
    for (int32_t r = 0; r < 8; ++r) {
      v[r] = _mm_mullo_pi16(load8(coef + 8 * r + 4 * h), load8(quant + 8 * r + 4 * h));
    }
    aan_idct_1d_x4(v);
    for (int32_t r = 0; r < 8; ++r) {
      ws[2 * r + h] = v[r];
    }
  }

  // Row pass, rows 0-3 (g = 0) and 4-7 (g = 1): after the transpositions v[c] holds
  // workspace column c of the four rows, lane i from row 4 g + i.
  for (int32_t g = 0; g < 2; ++g) {
    const __m64 *w = ws + 8 * g;
    v[0] = w[0];
    v[1] = w[2];
    v[2] = w[4];
    v[3] = w[6];
    v[4] = w[1];
    v[5] = w[3];
    v[6] = w[5];
    v[7] = w[7];
    transpose_4x4(v[0], v[1], v[2], v[3]);
    transpose_4x4(v[4], v[5], v[6], v[7]);
    aan_idct_1d_x4(v);
    for (int32_t c = 0; c < 8; ++c) {
      v[c] = descale(v[c]);
    }
    // Back into rows: v[i] columns 0-3 and v[4 + i] columns 4-7 of row 4 g + i; packuswb
    // saturates to 0..255 and joins the halves into the row's 8 bytes.
    transpose_4x4(v[0], v[1], v[2], v[3]);
    transpose_4x4(v[4], v[5], v[6], v[7]);
    for (int32_t i = 0; i < 4; ++i) {
      out[4 * g + i] = _mm_packs_pu16(v[i], v[4 + i]);
    }
  }
}

IDCT_MMX_ENTRY void idct_8x8_mmx(const int16_t *coef, const int16_t *quant, uint8_t *const rows[8],
                                 uint32_t column_offset) {
  __m64 s[8];
  idct_8x8_rows(coef, quant, s);
  for (int32_t r = 0; r < 8; ++r) {
    store8(rows[r] + column_offset, s[r]);
  }
  _mm_empty();
}

IDCT_MMX_ENTRY void idct_blocks_mmx(int16_t *coef, uint8_t *samples, int32_t *extent, int32_t count,
                                    const int16_t *const quant[], int32_t per_mcu) {
  const __m64 zero = _mm_setzero_si64();
  for (int32_t i = 0, j = 0; i < count; ++i, coef += 64, samples += 64) {
    const int16_t *q = quant[j];
    j = j + 1 == per_mcu ? 0 : j + 1;
    if (extent[i] == 1) {
      // Only the DC coefficient can be non-zero: every sample is (x0 >> 5) + 128 clamped,
      // x0 the low 16 bits of DC x q0 (see idct_dc_sample).
      const __m64 s = _mm_set1_pi8((char)idct_dc_sample(coef[0], q[0]));
      for (int32_t r = 0; r < 8; ++r) {
        store8(samples + 8 * r, s);
      }
    } else {
      __m64 s[8];
      idct_8x8_rows(coef, q, s);
      for (int32_t r = 0; r < 8; ++r) {
        store8(samples + 8 * r, s[r]);
      }
      for (int32_t k = 0; k < 64; k += 4) {
        store8(coef + k, zero);
      }
      extent[i] = 1;
    }
  }
  _mm_empty();
}

#endif // JPG_IDCT_HAVE_MMX
