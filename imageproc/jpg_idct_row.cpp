// Dequantisation and inverse DCT of one MCU row: every coefficient block of the row becomes
// 64 samples in Psample_buf (block i at offset 64 i, its row r at 64 i + 8 r), in the form
// the decoder state allows (jpg_vector_form).
//
// After its transform a block's coefficients are cleared and its extent (block_zag_end) set
// to 1, so that the entropy decoder of the next MCU row finds every position but the DC,
// which it always writes, zero already and has nothing to clear.
#include "jpg_idct.h"
#include "jpg_internal.h"

void jpg_idct_mcu_row(JpgDecoder *d) {
  int16_t *coef = d->block_seg[0];
  uint8_t *samples = d->Psample_buf;
  const int32_t per_mcu = d->mcu_block_count;
  const int16_t *quant[JPG_MAX_MCU_BLOCKS];
  for (int32_t j = 0; j < per_mcu; ++j) {
    quant[j] = d->quant[d->comp_quant[d->mcu_org[j]]];
  }
  const int32_t count = d->scan_mcus_across * per_mcu;
#if JPG_IDCT_HAVE_SSE2
  if (jpg_vector_form(d) == JPG_IDCT_SSE2) {
    idct_blocks_sse2(coef, samples, d->block_zag_end, count, quant, per_mcu);
    return;
  }
#endif
#if JPG_IDCT_HAVE_MMX
  if (jpg_vector_form(d) == JPG_IDCT_MMX) {
    idct_blocks_mmx(coef, samples, d->block_zag_end, count, quant, per_mcu);
    return;
  }
#endif
  for (int32_t i = 0, j = 0; i < count; ++i, coef += 64, samples += 64) {
    const int16_t *q = quant[j];
    j = j + 1 == per_mcu ? 0 : j + 1;
    const int32_t extent = d->block_zag_end[i];
    if (extent == 1) {
      // Only the DC coefficient can be non-zero.
      uint8_t v = idct_dc_sample(coef[0], q[0]);
      for (int32_t w = 0; w < 64; ++w) {
        samples[w] = v;
      }
    } else {
      uint8_t *rows[8];
      for (int32_t r = 0; r < 8; ++r) {
        rows[r] = samples + 8 * r;
      }
      idct_8x8_scalar(coef, q, rows, 0);
      for (int32_t z = 1; z < extent; ++z) {
        coef[jpg_zigzag[z]] = 0;
      }
      d->block_zag_end[i] = 1;
    }
  }
}
