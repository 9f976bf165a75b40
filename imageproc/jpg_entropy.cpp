// Entropy decoding of a baseline, interleaved scan: Huffman symbols, coefficient values, runs
// of zeros, end of block, and restart markers. One call decodes one MCU row.
//
// Bit reader. The record keeps the register in its documented form (bit_reg: the next 16
// bits in the low half, bit_reserve further bits in the upper half), which fetches two bytes
// whenever 16 or fewer bits are left after a read. Inside the row loop the bits are held
// left-aligned in a local word acc (64 bits on x86-64, 32 bits otherwise) with avail valid
// bits; bits below them are zero. The local reader fetches byte pairs too, but may run ahead
// of the documented register: when at most 16 bits are left it takes six bytes at once if
// none of them is 0xFF (64-bit word), and otherwise the pair the documented register would
// take, followed by further pairs only while they are plain bytes. So every pair held beyond
// the documented register's is two plain bytes, and when the reader is stored back those
// pairs are simply handed back (the input position moves back two bytes for each). The
// position at a restart marker, and everything stored in the record, are therefore what the
// documented register gives.
//
// Decoding. For each of the four Huffman tables a combined table, indexed by the next
// JPG_FAST_BITS bits, resolves in one read a code together with the value bits that follow
// it, when both fit: the entry holds the bits to drop, the run (AC) and the extended value.
// Flagged entries cover the rest: end of block and sixteen zeros; a code whose value bits do
// not fit the index (the value is then read on its own); and a longer code, resolved through
// a continuation table of the following bits. All of these tables are built from fast_index,
// sym_length and long_codes (the 8-bit index and the walk one bit at a time below it), so
// every bit pattern decodes exactly as the walk decodes it, undefined codes included.
//
// Clearing. The inverse DCT clears each block it has transformed and sets its extent to 1
// (jpg_idct_row.cpp); a block whose extent is still above 1 (the first row of a frame, or a
// row decoded without a transform in between) has the positions below its extent cleared
// before decoding, so positions at or beyond the extent are never written but by a value.
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

#if defined(__x86_64__)
typedef uint64_t BitWord;
#else
typedef uint32_t BitWord;
#endif
constexpr int32_t WORD_BITS = (int32_t)sizeof(BitWord) * 8;

