// Entropy decoding of a baseline, interleaved scan: Huffman symbols (ITU-T T.81 Figures F.16
// DECODE with the lookahead of F.15's fast path), coefficient values (F.12 EXTEND), runs of
// zeros, end of block, and restart markers (T.81 F.2.2.4). One call decodes one MCU row.
//
// Bit reader. The record keeps the register in its documented form (bit_reg: the next 16
// bits in the low half, bit_reserve further bits in the upper half). Inside the row loop the
// same bits are held left-aligned in a local word, acc = bits 15..0 of bit_reg followed by the
// reserve, with avail = 16 + bit_reserve valid bits; that is bit_reg rotated by 16. A read of
// n bits takes the top n bits of acc; when fewer than 17 bits remain, two more bytes are
// fetched, exactly when the documented register fetches them, so the input position at a
// restart marker is the same.
#include "jpg_internal.h"

#define JPG_ENTROPY_INLINE inline __attribute__((always_inline))

namespace {

uint32_t rotate_left(uint32_t value, int32_t count) {
  count &= 31;
  if (count == 0) {
    return value;
  }
  return (value << count) | (value >> (32 - count));
}

// Local copy of the bit reader for the row loop.
struct EntropyReader {
  uint32_t acc;        // valid bits left-aligned: the next bit in bit 31
  int32_t avail;       // valid bits in acc: 16 to 32 between reads
  const uint8_t *ptr;  // next input byte
  const uint8_t *end;  // end of the input
};

// Two bytes and the position after them.
struct TwoBytes {
  uint32_t value;
  const uint8_t *ptr;
};

// jpg_get_entropy_byte on a local position: FF 00 yields 0xFF; a marker or the end of the
// input yields 0xFF without passing it.
JPG_ENTROPY_INLINE uint32_t entropy_byte_at(const uint8_t **p, const uint8_t *end) {
  const uint8_t *q = *p;
  if (q >= end) {
    return 0xFF;
  }
  uint32_t b = *q;
  if (b != 0xFF) {
    *p = q + 1;
    return b;
  }
  if (q + 1 < end && q[1] == 0) {
    *p = q + 2; // stuffed zero dropped
  }
  return 0xFF;
}

// The rare case of a refill: a 0xFF byte or the end of the input among the next two bytes.
// Kept out of line, with the position passed and returned by value, so that the row loop's
// registers are not spent on it.
__attribute__((noinline)) TwoBytes entropy_two_bytes_slow(const uint8_t *p, const uint8_t *end) {
  uint32_t b1 = entropy_byte_at(&p, end);
  uint32_t b2 = entropy_byte_at(&p, end);
  TwoBytes t = {(b1 << 8) | b2, p};
  return t;
}

// Two bytes for the reserve: the common case (two plain bytes) inline.
JPG_ENTROPY_INLINE uint32_t reader_two_bytes(EntropyReader *r) {
  const uint8_t *p = r->ptr;
  if (p + 2 <= r->end && p[0] != 0xFF && p[1] != 0xFF) {
    r->ptr = p + 2;
    return ((uint32_t)p[0] << 8) | p[1];
  }
  TwoBytes t = entropy_two_bytes_slow(p, r->end);
  r->ptr = t.ptr;
  return t.value;
}

// Drops n bits (0 <= n <= 16). When the reserve is used up the window takes what is left of
// it and two new bytes are placed right after the remaining bits.
JPG_ENTROPY_INLINE void reader_consume(EntropyReader *r, int32_t n) {
  r->acc <<= n;
  r->avail -= n;
  if (r->avail <= 16) {
    r->acc |= reader_two_bytes(r) << (16 - r->avail);
    r->avail += 16;
  }
}

// The next n bits (1 <= n <= 16), consumed.
JPG_ENTROPY_INLINE uint32_t reader_bits(EntropyReader *r, int32_t n) {
  uint32_t v = r->acc >> (32 - n);
  reader_consume(r, n);
  return v;
}

// F.16 DECODE: the next 8 bits index fast_index; a code of up to 8 bits resolves there, a
// longer one walks long_codes one bit at a time (bit 0 selects slot -node, bit 1 slot
// -node - 1). Codes the table does not define decode as symbol 0; the walk always ends,
// since an empty slot reads as symbol 0.
JPG_ENTROPY_INLINE int32_t reader_symbol(EntropyReader *r, const JpgHuffTable *t) {
  int32_t code = t->fast_index[r->acc >> 24];
  if (code >= 0) {
    reader_consume(r, t->sym_length[code]);
    return code;
  }
  reader_consume(r, 8);
  do {
    int32_t b = (int32_t)reader_bits(r, 1);
    code = t->long_codes[-code - b];
  } while (code < 0);
  return code;
}

// A symbol and its s-bit value as two reads, the symbol's len bits (none when the long-code
// walk has consumed them already) and then the s value bits. When neither read would
// refill, both are one shift; otherwise they run one after the other, so the bytes are
// fetched exactly when two separate reads fetch them. The value follows F.12 EXTEND: an
// s-bit value below 2^(s-1) stands for v - 2^s + 1.
JPG_ENTROPY_INLINE int32_t reader_len_value(EntropyReader *r, int32_t len, int32_t s) {
  int32_t total = len + s;
  uint32_t raw;
  if (__builtin_expect(r->avail - total > 16, 1)) {
    raw = (r->acc << len) >> (32 - s);
    r->acc <<= total;
    r->avail -= total;
  } else {
    if (len != 0) {
      reader_consume(r, len);
    }
    raw = reader_bits(r, s);
  }
  // Without a branch: the sign of the value is as good as random.
  int32_t v = (int32_t)raw;
  int32_t below = (v - (1 << (s - 1))) >> 31; // -1 when v < 2^(s-1), else 0
  return v - (below & ((1 << s) - 1));
}

// A code longer than 8 bits (F.16 DECODE past the lookahead): out of line, with the reader
// passed and returned by value, so that the row loop keeps its reader in registers.
struct LongSymbol {
  EntropyReader r;
  int32_t symbol;
};

__attribute__((noinline)) LongSymbol entropy_long_symbol(EntropyReader r, const JpgHuffTable *t) {
  LongSymbol out;
  out.symbol = reader_symbol(&r, t);
  out.r = r;
  return out;
}

// F.16 DECODE through the lookahead table: one read for a code of up to 8 bits, whose bits
// the caller consumes, the long_codes walk for a longer one. Returns the lookahead entry:
// symbol in bits 0..7, code length in bits 8..11 (0 once the code has been consumed).
JPG_ENTROPY_INLINE uint32_t reader_lookup(EntropyReader *r, const uint16_t *la, const JpgHuffTable *t) {
  uint32_t e = la[r->acc >> 24];
  if (__builtin_expect((e & JPG_LOOKAHEAD_LONG) == 0, 1)) {
    return e;
  }
  LongSymbol l = entropy_long_symbol(*r, t);
  *r = l.r;
  return (uint32_t)l.symbol;
}

JPG_ENTROPY_INLINE void reader_load(EntropyReader *r, const JpgDecoder *d) {
  // Bits of the upper half beyond the reserve are left-overs of earlier reads; they are
  // cleared so that new bytes can be or-ed in after the valid ones.
  r->avail = 16 + d->bit_reserve;
  uint32_t valid = r->avail >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> r->avail);
  r->acc = rotate_left(d->bit_reg, 16) & valid;
  r->ptr = d->in_ptr;
  r->end = d->in_end;
}

