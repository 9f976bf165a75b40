// Frame and scan set-up: MCU layout and size, output line geometry, the per-block buffers of
// one MCU row, the scan header, the blocks of an MCU, and the bit reader positioned on the
// first byte of entropy-coded data.
#include "jpg_internal.h"

// MCU layouts by the sampling of component 0 (the luminance); components 1 and 2 are 1x1.
typedef struct McuLayout {
  int32_t h_samp;
  int32_t v_samp;
  int32_t layout;     // mcu_layout
  int32_t blocks;     // frame_mcu_blocks: h x v luminance blocks, then Cb and Cr
  int32_t width;      // mcu_width in pixels
  int32_t height;     // mcu_height in pixels
} McuLayout;

static const McuLayout mcu_layouts[] = {
    {1, 1, 1, 3, 8, 8},   // 4:4:4
    {2, 1, 2, 4, 16, 8},  // 4:2:2
    {1, 2, 3, 4, 8, 16},  // 4:4:0
    {2, 2, 4, 6, 16, 16}, // 4:2:0
};

void jpg_setup_frame(JpgDecoder *d) {
  const McuLayout *chosen = 0;
  for (size_t i = 0; i < sizeof(mcu_layouts) / sizeof(mcu_layouts[0]); ++i) {
    if (mcu_layouts[i].h_samp == d->comp_h_samp[0] && mcu_layouts[i].v_samp == d->comp_v_samp[0]) {
      chosen = &mcu_layouts[i];
    }
  }
  if (chosen == 0) {
    jpg_raise(d, JPG_ERR_SAMPLING);
  }
  // The block counts, the per-row buffers and the colour converters all assume chroma sampled
  // 1x1; other factors would make an MCU hold blocks the row layout has no room for.
  for (int32_t k = 1; k < JPG_COMPONENTS; ++k) {
    if (d->comp_h_samp[k] != 1 || d->comp_v_samp[k] != 1) {
      jpg_raise(d, JPG_ERR_SAMPLING);
    }
  }
  d->mcu_layout = chosen->layout;
  d->frame_mcu_blocks = chosen->blocks;
  d->mcu_width = chosen->width;
  d->mcu_height = chosen->height;

  d->out_pixel_bytes = d->out_mode == 2 ? 2 : 3;
  d->frame_mcus_across = (d->image_width + d->mcu_width - 1) / d->mcu_width;
  d->out_line_bytes = d->out_pixel_bytes * d->image_width;
  // At most 4 x 200 = 800 blocks (1x2 sampling, 1600 pixels), inside the 1209 the arrays hold.
  d->row_blocks = d->frame_mcu_blocks * d->frame_mcus_across;

  // Coefficient blocks start at the first 8-byte boundary inside init_frame_q.
  uintptr_t start = (uintptr_t)d->init_frame_q;
  int16_t *base = (int16_t *)(void *)(d->init_frame_q + ((8 - (start & 7)) & 7));
  for (int32_t i = 0; i < d->row_blocks; ++i) {
    d->block_zag_end[i] = 64;
    d->block_seg[i] = base + 64 * i;
  }
  d->lines_left = d->image_height;
  d->mcu_row_lines_left = 0;
}

int32_t jpg_setup_scan(JpgDecoder *d) {
  if (jpg_find_scan(d) == 0) {
    return 0;
  }
  jpg_plan_mcu_blocks(d);
  for (int32_t k = 0; k < d->frame_comp_count; ++k) {
    d->last_dc_val[k] = 0;
  }
  if (d->restart_interval != 0) {
    d->restart_countdown = d->restart_interval;
    d->expected_rst = 0;
  }
  jpg_resync_bits(d);
  return 1;
}

