// Marker parsing: start of image, the table section, the frame header and the way on to the
// scan header (ITU-T T.81 Annex B). Every field is read with the header bit reader; every
// failed check raises its code and unwinds to the running entry point.
//
// This decoder takes the Huffman tables of Annex K and never reads DHT segments; it takes the
// quantisation tables, the restart interval and the camera's parameter block (APP0, APP10)
// from the stream.
#include "jpg_internal.h"

static uint32_t read_u32_le(JpgDecoder *d) {
  uint32_t b0 = jpg_read_bits(d, 8);
  uint32_t b1 = jpg_read_bits(d, 8);
  uint32_t b2 = jpg_read_bits(d, 8);
  uint32_t b3 = jpg_read_bits(d, 8);
  return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

// The camera parameter block: 76 bytes, little-endian unlike the rest of the stream. Its
// third and fourth words go to entries 3 and 2 of app_params_a, in that crossed order.
static void read_param_block(JpgDecoder *d) {
  d->app_params_a[0] = read_u32_le(d);
  d->app_params_a[1] = read_u32_le(d);
  d->app_params_a[3] = read_u32_le(d);
  d->app_params_a[2] = read_u32_le(d);
  for (int32_t i = 0; i < 3; ++i) {
    d->app_params_b[i] = read_u32_le(d);
  }
  for (int32_t i = 0; i < 24; ++i) {
    uint32_t lo = jpg_read_bits(d, 8);
    uint32_t hi = jpg_read_bits(d, 8);
    d->app_params_c[i] = (uint16_t)(lo | (hi << 8));
  }
}

// Length field of a segment that is skipped or read loosely: the length counts its own two
// bytes, so anything below 2 is malformed.
static uint32_t read_segment_length(JpgDecoder *d) {
  uint32_t length = jpg_read_bits(d, 16);
  if (length < 2) {
    jpg_raise(d, JPG_ERR_SEGMENT_LENGTH);
  }
  return length;
}

void jpg_find_soi(JpgDecoder *d) {
  uint32_t prev = jpg_read_bits(d, 8);
  uint32_t cur = jpg_read_bits(d, 8);
  if (prev == 0xFF && cur == JPG_M_SOI) {
    return;
  }
  // The camera may put a few bytes before SOI; look a bounded distance for it.
  for (int32_t i = 0; i < JPG_SOI_SEARCH_BYTES; ++i) {
    prev = cur;
    cur = jpg_read_bits(d, 8);
    if (prev == 0xFF && cur == JPG_M_SOI) {
      // An FF D8 inside junk is taken for SOI only when a marker follows it.
      if (jpg_peek_byte(d) != 0xFF) {
        jpg_raise(d, JPG_ERR_NO_SOI);
      }
      return;
    }
  }
  jpg_raise(d, JPG_ERR_NO_SOI);
}

int32_t jpg_seek_marker(JpgDecoder *d) {
  for (;;) {
    uint32_t b = jpg_read_bits(d, 8);
    if (b != 0xFF) {
      continue;
    }
    do {
      b = jpg_read_bits(d, 8); // fill bytes
    } while (b == 0xFF);
    if (b != 0) {
      return (int32_t)b;
    }
    // FF 00 is a stuffed zero, not a marker.
  }
}

int32_t jpg_walk_markers(JpgDecoder *d) {
  for (;;) {
    int32_t m = jpg_seek_marker(d);
    switch (m) {
    case JPG_M_SOF0: case JPG_M_SOF1: case JPG_M_SOF2: case JPG_M_SOF3:
    case JPG_M_SOF5: case 0xC6: case JPG_M_SOF7:
    case JPG_M_SOF9: case 0xCA: case JPG_M_SOF11:
    case JPG_M_SOF13: case 0xCE: case JPG_M_SOF15:
    case JPG_M_SOI: case JPG_M_EOI: case JPG_M_SOS:
      return m;
    case JPG_M_DHT:
      // The built-in tables are used; the next marker search passes over this segment.
      break;
    case JPG_M_DAC:
      jpg_raise(d, JPG_ERR_ARITHMETIC);
    case JPG_M_DQT:
      jpg_read_dqt(d);
      break;
    case JPG_M_DRI:
      jpg_read_dri(d);
      break;
    case JPG_M_APP0:
      jpg_read_app0(d);
      break;
    case JPG_M_APP10:
      jpg_read_app10(d);
      break;
    case JPG_M_TEM: case JPG_M_JPG:
    case JPG_M_RST0: case 0xD1: case 0xD2: case 0xD3:
    case 0xD4: case 0xD5: case 0xD6: case JPG_M_RST7:
      jpg_raise(d, JPG_ERR_UNEXPECTED_MARKER);
    default:
      jpg_skip_segment(d);
      break;
    }
  }
}

void jpg_read_frame_header(JpgDecoder *d) {
  jpg_find_soi(d);
  int32_t m = jpg_walk_markers(d);
  switch (m) {
  case JPG_M_SOF0:
  case JPG_M_SOF1:
    jpg_read_sof(d);
    return;
  case JPG_M_SOF2:
    d->is_progressive = 1;
    jpg_raise(d, JPG_ERR_FRAME_TYPE);
  case JPG_M_SOF9:
    jpg_raise(d, JPG_ERR_ARITHMETIC);
  default:
    jpg_raise(d, JPG_ERR_FRAME_TYPE);
  }
}

// Frame header, ITU-T T.81 Figure B.3.
void jpg_read_sof(JpgDecoder *d) {
  uint32_t length = jpg_read_bits(d, 16);
  if (jpg_read_bits(d, 8) != 8) {
    jpg_raise(d, JPG_ERR_PRECISION);
  }
  d->image_height = (int32_t)jpg_read_bits(d, 16);
  if (d->image_height == 0 || d->image_height > JPG_MAX_HEIGHT) {
    jpg_raise(d, JPG_ERR_HEIGHT);
  }
  d->image_width = (int32_t)jpg_read_bits(d, 16);
  if (d->image_width == 0 || d->image_width > JPG_MAX_WIDTH) {
    jpg_raise(d, JPG_ERR_WIDTH);
  }
  d->frame_comp_count = (int32_t)jpg_read_bits(d, 8);
  if (d->frame_comp_count != JPG_COMPONENTS) {
    jpg_raise(d, JPG_ERR_COMPONENT_COUNT);
  }
  if (length != 8 + 3 * JPG_COMPONENTS) {
    jpg_raise(d, JPG_ERR_SOF_LENGTH);
  }
  for (int32_t i = 0; i < JPG_COMPONENTS; ++i) {
    d->comp_ident[i] = (int32_t)jpg_read_bits(d, 8);
    d->comp_h_samp[i] = (int32_t)jpg_read_bits(d, 4);
    d->comp_v_samp[i] = (int32_t)jpg_read_bits(d, 4);
    d->comp_quant[i] = (int32_t)jpg_read_bits(d, 8);
  }
  // Only quantisation tables 0 and 1 exist; the inverse DCT indexes quant by comp_quant.
  for (int32_t i = 0; i < JPG_COMPONENTS; ++i) {
    if (d->comp_quant[i] >= JPG_QUANT_TABLES) {
      jpg_raise(d, JPG_ERR_QUANT_SELECTOR);
    }
  }
}

// Quantisation tables, ITU-T T.81 Figure B.6. A segment may carry several tables; each is
// stored in natural order, already scaled for the inverse DCT, and stays in force for later
// frames until replaced or until jpg_init restores the defaults.
void jpg_read_dqt(JpgDecoder *d) {
  uint32_t length = jpg_read_bits(d, 16);
  if (length < 2) {
    jpg_raise(d, JPG_ERR_DQT_LENGTH);
  }
  uint32_t remaining = length - 2;
  while (remaining != 0) {
    uint32_t b = jpg_read_bits(d, 8);
    uint32_t table = b & 0x0F;
    uint32_t precision = b >> 4;
    if (table >= JPG_QUANT_TABLES) {
      jpg_raise(d, JPG_ERR_DQT_TABLE);
    }
    for (int32_t i = 0; i < 64; ++i) {
      uint32_t v = jpg_read_bits(d, 8);
      if (precision != 0) {
        v = (v << 8) + jpg_read_bits(d, 8);
      }
      int32_t z = jpg_zigzag[i];
      d->quant[table][z] = jpg_scaled_quant(v, z);
    }
    // The table is stored before its size is checked against the segment.
    uint32_t size = precision == 0 ? 65 : 129;
    if (remaining < size) {
      jpg_raise(d, JPG_ERR_DQT_SHORT);
    }
    remaining -= size;
  }
}

void jpg_read_dri(JpgDecoder *d) {
  if (jpg_read_bits(d, 16) != 4) {
    jpg_raise(d, JPG_ERR_DRI_LENGTH);
  }
  d->restart_interval = (int32_t)jpg_read_bits(d, 16);
}

// APP0: the camera parameter block, when present, follows the length field directly.
void jpg_read_app0(JpgDecoder *d) {
  uint32_t left = read_segment_length(d) - 2;
  if (left >= JPG_APP_BLOCK_BYTES) {
    read_param_block(d);
    left -= JPG_APP_BLOCK_BYTES;
  }
  jpg_skip_bytes(d, left);
}

// APP10: two bytes, then the camera parameter block. The block is read only when the segment
// holds all 2 + 76 bytes, and the segment is consumed to its exact end.
void jpg_read_app10(JpgDecoder *d) {
  uint32_t left = read_segment_length(d) - 2;
  if (left >= 2 + JPG_APP_BLOCK_BYTES) {
    jpg_skip_bytes(d, 2);
    read_param_block(d);
    left -= 2 + JPG_APP_BLOCK_BYTES;
  }
  jpg_skip_bytes(d, left);
}

void jpg_skip_segment(JpgDecoder *d) {
  jpg_skip_bytes(d, read_segment_length(d) - 2);
}

int32_t jpg_find_scan(JpgDecoder *d) {
  int32_t m = jpg_walk_markers(d);
  if (m == JPG_M_EOI) {
    return 0;
  }
  if (m != JPG_M_SOS) {
    jpg_raise(d, JPG_ERR_UNEXPECTED_MARKER);
  }
  jpg_read_scan_header(d);
  return 1;
}
