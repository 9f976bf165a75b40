// The frame decode entry and the scan-line output: jpg_decode reads the frame's headers,
// prepares decoding, then takes one output line at a time from jpg_decode_line and copies it
// into the caller's bitmap, bottom-up for BGR and top-down for the YCbCr layouts.
// jpg_decode_line decodes, transforms and colour-converts one MCU row whenever the previous
// one is used up.
#include "imageproc.h"
#include "ip_context.h"
#include "jpg_idct.h"
#include "jpg_internal.h"

#if JPG_IDCT_HAVE_SSE2
#include <emmintrin.h>
#endif
#if JPG_IDCT_HAVE_MMX
#include <mmintrin.h>
#endif

namespace {

// Makes the next line available: decodes the next MCU row when the current one is used up.
// 0: a line is ready; 1: no lines are left; -1: no decode is running; JPG_ERR_ENTROPY: the row
// failed (the decoder's unwinding lands here, in a frame that is live while the row decodes).
int32_t next_line_ready(JpgDecoder *d) {
  if (d->last_error != JPG_OK || d->decoding_started == 0) {
    return -1;
  }
  if (d->lines_left < 1) {
    return 1;
  }
  if (d->mcu_row_lines_left == 0) {
    if (__builtin_setjmp(d->jmp_state.words) != 0) {
      return JPG_ERR_ENTROPY;
    }
    jpg_entropy_decode_row(d);
    jpg_idct_mcu_row(d);
    d->mcu_row_lines_left = d->mcu_height;
  }
  return 0;
}

}  // namespace

int32_t jpg_decode_line(JpgDecoder *d, const uint8_t **line_out, int32_t *length_out) {
  const int32_t ready = next_line_ready(d);
  if (ready != 0) {
    return ready;
  }
  const uint8_t *line = d->scan_line_0;
  switch (d->mcu_layout) {
  case 1:
    jpg_colour_convert_1x1(d);
    break;
  case 2:
    jpg_colour_convert_2x1(d);
    break;
  case 3:
  case 4:
    // Two lines at a time: converted when an even number of lines is left in the MCU row,
    // the second of the pair delivered from scan_line_1 on the next call.
    if ((d->mcu_row_lines_left & 1) == 0) {
      if (d->mcu_layout == 3) {
        jpg_colour_convert_1x2(d);
      } else {
        jpg_colour_convert_2x2(d);
      }
    } else {
      line = d->scan_line_1;
    }
    break;
  default:
    break;
  }
  *line_out = line;
  *length_out = d->out_line_bytes;
  d->mcu_row_lines_left -= 1;
  d->lines_left -= 1;
  return 0;
}

// ---- Lines converted straight into the bitmap --------------------------------------------------

namespace {

// For MCUs 16 pixels wide (2x1 and 2x2) in B, G, R, in the decoder state's form (the vector
// converters write 2 bytes beyond the last MCU): the next line converted straight into dst
// (bytes long), without the pass through the line buffers and the copy. The MCUs that fit dst
// with those 2 bytes go straight in, the rest (the last one or two) through
// scan_line_0, from which only the bytes of the line are copied. Each line of a 2x2 MCU row
// is converted on its own, with the chroma row it shares with its neighbour. The bitmap gets
// the same bytes as from jpg_decode_line followed by jpg_copy_line.
int32_t decode_line_direct_half(JpgDecoder *d, uint8_t *dst, uint32_t bytes) {
  const int32_t ready = next_line_ready(d);
  if (ready != 0) {
    return ready;
  }
  const int32_t r = d->mcu_height - d->mcu_row_lines_left;
  int32_t yl, cb;
  if (d->mcu_layout == 2) {
    yl = 8 * r;
    cb = 128 + 8 * r;
  } else {
    yl = (r < 8 ? 0 : 128) + 8 * (r & 7);
    cb = 256 + 8 * (r >> 1);
  }
  const int32_t yr = yl + 64;
  const int32_t cr = cb + 64;
  const int32_t mcu_bytes = d->frame_mcu_blocks * 64;
  const int32_t mcus = d->frame_mcus_across;
  int32_t direct = bytes < 50 ? 0 : (int32_t)((bytes - 2) / 48);
  if (direct > mcus) {
    direct = mcus;
  }
  jpg_colour_bgr_half_line(d, dst, d->Psample_buf, mcu_bytes, direct, yl, yr, cb, cr);
  if (direct < mcus) {
    jpg_colour_bgr_half_line(d, d->scan_line_0, d->Psample_buf + direct * mcu_bytes, mcu_bytes, mcus - direct, yl, yr,
                             cb, cr);
    uint32_t done = 48 * (uint32_t)direct;
    for (uint32_t i = done; i < bytes; ++i) {
      dst[i] = d->scan_line_0[i - done];
    }
  }
  d->mcu_row_lines_left -= 1;
  d->lines_left -= 1;
  return 0;
}

} // namespace

