// Colour conversion: the Y, Cb and Cr samples of one MCU row (Psample_buf, 64 bytes per
// block, 8 bytes per block row) become output lines in scan_line_0 (and scan_line_1 for the
// MCUs two block rows high). Chroma is upsampled by replication.
//
// Pixel formats by out_mode:
//   0  B, G, R: B = Y + cb_b_tab[Cb], G = Y + ((cb_g_tab[Cb] + cr_g_tab[Cr]) >> 16),
//      R = Y + cr_r_tab[Cr], each clamped to 0..255
//   1  Y, Cb, Cr as decoded
//   2  Y0, Cb, Y1, Cr per pixel pair; where the two pixels have chroma samples of their own
//      (1x1 and 1x2 sampling) the pair carries (a + b) >> 1 of the two
// Any other out_mode writes nothing.
//
// The three offsets of a chroma sample are looked up once and reused for every pixel that
// shares it (two for 2x1, four for 2x2). On 32-bit x86 the scalar loop of the shared-chroma
// B, G, R lines is written as instructions, with the same steps.
//
// The B, G, R conversion has an SSE2 form (jpg_colour_sse2.cpp) and an MMX form
// (jpg_colour_mmx.cpp) with the same results. Each runs whenever the inverse DCT runs the form
// of the same name, so that the decoder state's one setting (jpg_vector_form) turns every use
// of the vector registers on or off together.
#include "jpg_colour_mmx.h"
#include "jpg_colour_sse2.h"
#include "jpg_idct.h"
#include "jpg_internal.h"

