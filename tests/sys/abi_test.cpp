// The host layer's headers against the platform facts the target build checks the real DDK headers against.
#include "platform.h"

#define TORVANE_ABI_CONSTANT(name, value) static_assert((name) == (value), #name);
#if defined(__i386__)
#define TORVANE_ABI_SIZE32(type, bytes) static_assert(sizeof(type) == (bytes), "sizeof " #type);
#define TORVANE_ABI_OFFSET32(type, field, offset) \
  static_assert(__builtin_offsetof(type, field) == (offset), #type "." #field);
#else
#define TORVANE_ABI_SIZE32(type, bytes)
#define TORVANE_ABI_OFFSET32(type, field, offset)
#endif
#include "abi/abi_values.h"