// Scan header, ITU-T T.81 Figure B.4.
void jpg_read_scan_header(JpgDecoder *d) {
  int32_t length = (int32_t)jpg_read_bits(d, 16);
  int32_t n = (int32_t)jpg_read_bits(d, 8);
  d->scan_comp_count = n;
  int32_t left = length - 3;
  if (left != 2 * n + 3 || n == 0 || n > JPG_COMPONENTS) {
    jpg_raise(d, JPG_ERR_SOS_LENGTH);
  }
  for (int32_t i = 0; i < n; ++i) {
    int32_t id = (int32_t)jpg_read_bits(d, 8);
    uint32_t t = jpg_read_bits(d, 8);
    left -= 2;
    int32_t k = 0;
    while (k < d->frame_comp_count && d->comp_ident[k] != id) {
      ++k;
    }
    if (k == d->frame_comp_count) {
      jpg_raise(d, JPG_ERR_SOS_COMPONENT);
    }
    // A component named twice would put more blocks into an MCU than mcu_org and the row
    // layout provide.
    for (int32_t j = 0; j < i; ++j) {
      if (d->comp_list[j] == k) {
        jpg_raise(d, JPG_ERR_SOS_REPEATED);
      }
    }
    // Only the two DC and the two AC tables of Annex K exist.
    if ((t >> 4) > 1 || (t & 0x0F) > 1) {
      jpg_raise(d, JPG_ERR_HUFF_SELECTOR);
    }
    d->comp_list[i] = k;
    d->comp_dc_tab[k] = (int32_t)(t >> 4);
    d->comp_ac_tab[k] = (int32_t)(t & 0x0F) + 2;
  }
  d->scan_ss = (int32_t)jpg_read_bits(d, 8);
  d->scan_se = (int32_t)jpg_read_bits(d, 8);
  d->scan_ah = (int32_t)jpg_read_bits(d, 4);
  d->scan_al = (int32_t)jpg_read_bits(d, 4);
  if (d->is_progressive == 0) {
    // A sequential scan always covers the whole spectrum, whatever the header says.
    d->scan_ss = 0;
    d->scan_se = 63;
  }
  jpg_skip_bytes(d, (uint32_t)(left - 3));
}

static int32_t ceil_div(int32_t x, int32_t d) {
  return (x + d - 1) / d;
}

void jpg_plan_mcu_blocks(JpgDecoder *d) {
  int32_t max_h = 0;
  int32_t max_v = 0;
  for (int32_t k = 0; k < d->frame_comp_count; ++k) {
    if (d->comp_h_samp[k] > max_h) {
      max_h = d->comp_h_samp[k];
    }
    if (d->comp_v_samp[k] > max_v) {
      max_v = d->comp_v_samp[k];
    }
  }
  // Component dimensions, ITU-T T.81 A.1.1, in blocks of 8.
  for (int32_t k = 0; k < d->frame_comp_count; ++k) {
    d->comp_h_blocks[k] = (ceil_div(d->comp_h_samp[k] * d->image_width, max_h) + 7) >> 3;
    d->comp_v_blocks[k] = (ceil_div(d->comp_v_samp[k] * d->image_height, max_v) + 7) >> 3;
  }
  if (d->scan_comp_count == 1) {
    // A non-interleaved scan: one block per MCU over the component's own block grid.
    int32_t k = d->comp_list[0];
    d->scan_mcus_across = d->comp_h_blocks[k];
    d->scan_mcus_down = d->comp_v_blocks[k];
    d->mcu_block_count = 1;
    d->mcu_org[0] = k;
    return;
  }
  d->scan_mcus_across = ceil_div((d->image_width + 7) >> 3, max_h);
  d->scan_mcus_down = ceil_div((d->image_height + 7) >> 3, max_v);
  // Interleaved: each component contributes h x v blocks, ITU-T T.81 A.2.3.
  d->mcu_block_count = 0;
  for (int32_t i = 0; i < d->scan_comp_count; ++i) {
    int32_t k = d->comp_list[i];
    int32_t count = d->comp_h_samp[k] * d->comp_v_samp[k];
    for (int32_t j = 0; j < count; ++j) {
      if (d->mcu_block_count == JPG_MAX_MCU_BLOCKS) {
        jpg_raise(d, JPG_ERR_SAMPLING); // unreachable after frame set-up's checks
      }
      d->mcu_org[d->mcu_block_count] = k;
      d->mcu_block_count += 1;
    }
  }
}