JPG_ENTROPY_INLINE void reader_store(const EntropyReader *r, JpgDecoder *d) {
  d->bit_reg = rotate_left(r->acc, 16);
  d->bit_reserve = r->avail - 16;
  d->in_ptr = r->ptr;
}

// Takes the reader by value: passing its address would keep the row loop's reader in memory
// instead of registers.
[[noreturn]] void entropy_fail(JpgDecoder *d, EntropyReader r, int32_t code) {
  reader_store(&r, d);
  jpg_raise(d, code);
}

} // namespace

void jpg_build_lookahead(JpgDecoder *d) {
  for (int32_t t = 0; t < JPG_HUFF_TABLES; ++t) {
    const JpgHuffTable *h = d->huff_tbl[t];
    for (int32_t p = 0; p < 256; ++p) {
      int32_t code = h->fast_index[p];
      d->lookahead[t][p] = code < 0 ? (uint16_t)JPG_LOOKAHEAD_LONG
                                    : (uint16_t)((uint32_t)h->sym_length[code] << 8 | (uint32_t)code);
    }
  }
}

uint32_t jpg_get_entropy_bits(JpgDecoder *d, int32_t n) {
  uint32_t result = (d->bit_reg >> (16 - n)) & ((1u << n) - 1);
  d->bit_reserve -= n;
  if (d->bit_reserve > 0) {
    d->bit_reg = rotate_left(d->bit_reg, n);
    return result;
  }
  d->bit_reg = rotate_left(d->bit_reg, n + d->bit_reserve);
  uint32_t b1 = jpg_get_entropy_byte(d);
  uint32_t b2 = jpg_get_entropy_byte(d);
  d->bit_reg = (b1 << 24) | (b2 << 16) | (d->bit_reg & 0xFFFF);
  d->bit_reg = rotate_left(d->bit_reg, -d->bit_reserve);
  d->bit_reserve += 16;
  return result;
}

