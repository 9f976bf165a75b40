// The stack-use measurement against calls whose use is known: a frame that writes the top n bytes
// of a large buffer uses n bytes plus its small overhead.
#include <gtest/gtest.h>

#include "host_stack.h"

namespace {

// Writes the n bytes of an 8 KB buffer nearest the caller, leaving the rest untouched.
__attribute__((noinline)) int TouchStack(size_t n) {
  volatile char buffer[8192];
  for (size_t i = 0; i < n; ++i) buffer[sizeof(buffer) - 1 - i] = char(i | 1);
  return buffer[sizeof(buffer) - 1];
}

TEST(StackUse, MeasuresTheDeepestByteACallChanged) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps its own marks below the stack pointer";
#endif
  HostStack_Reset();
  HostStack_Call(HostStackEntry::Packet, [] { return TouchStack(3000); });
  EXPECT_EQ(HostStack_Use(HostStackEntry::Packet).calls, 0u) << "nothing is measured while measuring is off";

  HostStack_SetMeasuring(true);
  for (size_t n : {1000u, 5000u, 2000u}) {
    HostStack_Call(HostStackEntry::Packet, [n] { return TouchStack(n); });
  }
  // A measured call inside another is covered by the outer one.
  HostStack_Call(HostStackEntry::RawFrame, [] {
    return HostStack_Call(HostStackEntry::Property, [] { return TouchStack(700); });
  });
  HostStack_SetMeasuring(false);

  HostStackUse packet = HostStack_Use(HostStackEntry::Packet);
  EXPECT_EQ(packet.calls, 3u);
  EXPECT_GE(packet.deepest, 5000u);
  EXPECT_LE(packet.deepest, 5000u + 256);
  HostStackUse outer = HostStack_Use(HostStackEntry::RawFrame);
  EXPECT_EQ(outer.calls, 1u);
  EXPECT_GE(outer.deepest, 700u);
  EXPECT_LE(outer.deepest, 700u + 512);
  EXPECT_EQ(HostStack_Use(HostStackEntry::Property).calls, 0u);
  HostStack_Reset();
}

}  // namespace
