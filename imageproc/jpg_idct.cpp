// Dequantisation and inverse DCT of one 8x8 block: the scalar form, which defines the
// arithmetic, and the processor test that decides whether the SSE2 form (jpg_idct_sse2.cpp) or
// the MMX form (jpg_idct_mmx.cpp) may run.
//
// The transform is the Arai-Agui-Nakajima scaled inverse DCT (Y. Arai, T. Agui, M. Nakajima,
// "A fast DCT-SQ scheme for images", 1988), applied first to the columns and then to the rows
// of the block, as the separable 2-D IDCT of ITU-T T.81 Annex A.3.3. The AAN scale factors
// a(u) x a(v) (a(0) = 1, a(k) = sqrt(2) cos(k pi / 16)) are folded into the quantisation table
// when it is built, together with 2 fraction bits, so the 1-D transform below needs only five
// multiplications.
//
// Everything is signed 16-bit and must stay so, because the result is defined bit for bit:
//   - dequantisation keeps the low 16 bits of coefficient x entry (large products wrap);
//   - every + and - wraps modulo 2^16;
//   - a multiplication by a constant K takes (v << 2) as a 16-bit value (this wraps for
//     |v| >= 8192), multiplies it by K and keeps the high 16 bits of the 32-bit product, an
//     arithmetic shift right by 16 that rounds towards minus infinity;
//   - a sample is (o >> 5) + 128, saturated to 0..255. The 5-bit shift removes the 2 fraction
//     bits and the factor 8 the two unnormalised passes leave.
#include "jpg_idct.h"
#include "jpg_internal.h"

// ---- The scalar form ------------------------------------------------------------------------

namespace {

// Transform constants. With the 2-bit pre-shift of the multiplicand the effective factor is
// K / 16384.
enum : int32_t {
  IDCT_K1 = 23170,  // 0x5A82:  1.41418, sqrt(2)
  IDCT_K2 = 30273,  // 0x7641:  1.84772, 2 cos(pi / 8)
  IDCT_K3 = -12540, // 0xCF04: -0.76538, -2 sin(pi / 8)
  IDCT_K4 = -30353, // 0x896F: -1.85260. Not -K2: this decoder's value, kept for bit-exactness.
};

// The low 16 bits of v as a signed value: what a 16-bit register holds after the operation.
inline int32_t wrap16(int32_t v) {
  return (int16_t)(uint16_t)(uint32_t)v;
}

// M(v, K): (v << 2) wrapped to 16 bits, times K, high half of the 32-bit product. The product
// fits in 32 bits for any 16-bit operands; >> is arithmetic.
inline int32_t mul_k(int32_t v, int32_t k) {
  return (wrap16(v * 4) * k) >> 16;
}

// One-dimensional AAN inverse transform of x[0..7] into o[0..7]. Inputs and outputs are 16-bit
// values held in int32; every sum is wrapped as it is formed.
void aan_idct_1d(const int32_t x[8], int32_t o[8]) {
  // Even part: inputs 0, 2, 4, 6.
  int32_t t10 = wrap16(x[0] + x[4]);
  int32_t t11 = wrap16(x[0] - x[4]);
  int32_t t13 = wrap16(x[2] + x[6]);
  int32_t t12 = wrap16(mul_k(wrap16(x[2] - x[6]), IDCT_K1) - t13);

  int32_t e0 = wrap16(t10 + t13);
  int32_t e3 = wrap16(t10 - t13);
  int32_t e1 = wrap16(t11 + t12);
  int32_t e2 = wrap16(t11 - t12);

  // Odd part: inputs 1, 3, 5, 7.
  int32_t z11 = wrap16(x[1] + x[7]);
  int32_t z12 = wrap16(x[1] - x[7]);
  int32_t z13 = wrap16(x[5] + x[3]);
  int32_t z10 = wrap16(x[5] - x[3]);

  int32_t t7 = wrap16(z11 + z13);
  int32_t t6 = wrap16(wrap16(mul_k(z10, IDCT_K3) + mul_k(z12, IDCT_K2)) - t7);
  int32_t t5 = wrap16(mul_k(wrap16(z11 - z13), IDCT_K1) - t6);
  int32_t t4 = wrap16(wrap16(mul_k(z10, IDCT_K4) + mul_k(z12, IDCT_K3)) + t5);

  o[0] = wrap16(e0 + t7);
  o[7] = wrap16(e0 - t7);
  o[1] = wrap16(e1 + t6);
  o[6] = wrap16(e1 - t6);
  o[2] = wrap16(e2 + t5);
  o[5] = wrap16(e2 - t5);
  o[4] = wrap16(e3 + t4);
  o[3] = wrap16(e3 - t4);
}

} // namespace