void jpg_take_restart_marker(JpgDecoder *d) {
  // The marker normally sits right at the read position, since the entropy reader stops at
  // it; after damaged data it may lie further on, so a bounded stretch is searched.
  int32_t budget = JPG_RESTART_SCAN_BUDGET;
  uint32_t b = jpg_next_byte(d);
  while (b != 0xFF) {
    if (budget == 0) {
      jpg_raise(d, JPG_ERR_RESTART);
    }
    budget -= 1;
    b = jpg_next_byte(d);
  }
  // Fill bytes before the marker code. At the end of the input jpg_next_byte supplies 0xFF
  // padding, which the budget also ends.
  do {
    if (budget == 0) {
      jpg_raise(d, JPG_ERR_RESTART);
    }
    budget -= 1;
    b = jpg_next_byte(d);
  } while (b == 0xFF);
  if (b != (uint32_t)(JPG_M_RST0 + d->expected_rst)) {
    jpg_raise(d, JPG_ERR_RESTART);
  }
  for (int32_t k = 0; k < d->frame_comp_count && k < JPG_COMPONENTS; ++k) {
    d->last_dc_val[k] = 0;
  }
  d->restart_countdown = d->restart_interval;
  d->expected_rst = (d->expected_rst + 1) & 7;

  uint32_t b1 = jpg_get_entropy_byte(d);
  uint32_t b2 = jpg_get_entropy_byte(d);
  uint32_t b3 = jpg_get_entropy_byte(d);
  uint32_t b4 = jpg_get_entropy_byte(d);
  d->bit_reg = (b3 << 24) | (b4 << 16) | (b1 << 8) | b2;
  d->bit_reserve = 16;
}

void jpg_entropy_decode_row(JpgDecoder *d) {
  EntropyReader r;
  reader_load(&r, d);

  const int32_t mcus = d->scan_mcus_across;
  const int32_t blocks_per_mcu = d->mcu_block_count;
  int32_t i = 0; // block of the MCU row

  for (int32_t m = 0; m < mcus; ++m) {
    if (d->restart_interval != 0 && d->restart_countdown == 0) {
      reader_store(&r, d);
      jpg_take_restart_marker(d);
      reader_load(&r, d);
    }
    for (int32_t j = 0; j < blocks_per_mcu; ++j, ++i) {
      const int32_t c = d->mcu_org[j];
      int16_t *block = d->block_seg[i];
      const int32_t prev_end = d->block_zag_end[i];

      // DC: the difference to the component's predictor (T.81 F.2.2.1). The predictor is
      // summed modulo 2^32; the block keeps its low 16 bits.
      const int32_t dc_table = d->comp_dc_tab[c];
      uint32_t e = reader_lookup(&r, d->lookahead[dc_table], d->huff_tbl[dc_table]);
      int32_t t = (int32_t)(e & 0xFF);
      int32_t len = (int32_t)(e >> 8);
      int32_t diff = 0;
      if (t != 0) {
        diff = reader_len_value(&r, len, t);
      } else if (len != 0) {
        reader_consume(&r, len);
      }
      uint32_t dc = (uint32_t)d->last_dc_val[c] + (uint32_t)diff;
      d->last_dc_val[c] = (int32_t)dc;
      block[0] = (int16_t)(uint16_t)(dc & 0xFFFF);

      // AC (F.2.2.2, Figure F.13). Positions that may still hold a value from the previous
      // MCU row are those below prev_end; only they are cleared as a run passes them.
      const int32_t ac_table = d->comp_ac_tab[c];
      const uint16_t *ac_la = d->lookahead[ac_table];
      const JpgHuffTable *ac = d->huff_tbl[ac_table];
      int32_t k = 1;
      while (k < 64) {
        e = reader_lookup(&r, ac_la, ac);
        int32_t sym = (int32_t)(e & 0xFF);
        len = (int32_t)(e >> 8);
        int32_t run = sym >> 4;
        int32_t size = sym & 15;
        if (size != 0) {
          if (run != 0) {
            if (__builtin_expect(k + run > 63, 0)) {
              entropy_fail(d, r, JPG_ERR_ENTROPY);
            }
            int32_t stop = k + run < prev_end ? k + run : prev_end;
            for (int32_t z = k; z < stop; ++z) {
              block[jpg_zigzag[z]] = 0;
            }
            k += run;
          }
          block[jpg_zigzag[k]] = (int16_t)reader_len_value(&r, len, size);
        } else {
          if (len != 0) {
            reader_consume(&r, len);
          }
          if (run != 15) {
            break; // end of block; every run 0 to 14 with size 0 ends it
          }
          // ZRL: sixteen zeros.
          if (__builtin_expect(k + 15 > 63, 0)) {
            entropy_fail(d, r, JPG_ERR_ENTROPY);
          }
          int32_t stop = k + 16 < prev_end ? k + 16 : prev_end;
          for (int32_t z = k; z < stop; ++z) {
            block[jpg_zigzag[z]] = 0;
          }
          k += 15;
        }
        k += 1;
      }
      for (int32_t z = k; z < prev_end; ++z) {
        block[jpg_zigzag[z]] = 0;
      }
      d->block_zag_end[i] = k;
    }
    // Counted down after every MCU, also without a restart interval (then never tested);
    // unsigned so that it may run on across frames.
    d->restart_countdown = (int32_t)((uint32_t)d->restart_countdown - 1);
  }
  reader_store(&r, d);
}