namespace {

inline uint8_t clamp_sample(int32_t v) {
  return (uint8_t)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// clamp_sample(v - 256) for v in 0..1023: the colour offsets keep Y + offset inside
// -256..767 (|cb_b_tab| <= 227, |cr_r_tab| <= 179, the green offset within 136).
struct RangeTable {
  uint8_t v[1024];
};
constexpr RangeTable make_range_table() {
  RangeTable t = {};
  for (int32_t i = 0; i < 1024; ++i) {
    t.v[i] = (uint8_t)(i < 256 ? 0 : (i > 511 ? 255 : i - 256));
  }
  return t;
}
constexpr RangeTable kRange = make_range_table();

// The three colour offsets of one chroma pair.
struct ChromaOffsets {
  int32_t b;
  int32_t g;
  int32_t r;
};

inline ChromaOffsets chroma_offsets(const JpgDecoder *d, uint32_t cb, uint32_t cr) {
  ChromaOffsets o;
  o.b = d->cb_b_tab[cb];
  o.g = (d->cb_g_tab[cb] + d->cr_g_tab[cr]) >> 16;
  o.r = d->cr_r_tab[cr];
  return o;
}

inline void put_bgr(uint8_t *out, int32_t y, const ChromaOffsets &o) {
  out[0] = clamp_sample(y + o.b);
  out[1] = clamp_sample(y + o.g);
  out[2] = clamp_sample(y + o.r);
}

// Geometry of one converter call.
struct LineJob {
  const uint8_t *mcu;     // first sample block of MCU 0
  int32_t mcu_bytes;      // bytes of sample blocks per MCU
  int32_t mcus;           // frame_mcus_across
  int32_t r;              // line within the MCU row
};

inline LineJob line_job(const JpgDecoder *d) {
  LineJob j;
  j.mcu = d->Psample_buf;
  j.mcu_bytes = d->frame_mcu_blocks * 64;
  j.mcus = d->frame_mcus_across;
  j.r = d->mcu_height - d->mcu_row_lines_left;
  return j;
}

// Eight pixels with their own chroma (1x1 sampling): y, cb, cr point at 8 samples each.
inline uint8_t *convert_8_full(const JpgDecoder *d, uint8_t *out, const uint8_t *y,
                               const uint8_t *cb, const uint8_t *cr) {
  switch (d->out_mode) {
  case 0:
    for (int32_t x = 0; x < 8; ++x) {
      put_bgr(out + 3 * x, y[x], chroma_offsets(d, cb[x], cr[x]));
    }
    return out + 24;
  case 1:
    for (int32_t x = 0; x < 8; ++x) {
      out[3 * x] = y[x];
      out[3 * x + 1] = cb[x];
      out[3 * x + 2] = cr[x];
    }
    return out + 24;
  case 2:
    for (int32_t x = 0; x < 8; x += 2) {
      out[2 * x] = y[x];
      out[2 * x + 1] = (uint8_t)((cb[x] + cb[x + 1]) >> 1);
      out[2 * x + 2] = y[x + 1];
      out[2 * x + 3] = (uint8_t)((cr[x] + cr[x + 1]) >> 1);
    }
    return out + 16;
  default:
    return out;
  }
}

// Sixteen pixels sharing each chroma sample between two (2x1 sampling) in the YCbCr layouts
// (B, G, R goes through jpg_colour_bgr_half_line): yl and yr are the 8 samples of the left and
// the right luminance block, cb and cr 8 chroma samples.
inline uint8_t *convert_16_half(const JpgDecoder *d, uint8_t *out, const uint8_t *yl,
                                const uint8_t *yr, const uint8_t *cb, const uint8_t *cr) {
  switch (d->out_mode) {
  case 1:
    for (int32_t x = 0; x < 16; ++x) {
      out[3 * x] = x < 8 ? yl[x] : yr[x - 8];
      out[3 * x + 1] = cb[x >> 1];
      out[3 * x + 2] = cr[x >> 1];
    }
    return out + 48;
  case 2:
    for (int32_t x = 0; x < 8; ++x) {
      const uint8_t *y = x < 4 ? yl + 2 * x : yr + 2 * (x - 4);
      out[4 * x] = y[0];
      out[4 * x + 1] = cb[x];
      out[4 * x + 2] = y[1];
      out[4 * x + 3] = cr[x];
    }
    return out + 32;
  default:
    return out;
  }
}

// The vector form the B, G, R conversion of d runs: JPG_IDCT_SSE2, JPG_IDCT_MMX, or
// JPG_IDCT_SCALAR for the scalar code (and for every other out_mode).
int32_t vector_bgr(const JpgDecoder *d) {
  if (d->out_mode != 0) {
    return JPG_IDCT_SCALAR;
  }
  const int32_t form = jpg_vector_form(d);
  if (JPG_COLOUR_HAVE_SSE2 && form == JPG_IDCT_SSE2) {
    return JPG_IDCT_SSE2;
  }
  if (JPG_COLOUR_HAVE_MMX && form == JPG_IDCT_MMX) {
    return JPG_IDCT_MMX;
  }
  return JPG_IDCT_SCALAR;
}

// A line of 8-pixel MCUs with chroma of their own (1x1, and each line of 1x2): y_row and
// c_row are the offsets of the luminance and chroma rows inside an MCU, cb_block the offset
// of the Cb block (Cr follows it).
void convert_full_line(const JpgDecoder *d, uint8_t *out, const LineJob &j, int32_t y_row,
                       int32_t cb_block, int32_t c_row) {
  int32_t m = 0;
  const int32_t form = vector_bgr(d);
#if JPG_COLOUR_HAVE_SSE2
  if (form == JPG_IDCT_SSE2) {
    for (; m + 1 < j.mcus; m += 2, out += 48) {
      const uint8_t *a = j.mcu + m * j.mcu_bytes;
      const uint8_t *b = a + j.mcu_bytes;
      colour_bgr_full16_sse2(out, a + y_row, a + cb_block + c_row, a + cb_block + 64 + c_row,
                             b + y_row, b + cb_block + c_row, b + cb_block + 64 + c_row);
    }
  }
#endif
#if JPG_COLOUR_HAVE_MMX
  if (form == JPG_IDCT_MMX) {
    for (; m + 1 < j.mcus; m += 2, out += 48) {
      const uint8_t *a = j.mcu + m * j.mcu_bytes;
      const uint8_t *b = a + j.mcu_bytes;
      colour_bgr_full16_mmx(out, a + y_row, a + cb_block + c_row, a + cb_block + 64 + c_row,
                            b + y_row, b + cb_block + c_row, b + cb_block + 64 + c_row);
    }
  }
#endif
  (void)form;
  for (; m < j.mcus; ++m) {
    const uint8_t *mcu = j.mcu + m * j.mcu_bytes;
    out = convert_8_full(d, out, mcu + y_row, mcu + cb_block + c_row, mcu + cb_block + 64 + c_row);
  }
}

} // namespace

namespace {

// Eight pixels of one luminance block row at y sharing the four chroma pairs at cbs and crs:
// each pair's three offsets become three pointers into the range table, which the two pixels'
// Y then index.
inline uint8_t *bgr_quarter_scalar(const JpgDecoder *d, uint8_t *out, const uint8_t *y, const uint8_t *cbs,
                                   const uint8_t *crs) {
  const uint8_t *range = kRange.v + 256;
#if defined(__i386__)
  // The same steps as instructions when Cr follows Cb (every MCU layout that shares chroma):
  // GCC keeps about ten of the loop's values on the stack, this form only the chroma pointer.
  if (crs == cbs + 64) {
    const uint8_t *const y_end = y + 8;
    uint32_t a, b, c, e, f;
    __asm__ volatile(
        "1:\n\t"
        "movl %[cb], %[a]\n\t"
        "movzbl (%[a]), %[b]\n\t"             // Cb
        "movzbl 64(%[a]), %[c]\n\t"           // Cr
        "addl $1, %[a]\n\t"
        "movl %[a], %[cb]\n\t"
        "movl %[d], %[a]\n\t"
        "movl %c[cbg](%[a],%[b],4), %[e]\n\t"
        "addl %c[crg](%[a],%[c],4), %[e]\n\t"
        "sarl $16, %[e]\n\t"                  // green offset
        "movl %c[cbb](%[a],%[b],4), %[b]\n\t" // blue offset
        "movl %c[crr](%[a],%[c],4), %[c]\n\t" // red offset
        "movl %[range], %[a]\n\t"
        "addl %[a], %[b]\n\t"
        "addl %[a], %[e]\n\t"
        "addl %[a], %[c]\n\t"
        "movzbl (%[y]), %[a]\n\t"
        "movzbl (%[b],%[a]), %[f]\n\t"
        "movb %b[f], (%[out])\n\t"
        "movzbl (%[e],%[a]), %[f]\n\t"
        "movb %b[f], 1(%[out])\n\t"
        "movzbl (%[c],%[a]), %[f]\n\t"
        "movb %b[f], 2(%[out])\n\t"
        "movzbl 1(%[y]), %[a]\n\t"
        "movzbl (%[b],%[a]), %[f]\n\t"
        "movb %b[f], 3(%[out])\n\t"
        "movzbl (%[e],%[a]), %[f]\n\t"
        "movb %b[f], 4(%[out])\n\t"
        "movzbl (%[c],%[a]), %[f]\n\t"
        "movb %b[f], 5(%[out])\n\t"
        "addl $2, %[y]\n\t"
        "addl $6, %[out]\n\t"
        "cmpl %[y_end], %[y]\n\t"
        "jne 1b"
        : [out] "+r"(out), [y] "+r"(y), [cb] "+m"(cbs), [a] "=&q"(a), [b] "=&r"(b), [c] "=&r"(c), [e] "=&r"(e),
          [f] "=&q"(f)
        : [d] "m"(d), [range] "m"(range), [y_end] "m"(y_end), [cbg] "i"(offsetof(JpgDecoder, cb_g_tab)),
          [crg] "i"(offsetof(JpgDecoder, cr_g_tab)), [cbb] "i"(offsetof(JpgDecoder, cb_b_tab)),
          [crr] "i"(offsetof(JpgDecoder, cr_r_tab))
        : "cc", "memory");
    return out;
  }
#endif
  for (int32_t x = 0; x < 4; ++x, out += 6, y += 2) {
    const ChromaOffsets o = chroma_offsets(d, cbs[x], crs[x]);
    const uint8_t *pb = range + o.b, *pg = range + o.g, *pr = range + o.r;
    const uint32_t y0 = y[0], y1 = y[1];
    out[0] = pb[y0];
    out[1] = pg[y0];
    out[2] = pr[y0];
    out[3] = pb[y1];
    out[4] = pg[y1];
    out[5] = pr[y1];
  }
  return out;
}

// jpg_colour_bgr_half_line in the scalar form: exactly 48 bytes per MCU.
void bgr_half_line_scalar(const JpgDecoder *d, uint8_t *out, const uint8_t *mcu, int32_t mcu_bytes, int32_t mcus,
                          int32_t yl, int32_t yr, int32_t cb, int32_t cr) {
  for (int32_t m = 0; m < mcus; ++m, mcu += mcu_bytes) {
    out = bgr_quarter_scalar(d, out, mcu + yl, mcu + cb, mcu + cr);
    out = bgr_quarter_scalar(d, out, mcu + yr, mcu + cb + 4, mcu + cr + 4);
  }
}

} // namespace

void jpg_colour_bgr_half_line(const JpgDecoder *d, uint8_t *out, const uint8_t *mcu, int32_t mcu_bytes,
                              int32_t mcus, int32_t yl, int32_t yr, int32_t cb, int32_t cr) {
  const int32_t form = vector_bgr(d);
  (void)form;
#if JPG_COLOUR_HAVE_SSE2
  if (form == JPG_IDCT_SSE2) {
    colour_bgr_half_line_sse2(out, mcu, mcu_bytes, mcus, yl, yr, cb, cr);
    return;
  }
#endif
#if JPG_COLOUR_HAVE_MMX
  if (form == JPG_IDCT_MMX) {
    colour_bgr_half_line_mmx(out, mcu, mcu_bytes, mcus, yl, yr, cb, cr);
    return;
  }
#endif
  bgr_half_line_scalar(d, out, mcu, mcu_bytes, mcus, yl, yr, cb, cr);
}

void jpg_colour_convert_1x1(JpgDecoder *d) {
  LineJob j = line_job(d);
  convert_full_line(d, d->scan_line_0, j, 8 * j.r, 64, 8 * j.r);
}

// ITU-T T.81 A.1.1: the 2x1 MCU holds the left and the right luminance block, then Cb, Cr;
// chroma column x / 2.
void jpg_colour_convert_2x1(JpgDecoder *d) {
  LineJob j = line_job(d);
  const int32_t row = 8 * j.r;
  if (d->out_mode == 0) {
    jpg_colour_bgr_half_line(d, d->scan_line_0, j.mcu, j.mcu_bytes, j.mcus, row, 64 + row, 128 + row, 192 + row);
    return;
  }
  uint8_t *out = d->scan_line_0;
  for (int32_t m = 0; m < j.mcus; ++m) {
    const uint8_t *mcu = j.mcu + m * j.mcu_bytes;
    out = convert_16_half(d, out, mcu + row, mcu + 64 + row, mcu + 128 + row, mcu + 192 + row);
  }
}

// Lines r and r + 1 (r even) from the top luminance block for r < 8, the bottom one after;
// both lines use chroma row r / 2.
void jpg_colour_convert_1x2(JpgDecoder *d) {
  LineJob j = line_job(d);
  const int32_t y_row = (j.r < 8 ? 0 : 64) + 8 * (j.r & 7);
  const int32_t c_row = 8 * (j.r >> 1);
  convert_full_line(d, d->scan_line_0, j, y_row, 128, c_row);
  convert_full_line(d, d->scan_line_1, j, y_row + 8, 128, c_row);
}

// Lines r and r + 1 (r even) from the top pair of luminance blocks for r < 8, the bottom pair
// after; chroma row r / 2, column x / 2.
void jpg_colour_convert_2x2(JpgDecoder *d) {
  LineJob j = line_job(d);
  uint8_t *out0 = d->scan_line_0;
  uint8_t *out1 = d->scan_line_1;
  const int32_t y_row = (j.r < 8 ? 0 : 128) + 8 * (j.r & 7);
  const int32_t c_row = 8 * (j.r >> 1);
  if (d->out_mode == 0) {
    jpg_colour_bgr_half_line(d, out0, j.mcu, j.mcu_bytes, j.mcus, y_row, 64 + y_row, 256 + c_row, 320 + c_row);
    jpg_colour_bgr_half_line(d, out1, j.mcu, j.mcu_bytes, j.mcus, y_row + 8, 72 + y_row, 256 + c_row, 320 + c_row);
    return;
  }
  for (int32_t m = 0; m < j.mcus; ++m) {
    const uint8_t *mcu = j.mcu + m * j.mcu_bytes;
    const uint8_t *yl = mcu + y_row;
    const uint8_t *yr = mcu + 64 + y_row;
    const uint8_t *cb = mcu + 256 + c_row;
    const uint8_t *cr = mcu + 320 + c_row;
    out0 = convert_16_half(d, out0, yl, yr, cb, cr);
    out1 = convert_16_half(d, out1, yl + 8, yr + 8, cb, cr);
  }
}
