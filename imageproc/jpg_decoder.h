// The baseline JPEG decoder's state record, its limits and error codes, and the entry points
// that the image-process context and the frame decode entry call.
//
// Everything the decoder needs lives in one JpgDecoder record inside the image-process
// context: tables, component descriptions, MCU geometry, working buffers, the bit reader and
// the error-exit point. Nothing is allocated while a frame is decoded. The field order and
// the field sizes on the 32-bit target are fixed; they are checked at the end of this file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "jpg_idct.h"

// ---- Limits the record is sized for -----------------------------------------------------
enum {
  JPG_COMPONENTS = 3,        // a frame has exactly three components
  JPG_MAX_MCU_BLOCKS = 10,   // entries of mcu_org
  JPG_MAX_ROW_BLOCKS = 1209, // blocks of one MCU row the per-block arrays hold
  JPG_MAX_WIDTH = 1600,
  JPG_MAX_HEIGHT = 1200,
  JPG_QUANT_TABLES = 2,      // quantisation table selectors 0 and 1
  JPG_HUFF_TABLES = 4,       // DC luminance, DC chrominance, AC luminance, AC chrominance
  JPG_LINE_BYTES = 6408,     // 1600 pixels of up to 4 bytes, plus 8
  JPG_SAMPLE_BYTES = JPG_MAX_ROW_BLOCKS * 64 + 8,
  JPG_COEF_BYTES = JPG_MAX_ROW_BLOCKS * 128 + 8, // +8 so the blocks can start 8-byte aligned
};

// Indexes into huff_tbl, huff_num and huff_val.
enum {
  JPG_HUFF_DC_LUMA = 0,
  JPG_HUFF_DC_CHROMA = 1,
  JPG_HUFF_AC_LUMA = 2,
  JPG_HUFF_AC_CHROMA = 3,
};

// ---- Error codes ---------------------------------------------------------------------------
// All negative; 0 means no error. The first failing check stores its code in last_error and
// unwinds to the entry point that is running (jpg_begin_frame, jpg_start_decoding or the row
// decoder).
enum {
  JPG_OK = 0,
  JPG_ERR_DQT_LENGTH = -203,        // DQT segment length below 2
  JPG_ERR_DQT_TABLE = -204,         // DQT table number above 1
  JPG_ERR_PRECISION = -205,         // frame sample precision is not 8
  JPG_ERR_HEIGHT = -206,            // frame height 0 or above 1200
  JPG_ERR_WIDTH = -207,             // frame width 0 or above 1600
  JPG_ERR_SOF_LENGTH = -209,        // frame header length is not 17
  JPG_ERR_SEGMENT_LENGTH = -210,    // skipped, APP0 or APP10 segment length below 2
  JPG_ERR_DRI_LENGTH = -211,        // DRI segment length is not 4
  JPG_ERR_SOS_LENGTH = -212,        // scan component count 0 or above 3, or length not 6 + 2 x count
  JPG_ERR_SOS_COMPONENT = -213,     // scan names a component identifier the frame lacks
  JPG_ERR_COMPONENT_COUNT = -214,   // frame component count is not 3
  JPG_ERR_ARITHMETIC = -215,        // SOF9 frame or DAC marker
  JPG_ERR_UNEXPECTED_MARKER = -216, // TEM, JPG, RSTn among the tables; no SOS where a scan starts
  JPG_ERR_NO_SOI = -217,            // no SOI in the first 513 bytes, or a found SOI not followed by 0xFF
  JPG_ERR_FRAME_TYPE = -218,        // frame marker other than SOF0, SOF1, SOF9; SOI, EOI or SOS first
  JPG_ERR_DQT_SHORT = -219,         // DQT segment too short for the table it announces
  JPG_ERR_SAMPLING = -226,          // luminance sampling not 1x1, 2x1, 1x2 or 2x2, or chroma not 1x1
  JPG_ERR_ENTROPY = -227,           // entropy-decoding error
  JPG_ERR_RESTART = -228,           // no restart marker within the search budget, or not the expected one
  // The codes below guard the decoder against streams the camera never sends but a faulty or
  // hostile device could.
  JPG_ERR_INPUT_END = -229,         // a header, marker or restart-marker read would pass the input end
  JPG_ERR_QUANT_SELECTOR = -230,    // frame component names a quantisation table above 1
  JPG_ERR_HUFF_SELECTOR = -231,     // scan component names a DC or AC Huffman table above 1
  JPG_ERR_SOS_REPEATED = -232,      // scan header names the same frame component twice
  JPG_ERR_OUTPUT_SIZE = -233,       // the frame's bitmap would not fit the caller's output buffer
};

// ---- Records -------------------------------------------------------------------------------

