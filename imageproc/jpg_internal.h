// Stages of the JPEG decoder shared between its source files: input, errors, tables, marker
// parsing and set-up. Not a public header: the driver includes jpg_decoder.h only.
#pragma once

#include "jpg_decoder.h"

// ---- Errors (jpg_errors.cpp) ---------------------------------------------------------------

// Stores code in last_error (unless an earlier code is already there) and unwinds to the
// error-exit point of the running entry. Never returns.
[[noreturn]] void jpg_raise(JpgDecoder *d, int32_t code);

// ---- Input (jpg_input.cpp) -----------------------------------------------------------------

// Points the input at [data, data + length), reads the first two bytes into the low half of
// bit_reg and empties the reserve.
void jpg_reset_input(JpgDecoder *d, const uint8_t *data, uint32_t length);

// Next byte, in_ptr one further. At the end of the input it returns 0xFF without reading
// memory and counts the padding byte in in_overrun instead of moving in_ptr.
uint32_t jpg_next_byte(JpgDecoder *d);

// Moves the read position back by one byte (padding first). The byte is the one read from
// that place, so nothing needs to be stored.
void jpg_push_back(JpgDecoder *d, uint32_t byte);

// Header bit read, 1 <= n <= 16: the next n bits, most significant first. Raises
// JPG_ERR_INPUT_END when a bit it returns lies beyond the end of the input.
uint32_t jpg_read_bits(JpgDecoder *d, int32_t n);

// The next byte of a header (bits 15 to 8 of bit_reg), not consumed. Raises JPG_ERR_INPUT_END
// when it lies beyond the end of the input.
uint32_t jpg_peek_byte(JpgDecoder *d);

// Skips count whole bytes of a header segment.
void jpg_skip_bytes(JpgDecoder *d, uint32_t count);

// Next byte of entropy-coded data: FF 00 yields 0xFF; a marker, or the end of the input,
// yields 0xFF without being passed, so the bit reader sees an endless run of 1-bits there.
uint32_t jpg_get_entropy_byte(JpgDecoder *d);

// Positions the bit reader on the first byte of entropy-coded data after a scan header.
void jpg_resync_bits(JpgDecoder *d);

// ---- Tables (jpg_tables.cpp) ---------------------------------------------------------------

extern const uint8_t jpg_zigzag[64];       // zig-zag index -> natural position
extern const int16_t jpg_aan_scales[64];   // natural order, 14 fractional bits
extern const uint8_t *const jpg_std_huff_counts[JPG_HUFF_TABLES]; // 17 entries each
extern const uint8_t *const jpg_std_huff_symbols[JPG_HUFF_TABLES];
extern const uint8_t jpg_default_luma_quant[64];   // built-in quantisers, zig-zag order
extern const uint8_t jpg_default_chroma_quant[64];

// Quantisation entry as stored: q x scale(z) with 2 fractional bits, kept as its low 16 bits.
int16_t jpg_scaled_quant(uint32_t q, int32_t z);

void jpg_build_huff_table(JpgDecoder *d, int32_t table, JpgHuffTable *out);
void jpg_build_default_quant(JpgDecoder *d);
void jpg_build_colour_tables(JpgDecoder *d);

// ---- Marker parsing (jpg_markers.cpp) ------------------------------------------------------

enum {
  JPG_M_SOF0 = 0xC0,
  JPG_M_SOF1 = 0xC1,
  JPG_M_SOF2 = 0xC2,
  JPG_M_SOF3 = 0xC3,
  JPG_M_DHT = 0xC4,
  JPG_M_SOF5 = 0xC5,
  JPG_M_SOF7 = 0xC7,
  JPG_M_JPG = 0xC8,
  JPG_M_SOF9 = 0xC9,
  JPG_M_SOF11 = 0xCB,
  JPG_M_DAC = 0xCC,
  JPG_M_SOF13 = 0xCD,
  JPG_M_SOF15 = 0xCF,
  JPG_M_RST0 = 0xD0,
  JPG_M_RST7 = 0xD7,
  JPG_M_SOI = 0xD8,
  JPG_M_EOI = 0xD9,
  JPG_M_SOS = 0xDA,
  JPG_M_DQT = 0xDB,
  JPG_M_DRI = 0xDD,
  JPG_M_APP0 = 0xE0,
  JPG_M_APP10 = 0xEA,
  JPG_M_TEM = 0x01,
};

enum {
  JPG_SOI_SEARCH_BYTES = 511,  // bytes examined after the first two when looking for SOI
  JPG_APP_BLOCK_BYTES = 76,    // camera parameter block in APP0 and APP10
};

void jpg_find_soi(JpgDecoder *d);
int32_t jpg_seek_marker(JpgDecoder *d);
int32_t jpg_walk_markers(JpgDecoder *d);
void jpg_read_frame_header(JpgDecoder *d);
void jpg_read_sof(JpgDecoder *d);
void jpg_read_dqt(JpgDecoder *d);
void jpg_read_dri(JpgDecoder *d);
void jpg_read_app0(JpgDecoder *d);
void jpg_read_app10(JpgDecoder *d);
void jpg_skip_segment(JpgDecoder *d);
int32_t jpg_find_scan(JpgDecoder *d); // 1 = scan header read, 0 = EOI

// ---- Set-up (jpg_setup.cpp) ----------------------------------------------------------------

void jpg_setup_frame(JpgDecoder *d);
int32_t jpg_setup_scan(JpgDecoder *d); // 1 = scan prepared, 0 = EOI came first
void jpg_read_scan_header(JpgDecoder *d);
void jpg_plan_mcu_blocks(JpgDecoder *d);

