// Shared set-up for the camera-control tests: a zero-filled device context as the class
// library hands it over, a physical device object with its own registry hive, the class
// library's interface, and a simulated camera attached to the device context. Requests the
// camera saw are compared as text lines, so a failure shows the whole sequence.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host_camera.h"
#include "host_kernel.h"
#include "host_registry.h"
#include "lumarex.h"

namespace controls {

inline std::string Hex(const std::vector<uint8_t> &data) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < data.size(); ++i) {
    snprintf(b, sizeof(b), i ? " %02x" : "%02x", data[i]);
    s += b;
  }
  return s;
}

// "0c out(1440,000f)", "0c in(0007,0000) len 1 [04]", "bulk-in 0 len 16", "bulk-out 1 [..]";
// a failed request ends in " -> c000009c".
inline std::string Describe(const HostUsbRequest &r) {
  char line[96];
  std::string s;
  switch (r.kind) {
    case HostUsbRequest::Control:
      snprintf(line, sizeof(line), "%02x %s(%04x,%04x)", r.request, r.deviceToHost ? "in" : "out", r.value, r.index);
      s = line;
      if (r.dataStage) {
        s += " len " + std::to_string(r.length) + " [" + Hex(r.data) + "]";
      }
      break;
    case HostUsbRequest::BulkIn:
      s = "bulk-in " + std::to_string(r.pipe) + " len " + std::to_string(r.length);
      break;
    case HostUsbRequest::BulkOut:
      s = "bulk-out " + std::to_string(r.pipe) + " [" + Hex(r.data) + "]";
      break;
    case HostUsbRequest::IsoPipeState:
      s = "iso-state " + std::to_string(r.value);
      break;
  }
  if (!NT_SUCCESS(r.status)) {
    snprintf(line, sizeof(line), " -> %08x", (unsigned)r.status);
    s += line;
  }
  return s;
}

// The expected lines, built the way Describe writes them.
inline std::string Out(USHORT value, USHORT index) {
  char line[64];
  snprintf(line, sizeof(line), "0c out(%04x,%04x)", value, index);
  return line;
}
inline std::string Out(USHORT value, USHORT index, ULONG length, const std::string &data) {
  return Out(value, index) + " len " + std::to_string(length) + " [" + data + "]";
}
inline std::string In(USHORT value, USHORT index, ULONG length, const std::string &returned) {
  char line[64];
  snprintf(line, sizeof(line), "0c in(%04x,%04x)", value, index);
  return std::string(line) + " len " + std::to_string(length) + " [" + returned + "]";
}
inline std::string BulkIn(ULONG length) { return "bulk-in 0 len " + std::to_string(length); }
inline std::string BulkOut(const std::string &data) { return "bulk-out 1 [" + data + "]"; }
inline std::string Failed(const std::string &line, NTSTATUS status) {
  char s[16];
  snprintf(s, sizeof(s), " -> %08x", (unsigned)status);
  return line + s;
}

// A property request as the stream class passes it: the caller's input (a KSPROPERTY and the
// record it begins) and a data buffer of exactly the given size, followed by guard bytes that
// must survive.
struct PropertyRequest {
  static constexpr size_t kGuard = 16;
  HW_STREAM_REQUEST_BLOCK srb;
  STREAM_PROPERTY_DESCRIPTOR descriptor;
  std::vector<uint64_t> input;  // 8-byte aligned, as the records need
  std::vector<uint8_t> data;

  PropertyRequest(ULONG id, ULONG flags, size_t inputSize, size_t dataSize)
      : input((inputSize + 7) / 8 + 1, 0), data(dataSize + kGuard, 0xCD) {
    memset(&srb, 0, sizeof(srb));
    memset(&descriptor, 0, sizeof(descriptor));
    KSPROPERTY *p = Property();
    p->Id = id;
    p->Flags = flags;
    descriptor.Property = p;
    descriptor.PropertyInputSize = ULONG(inputSize);
    descriptor.PropertyInfo = data.data();
    descriptor.PropertyOutputSize = ULONG(dataSize);
    srb.SizeOfThisPacket = sizeof(srb);
    srb.CommandData.PropertyInfo = &descriptor;
    srb.Status = STATUS_PENDING;
    srb.ActualBytesTransferred = 0xBADu;  // "not touched" shows as 0xBAD
  }
  KSPROPERTY *Property() { return reinterpret_cast<KSPROPERTY *>(input.data()); }
  template <typename T>
  T *In() {
    return reinterpret_cast<T *>(input.data());
  }
  template <typename T>
  T *Data() {
    return reinterpret_cast<T *>(data.data());
  }
  bool GuardIntact() const {
    for (size_t i = data.size() - kGuard; i < data.size(); ++i) {
      if (data[i] != 0xCD) return false;
    }
    return true;
  }
};

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostPool_Reset();
    HostDbg_Clear();
    HostRegistry_Reset();
    HostTime_SetDelayScale(0, 1);
    HostTime_ResetDelayStats();
    handlesAtStart_ = HostObjects_OpenHandles();
    memset(&dc_, 0, sizeof(dc_));
    memset(&pdo_, 0, sizeof(pdo_));
    dc_.g_pPhysicalDeviceObject = &pdo_;
    dc_.g_UsbcamdInterface = HostUsbcamd_Interface();
    LUMAREX_InitializeCommandLock(&dc_);  // as device initialisation does
    HostCamera_Attach(&dc_, &camera_);
  }

  void TearDown() override {
    HostCamera_Detach(&dc_);
    HostPool_ClearFaults();
    HostTime_SetDelayScale(1, 1);
    EXPECT_EQ(HostObjects_OpenHandles(), handlesAtStart_) << "a handle was left open";
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
    HostRegistry_Reset();
  }

  std::vector<std::string> Seen() const {
    std::vector<std::string> lines;
    for (const HostUsbRequest &r : camera_.Requests()) lines.push_back(Describe(r));
    return lines;
  }

  DeviceContext dc_;
  DEVICE_OBJECT pdo_;
  HostSimCamera camera_;
  size_t handlesAtStart_ = 0;
};

}  // namespace controls