void idct_8x8_scalar(const int16_t *coef, const int16_t *quant, uint8_t *const rows[8],
                     uint32_t column_offset) {
  int32_t ws[64]; // column-pass results, row-major; 16-bit values
  int32_t in[8];
  int32_t out[8];

  // Dequantise and transform the columns. The product is formed in 32 bits and wrapped:
  // a 16-bit multiplication that keeps the low half.
  for (int32_t c = 0; c < 8; ++c) {
    for (int32_t r = 0; r < 8; ++r) {
      in[r] = wrap16((int32_t)coef[8 * r + c] * quant[8 * r + c]);
    }
    aan_idct_1d(in, out);
    for (int32_t r = 0; r < 8; ++r) {
      ws[8 * r + c] = out[r];
    }
  }

  // Transform the rows and store the samples.
  for (int32_t r = 0; r < 8; ++r) {
    aan_idct_1d(&ws[8 * r], out);
    uint8_t *dst = rows[r] + column_offset;
    for (int32_t c = 0; c < 8; ++c) {
      // o >> 5 lies in -1024..1023, so the 16-bit saturating + 128 of the definition never
      // saturates; only the clamp to 0..255 acts.
      int32_t s = (out[c] >> 5) + 128;
      dst[c] = (uint8_t)(s < 0 ? 0 : (s > 255 ? 255 : s));
    }
  }
}

// ---- The scalar form organised for speed ---------------------------------------------------
// The definition's arithmetic with exact shortcuts: a column whose coefficients below the
// first row are all zero transforms to its dequantised first value in all eight rows, and a
// workspace row whose entries after the first are all zero to its first entry in all eight
// columns (every product with 0 is 0, every sum adds 0). A block whose extent ends within the
// top-left 4x4 corner (most blocks of a camera frame that are not DC alone) drops the terms of
// its zero inputs. The 1-D transform is inlined with its values in locals instead of arrays.
//
// Past the dequantisation nothing is wrapped to 16 bits until a sample is formed: everything
// the transform does with a value depends only on the value modulo 2^16 (a further sum, the
// multiplication, whose operand is (v << 2) wrapped and so depends on v modulo 2^14, and the
// sample, which takes the low 16 bits of its output). A workspace value can then be a non-zero
// multiple of 2^16 where the definition has 0; its row just misses the shortcut and takes the
// full transform, which gives the same samples. With 16-bit inputs the column outputs stay
// below 2^19 and the row outputs below 2^23 in magnitude, far inside 32 bits.