// Local copy of the bit reader for the row loop.
struct EntropyReader {
  BitWord acc;         // valid bits left-aligned: the next bit in the top bit; zeros below
  int32_t avail;       // valid bits in acc
  const uint8_t *ptr;  // next input byte
  const uint8_t *end;  // end of the input
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

// Two plain bytes at p: both inside the input and neither 0xFF.
JPG_ENTROPY_INLINE bool plain_pair(const uint8_t *p, const uint8_t *end) {
  return end - p >= 2 && p[0] != 0xFF && p[1] != 0xFF;
}

// Places a 16-bit pair right after the valid bits.
JPG_ENTROPY_INLINE void reader_put_pair(EntropyReader *r, uint32_t pair) {
  r->acc |= (BitWord)pair << (WORD_BITS - 16 - r->avail);
  r->avail += 16;
}

// The refill when no six plain bytes are at hand (at most 16 bits left): the pair the
// documented register fetches now, through the byte rules, then plain pairs while the word
// has room. Out of line, the reader passed and returned by value, so that the row loop keeps
// its reader in registers.
__attribute__((noinline)) EntropyReader reader_fill_pairs(EntropyReader r) {
  const uint8_t *p = r.ptr;
  uint32_t pair;
  if (plain_pair(p, r.end)) {
    pair = ((uint32_t)p[0] << 8) | p[1];
    p += 2;
  } else {
    uint32_t b1 = entropy_byte_at(&p, r.end);
    uint32_t b2 = entropy_byte_at(&p, r.end);
    pair = (b1 << 8) | b2;
  }
  reader_put_pair(&r, pair);
  while (r.avail <= WORD_BITS - 16 && plain_pair(p, r.end)) {
    reader_put_pair(&r, ((uint32_t)p[0] << 8) | p[1]);
    p += 2;
  }
  r.ptr = p;
  return r;
}

// Refill; only called with at most 16 bits left, leaves at least 17.
JPG_ENTROPY_INLINE void reader_fill(EntropyReader *r) {
#if defined(__x86_64__)
  const uint8_t *p = r->ptr;
  if (r->end - p >= 6) {
    uint64_t v = ((uint64_t)p[0] << 40) | ((uint64_t)p[1] << 32) | ((uint64_t)p[2] << 24) |
                 ((uint64_t)p[3] << 16) | ((uint64_t)p[4] << 8) | (uint64_t)p[5];
    // A 0xFF byte of v is a zero byte of t; the expression is non-zero exactly when t has
    // one among its six bytes.
    uint64_t t = ~v & 0xFFFFFFFFFFFFull;
    if (((t - 0x010101010101ull) & ~t & 0x808080808080ull) == 0) {
      r->acc |= v << (16 - r->avail);
      r->avail += 48;
      r->ptr = p + 6;
      return;
    }
  }
#else
  // 32-bit word: room for one pair. A plain pair is placed here, keeping the reader in
  // registers; anything else goes through the byte rules out of line.
  const uint8_t *p = r->ptr;
  if (r->avail > 0 && plain_pair(p, r->end)) {
    reader_put_pair(r, ((uint32_t)p[0] << 8) | p[1]);
    r->ptr = p + 2;
    return;
  }
#endif
  *r = reader_fill_pairs(*r);
}

// Makes at least 17 bits available.
JPG_ENTROPY_INLINE void reader_need(EntropyReader *r) {
  if (r->avail <= 16) {
    reader_fill(r);
  }
}

// Drops n bits (0 <= n <= avail).
JPG_ENTROPY_INLINE void reader_drop(EntropyReader *r, int32_t n) {
  r->acc <<= n;
  r->avail -= n;
}


// The next n bits (1 <= n <= 16), consumed.
JPG_ENTROPY_INLINE uint32_t reader_bits(EntropyReader *r, int32_t n) {
  reader_need(r);
  uint32_t v = (uint32_t)(r->acc >> (WORD_BITS - n));
  reader_drop(r, n);
  return v;
}

// An s-bit value below 2^(s-1) stands for v - 2^s + 1; without a branch, since the sign of
// the value is as good as random.
JPG_ENTROPY_INLINE int32_t extend_value(uint32_t raw, int32_t s) {
  int32_t v = (int32_t)raw;
  int32_t below = (v - (1 << (s - 1))) >> 31; // -1 when v < 2^(s-1), else 0
  return v - (below & ((1 << s) - 1));
}

// A code through the general path, from the next 16 bits: the first 8 index fast_index; a
// code of up to 8 bits resolves there, a longer one walks long_codes one bit at a time (bit
// 0 selects slot -node, bit 1 slot -node - 1). Codes the table does not define decode as
// symbol 0; the walk ends within 16 bits, since an empty slot reads as symbol 0. Returns the
// code length in bits 0..4 and the symbol in bits 16..23, as the combined entries hold them.
// The caller has at least 17 bits available, so all of the code is in bits16.
__attribute__((noinline)) uint32_t entropy_general_code(const JpgHuffTable *t, uint32_t bits16) {
  int32_t code = t->fast_index[bits16 >> 8];
  int32_t len;
  if (code >= 0) {
    len = t->sym_length[code];
  } else {
    len = 8;
    do {
      int32_t b = (int32_t)((bits16 >> (15 - len)) & 1);
      code = t->long_codes[-code - b];
      len += 1;
    } while (code < 0);
  }
  return (uint32_t)len | ((uint32_t)code << 16);
}

// Combined table entries.
enum : uint32_t {
  FAST_LENGTH_MASK = 0x1F,  // bits 0..4: code and value bits to drop
  FAST_RUN_SHIFT = 8,       // bits 8..11: zeros before the value (AC)
  FAST_EOB = 1u << 12,      // end of block (AC: size 0, run below 15)
  FAST_ZRL = 1u << 13,      // sixteen zeros (AC: size 0, run 15)
  FAST_SLOW = 1u << 14,     // the code is longer than JPG_FAST_BITS: bits 16..31 its
                            // continuation table + 1, or 0 for the general path
  FAST_SPLIT = 1u << 15,    // the code resolved, its value bits did not fit the index
  FAST_VALUE_SHIFT = 16,    // bits 16..31: the value, signed; with a flag the symbol
  FAST_FLAGS = FAST_EOB | FAST_ZRL | FAST_SLOW | FAST_SPLIT,
};

// Drops the bits a combined entry names. Bits 5..7 of an entry are zero, so the shift can
// take the entry's low byte as it is (x86 masks the count itself), which keeps a step off the
// chain from one table read to the next, and the count is the low byte (one zero-extending
// move).
JPG_ENTROPY_INLINE void reader_drop_entry(EntropyReader *r, uint32_t e) {
  r->acc <<= (e & (WORD_BITS - 1));
  r->avail -= (int32_t)(e & 0xFF);
}

JPG_ENTROPY_INLINE void reader_load(EntropyReader *r, const JpgDecoder *d) {
  // Bits of the upper half beyond the reserve are left-overs of earlier reads; they are
  // cleared so that new bytes can be or-ed in after the valid ones.
  r->avail = 16 + d->bit_reserve;
  uint32_t valid = r->avail >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> r->avail);
  r->acc = (BitWord)(rotate_left(d->bit_reg, 16) & valid) << (WORD_BITS - 32);
  r->ptr = d->in_ptr;
  r->end = d->in_end;
}

