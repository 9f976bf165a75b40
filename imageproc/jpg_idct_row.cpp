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
  idct_blocks_scalar(coef, samples, d->block_zag_end, count, quant, per_mcu);
}
