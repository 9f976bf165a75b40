// Stack use of the driver's entry points: the deepest painted byte each call changed.
#include <atomic>

#include "host_stack.h"

namespace {

std::atomic<int> g_measuring{0};
std::atomic<size_t> g_deepest[size_t(HostStackEntry::Count)];
std::atomic<uint64_t> g_calls[size_t(HostStackEntry::Count)];
thread_local bool t_inside = false;  // a measured call is running on this thread

}  // namespace

const char *HostStackEntry_Name(HostStackEntry entry) {
  switch (entry) {
    case HostStackEntry::Worker: return "worker thread";
    case HostStackEntry::RawFrame: return "raw-frame callback";
    case HostStackEntry::Packet: return "packet callback (DISPATCH_LEVEL)";
    case HostStackEntry::SrbDispatch: return "SRB dispatch";
    case HostStackEntry::Property: return "property requests";
    case HostStackEntry::CameraCallback: return "other camera callbacks";
    case HostStackEntry::Count: break;
  }
  return "?";
}

void HostStack_SetMeasuring(bool on) { g_measuring += on ? 1 : -1; }
bool HostStack_Measuring() { return g_measuring.load() > 0; }

HostStackUse HostStack_Use(HostStackEntry entry) {
  return {g_deepest[size_t(entry)].load(), g_calls[size_t(entry)].load()};
}

void HostStack_Reset() {
  for (size_t i = 0; i < size_t(HostStackEntry::Count); ++i) {
    g_deepest[i] = 0;
    g_calls[i] = 0;
  }
}

bool HostStack_Begin() {
  if (t_inside || g_measuring.load(std::memory_order_relaxed) <= 0) return false;
  t_inside = true;
  return true;
}

void HostStack_End(HostStackEntry entry, HostStackProbe probe) {
  if (probe.base == nullptr) return;
  t_inside = false;
  // From the bottom of the painted region up: the first word that changed is the deepest use.
  const volatile uint32_t *p = reinterpret_cast<const volatile uint32_t *>(probe.base - kHostStackPainted);
  size_t i = 0;
  while (i < kHostStackPainted / 4 && p[i] == kHostStackPaint) ++i;
  size_t depth = kHostStackPainted - i * 4;
  std::atomic<size_t> &deepest = g_deepest[size_t(entry)];
  size_t seen = deepest.load();
  while (depth > seen && !deepest.compare_exchange_weak(seen, depth)) {
  }
  ++g_calls[size_t(entry)];
}
