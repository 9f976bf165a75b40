// Tables of the JPEG decoder: the built-in Huffman tables and their decode tables, the
// zig-zag order, the inverse-DCT scale factors, the built-in quantisation tables and the
// colour-conversion tables. All integer; the constant tables are at the bottom of the file.
#include "jpg_internal.h"

int16_t jpg_scaled_quant(uint32_t q, int32_t z) {
  // q <= 65535 and scale <= 31521 keep the product inside int32. A 16-bit quantiser may still
  // give a result above the int16 range; it is kept as its low 16 bits (modular conversion).
  int32_t v = ((int32_t)q * jpg_aan_scales[z] + 2048) >> 12;
  return (int16_t)(uint16_t)((uint32_t)v & 0xFFFF);
}

// Builds one decode table from huff_num[table] and huff_val[table]. Codes are assigned as in
// ITU-T T.81 Annex C (Figures C.1 to C.3): canonical codes in order of length. Codes of up to
// 8 bits fill every fast_index entry they prefix; longer codes hang below the fast_index entry
// of their first 8 bits as a binary tree of long_codes nodes. Node n (negative, odd: -1, -3,
// ... in order of creation) keeps the continuation for a next bit of 1 in slot -n - 1 and for
// a 0 in slot -n; a slot holds another node or, at a code's last bit, the symbol.
void jpg_build_huff_table(JpgDecoder *d, int32_t table, JpgHuffTable *out) {
  const uint8_t *counts = d->huff_num[table];
  const uint8_t *symbols = d->huff_val[table];

  for (int32_t i = 0; i < 512; ++i) {
    out->long_codes[i] = 0;
  }
  for (int32_t i = 0; i < 256; ++i) {
    out->fast_index[i] = 0;
    out->sym_length[i] = 0;
  }

  int32_t next_free = -1;
  uint32_t code = 0;
  int32_t p = 0;
  for (int32_t length = 1; length <= 16; ++length) {
    for (int32_t c = 0; c < counts[length]; ++c, ++p, ++code) {
      uint32_t s = symbols[p];
      out->sym_length[s] = (uint8_t)length;
      if (length <= 8) {
        uint32_t first = code << (8 - length);
        uint32_t span = 1u << (8 - length);
        for (uint32_t k = 0; k < span; ++k) {
          out->fast_index[(first + k) & 0xFF] = (int32_t)s;
        }
        continue;
      }
      uint32_t prefix = (code >> (length - 8)) & 0xFF;
      int32_t cur = out->fast_index[prefix];
      if (cur == 0) {
        out->fast_index[prefix] = next_free;
        cur = next_free;
        next_free -= 2;
      }
      // The bits after the first eight, starting at bit 15.
      uint32_t w = code << (24 - length);
      for (int32_t bit = 0; bit < length - 9; ++bit) {
        if ((w & 0x8000) == 0) {
          cur -= 1;
        }
        if (out->long_codes[-cur - 1] == 0) {
          out->long_codes[-cur - 1] = next_free;
          cur = next_free;
          next_free -= 2;
        } else {
          cur = out->long_codes[-cur - 1];
        }
        w <<= 1;
      }
      if ((w & 0x8000) == 0) {
        cur -= 1;
      }
      out->long_codes[-cur - 1] = (int32_t)s;
    }
    code <<= 1;
  }
}

void jpg_build_default_quant(JpgDecoder *d) {
  for (int32_t i = 0; i < 64; ++i) {
    int32_t z = jpg_zigzag[i];
    d->quant[0][z] = jpg_scaled_quant(jpg_default_luma_quant[i], z);
    d->quant[1][z] = jpg_scaled_quant(jpg_default_chroma_quant[i], z);
  }
}

// YCbCr to RGB offsets of ITU-T T.871, with k = 2 x (C - 128) so the constants carry 17
// fractional bits before the shift by 16:
//   cr_r = 1.402 (Cr - 128), rounded       45941 = 1.402   x 2^15
//   cb_b = 1.772 (Cb - 128), rounded       58065 = 1.772   x 2^15
//   cr_g = -0.71414 (Cr - 128) x 2^16     23401 = 0.71414 x 2^15
//   cb_g = -0.34414 (Cb - 128) x 2^16 + one half (the rounding of the green sum)
//                                          11277 = 0.34414 x 2^15
void jpg_build_colour_tables(JpgDecoder *d) {
  for (int32_t i = 0; i < 256; ++i) {
    int32_t k = 2 * i - 256;
    d->cr_r_tab[i] = (45941 * k + 32768) >> 16;
    d->cb_b_tab[i] = (58065 * k + 32768) >> 16;
    d->cr_g_tab[i] = -23401 * k;
    d->cb_g_tab[i] = 32768 - 11277 * k;
  }
}