// Huffman decode table, 3328 bytes (built by jpg_build_huff_table).
typedef struct JpgHuffTable {
  int32_t long_codes[512]; // two slots per inner node for codes longer than 8 bits; 0 = empty
  int32_t fast_index[256]; // by the next 8 bits: symbol (>= 0), or negative node number
  uint8_t sym_length[256]; // by symbol: its code length in bits, 0 if it has no code
} JpgHuffTable;

// Error-exit point: a jump buffer for __builtin_setjmp, which needs five words. It is sized
// at 64 bytes on the 32-bit target like the rest of the record's fixed layout.
typedef struct JpgJumpState {
  void *words[16];
} JpgJumpState;

typedef struct JpgDecoder {
  int16_t quant_store[JPG_QUANT_TABLES][64]; // natural order, pre-multiplied by the IDCT scales
  int32_t quality;                           // selector of the built-in quantisation tables
  uint8_t Psample_buf[JPG_SAMPLE_BYTES];     // sample blocks of one MCU row after the IDCT
  JpgHuffTable DC_L_HTB;
  JpgHuffTable AC_L_HTB;
  JpgHuffTable DC_C_HTB;
  JpgHuffTable AC_C_HTB;
  uint8_t scan_line_0[JPG_LINE_BYTES];
  uint8_t scan_line_1[JPG_LINE_BYTES];
  int32_t block_zag_end[JPG_MAX_ROW_BLOCKS]; // per block: zig-zag extent that may be non-zero
  int16_t *block_seg[JPG_MAX_ROW_BLOCKS];    // per block: its 64 coefficients in init_frame_q
  uint8_t init_frame_q[JPG_COEF_BYTES];      // coefficient storage, 8-byte aligned inside; the
                                             // part no row reaches holds the combined decode
                                             // tables (jpg_internal.h)
  uint32_t out_mode;                         // output pixel layout: 0, 1 or 2
  int32_t cr_r_tab[256];
  int32_t cb_b_tab[256];
  int32_t cr_g_tab[256];
  int32_t cb_g_tab[256];
  int16_t temp_block[64];                    // scratch; never read or written
  int32_t comp_h_samp[JPG_COMPONENTS];
  int32_t comp_v_samp[JPG_COMPONENTS];
  int32_t comp_quant[JPG_COMPONENTS];
  int32_t comp_ident[JPG_COMPONENTS];
  int32_t comp_h_blocks[JPG_COMPONENTS];
  int32_t comp_v_blocks[JPG_COMPONENTS];
  int32_t comp_list[JPG_COMPONENTS];         // frame component of each scan component
  int32_t comp_dc_tab[JPG_COMPONENTS];       // per frame component: huff_tbl index for DC
  int32_t comp_ac_tab[JPG_COMPONENTS];       // per frame component: huff_tbl index for AC
  int32_t mcu_org[JPG_MAX_MCU_BLOCKS];       // frame component of each block of an MCU
  int32_t is_progressive;
  int32_t image_width;
  int32_t image_height;
  int32_t last_error;
  int32_t mcu_layout;                        // 1 to 4, from component 0's sampling
  int32_t frame_comp_count;
  int32_t scan_comp_count;
  int32_t scan_ss;
  int32_t scan_se;
  int32_t scan_al;
  int32_t scan_ah;
  int32_t mcu_width;
  int32_t mcu_height;
  int32_t mcu_block_count;
  int32_t row_blocks;
  int32_t scan_mcus_across;
  int32_t scan_mcus_down;
  int32_t lines_left;
  int32_t mcu_row_lines_left;
  int32_t out_line_bytes;
  int32_t out_pixel_bytes;
  int32_t bit_reserve;                       // bits waiting in the upper half of bit_reg
  int32_t restart_interval;
  int32_t restart_countdown;
  int32_t expected_rst;
  int32_t frame_mcus_across;
  int32_t frame_mcu_blocks;
  int32_t last_dc_val[JPG_COMPONENTS];
  uint32_t bit_reg;                          // low 16 bits: next 16 stream bits, next in bit 15
  const uint8_t *huff_num[JPG_HUFF_TABLES];  // 17-byte code-length counts
  const uint8_t *huff_val[JPG_HUFF_TABLES];  // symbol lists
  int16_t *quant[JPG_QUANT_TABLES];          // the two tables of quant_store
  JpgHuffTable *huff_tbl[JPG_HUFF_TABLES];
  const uint8_t *in_ptr;                     // next input byte
  uint8_t decoding_started;
  // The vector forms (SSE2 or MMX inverse DCT, colour conversion, line copy): vector_form is
  // the form the processor allows (JPG_IDCT_SSE2, JPG_IDCT_MMX or JPG_IDCT_SCALAR), chosen from
  // CPUID when the state is initialised; vector_allowed is 0 while the caller keeps this state's decodes to the
  // scalar forms (jpg_allow_vector_forms). Both live in the padding before jmp_state.
  uint8_t vector_form;
  uint8_t vector_allowed;
  JpgJumpState jmp_state;
  uint32_t app_params_a[4];                  // camera parameter block from APP0 or APP10
  uint32_t app_params_b[3];
  uint16_t app_params_c[24];
  // Input bound, set by jpg_begin_frame. in_ptr never passes in_end; bytes the header reader
  // fetches beyond it are padding that is counted in in_overrun and never read from memory.
  const uint8_t *in_end;
  int32_t in_overrun;
  // Per Huffman table (huff_tbl order), by the next 8 bits: code length << 8 | symbol for a
  // code of up to 8 bits, JPG_LOOKAHEAD_LONG for a longer one. The same information as
  // fast_index and sym_length in one read (built by jpg_build_lookahead from them).
  uint16_t lookahead[JPG_HUFF_TABLES][256];
} JpgDecoder;

