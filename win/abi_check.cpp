// Compile-time check that the real DDK headers agree with the platform facts the host layer
// is written to (tests/abi/abi_values.h). Built on the target build only.
#include "platform.h"

#define TORVANE_ABI_CONSTANT(name, value) static_assert((name) == (value), #name);
#define TORVANE_ABI_SIZE32(type, bytes) static_assert(sizeof(type) == (bytes), "sizeof " #type);
#define TORVANE_ABI_OFFSET32(type, field, offset) \
  static_assert(__builtin_offsetof(type, field) == (offset), #type "." #field);
#include "abi_values.h"
