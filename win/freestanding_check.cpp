// Compiled into the image-processing library on every build, so the library exists even
// before it has sources of its own, and checks what the library assumes of the target.
#include <stdint.h>

#if defined(_WIN32)
static_assert(sizeof(void *) == 4, "the driver is built for 32-bit x86");
#endif
static_assert(sizeof(int32_t) == 4 && sizeof(int16_t) == 2, "fixed-width integers");
