// The image-processing library's interface to the driver: the size of the image-process
// context the driver allocates, its initialisation, and the decode of one JPEG frame into a
// bitmap. The context is opaque to the driver; the library keeps all of its state in it and
// allocates nothing itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The form selection: the library's vector code (inverse DCT, colour conversion, line copy)
// runs only where the context allows it. Each context chooses its form from CPUID when it is
// initialised; ZRImageProcess_AllowVectorForms(context, 0) keeps that context's decodes off
// the vector registers where the caller cannot save them. Both forms give the same bytes.
#include "jpg_idct.h"

// 32-bit integers as the driver's LONG and ULONG: long on Windows (32 bits there), int32_t
// and uint32_t elsewhere, so the driver passes its own variables without casts.
#if defined(_WIN32)
typedef long ImageProc_Long;
typedef unsigned long ImageProc_ULong;
#else
typedef int32_t ImageProc_Long;
typedef uint32_t ImageProc_ULong;
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Bytes to allocate for one image-process context (325648 on the 32-bit target). The block
// need not be cleared; ZRImageProcess_Initialize gives it its starting contents.
uint32_t ZRImageProcess_GetContextSize(void);

// Initialises the context: prints the library's build date and time, then runs
// Init_ZR417_ImageProc_Context. DeviceContext is not used. Never fails; may be repeated
// between frames (it restores the default quantisation tables).
void ZRImageProcess_Initialize(void *DeviceContext, void *context);

// Gives every block of the context its starting contents, including the JPEG decoder state.
void Init_ZR417_ImageProc_Context(void *context);

// Lets the following decodes on this context run the vector forms chosen for the processor at
// initialisation (allow 1, the state after initialisation) or keeps them to the scalar forms
// (allow 0). Only this context changes: decodes on other contexts, on other threads, keep
// their own setting.
void ZRImageProcess_AllowVectorForms(void *context, int32_t allow);

// The form the decodes on this context run now: JPG_IDCT_SSE2, JPG_IDCT_MMX or JPG_IDCT_SCALAR.
int32_t ZRImageProcess_VectorForm(void *context);

// Decodes one JPEG frame of input_length bytes at input into output.
//   out_mode          0: B, G, R, 3 bytes per pixel, rows bottom-up (what the driver uses);
//                     1: Y, Cb, Cr, 3 bytes per pixel, top-down;
//                     2: Y0, Cb, Y1, Cr per pixel pair, 2 bytes per pixel, top-down.
//   output_capacity   bytes available at output; a frame whose width x height x bytes per
//                     pixel exceeds it is refused before anything is written.
//   width_out, height_out   the frame size (written once the header has been read and the
//                     frame fits the buffer);
//   info4_out, info3_out, info24_out   the camera parameter block (4 and 3 words, 24 halves),
//                     as carried by the latest frame that had one.
// Rows are width x bytes per pixel long, back to back. Returns 0 when the frame was decoded,
// 1 on any failure; rows written before a failure in the entropy-coded data stay in output.
// Nothing outside [input, input + input_length) is read.
int32_t jpg_decode(void *context, uint32_t out_mode, const uint8_t *input, uint32_t input_length,
                   uint8_t *output, uint32_t output_capacity, ImageProc_Long *width_out,
                   ImageProc_Long *height_out, ImageProc_ULong info4_out[4],
                   ImageProc_ULong info3_out[3], uint16_t info24_out[24]);

#ifdef __cplusplus
}
#endif