// Stores the reader in the documented form. after_read: at least one read since the reader
// was loaded, so the documented register has fetched a pair if 16 or fewer bits are left.
JPG_ENTROPY_INLINE void reader_store(EntropyReader r, JpgDecoder *d, bool after_read) {
  if (after_read && r.avail <= 16) {
    r = reader_fill_pairs(r);
  }
  // Pairs held beyond the documented register's are plain bytes: hand them back.
  while (r.avail > 32) {
    r.avail -= 16;
    r.ptr -= 2;
  }
  uint32_t valid = r.avail >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> r.avail);
  uint32_t top = (uint32_t)(r.acc >> (WORD_BITS - 32)) & valid;
  d->bit_reg = rotate_left(top, 16);
  d->bit_reserve = r.avail - 16;
  d->in_ptr = r.ptr;
}

// Takes the reader by value: passing its address would keep the row loop's reader in memory
// instead of registers.
[[noreturn]] __attribute__((noinline)) void entropy_fail(JpgDecoder *d, EntropyReader r, int32_t code) {
  reader_store(r, d, true);
  jpg_raise(d, code);
}

// The combined entry for the JPG_FAST_BITS-bit prefix bits of table t (ac: an AC table).
uint32_t fast_entry(const JpgHuffTable *t, uint32_t bits, bool ac) {
  const int32_t n = JPG_FAST_BITS;
  int32_t code = t->fast_index[bits >> (n - 8)];
  int32_t len;
  if (code >= 0) {
    len = t->sym_length[code];
  } else {
    len = 8;
    while (code < 0) {
      if (len == n) {
        return FAST_SLOW;
      }
      int32_t b = (int32_t)((bits >> (n - 1 - len)) & 1);
      code = t->long_codes[-code - b];
      len += 1;
    }
  }
  int32_t run = ac ? code >> 4 : 0;
  int32_t size = ac ? (code & 15) : code;
  if (ac && size == 0) {
    return (uint32_t)len | (run == 15 ? FAST_ZRL : FAST_EOB) | ((uint32_t)code << FAST_VALUE_SHIFT);
  }
  if (len + size > n) {
    return (uint32_t)len | FAST_SPLIT | ((uint32_t)code << FAST_VALUE_SHIFT);
  }
  int32_t value = 0;
  if (size != 0) {
    uint32_t raw = (bits >> (n - len - size)) & ((1u << size) - 1);
    value = extend_value(raw, size);
  }
  return (uint32_t)(len + size) | ((uint32_t)run << FAST_RUN_SHIFT) |
         ((uint32_t)value << FAST_VALUE_SHIFT);
}

} // namespace