// ---- Entropy decoding (jpg_entropy.cpp) ----------------------------------------------------

// The next n bits (1 <= n <= 16) of entropy-coded data, first bit most significant; the
// register is refilled two bytes at a time through jpg_get_entropy_byte.
uint32_t jpg_get_entropy_bits(JpgDecoder *d, int32_t n);

// Consumes the expected restart marker and re-primes the bit reader with four bytes. Raises
// JPG_ERR_RESTART when no marker is found within the budget or it is not the expected RSTn,
// JPG_ERR_INPUT_END when the input ends before the marker code.
void jpg_take_restart_marker(JpgDecoder *d);

// Builds the lookahead tables and the combined decode tables from the four decode tables
// (after jpg_build_huff_table).
void jpg_build_lookahead(JpgDecoder *d);

// Combined decode tables, one per Huffman table in huff_tbl order, indexed by the next
// JPG_FAST_BITS bits: a code and the value bits after it in one read (see jpg_entropy.cpp).
enum {
  JPG_FAST_BITS = 10,
  JPG_FAST_ENTRIES = 1 << JPG_FAST_BITS,
  // An MCU row never has more than 800 blocks (1600 pixels of 4:4:0 MCUs, 8 pixels wide
  // with 4 blocks each), so the coefficient storage past block 800 is free. The combined
  // tables live there, from the first 64-byte boundary on.
  JPG_ROW_BLOCKS_USED = 800,
  JPG_FAST_TABLES_OFFSET = JPG_ROW_BLOCKS_USED * 128 + 8,
  JPG_FAST_TABLES_BYTES = (int32_t)JPG_HUFF_TABLES * JPG_FAST_ENTRIES * 4,
  // Codes longer than JPG_FAST_BITS: per such index, a table of (16 - JPG_FAST_BITS)-bit
  // continuations, each entry code length << 8 | symbol. The standard tables need 11; the
  // rest of the codes would take the general path.
  JPG_LONG_TABLE_ENTRIES = 1 << (16 - JPG_FAST_BITS),
  JPG_LONG_TABLES = 32,
  JPG_LONG_TABLES_BYTES = JPG_LONG_TABLES * JPG_LONG_TABLE_ENTRIES * 2,
};
static_assert(JPG_FAST_TABLES_OFFSET + 63 + JPG_FAST_TABLES_BYTES + JPG_LONG_TABLES_BYTES <= (int32_t)JPG_COEF_BYTES,
              "the combined tables fit behind the coefficient blocks");

inline uint32_t *jpg_fast_tables(JpgDecoder *d) {
  uintptr_t a = (uintptr_t)(d->init_frame_q + JPG_FAST_TABLES_OFFSET);
  return (uint32_t *)(void *)((a + 63) & ~(uintptr_t)63);
}

// The continuation tables, right after the combined tables.
inline uint16_t *jpg_long_tables(JpgDecoder *d) {
  return (uint16_t *)(void *)(jpg_fast_tables(d) + (int32_t)JPG_HUFF_TABLES * JPG_FAST_ENTRIES);
}

// Huffman-decodes scan_mcus_across MCUs into the coefficient blocks of block_seg.
void jpg_entropy_decode_row(JpgDecoder *d);

enum {
  JPG_RESTART_SCAN_BUDGET = 1536, // bytes examined while looking for a restart marker
};

// ---- Inverse DCT of an MCU row (jpg_idct_row.cpp) ------------------------------------------

// Dequantises and transforms every block of the current MCU row into Psample_buf.
void jpg_idct_mcu_row(JpgDecoder *d);

// ---- Colour conversion (jpg_colour.cpp) ----------------------------------------------------

// Each fills scan_line_0 (types 1x2 and 2x2 also scan_line_1) with the next line (pair) of the
// MCU row in Psample_buf, in the pixel format of out_mode. Line r = mcu_height -
// mcu_row_lines_left.
void jpg_colour_convert_1x1(JpgDecoder *d);
void jpg_colour_convert_2x1(JpgDecoder *d);
void jpg_colour_convert_1x2(JpgDecoder *d);
void jpg_colour_convert_2x2(JpgDecoder *d);
// The B, G, R conversion (out_mode 0) of a line of MCUs 16 pixels wide (2x1 and 2x2 sampling),
// in the decoder state's form: MCU m starts at mcu + m x mcu_bytes; yl, yr, cb and cr are the
// offsets, inside an MCU, of the 8 samples of the left and right luminance block rows and of
// the chroma rows. Writes 48 bytes per MCU; the vector forms write 2 bytes more after the last.
void jpg_colour_bgr_half_line(const JpgDecoder *d, uint8_t *out, const uint8_t *mcu, int32_t mcu_bytes,
                              int32_t mcus, int32_t yl, int32_t yr, int32_t cb, int32_t cr);

// ---- Scan-line output (jpg_decode.cpp) -----------------------------------------------------

// Delivers the next output line: 0 = delivered (line and length stored), 1 = all lines done,
// -1 = an earlier error or decoding not started, JPG_ERR_ENTROPY = an error while decoding
// an MCU row (its own code in last_error).
int32_t jpg_decode_line(JpgDecoder *d, const uint8_t **line_out, int32_t *length_out);

// Copies one output line: 128-byte steps of eight 16-byte moves (cache-bypassing stores when
// d runs the SSE2 form and the destination allows) or, in the MMX form, sixteen 8-byte moves,
// then the rest byte by byte.
void jpg_copy_line(const JpgDecoder *d, uint8_t *dst, const uint8_t *src, uint32_t bytes);
