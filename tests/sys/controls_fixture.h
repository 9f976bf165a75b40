// Shared set-up for the camera-control tests: a device context, registry hive and simulated camera.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
  for (uint8_t d : data) snprintf(b, sizeof(b), s.empty() ? "%02x" : " %02x", d), s += b;
  return s;
}
inline std::string Failed(const std::string &line, NTSTATUS status) {
  char s[16];
  return line + (snprintf(s, sizeof(s), " -> %08x", (unsigned)status), s);
}

// "0c out(1440,000f)", "0c in(0007,0000) len 1 [04]", "bulk-in 0 len 16", "bulk-out 1 [..]";
// a failed request ends in " -> c000009c".
inline std::string Describe(const HostUsbRequest &r) {
  char line[64];
  std::string s;
  switch (r.kind) {
    case HostUsbRequest::Control:
      snprintf(line, sizeof(line), "%02x %s(%04x,%04x)", r.request, r.deviceToHost ? "in" : "out", r.value, r.index);
      s = line;
      if (r.dataStage) s += " len " + std::to_string(r.length) + " [" + Hex(r.data) + "]";
      break;
    case HostUsbRequest::BulkIn: s = "bulk-in " + std::to_string(r.pipe) + " len " + std::to_string(r.length); break;
    case HostUsbRequest::BulkOut: s = "bulk-out " + std::to_string(r.pipe) + " [" + Hex(r.data) + "]"; break;
    default: s = "iso-state " + std::to_string(r.value); break;
  }
  return NT_SUCCESS(r.status) ? s : Failed(s, r.status);
}

inline std::string Control(const char *direction, USHORT value, USHORT index) {
  char line[32];
  snprintf(line, sizeof(line), "0c %s(%04x,%04x)", direction, value, index);
  return line;
}
inline std::string Out(USHORT value, USHORT index) { return Control("out", value, index); }
inline std::string Out(USHORT value, USHORT index, ULONG length, const std::string &data) {
  return Out(value, index) + " len " + std::to_string(length) + " [" + data + "]";
}
inline std::string In(USHORT value, USHORT index, ULONG length, const std::string &data) {
  return Control("in", value, index) + " len " + std::to_string(length) + " [" + data + "]";
}
inline std::string BulkIn(ULONG length) { return "bulk-in 0 len " + std::to_string(length); }
inline std::string BulkOut(const std::string &data) { return "bulk-out 1 [" + data + "]"; }
using Lines = std::vector<std::string>;

// A property request as the stream class passes it: the caller's input (a KSPROPERTY and the
struct PropertyRequest {
  static constexpr size_t kGuard = 16;
  HW_STREAM_REQUEST_BLOCK srb = {};
  STREAM_PROPERTY_DESCRIPTOR descriptor = {};
  std::vector<uint64_t> input;  // 8-byte aligned, as the records need
  std::vector<uint8_t> data;

  PropertyRequest(ULONG id, ULONG flags, size_t inputSize, size_t dataSize)
      : input((inputSize + 7) / 8 + 1, 0), data(dataSize + kGuard, 0xCD) {
    Property()->Id = id, Property()->Flags = flags;
    descriptor.Property = Property();
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
  T *In() { return reinterpret_cast<T *>(input.data()); }
  template <typename T>
  T *Data() { return reinterpret_cast<T *>(data.data()); }
  bool GuardIntact() const {
    return std::all_of(data.end() - kGuard, data.end(), [](uint8_t b) { return b == 0xCD; });
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
  Lines Seen(const HostSimCamera *camera = nullptr) const {
    Lines lines;
    for (const HostUsbRequest &r : (camera ? camera : &camera_)->Requests()) lines.push_back(Describe(r));
    return lines;
  }

  DeviceContext dc_;
  DEVICE_OBJECT pdo_;
  HostSimCamera camera_;
  size_t handlesAtStart_ = 0;
};

}  // namespace controls