namespace {

// The last step of the 1-D transform: the even part's e0 .. e3 and the odd part's t7 .. t4
// (locals of the macro using it) into outputs 0 .. 7.
#define JPG_IDCT_OUT(e0, e1, e2, e3, STORE)                                              \
  do {                                                                                    \
    STORE(0, (e0) + t7);                                                                  \
    STORE(7, (e0) - t7);                                                                  \
    STORE(1, (e1) + t6);                                                                  \
    STORE(6, (e1) - t6);                                                                  \
    STORE(2, (e2) + t5);                                                                  \
    STORE(5, (e2) - t5);                                                                  \
    STORE(4, (e3) + t4);                                                                  \
    STORE(3, (e3) - t4);                                                                  \
  } while (0)

#define JPG_IDCT_1D(x0, x1, x2, x3, x4, x5, x6, x7, STORE)                               \
  do {                                                                                   \
    const int32_t t10 = (x0) + (x4);                                                     \
    const int32_t t11 = (x0) - (x4);                                                     \
    const int32_t t13 = (x2) + (x6);                                                     \
    const int32_t t12 = mul_k((x2) - (x6), IDCT_K1) - t13;                               \
    const int32_t e0 = t10 + t13;                                                        \
    const int32_t e3 = t10 - t13;                                                        \
    const int32_t e1 = t11 + t12;                                                        \
    const int32_t e2 = t11 - t12;                                                        \
    const int32_t z11 = (x1) + (x7);                                                     \
    const int32_t z12 = (x1) - (x7);                                                     \
    const int32_t z13 = (x5) + (x3);                                                     \
    const int32_t z10 = (x5) - (x3);                                                     \
    const int32_t t7 = z11 + z13;                                                        \
    const int32_t t6 = mul_k(z10, IDCT_K3) + mul_k(z12, IDCT_K2) - t7;                   \
    const int32_t t5 = mul_k(z11 - z13, IDCT_K1) - t6;                                   \
    const int32_t t4 = mul_k(z10, IDCT_K4) + mul_k(z12, IDCT_K3) + t5;                   \
    JPG_IDCT_OUT(e0, e1, e2, e3, STORE);                                                 \
  } while (0)

// A sample of a camera frame is nearly always inside 0..255 already, so the clamp is a branch
// the processor predicts rather than two conditional moves on every sample. The empty
// instruction statement keeps the compiler from turning the branch back into the moves.
inline uint8_t idct_sample(int32_t o) {
  int32_t s = (wrap16(o) >> 5) + 128;
  if (__builtin_expect((uint32_t)s > 255, 0)) {
    s = s < 0 ? 0 : 255;
    __asm__ volatile("" : "+r"(s));
  }
  return (uint8_t)s;
}

// One block into 64 samples, 8 bytes per row, rows back to back.
void idct_block_fast(const int16_t *coef, const int16_t *q, uint8_t *out) {
  int32_t ws[64];
  for (int32_t c = 0; c < 8; ++c) {
    const int16_t *k = coef + c;
    const int16_t *m = q + c;
    int32_t *w = ws + c;
    const int32_t x0 = wrap16((int32_t)k[0] * m[0]);
    if ((k[8] | k[16] | k[24] | k[32] | k[40] | k[48] | k[56]) == 0) {
      w[0] = w[8] = w[16] = w[24] = w[32] = w[40] = w[48] = w[56] = x0;
      continue;
    }
#define JPG_IDCT_COLUMN_STORE(r, v) (w[8 * (r)] = (v))
    JPG_IDCT_1D(x0, wrap16((int32_t)k[8] * m[8]), wrap16((int32_t)k[16] * m[16]), wrap16((int32_t)k[24] * m[24]),
                wrap16((int32_t)k[32] * m[32]), wrap16((int32_t)k[40] * m[40]), wrap16((int32_t)k[48] * m[48]),
                wrap16((int32_t)k[56] * m[56]), JPG_IDCT_COLUMN_STORE);
#undef JPG_IDCT_COLUMN_STORE
  }
  for (int32_t r = 0; r < 8; ++r, out += 8) {
    const int32_t *w = ws + 8 * r;
    if ((w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) == 0) {
      const uint8_t v = idct_sample(w[0]);
      for (int32_t c = 0; c < 8; ++c) {
        out[c] = v;
      }
      continue;
    }
#define JPG_IDCT_ROW_STORE(c, v) (out[c] = idct_sample(v))
    JPG_IDCT_1D(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], JPG_IDCT_ROW_STORE);
#undef JPG_IDCT_ROW_STORE
  }
}

// The 1-D transform with x4 = x5 = x6 = x7 = 0, exactly: every term of a zero input is dropped
// (a sum or difference with a zero is the other value, 0 - x3 is -x3).
#define JPG_IDCT_1D_LOW(x0, x1, x2, x3, STORE)                                           \
  do {                                                                                   \
    const int32_t t12 = mul_k((x2), IDCT_K1) - (x2);                                     \
    const int32_t e0 = (x0) + (x2);                                                      \
    const int32_t e3 = (x0) - (x2);                                                      \
    const int32_t e1 = (x0) + t12;                                                       \
    const int32_t e2 = (x0) - t12;                                                       \
    const int32_t z10 = -(x3);                                                           \
    const int32_t t7 = (x1) + (x3);                                                      \
    const int32_t t6 = mul_k(z10, IDCT_K3) + mul_k((x1), IDCT_K2) - t7;                  \
    const int32_t t5 = mul_k((x1) - (x3), IDCT_K1) - t6;                                 \
    const int32_t t4 = mul_k(z10, IDCT_K4) + mul_k((x1), IDCT_K3) + t5;                  \
    JPG_IDCT_OUT(e0, e1, e2, e3, STORE);                                                 \
  } while (0)

