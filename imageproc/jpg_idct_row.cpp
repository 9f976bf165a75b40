// Dequantisation and inverse DCT of one MCU row: every coefficient block of the row becomes
// 64 samples in Psample_buf (block i at offset 64 i, its row r at 64 i + 8 r), through
// idct_8x8 in the form chosen for the processor.
#include "jpg_idct.h"
#include "jpg_internal.h"

void jpg_idct_mcu_row(JpgDecoder *d) {
  const int16_t *coef = d->block_seg[0];
  uint8_t *samples = d->Psample_buf;
  int32_t i = 0;
  for (int32_t m = 0; m < d->scan_mcus_across; ++m) {
    for (int32_t j = 0; j < d->mcu_block_count; ++j, ++i) {
      const int16_t *quant = d->quant[d->comp_quant[d->mcu_org[j]]];
      if (d->block_zag_end[i] == 1) {
        // Only the DC coefficient can be non-zero. Both passes of the transform then carry
        // x0 = low 16 bits of DC x q0 unchanged into every position (every other input is 0
        // and M(0, K) = 0), so each sample is (x0 >> 5) + 128 clamped: the same bytes as the
        // full transform, without it.
        int32_t x0 = (int16_t)(uint16_t)((uint32_t)((int32_t)coef[0] * quant[0]) & 0xFFFF);
        int32_t s = (x0 >> 5) + 128;
        uint8_t v = (uint8_t)(s < 0 ? 0 : (s > 255 ? 255 : s));
        for (int32_t w = 0; w < 64; ++w) {
          samples[w] = v;
        }
      } else {
        uint8_t *rows[8];
        for (int32_t r = 0; r < 8; ++r) {
          rows[r] = samples + 8 * r;
        }
        idct_8x8(coef, quant, rows, 0);
      }
      coef += 64;
      samples += 64;
    }
  }
}