void jpg_build_lookahead(JpgDecoder *d) {
  uint32_t *fast = jpg_fast_tables(d);
  int32_t long_tables = 0;
  for (int32_t t = 0; t < JPG_HUFF_TABLES; ++t) {
    const JpgHuffTable *h = d->huff_tbl[t];
    for (int32_t p = 0; p < 256; ++p) {
      int32_t code = h->fast_index[p];
      d->lookahead[t][p] = code < 0 ? (uint16_t)JPG_LOOKAHEAD_LONG
                                    : (uint16_t)((uint32_t)h->sym_length[code] << 8 | (uint32_t)code);
    }
    const bool ac = t == JPG_HUFF_AC_LUMA || t == JPG_HUFF_AC_CHROMA;
    for (uint32_t p = 0; p < JPG_FAST_ENTRIES; ++p) {
      uint32_t e = fast_entry(h, p, ac);
      if (e == FAST_SLOW && long_tables < JPG_LONG_TABLES) {
        // Every 16-bit continuation of this index through the general path.
        uint16_t *table = jpg_long_tables(d) + long_tables * JPG_LONG_TABLE_ENTRIES;
        for (uint32_t q = 0; q < JPG_LONG_TABLE_ENTRIES; ++q) {
          uint32_t g = entropy_general_code(h, p << (16 - JPG_FAST_BITS) | q);
          table[q] = (uint16_t)((g & FAST_LENGTH_MASK) << 8 | (g >> FAST_VALUE_SHIFT));
        }
        long_tables += 1;
        e |= (uint32_t)long_tables << FAST_VALUE_SHIFT;
      }
      fast[t * JPG_FAST_ENTRIES + p] = e;
    }
  }
}

namespace {

// Length and symbol, as entropy_general_code gives them, of a code longer than
// JPG_FAST_BITS whose combined entry is e; bits16 are the next 16 bits.
JPG_ENTROPY_INLINE uint32_t long_code(const JpgDecoder *d, const JpgHuffTable *t, uint32_t e, uint32_t bits16) {
  uint32_t table = e >> FAST_VALUE_SHIFT;
  if (__builtin_expect(table == 0, 0)) {
    return entropy_general_code(t, bits16);
  }
  const uint16_t *cont = jpg_long_tables(const_cast<JpgDecoder *>(d)) + (table - 1) * JPG_LONG_TABLE_ENTRIES;
  uint32_t x = cont[bits16 & (JPG_LONG_TABLE_ENTRIES - 1)];
  return (x >> 8) | (x & 0xFF) << FAST_VALUE_SHIFT;
}

} // namespace

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

namespace {

// The next byte of the search for a restart marker; the end of the input ends the search
// with JPG_ERR_INPUT_END, like any other marker read that would pass it.
uint32_t restart_search_byte(JpgDecoder *d) {
  if (d->in_ptr >= d->in_end) {
    jpg_raise(d, JPG_ERR_INPUT_END);
  }
  return jpg_next_byte(d);
}

} // namespace

