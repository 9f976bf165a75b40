// The JPEG decoder's initialisation, status queries and the two entry points that read a
// frame's headers and prepare its decoding.
#include "ip_dbgprint.h"
#include "jpg_internal.h"

// Fields whose sizes init reports, in the order of the "JPG Sizeof" lines.
typedef struct FieldSize {
  const char *name;
  size_t size;
} FieldSize;

static const FieldSize reported_fields[] = {
    {"Psample_buf", sizeof(JpgDecoder::Psample_buf)},
    {"DC_L_HTB", sizeof(JpgDecoder::DC_L_HTB)},
    {"AC_L_HTB", sizeof(JpgDecoder::AC_L_HTB)},
    {"DC_C_HTB", sizeof(JpgDecoder::DC_C_HTB)},
    {"AC_C_HTB", sizeof(JpgDecoder::AC_C_HTB)},
    {"scan_line_0", sizeof(JpgDecoder::scan_line_0)},
    {"scan_line_1", sizeof(JpgDecoder::scan_line_1)},
    {"block_seg", sizeof(JpgDecoder::block_seg)},
    {"init_frame_q", sizeof(JpgDecoder::init_frame_q)},
    {"temp_block", sizeof(JpgDecoder::temp_block)},
    {"comp_h_samp", sizeof(JpgDecoder::comp_h_samp)},
    {"comp_v_samp", sizeof(JpgDecoder::comp_v_samp)},
    {"comp_quant", sizeof(JpgDecoder::comp_quant)},
    {"comp_ident", sizeof(JpgDecoder::comp_ident)},
    {"comp_h_blocks", sizeof(JpgDecoder::comp_h_blocks)},
    {"comp_v_blocks", sizeof(JpgDecoder::comp_v_blocks)},
    {"comp_list", sizeof(JpgDecoder::comp_list)},
    {"comp_dc_tab", sizeof(JpgDecoder::comp_dc_tab)},
    {"comp_ac_tab", sizeof(JpgDecoder::comp_ac_tab)},
    {"mcu_org", sizeof(JpgDecoder::mcu_org)},
    {"last_dc_val", sizeof(JpgDecoder::last_dc_val)},
    {"huff_num", sizeof(JpgDecoder::huff_num)},
    {"huff_val", sizeof(JpgDecoder::huff_val)},
    {"quant", sizeof(JpgDecoder::quant)},
    {"huff_tbl", sizeof(JpgDecoder::huff_tbl)},
    {"jmp_state", sizeof(JpgDecoder::jmp_state)},
};

// Runs at every initialisation of the image-process context, between frames. Never fails.
void jpg_init(JpgDecoder *d) {
  for (size_t i = 0; i < sizeof(reported_fields) / sizeof(reported_fields[0]); ++i) {
    DbgPrint("JPG Sizeof(%s) = %d\n", reported_fields[i].name, (int)reported_fields[i].size);
  }
  d->quality = 0;

  for (int32_t i = 0; i < JPG_HUFF_TABLES; ++i) {
    d->huff_num[i] = jpg_std_huff_counts[i];
    d->huff_val[i] = jpg_std_huff_symbols[i];
  }
  d->huff_tbl[JPG_HUFF_DC_LUMA] = &d->DC_L_HTB;
  d->huff_tbl[JPG_HUFF_DC_CHROMA] = &d->DC_C_HTB;
  d->huff_tbl[JPG_HUFF_AC_LUMA] = &d->AC_L_HTB;
  d->huff_tbl[JPG_HUFF_AC_CHROMA] = &d->AC_C_HTB;
  jpg_build_huff_table(d, JPG_HUFF_DC_LUMA, &d->DC_L_HTB);
  jpg_build_huff_table(d, JPG_HUFF_AC_LUMA, &d->AC_L_HTB);
  jpg_build_huff_table(d, JPG_HUFF_DC_CHROMA, &d->DC_C_HTB);
  jpg_build_huff_table(d, JPG_HUFF_AC_CHROMA, &d->AC_C_HTB);
  jpg_build_lookahead(d);

  d->quant[0] = d->quant_store[0];
  d->quant[1] = d->quant_store[1];
  jpg_build_default_quant(d);

  // The tables are constant, and out_mode is undefined in a freshly allocated context, so
  // they are filled every time rather than only when out_mode is 0.
  jpg_build_colour_tables(d);

  // No input until the first frame: any read sees the end at once.
  d->in_ptr = 0;
  d->in_end = 0;
  d->in_overrun = 0;
  d->decoding_started = 0;

  // The form is chosen here, once per initialisation of this state, from the processor: SSE2
  // if it reports SSE2, else MMX if it reports MMX, else scalar. The vector forms are allowed
  // until the caller says otherwise.
  d->vector_form = (uint8_t)idct_cpu_best_form();
  d->vector_allowed = 1;
}

void jpg_allow_vector_forms(JpgDecoder *d, int32_t allow) {
  d->vector_allowed = (uint8_t)(allow != 0);
}

int32_t jpg_force_form(JpgDecoder *d, int32_t form) {
  int32_t has;
  switch (form) {
  case JPG_IDCT_SCALAR:
    has = 1;
    break;
  case JPG_IDCT_SSE2:
    has = idct_cpu_has_sse2();
    break;
  case JPG_IDCT_MMX:
    has = idct_cpu_has_mmx();
    break;
  default:
    has = 0;
    break;
  }
  if (!has) {
    return -1;
  }
  d->vector_form = (uint8_t)form;
  return 0;
}

int32_t jpg_get_error(const JpgDecoder *d) {
  return d->last_error;
}

int32_t jpg_get_width(const JpgDecoder *d) {
  return d->image_width;
}

int32_t jpg_get_height(const JpgDecoder *d) {
  return d->image_height;
}

void jpg_begin_frame(JpgDecoder *d, const uint8_t *data, uint32_t length) {
  if (__builtin_setjmp(d->jmp_state.words) != 0) {
    return; // the failing check left its code in last_error
  }
  d->restart_interval = 0;
  d->last_error = JPG_OK;
  d->decoding_started = 0;
  d->is_progressive = 0;
  jpg_reset_input(d, data, length);
  jpg_read_frame_header(d);
  // The error exit jumps back into this function's frame, so the last call must not become a
  // tail call that releases the frame first (clang makes one here at -O2). The empty
  // statement with a memory clobber keeps the call an ordinary one.
  __asm__ volatile("" ::: "memory");
}

int32_t jpg_start_decoding(JpgDecoder *d) {
  if (d->decoding_started == 1) {
    return 0;
  }
  if (d->last_error != JPG_OK) {
    return -1;
  }
  if (__builtin_setjmp(d->jmp_state.words) != 0) {
    return -1;
  }
  jpg_setup_frame(d);
  if (d->is_progressive != 1) {
    if (jpg_setup_scan(d) == 0) {
      jpg_raise(d, JPG_ERR_UNEXPECTED_MARKER); // EOI before any SOS
    }
  }
  d->decoding_started = 1;
  return 0;
}