// ---- Line copy ---------------------------------------------------------------------------------

namespace {

void copy_line_scalar(uint8_t *dst, const uint8_t *src, uint32_t bytes) {
  uint32_t i = 0;
  for (; i + 128 <= bytes; i += 128) {
    for (uint32_t k = 0; k < 128; ++k) {
      dst[i + k] = src[i + k];
    }
  }
  for (; i < bytes; ++i) {
    dst[i] = src[i];
  }
}

#if JPG_IDCT_HAVE_SSE2

#if defined(__i386__)
#define COPY_SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer))
#else
#define COPY_SSE2_ENTRY __attribute__((target("sse2")))
#endif

// Eight 16-byte moves per step. The line buffers are 6408 bytes apart, so the source is
// read unaligned; the stores bypass the cache (the bitmap is not read again by the decoder)
// when the destination is 16-byte aligned, and are ordinary unaligned stores otherwise.
COPY_SSE2_ENTRY void copy_line_sse2(uint8_t *dst, const uint8_t *src, uint32_t bytes) {
  uint32_t i = 0;
  if (((uintptr_t)dst & 15) == 0) {
    for (; i + 128 <= bytes; i += 128) {
      for (uint32_t k = 0; k < 128; k += 16) {
        __m128i v = _mm_loadu_si128((const __m128i *)(const void *)(src + i + k));
        _mm_stream_si128((__m128i *)(void *)(dst + i + k), v);
      }
    }
    // Cache-bypassing stores are weakly ordered: make them visible before the thread that
    // handed over the buffer reads it.
    _mm_sfence();
  } else {
    for (; i + 128 <= bytes; i += 128) {
      for (uint32_t k = 0; k < 128; k += 16) {
        __m128i v = _mm_loadu_si128((const __m128i *)(const void *)(src + i + k));
        _mm_storeu_si128((__m128i *)(void *)(dst + i + k), v);
      }
    }
  }
  for (; i < bytes; ++i) {
    dst[i] = src[i];
  }
}

#endif

#if JPG_IDCT_HAVE_MMX

#if defined(__i386__)
#define COPY_MMX_ENTRY __attribute__((target("mmx"), force_align_arg_pointer))
#else
#define COPY_MMX_ENTRY __attribute__((target("mmx")))
#endif

// Sixteen 8-byte moves per step through the eight MMX registers (plain MMX has no
// cache-bypassing store; written as instructions because a compiler turns a copy of 8-byte
// values into general-register moves), then EMMS so the floating-point unit is usable
// afterwards.
COPY_MMX_ENTRY void copy_line_mmx(uint8_t *dst, const uint8_t *src, uint32_t bytes) {
  uint32_t i = 0;
  for (; i + 128 <= bytes; i += 128) {
    for (uint32_t k = 0; k < 128; k += 64) {
      __asm__ volatile("movq 0(%1), %%mm0\n\t"
                       "movq 8(%1), %%mm1\n\t"
                       "movq 16(%1), %%mm2\n\t"
                       "movq 24(%1), %%mm3\n\t"
                       "movq 32(%1), %%mm4\n\t"
                       "movq 40(%1), %%mm5\n\t"
                       "movq 48(%1), %%mm6\n\t"
                       "movq 56(%1), %%mm7\n\t"
                       "movq %%mm0, 0(%0)\n\t"
                       "movq %%mm1, 8(%0)\n\t"
                       "movq %%mm2, 16(%0)\n\t"
                       "movq %%mm3, 24(%0)\n\t"
                       "movq %%mm4, 32(%0)\n\t"
                       "movq %%mm5, 40(%0)\n\t"
                       "movq %%mm6, 48(%0)\n\t"
                       "movq %%mm7, 56(%0)"
                       :
                       : "r"(dst + i + k), "r"(src + i + k)
                       : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
    }
  }
  _mm_empty();
  for (; i < bytes; ++i) {
    dst[i] = src[i];
  }
}

#endif

} // namespace

// The vector forms run whenever the inverse DCT runs the form of the same name, so that the
// decoder state's one setting (jpg_vector_form) turns every use of the vector registers on or
// off together.
void jpg_copy_line(const JpgDecoder *d, uint8_t *dst, const uint8_t *src, uint32_t bytes) {
#if JPG_IDCT_HAVE_SSE2
  if (jpg_vector_form(d) == JPG_IDCT_SSE2) {
    copy_line_sse2(dst, src, bytes);
    return;
  }
#endif
#if JPG_IDCT_HAVE_MMX
  if (jpg_vector_form(d) == JPG_IDCT_MMX) {
    copy_line_mmx(dst, src, bytes);
    return;
  }
#endif
  copy_line_scalar(dst, src, bytes);
}

// ---- Decode entry --------------------------------------------------------------------------------

int32_t jpg_decode(void *context, uint32_t out_mode, const uint8_t *input, uint32_t input_length,
                   uint8_t *output, uint32_t output_capacity, ImageProc_Long *width_out,
                   ImageProc_Long *height_out, ImageProc_ULong info4_out[4],
                   ImageProc_ULong info3_out[3], uint16_t info24_out[24]) {
  JpgDecoder *d = ip_context_decoder(context);
  d->out_mode = out_mode;
  jpg_begin_frame(d, input, input_length);
  if (jpg_get_error(d) != JPG_OK) {
    return 1;
  }
  const int32_t width = jpg_get_width(d);
  const int32_t height = jpg_get_height(d);

  // The camera is asked for a frame size and the bitmap buffer sized for it, but the frame
  // header is what the device sent: a frame of another size is refused before anything is
  // written. Width <= 1600 and height <= 1200 keep the product well inside 32 bits.
  const uint32_t pixel_bytes = out_mode == 2 ? 2 : 3;
  const uint32_t row_bytes = pixel_bytes * (uint32_t)width;
  if ((uint64_t)row_bytes * (uint32_t)height > output_capacity) {
    d->last_error = JPG_ERR_OUTPUT_SIZE;
    return 1;
  }

  *width_out = width;
  *height_out = height;
  for (int32_t i = 0; i < 4; ++i) {
    info4_out[i] = d->app_params_a[i];
  }
  for (int32_t i = 0; i < 3; ++i) {
    info3_out[i] = d->app_params_b[i];
  }
  for (int32_t i = 0; i < 24; ++i) {
    info24_out[i] = d->app_params_c[i];
  }

  if (jpg_start_decoding(d) != 0) {
    return 1;
  }

  // Line n goes to row height - 1 - n (bottom-up, BGR) or to row n (top-down, YCbCr).
  if (out_mode == 0 && (d->mcu_layout == 2 || d->mcu_layout == 4)) {
    for (int32_t n = 0;
         decode_line_direct_half(d, output + (size_t)row_bytes * (uint32_t)(height - 1 - n), row_bytes) == 0;
         ++n) {
    }
    return jpg_get_error(d) != JPG_OK ? 1 : 0;
  }
  const uint8_t *line;
  int32_t length;
  for (int32_t n = 0; jpg_decode_line(d, &line, &length) == 0; ++n) {
    int32_t row = out_mode == 0 ? height - 1 - n : n;
    jpg_copy_line(d, output + (size_t)row_bytes * (uint32_t)row, line, row_bytes);
  }
  return jpg_get_error(d) != JPG_OK ? 1 : 0;
}