// idct_block_fast for a block whose coefficients past zigzag position 9 are zero: those up to
// it lie in rows 0..3 and columns 0..3, so columns 4..7 transform to zero, every column and
// every workspace row has its last four inputs zero, and column c has rows 4 - c .. 3 zero.
void idct_block_low(const int16_t *coef, const int16_t *q, uint8_t *out) {
  int32_t ws[32];  // columns 0..3 of the workspace, 4 entries per row
  for (int32_t c = 0; c < 4; ++c) {
    const int16_t *k = coef + c;
    const int16_t *m = q + c;
    int32_t *w = ws + c;
    const int32_t x0 = wrap16((int32_t)k[0] * m[0]);
    if ((k[8] | k[16] | k[24]) == 0) {
      w[0] = w[4] = w[8] = w[12] = w[16] = w[20] = w[24] = w[28] = x0;
      continue;
    }
#define JPG_IDCT_COLUMN_STORE(r, v) (w[4 * (r)] = (v))
    JPG_IDCT_1D_LOW(x0, wrap16((int32_t)k[8] * m[8]), wrap16((int32_t)k[16] * m[16]), wrap16((int32_t)k[24] * m[24]),
                    JPG_IDCT_COLUMN_STORE);
#undef JPG_IDCT_COLUMN_STORE
  }
  for (int32_t r = 0; r < 8; ++r, out += 8) {
    const int32_t *w = ws + 4 * r;
    if ((w[1] | w[2] | w[3]) == 0) {
      const uint8_t v = idct_sample(w[0]);
      for (int32_t c = 0; c < 8; ++c) {
        out[c] = v;
      }
      continue;
    }
#define JPG_IDCT_ROW_STORE(c, v) (out[c] = idct_sample(v))
    JPG_IDCT_1D_LOW(w[0], w[1], w[2], w[3], JPG_IDCT_ROW_STORE);
#undef JPG_IDCT_ROW_STORE
  }
}

// The 1-D transform with only x0 and x1 non-zero, exactly as JPG_IDCT_1D_LOW with x2 = x3 = 0.
#define JPG_IDCT_1D_TWO(x0, x1, STORE)                                                   \
  do {                                                                                   \
    const int32_t t7 = (x1);                                                             \
    const int32_t t6 = mul_k((x1), IDCT_K2) - t7;                                        \
    const int32_t t5 = mul_k((x1), IDCT_K1) - t6;                                        \
    const int32_t t4 = mul_k((x1), IDCT_K3) + t5;                                        \
    JPG_IDCT_OUT((x0), (x0), (x0), (x0), STORE);                                         \
  } while (0)

// idct_block_low for a block whose coefficients past zigzag position 4 are zero: columns 2 and
// 3 are zero as well, so every workspace row has only its first two inputs.
void idct_block_two(const int16_t *coef, const int16_t *q, uint8_t *out) {
  int32_t ws[16];  // columns 0 and 1 of the workspace, 2 entries per row
  for (int32_t c = 0; c < 2; ++c) {
    const int16_t *k = coef + c;
    const int16_t *m = q + c;
    int32_t *w = ws + c;
    const int32_t x0 = wrap16((int32_t)k[0] * m[0]);
    if ((k[8] | k[16]) == 0) {
      w[0] = w[2] = w[4] = w[6] = w[8] = w[10] = w[12] = w[14] = x0;
      continue;
    }
#define JPG_IDCT_COLUMN_STORE(r, v) (w[2 * (r)] = (v))
    JPG_IDCT_1D_LOW(x0, wrap16((int32_t)k[8] * m[8]), wrap16((int32_t)k[16] * m[16]), 0, JPG_IDCT_COLUMN_STORE);
#undef JPG_IDCT_COLUMN_STORE
  }
  for (int32_t r = 0; r < 8; ++r, out += 8) {
    const int32_t *w = ws + 2 * r;
    if (w[1] == 0) {
      const uint8_t v = idct_sample(w[0]);
      for (int32_t c = 0; c < 8; ++c) {
        out[c] = v;
      }
      continue;
    }
#define JPG_IDCT_ROW_STORE(c, v) (out[c] = idct_sample(v))
    JPG_IDCT_1D_TWO(w[0], w[1], JPG_IDCT_ROW_STORE);
#undef JPG_IDCT_ROW_STORE
  }
}

#undef JPG_IDCT_1D_TWO
#undef JPG_IDCT_1D_LOW
#undef JPG_IDCT_1D
#undef JPG_IDCT_OUT

} // namespace

