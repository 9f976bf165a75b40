// Dequantisation and inverse DCT of one 8x8 block: the Arai-Agui-Nakajima (AAN) scaled inverse
// DCT in 16-bit signed fixed point, bit-exact whichever form runs.
//
// The quantisation table carries the AAN scale factors and two fraction bits, so dequantising
// is one 16-bit multiplication per coefficient. Every intermediate value is a signed 16-bit
// number: additions and subtractions wrap modulo 2^16, multiplications by the transform
// constants keep the high half of a 16 x 16 -> 32-bit product, and the result is brought to
// 0..255 by saturation. Three forms compute exactly the same bytes: a scalar one, which is the
// definition, an SSE2 one and an MMX one (for processors with MMX but without SSE2). Which one a
// decode runs is kept in its decoder state (jpg_vector_form): chosen from CPUID when the state
// is initialised (SSE2 if the processor has it, else MMX if it has that, else scalar), and
// narrowed to the scalar form by a caller that cannot save the vector registers. Nothing
// module-wide selects a form.
#pragma once

#include <stdint.h>

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define JPG_IDCT_HAVE_SSE2 1
#define JPG_IDCT_HAVE_MMX 1
#else
#define JPG_IDCT_HAVE_SSE2 0
#define JPG_IDCT_HAVE_MMX 0
#endif

// Transforms one block.
//   coef          64 quantised coefficients, natural (row-major) order; any 2-byte alignment.
//   quant         64 quantisation entries, natural order, scaled as described above.
//   rows          8 output row pointers; row r of samples goes to rows[r] + column_offset.
//   column_offset added to every row pointer; 8 bytes are written per row, any alignment.
// No result. Reads nothing but coef and quant, writes nothing but the 64 samples.
typedef void (*JpgIdctFunc)(const int16_t *coef, const int16_t *quant, uint8_t *const rows[8],
                            uint32_t column_offset);

// The definition, in plain integer code. Runs on any processor.
void idct_8x8_scalar(const int16_t *coef, const int16_t *quant, uint8_t *const rows[8],
                     uint32_t column_offset);

#if JPG_IDCT_HAVE_SSE2
// The same transform with SSE2 instructions, eight 16-bit lanes at a time. Only to be called
// when idct_cpu_has_sse2() says the processor has them.
void idct_8x8_sse2(const int16_t *coef, const int16_t *quant, uint8_t *const rows[8],
                   uint32_t column_offset);
#endif

#if JPG_IDCT_HAVE_MMX
// The same transform with MMX instructions, four 16-bit lanes at a time, ending with EMMS so
// that floating-point code may run afterwards. Only to be called when idct_cpu_has_mmx() says
// the processor has them.
void idct_8x8_mmx(const int16_t *coef, const int16_t *quant, uint8_t *const rows[8],
                  uint32_t column_offset);
#endif

// The sample value of a block whose only non-zero coefficient is the DC: both passes of the
// transform carry x0 = low 16 bits of dc x q0 unchanged into every position (every other
// input is 0 and M(0, K) = 0), so each sample is (x0 >> 5) + 128 clamped to 0..255, the same
// byte the full transform gives.
inline uint8_t idct_dc_sample(int16_t dc, int16_t q0) {
  int32_t x0 = (int16_t)(uint16_t)((uint32_t)((int32_t)dc * q0) & 0xFFFF);
  int32_t s = (x0 >> 5) + 128;
  return (uint8_t)(s < 0 ? 0 : (s > 255 ? 255 : s));
}

// Extents (last non-zero zigzag position + 1) up to which every coefficient lies in rows 0..3
// and columns 0..3: zigzag positions 0..9 are the antidiagonals 0..3.
#define JPG_IDCT_LOW_EXTENT 10
// Extents up to which every coefficient lies in columns 0 and 1 (and rows 0..2): zigzag
// positions 0..4.
#define JPG_IDCT_TWO_EXTENT 5

// The blocks of an MCU row in the scalar form organised for speed (same bytes as the
// definition), with the contract of idct_blocks_sse2 below.
void idct_blocks_scalar(int16_t *coef, uint8_t *samples, int32_t *extent, int32_t count,
                        const int16_t *const quant[], int32_t per_mcu);

#if JPG_IDCT_HAVE_SSE2
// The blocks of an MCU row with SSE2, as jpg_idct_mcu_row lays them out: block i has its 64
// coefficients at coef + 64 i and its samples (8 rows of 8, back to back) at samples + 64 i;
// quant[i mod per_mcu] is its table. A block whose extent[i] is 1 has only its DC
// coefficient to transform (idct_dc_sample). Every other block is transformed, then its
// coefficients are cleared and its extent set to 1.
void idct_blocks_sse2(int16_t *coef, uint8_t *samples, int32_t *extent, int32_t count,
                      const int16_t *const quant[], int32_t per_mcu);
#endif

#if JPG_IDCT_HAVE_MMX
// The same as idct_blocks_sse2 with MMX, ending with EMMS.
void idct_blocks_mmx(int16_t *coef, uint8_t *samples, int32_t *extent, int32_t count,
                     const int16_t *const quant[], int32_t per_mcu);
#endif

enum {
  JPG_IDCT_SCALAR = 0,
  JPG_IDCT_SSE2 = 1,
  JPG_IDCT_MMX = 2,
};

// 1 when the processor reports SSE2 (CPUID leaf 1, EDX bit 26), else 0. Always 0 on builds
// without the SSE2 form.
int32_t idct_cpu_has_sse2(void);

// 1 when the processor reports MMX (CPUID leaf 1, EDX bit 23), else 0. Always 0 on builds
// without the MMX form.
int32_t idct_cpu_has_mmx(void);

// The best form the processor allows: JPG_IDCT_SSE2 if it reports SSE2, else JPG_IDCT_MMX if it
// reports MMX, else JPG_IDCT_SCALAR. Asks CPUID on every call (one question, leaf 1), so that a
// decoder state initialised later sees what the processor reports then.
int32_t idct_cpu_best_form(void);
