// Input of the JPEG decoder: the byte stream, the header bit reader, entropy-coded bytes and
// the re-synchronisation between the two.
//
// Bit reader. bit_reg is a 32-bit register: its low 16 bits always hold the next 16 bits of
// the stream, the next bit in bit 15 (the window); its upper half holds bit_reserve further
// bits, the earliest in bit 31 (the reserve). Bytes are fetched two at a time into the reserve,
// so the byte position runs up to four bytes ahead of the bits handed out.
//
// Input bound. The frame buffer has a length, and nothing at or after in_end is ever read.
// Because of the read-ahead, the header reader may fetch up to four bytes past the end while
// every bit it hands out still lies inside; those fetches yield padding, counted in
// in_overrun, and only a bit actually taken from the padding is an error. The entropy reader
// treats the end like a marker: it supplies 0xFF without passing it.
#include "jpg_internal.h"

static uint32_t rotate_left(uint32_t value, int32_t count) {
  count &= 31;
  if (count == 0) {
    return value;
  }
  return (value << count) | (value >> (32 - count));
}

void jpg_reset_input(JpgDecoder *d, const uint8_t *data, uint32_t length) {
  d->in_ptr = data;
  d->in_end = data + length;
  d->in_overrun = 0;
  uint32_t b1 = jpg_next_byte(d);
  uint32_t b2 = jpg_next_byte(d);
  d->bit_reg = (b1 << 8) | b2;
  d->bit_reserve = 0;
}

uint32_t jpg_next_byte(JpgDecoder *d) {
  if (d->in_ptr < d->in_end) {
    return *d->in_ptr++;
  }
  d->in_overrun += 1;
  return 0xFF;
}

void jpg_push_back(JpgDecoder *d, uint32_t byte) {
  (void)byte;
  if (d->in_overrun > 0) {
    d->in_overrun -= 1;
  } else {
    d->in_ptr -= 1;
  }
}

uint32_t jpg_read_bits(JpgDecoder *d, int32_t n) {
  uint32_t result = (d->bit_reg >> (16 - n)) & ((1u << n) - 1);
  d->bit_reserve -= n;
  if (d->bit_reserve > 0) {
    d->bit_reg = rotate_left(d->bit_reg, n);
  } else {
    // The window takes what is left of the reserve, the reserve is refilled with two bytes,
    // and the window takes the bits it still lacks from the new reserve.
    d->bit_reg = rotate_left(d->bit_reg, n + d->bit_reserve);
    uint32_t c1 = jpg_next_byte(d);
    uint32_t c2 = jpg_next_byte(d);
    d->bit_reg = (d->bit_reg & 0xFFFF) | (c1 << 24) | (c2 << 16);
    d->bit_reg = rotate_left(d->bit_reg, -d->bit_reserve);
    d->bit_reserve += 16;
  }
  // 16 + bit_reserve bits are fetched but not yet handed out; if the padding is longer than
  // that, the bits just returned reached into it.
  if (d->in_overrun * 8 > 16 + d->bit_reserve) {
    jpg_raise(d, JPG_ERR_INPUT_END);
  }
  return result;
}

uint32_t jpg_peek_byte(JpgDecoder *d) {
  // The window's first byte is padding when every byte still unread in the register is.
  if ((16 + d->bit_reserve) / 8 <= d->in_overrun) {
    jpg_raise(d, JPG_ERR_INPUT_END);
  }
  return (d->bit_reg >> 8) & 0xFF;
}

void jpg_skip_bytes(JpgDecoder *d, uint32_t count) {
  // Bytes still available to the header reader: those in memory plus those in the register.
  uint32_t buffered = (uint32_t)(16 + d->bit_reserve) / 8 - (uint32_t)d->in_overrun;
  uint32_t available = (uint32_t)(d->in_end - d->in_ptr) + buffered;
  if (count > available) {
    // Fail before walking a long length field through the padding.
    jpg_raise(d, JPG_ERR_INPUT_END);
  }
  for (uint32_t i = 0; i < count; ++i) {
    jpg_read_bits(d, 8);
  }
}

uint32_t jpg_get_entropy_byte(JpgDecoder *d) {
  if (d->in_overrun > 0 || d->in_ptr >= d->in_end) {
    return 0xFF;
  }
  uint32_t b = *d->in_ptr++;
  if (b != 0xFF) {
    return b;
  }
  if (d->in_ptr >= d->in_end) {
    // 0xFF as the last byte: treat it as the start of a marker and stay on it.
    d->in_ptr -= 1;
    return 0xFF;
  }
  uint32_t next = *d->in_ptr++;
  if (next == 0) {
    return 0xFF; // stuffed zero dropped
  }
  jpg_push_back(d, next);
  jpg_push_back(d, 0xFF);
  return 0xFF;
}

void jpg_resync_bits(JpgDecoder *d) {
  // The scan header ends byte-aligned, so bit_reserve is 8 or 16: hand the bytes still held
  // in the register back to the stream, latest first, so in_ptr is at the first unread byte.
  if (d->bit_reserve == 16) {
    jpg_push_back(d, (d->bit_reg >> 16) & 0xFF);
  }
  if (d->bit_reserve >= 8) {
    jpg_push_back(d, (d->bit_reg >> 24) & 0xFF);
  }
  jpg_push_back(d, d->bit_reg & 0xFF);
  jpg_push_back(d, (d->bit_reg >> 8) & 0xFF);
  uint32_t b1 = jpg_get_entropy_byte(d);
  uint32_t b2 = jpg_get_entropy_byte(d);
  d->bit_reg = (b1 << 8) | b2;
  d->bit_reserve = 0;
}