void idct_blocks_scalar(int16_t *coef, uint8_t *samples, int32_t *extent, int32_t count,
                        const int16_t *const quant[], int32_t per_mcu) {
  for (int32_t i = 0, j = 0; i < count; ++i, coef += 64, samples += 64) {
    const int16_t *q = quant[j];
    j = j + 1 == per_mcu ? 0 : j + 1;
    const int32_t e = extent[i];
    if (e == 1) {
      // Only the DC coefficient can be non-zero.
      const uint8_t v = idct_dc_sample(coef[0], q[0]);
      for (int32_t w = 0; w < 64; ++w) {
        samples[w] = v;
      }
      continue;
    }
    if (e <= JPG_IDCT_TWO_EXTENT) {
      idct_block_two(coef, q, samples);
    } else if (e <= JPG_IDCT_LOW_EXTENT) {
      idct_block_low(coef, q, samples);
    } else {
      idct_block_fast(coef, q, samples);
    }
    for (int32_t z = 1; z < e; ++z) {
      coef[jpg_zigzag[z]] = 0;
    }
    extent[i] = 1;
  }
}

// ---- Processor test -------------------------------------------------------------------------

#if JPG_IDCT_HAVE_SSE2

namespace {

// CPUID leaf 1 EDX: SSE2 present, MMX present.
constexpr uint32_t CPUID_1_EDX_SSE2 = 1u << 26;
constexpr uint32_t CPUID_1_EDX_MMX = 1u << 23;
// EFLAGS.ID (bit 21): a program that can toggle it may execute CPUID.
constexpr uint32_t EFLAGS_ID = 1u << 21;

// Runs CPUID for leaf (sub-leaf 0) and returns EAX and EDX.
void cpuid_eax_edx(uint32_t leaf, uint32_t *eax, uint32_t *edx) {
  uint32_t a, b, c, d;
#if defined(__i386__)
  // EBX may be the PIC register on i386, so it is swapped out through another register
  // rather than named as an output.
  __asm__ volatile("xchgl %%ebx, %1\n\t"
                   "cpuid\n\t"
                   "xchgl %%ebx, %1"
                   : "=a"(a), "=&r"(b), "=c"(c), "=d"(d)
                   : "0"(leaf), "2"(0u));
#else
  __asm__ volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "0"(leaf), "2"(0u));
#endif
  (void)b;
  (void)c;
  *eax = a;
  *edx = d;
}

// 1 when CPUID exists. Every x86-64 processor has it; on i386 it is present when EFLAGS.ID
// can be changed (processors before the late 486 models lack it). Interrupt and other flags
// are restored unchanged.
int32_t cpu_has_cpuid(void) {
#if defined(__i386__)
  uint32_t before, after;
  __asm__ volatile("pushfl\n\t"
                   "popl %0\n\t"
                   "movl %0, %1\n\t"
                   "xorl %2, %0\n\t"
                   "pushl %0\n\t"
                   "popfl\n\t"
                   "pushfl\n\t"
                   "popl %0\n\t"
                   "pushl %1\n\t"
                   "popfl"
                   : "=&r"(after), "=&r"(before)
                   : "i"(EFLAGS_ID)
                   : "cc");
  return ((before ^ after) & EFLAGS_ID) != 0;
#else
  (void)EFLAGS_ID;
  return 1;
#endif
}

// CPUID leaf 1 EDX, or 0 when the processor has no CPUID or no leaf 1. The one place the
// library asks the processor about its features.
uint32_t cpu_features_edx(void) {
  uint32_t max_leaf, edx;
  if (!cpu_has_cpuid()) {
    return 0;
  }
  cpuid_eax_edx(0, &max_leaf, &edx);
  if (max_leaf < 1) {
    return 0;
  }
  cpuid_eax_edx(1, &max_leaf, &edx);
  return edx;
}

} // namespace

int32_t idct_cpu_has_sse2(void) {
  return (cpu_features_edx() & CPUID_1_EDX_SSE2) != 0;
}

int32_t idct_cpu_has_mmx(void) {
  return (cpu_features_edx() & CPUID_1_EDX_MMX) != 0;
}

int32_t idct_cpu_best_form(void) {
  const uint32_t edx = cpu_features_edx();
  if ((edx & CPUID_1_EDX_SSE2) != 0) {
    return JPG_IDCT_SSE2;
  }
  if ((edx & CPUID_1_EDX_MMX) != 0) {
    return JPG_IDCT_MMX;
  }
  return JPG_IDCT_SCALAR;
}

#else

int32_t idct_cpu_has_sse2(void) {
  return 0;
}

int32_t idct_cpu_has_mmx(void) {
  return 0;
}

int32_t idct_cpu_best_form(void) {
  return JPG_IDCT_SCALAR;
}

#endif
