// Error exit of the JPEG decoder.
//
// Each entry point that starts work on a frame (jpg_begin_frame, jpg_start_decoding, the row
// decoder) sets the jump buffer in jmp_state with __builtin_setjmp before it calls into the
// stages; a failing check anywhere below records its code and jumps back there. The builtin
// pair needs no runtime library, so it serves the kernel build and the host build alike.
#include "jpg_internal.h"

#if defined(__SANITIZE_ADDRESS__)
// The frames abandoned by the jump never run their epilogues; tell AddressSanitizer so their
// stack redzones are unpoisoned. Sanitizer builds only.
extern "C" void __asan_handle_no_return(void);
#endif

void jpg_raise(JpgDecoder *d, int32_t code) {
  // Only one check can fail per entry, since the jump abandons the rest of the work; the test
  // keeps the first code should an entry ever be re-entered without clearing it.
  if (d->last_error == JPG_OK) {
    d->last_error = code;
  }
#if defined(__SANITIZE_ADDRESS__)
  __asan_handle_no_return();
#endif
  __builtin_longjmp(d->jmp_state.words, 1);
}
