// The class library's entry points the driver calls (Kelvane.sys): the driver's registration,
// its USBCAMD2 callback table, and the device requests it looks up or hands on.
#include <map>
#include <mutex>

#include "usbcamd_internal.h"

namespace {

struct State {
  std::mutex lock;
  HostUsbcamdRegistration registration{};
  NTSTATUS driverEntryStatus = STATUS_SUCCESS;
  std::vector<HostUsbcamdNewInterface> newInterfaces;
  std::vector<HostHandOn> handOns;
  NTSTATUS handOnStatus = STATUS_SUCCESS;
  unsigned lookups = 0;
  std::map<PVOID, PVOID> bindings;
};

// Never destroyed: pump threads may still hand requests on while the process exits.
State &S() {
  static State *s = new State;
  return *s;
}

}  // namespace

ULONG NTAPI USBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize, ULONG FrameContextSize,
                                PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket) {
  std::lock_guard<std::mutex> g(S().lock);
  unsigned calls = S().registration.calls + 1;
  S().registration = {Context1, Context2, DeviceContextSize, FrameContextSize, ReceivePacket, calls};
  return (ULONG)S().driverEntryStatus;
}

ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID DeviceContext, PVOID DeviceData, ULONG Version,
                                           ULONG CamControlFlag) {
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().newInterfaces.push_back({DeviceContext, DeviceData, Version, CamControlFlag});
  }
  // A plugged-in camera's class library record takes the USBCAMD2 callbacks from now on.
  usbcamd::Device *device = usbcamd::DeviceOfContext(DeviceContext);
  if (device != nullptr && Version >= USBCAMD_VERSION_200 && DeviceData != nullptr) {
    device->callbacks = static_cast<const USBCAMD_DEVICE_DATA2 *>(DeviceData);
  }
  return USBCAMD_VERSION_200;
}

PVOID NTAPI USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                         PDEVICE_OBJECT *DeviceObject, BOOLEAN NeedsCompletion) {
  PVOID context;
  NTSTATUS status;
  // A plugged-in camera: the class library really processes what the driver hands on.
  usbcamd::Device *device = usbcamd::DeviceOfExtension(Srb->HwDeviceExtension);
  if (device != nullptr) {
    if (!NeedsCompletion) {
      std::lock_guard<std::mutex> g(S().lock);
      ++S().lookups;
      return device->deviceContext;
    }
    {
      std::lock_guard<std::mutex> g(S().lock);
      S().handOns.push_back({Srb, Srb->Command, (PVOID)DeviceData});
    }
    if (DeviceObject != nullptr) {
      *DeviceObject = device->physicalDevice;
    }
    usbcamd::ProcessDeviceRequest(*device, Srb);
    return device->deviceContext;
  }
  {
    std::lock_guard<std::mutex> g(S().lock);
    auto it = S().bindings.find(Srb->HwDeviceExtension);
    context = it != S().bindings.end() ? it->second : Srb->HwDeviceExtension;
    if (!NeedsCompletion) {
      ++S().lookups;
      return context;
    }
    S().handOns.push_back({Srb, Srb->Command, (PVOID)DeviceData});
    status = S().handOnStatus;
  }
  if (DeviceObject != nullptr) {
    *DeviceObject = nullptr;
  }
  Srb->Status = status;
  StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb, nullptr, nullptr, 0);
  return context;
}

HostUsbcamdRegistration HostUsbcamd_Registration() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().registration;
}
void HostUsbcamd_SetDriverEntryStatus(NTSTATUS status) {
  std::lock_guard<std::mutex> g(S().lock);
  S().driverEntryStatus = status;
}
std::vector<HostUsbcamdNewInterface> HostUsbcamd_NewInterfaces() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().newInterfaces;
}
std::vector<HostHandOn> HostUsbcamd_HandOns() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().handOns;
}
void HostUsbcamd_SetHandOnStatus(NTSTATUS status) {
  std::lock_guard<std::mutex> g(S().lock);
  S().handOnStatus = status;
}
unsigned HostUsbcamd_LookupCount() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().lookups;
}
void HostUsbcamd_Bind(PVOID hwDeviceExtension, PVOID deviceContext) {
  std::lock_guard<std::mutex> g(S().lock);
  S().bindings[hwDeviceExtension] = deviceContext;
}

void HostUsbcamd_UnloadDriver() {
  std::lock_guard<std::mutex> g(S().lock);
  S().registration = {};
  S().newInterfaces.clear();
}

void HostUsbcamd_ResetEntryPoints() {
  std::lock_guard<std::mutex> g(S().lock);
  S().registration = {};
  S().driverEntryStatus = STATUS_SUCCESS;
  S().newInterfaces.clear();
  S().handOns.clear();
  S().handOnStatus = STATUS_SUCCESS;
  S().lookups = 0;
  S().bindings.clear();
}