enum {
  JPG_LOOKAHEAD_LONG = 0x8000,
};

// ---- Entry points --------------------------------------------------------------------------

// Prints the "JPG Sizeof(...)" lines, sets quality 0, builds the Huffman, quantisation and
// colour tables. Runs whenever the image-process context is initialised; never fails.
void jpg_init(JpgDecoder *d);

// Lets the decodes of d run the form chosen at initialisation (allow 1) or keeps them to the
// scalar forms (allow 0). Only d changes, so decoders used by other threads are not affected.
void jpg_allow_vector_forms(JpgDecoder *d, int32_t allow);

// For tests and benchmarks: makes the decodes of d run form (JPG_IDCT_SCALAR, JPG_IDCT_SSE2 or
// JPG_IDCT_MMX) instead of the one chosen at initialisation, until the next initialisation.
// Refused (-1, nothing changes) for a form the processor does not report; 0 otherwise.
// jpg_allow_vector_forms still narrows a vector form to the scalar one.
int32_t jpg_force_form(JpgDecoder *d, int32_t form);

// The form the decodes of d run now: JPG_IDCT_SSE2, JPG_IDCT_MMX or JPG_IDCT_SCALAR.
inline int32_t jpg_vector_form(const JpgDecoder *d) {
  return d->vector_allowed != 0 ? (int32_t)d->vector_form : (int32_t)JPG_IDCT_SCALAR;
}

int32_t jpg_get_error(const JpgDecoder *d);
int32_t jpg_get_width(const JpgDecoder *d);
int32_t jpg_get_height(const JpgDecoder *d);

// Starts a new frame of length bytes at data and reads its header up to and including the
// frame header. No result: the caller reads jpg_get_error. Nothing outside
// [data, data + length) is ever read.
void jpg_begin_frame(JpgDecoder *d, const uint8_t *data, uint32_t length);

// Frame and scan set-up. 0 = ready (or already started), -1 = failed (code in last_error).
int32_t jpg_start_decoding(JpgDecoder *d);

// ---- Layout on the 32-bit target -----------------------------------------------------------
#if defined(__i386__)
static_assert(sizeof(JpgHuffTable) == 3328, "Huffman decode table is 3328 bytes");
static_assert(sizeof(JpgJumpState) == 64, "error-exit point is 64 bytes");
static_assert(sizeof(JpgDecoder::quant_store) == 256, "two tables of 64 int16");
static_assert(sizeof(JpgDecoder::Psample_buf) == 77384, "1209 blocks of 64 bytes, plus 8");
static_assert(sizeof(JpgDecoder::scan_line_0) == 6408, "line buffer");
static_assert(sizeof(JpgDecoder::scan_line_1) == 6408, "line buffer");
static_assert(sizeof(JpgDecoder::block_zag_end) == 1209 * 4, "1209 blocks");
static_assert(sizeof(JpgDecoder::block_seg) == 1209 * 4, "1209 blocks");
static_assert(sizeof(JpgDecoder::init_frame_q) == 154760, "1209 blocks of 128 bytes, plus 8");
static_assert(sizeof(JpgDecoder::temp_block) == 128, "one block of int16");
static_assert(sizeof(JpgDecoder::cr_r_tab) == 1024, "colour table");
static_assert(sizeof(JpgDecoder::mcu_org) == 40, "ten MCU blocks");
static_assert(sizeof(JpgDecoder::huff_num) == 16, "four pointers");
static_assert(sizeof(JpgDecoder::huff_tbl) == 16, "four pointers");
static_assert(sizeof(JpgDecoder::quant) == 8, "two pointers");
static_assert(sizeof(JpgDecoder::app_params_c) == 48, "24 uint16");
#endif
