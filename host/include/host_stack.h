// Stack use of the driver's entry points. While measuring is on (a driver image is loaded), the
// host paints the stack below the caller before it enters the driver (a callback, the SRB
// routine, a system thread's start routine) and afterwards finds the deepest byte that changed.
// The figure includes the platform routines the driver called on the way, as on the kernel's
// own stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

enum class HostStackEntry {
  Worker,          // a system thread's start routine (the decode worker)
  RawFrame,        // the raw-frame callback
  Packet,          // the packet callback, at DISPATCH_LEVEL
  SrbDispatch,     // the device SRB routine and the stream request handlers
  Property,        // the device SRB routine with a property request
  CameraCallback,  // the other camera callbacks (configuration, bandwidth, capture start and stop)
  Count
};
const char *HostStackEntry_Name(HostStackEntry entry);

// Bytes painted below the caller: more than the kernel's 12 KB stack, so use beyond it shows.
constexpr size_t kHostStackPainted = 16 * 1024;
constexpr uint32_t kHostStackPaint = 0x5AC3A55Cu;

struct HostStackUse {
  size_t deepest = 0;   // bytes below the caller's stack pointer, at most kHostStackPainted
  uint64_t calls = 0;   // measured calls
};

void HostStack_SetMeasuring(bool on);  // counted: on as often as off
bool HostStack_Measuring();
HostStackUse HostStack_Use(HostStackEntry entry);
void HostStack_Reset();

// A measurement in progress on this thread; base is null when none was started (measuring off,
// or the call is nested in a measured one, which then covers it).
struct HostStackProbe {
  uint8_t *base = nullptr;
};
bool HostStack_Begin();  // false when this call is not to be measured
void HostStack_End(HostStackEntry entry, HostStackProbe probe);

// Paints the stack below the calling frame; inlined so that the painting starts at the stack
// pointer of the frame that makes the call.
__attribute__((always_inline)) inline HostStackProbe HostStack_Paint() {
  HostStackProbe probe;
  if (!HostStack_Begin()) return probe;
  uint8_t *sp;
#if defined(__i386__)
  __asm__ volatile("mov %%esp, %0" : "=r"(sp));
#else
  __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
#endif
  // Word-aligned, and clear of anything the compiler may keep just below the stack pointer.
  sp = reinterpret_cast<uint8_t *>(reinterpret_cast<uintptr_t>(sp) & ~uintptr_t(15));
  volatile uint32_t *p = reinterpret_cast<volatile uint32_t *>(sp - kHostStackPainted);
  for (size_t i = 0; i < kHostStackPainted / 4; ++i) p[i] = kHostStackPaint;
  probe.base = sp;
  return probe;
}

// Calls fn (which enters the driver) with the stack painted, and records its use under entry.
template <class F>
__attribute__((noinline)) auto HostStack_Call(HostStackEntry entry, F &&fn) -> decltype(fn()) {
  HostStackProbe probe = HostStack_Paint();
  if constexpr (std::is_void_v<decltype(fn())>) {
    fn();
    HostStack_End(entry, probe);
  } else {
    auto result = fn();
    HostStack_End(entry, probe);
    return result;
  }
}