void jpg_take_restart_marker(JpgDecoder *d) {
  // The marker normally sits right at the read position, since the entropy reader stops at
  // it; after damaged data it may lie further on, so a bounded stretch is searched.
  int32_t budget = JPG_RESTART_SCAN_BUDGET;
  uint32_t b = restart_search_byte(d);
  while (b != 0xFF) {
    if (budget == 0) {
      jpg_raise(d, JPG_ERR_RESTART);
    }
    budget -= 1;
    b = restart_search_byte(d);
  }
  // Fill bytes before the marker code.
  do {
    if (budget == 0) {
      jpg_raise(d, JPG_ERR_RESTART);
    }
    budget -= 1;
    b = restart_search_byte(d);
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

  const uint32_t *fast = jpg_fast_tables(d);
  const int32_t mcus = d->scan_mcus_across;
  const int32_t blocks_per_mcu = d->mcu_block_count;
  int32_t i = 0; // block of the MCU row

  for (int32_t m = 0; m < mcus; ++m) {
    if (d->restart_interval != 0 && d->restart_countdown == 0) {
      reader_store(r, d, m != 0);
      jpg_take_restart_marker(d);
      reader_load(&r, d);
    }
    for (int32_t j = 0; j < blocks_per_mcu; ++j, ++i) {
      const int32_t c = d->mcu_org[j];
      int16_t *block = d->block_seg[i];

      // Positions that may still hold a value from the previous MCU row are those below
      // the block's previous extent; they are cleared, the others are zero already.
      const int32_t prev_end = d->block_zag_end[i];
      for (int32_t z = 1; z < prev_end; ++z) {
        block[jpg_zigzag[z]] = 0;
      }

      // DC: the difference to the component's predictor. The predictor is summed modulo
      // 2^32; the block keeps its low 16 bits.
      const int32_t dc_table = d->comp_dc_tab[c];
      reader_need(&r);
      uint32_t e = fast[dc_table * JPG_FAST_ENTRIES + (uint32_t)(r.acc >> (WORD_BITS - JPG_FAST_BITS))];
      int32_t diff;
      if (__builtin_expect((e & FAST_FLAGS) == 0, 1)) {
        reader_drop_entry(&r, e);
        diff = (int32_t)e >> FAST_VALUE_SHIFT;
      } else {
        if (e & FAST_SLOW) {
          e = long_code(d, d->huff_tbl[dc_table], e, (uint32_t)(r.acc >> (WORD_BITS - 16)));
        }
        // The symbol is the size of the difference.
        reader_drop_entry(&r, e);
        const int32_t size = (int32_t)(e >> FAST_VALUE_SHIFT);
        diff = size != 0 ? extend_value(reader_bits(&r, size), size) : 0;
      }
      uint32_t dc = (uint32_t)d->last_dc_val[c] + (uint32_t)diff;
      d->last_dc_val[c] = (int32_t)dc;
      block[0] = (int16_t)(uint16_t)(dc & 0xFFFF);

      // AC: a run of zeros (already in place) and a value, sixteen zeros, or the end of the
      // block. A run or sixteen zeros that would pass position 63 is an error.
      const int32_t ac_table = d->comp_ac_tab[c];
      const uint32_t *ac_fast = fast + ac_table * JPG_FAST_ENTRIES;
      // One register for the table: left to itself the compiler keeps its two parts apart and
      // adds them for every look-up.
      __asm__("" : "+r"(ac_fast));
      int32_t k = 1;
      for (;;) {
        reader_need(&r);
        e = ac_fast[(uint32_t)(r.acc >> (WORD_BITS - JPG_FAST_BITS))];
        if (__builtin_expect((e & FAST_FLAGS) == 0, 1)) {
          reader_drop_entry(&r, e);
          // k becomes the position after the value's (one addition for the run and the step).
          // The flags above the run are clear here, so the run is the entry's second byte.
          k += ((int32_t)(e >> FAST_RUN_SHIFT) & 0xFF) + 1;
          const int16_t value = (int16_t)((int32_t)e >> FAST_VALUE_SHIFT);
          if (__builtin_expect(k < 64, 1)) {
            block[jpg_zigzag[k - 1]] = value;
            continue;
          }
          // The value lands on position 63, the last one, or past it.
          if (k > 64) {
            entropy_fail(d, r, JPG_ERR_ENTROPY);
          }
          block[jpg_zigzag[63]] = value;
          break;
        } else {
          // Code and value one after the other: end of block, sixteen zeros, a value whose
          // bits did not fit the index, or a long code.
          if (__builtin_expect((e & FAST_SLOW) != 0, 0)) {
            e = long_code(d, d->huff_tbl[ac_table], e, (uint32_t)(r.acc >> (WORD_BITS - 16)));
          }
          reader_drop_entry(&r, e);
          const int32_t symbol = (int32_t)(e >> FAST_VALUE_SHIFT);
          const int32_t run = symbol >> 4;
          const int32_t size = symbol & 15;
          if (size == 0) {
            if (run != 15) {
              break; // end of block; every run 0 to 14 with size 0 ends it
            }
            k += 15; // sixteen zeros, with the step below
            if (__builtin_expect(k > 63, 0)) {
              entropy_fail(d, r, JPG_ERR_ENTROPY);
            }
          } else {
            k += run;
            if (__builtin_expect(k > 63, 0)) {
              entropy_fail(d, r, JPG_ERR_ENTROPY);
            }
            block[jpg_zigzag[k]] = (int16_t)extend_value(reader_bits(&r, size), size);
          }
        }
        k += 1;
        if (k > 63) {
          break;
        }
      }
      d->block_zag_end[i] = k;
    }
    // Counted down after every MCU, also without a restart interval (then never tested);
    // unsigned so that it may run on across frames.
    d->restart_countdown = (int32_t)((uint32_t)d->restart_countdown - 1);
  }
  reader_store(r, d, mcus > 0);
}