// ---- Constant tables -----------------------------------------------------------------------

// Natural (row-major) position of the i-th coefficient in zig-zag order, ITU-T T.81 Figure A.6.
const uint8_t jpg_zigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// Arai-Agui-Nakajima inverse-DCT scale factors, natural order: 16384 x a(u) x a(v) rounded,
// a(0) = 1, a(k) = sqrt(2) cos(k pi / 16). Row 0 is a(0) x a(v): 1, 1.38704, 1.30656, 1.17588,
// 1, 0.78570, 0.54120, 0.27590.
const int16_t jpg_aan_scales[64] = {
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520,
    22725, 31521, 29692, 26722, 22725, 17855, 12299, 6270,
    21407, 29692, 27969, 25172, 21407, 16819, 11585, 5906,
    19266, 26722, 25172, 22654, 19266, 15137, 10426, 5315,
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520,
    12873, 17855, 16819, 15137, 12873, 10114, 6967,  3552,
    8867,  12299, 11585, 10426, 8867,  6967,  4799,  2446,
    4520,  6270,  5906,  5315,  4520,  3552,  2446,  1247,
};

// Built-in quantisation pair (quality 0), in zig-zag order.
const uint8_t jpg_default_luma_quant[64] = {
    25,  17,  18,  22,  18,  15,  25,  22,
    20,  22,  28,  26,  25,  30,  37,  63,
    41,  37,  34,  34,  37,  77,  55,  58,
    45,  63,  91,  80,  96,  94,  90,  80,
    88,  86,  101, 113, 145, 123, 101, 107,
    137, 109, 86,  88,  126, 172, 127, 137,
    150, 154, 162, 164, 162, 97,  121, 178,
    191, 176, 158, 189, 145, 159, 162, 156,
};

const uint8_t jpg_default_chroma_quant[64] = {
    26,  28,  28,  37,  33,  37,  74,  41,
    41,  74,  156, 104, 88,  104, 156, 156,
    156, 156, 156, 156, 156, 156, 156, 156,
    156, 156, 156, 156, 156, 156, 156, 156,
    156, 156, 156, 156, 156, 156, 156, 156,
    156, 156, 156, 156, 156, 156, 156, 156,
    156, 156, 156, 156, 156, 156, 156, 156,
    156, 156, 156, 156, 156, 156, 156, 156,
};

// ITU-T T.81 Annex K example tables. Each count list has 17 entries: entry 0 is unused,
// entry l is the number of codes of length l.

// Table K.3: DC luminance.
static const uint8_t dc_luma_counts[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
static const uint8_t dc_luma_symbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// Table K.4: DC chrominance.
static const uint8_t dc_chroma_counts[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
static const uint8_t dc_chroma_symbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// Table K.5: AC luminance.
static const uint8_t ac_luma_counts[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D};
static const uint8_t ac_luma_symbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51,
    0x61, 0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1,
    0x15, 0x52, 0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18,
    0x19, 0x1A, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39,
    0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57,
    0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75,
    0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92,
    0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
    0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8,
    0xD9, 0xDA, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2,
    0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA,
};

// Table K.6: AC chrominance.
static const uint8_t ac_chroma_counts[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
static const uint8_t ac_chroma_symbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07,
    0x61, 0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09,
    0x23, 0x33, 0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25,
    0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38,
    0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56,
    0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74,
    0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5,
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA,
    0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,
    0xD7, 0xD8, 0xD9, 0xDA, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2,
    0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA,
};

// Indexed like huff_num and huff_val: DC luminance, DC chrominance, AC luminance, AC chrominance.
const uint8_t *const jpg_std_huff_counts[JPG_HUFF_TABLES] = {
    dc_luma_counts,   // JPG_HUFF_DC_LUMA
    dc_chroma_counts, // JPG_HUFF_DC_CHROMA
    ac_luma_counts,   // JPG_HUFF_AC_LUMA
    ac_chroma_counts, // JPG_HUFF_AC_CHROMA
};

const uint8_t *const jpg_std_huff_symbols[JPG_HUFF_TABLES] = {
    dc_luma_symbols,   // JPG_HUFF_DC_LUMA
    dc_chroma_symbols, // JPG_HUFF_DC_CHROMA
    ac_luma_symbols,   // JPG_HUFF_AC_LUMA
    ac_chroma_symbols, // JPG_HUFF_AC_CHROMA
};
