// The stream class's notifications, the class library's registration and request entry points,
// and the synchronous PnP interface query, as the driver relies on them.
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>

#include <condition_variable>
#include <functional>
#include <unordered_set>

#include "../usbcamd/usbcamd_internal.h"
#include "host_camera.h"
#include "host_kernel.h"
#include "host_stream.h"

namespace {

const GUID kUsbcamdInterfaceGuid = {0x2bcb75c0, 0xb27f, 0x11d1, {0xba, 0x41, 0x00, 0xa0, 0xc9, 0x0d, 0x2b, 0x05}};

struct State {
  std::mutex lock;
  std::vector<HostCompletion> completions;
  HostUsbcamdRegistration registration{};
  NTSTATUS driverEntryStatus = STATUS_SUCCESS;
  std::vector<HostUsbcamdNewInterface> newInterfaces;
  std::vector<HostHandOn> handOns;
  NTSTATUS handOnStatus = STATUS_SUCCESS;
  unsigned lookups = 0;
  std::map<PVOID, PVOID> bindings;
  HostQueryMode queryMode = HostQueryMode::Answer;
  bool failNextBuild = false;
  std::vector<HostIrpRecord> irps;
  // Device requests completed and not yet waited for, and the handlers that take the stream
  // requests of a stream object instead of the log.
  std::condition_variable completed;
  std::unordered_set<PHW_STREAM_REQUEST_BLOCK> done;
  std::map<PHW_STREAM_OBJECT, std::function<void(PHW_STREAM_REQUEST_BLOCK)>> streamHandlers;
};

// Never destroyed: pump threads may still complete requests while the process exits.
State &S() {
  static State *s = new State;
  return *s;
}

void Record(HostCompletion::Kind kind, PHW_STREAM_REQUEST_BLOCK srb, PVOID target) {
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().completions.push_back({kind, srb, target, srb->Status, srb->ActualBytesTransferred});
    S().done.insert(srb);
  }
  S().completed.notify_all();
}

// An IRP with its stack locations in one block; the caller's location is one past the last.
struct HostIrpBlock {
  IRP irp;
  IO_STACK_LOCATION stack[2];
};

}  // namespace

std::vector<HostCompletion> HostStream_Completions() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().completions;
}
void HostStream_ClearCompletions() {
  std::lock_guard<std::mutex> g(S().lock);
  S().completions.clear();
}

VOID __cdecl StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                           PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb, PVOID, GUID *,
                                           ULONG) {
  if (NotificationType == DeviceRequestComplete && pSrb != nullptr) {
    Record(HostCompletion::Device, pSrb, HwDeviceExtension);
  }
}

VOID __cdecl StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                           PHW_STREAM_OBJECT StreamObject, ...) {
  if (NotificationType != StreamRequestComplete) {
    return;
  }
  va_list args;
  va_start(args, StreamObject);
  PHW_STREAM_REQUEST_BLOCK srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
  va_end(args);
  if (srb == nullptr) {
    return;
  }
  std::function<void(PHW_STREAM_REQUEST_BLOCK)> handler;
  {
    std::lock_guard<std::mutex> g(S().lock);
    auto it = S().streamHandlers.find(StreamObject);
    if (it != S().streamHandlers.end() && srb->Command == SRB_READ_DATA) {
      handler = it->second;
    }
  }
  if (handler) {
    handler(srb);
  } else {
    Record(HostCompletion::Stream, srb, StreamObject);
  }
}

bool HostStream_WaitCompleted(PHW_STREAM_REQUEST_BLOCK srb, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(S().lock);
  bool ok = S().completed.wait_for(g, timeout, [srb] { return S().done.count(srb) != 0; });
  S().done.erase(srb);
  return ok;
}

void HostStream_SetReadHandler(PHW_STREAM_OBJECT stream, std::function<void(PHW_STREAM_REQUEST_BLOCK)> handler) {
  std::lock_guard<std::mutex> g(S().lock);
  if (handler) {
    S().streamHandlers[stream] = std::move(handler);
  } else {
    S().streamHandlers.erase(stream);
  }
}

// ---- Class library entry points ---------------------------------------------------------------
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

// ---- The synchronous IRP ----------------------------------------------------------------------
PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID, ULONG,
                                        PLARGE_INTEGER, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  HostIrql_Require(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
  {
    std::lock_guard<std::mutex> g(S().lock);
    if (S().failNextBuild) {
      S().failNextBuild = false;
      return nullptr;
    }
  }
  auto *block = static_cast<HostIrpBlock *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(HostIrpBlock), HostPool_Tag("HIrp")));
  if (block == nullptr) {
    return nullptr;
  }
  memset(block, 0, sizeof(*block));
  PIRP irp = &block->irp;
  irp->Size = sizeof(HostIrpBlock);
  irp->StackCount = 2;
  irp->CurrentLocation = 3;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.CurrentStackLocation = &block->stack[2];  // one past the last: the caller's
  block->stack[1].MajorFunction = (UCHAR)MajorFunction;
  block->stack[1].DeviceObject = DeviceObject;
  return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  HostIrpRecord record{};
  HostQueryMode mode;
  record.major = next->MajorFunction;
  record.minor = next->MinorFunction;
  if (next->Parameters.QueryInterface.InterfaceType != nullptr) {
    record.interfaceType = *next->Parameters.QueryInterface.InterfaceType;
  }
  record.size = next->Parameters.QueryInterface.Size;
  record.version = next->Parameters.QueryInterface.Version;
  record.interfaceBuffer = next->Parameters.QueryInterface.Interface;
  record.interfaceSpecificData = next->Parameters.QueryInterface.InterfaceSpecificData;
  record.requestorMode = Irp->RequestorMode;
  record.presetStatus = Irp->IoStatus.Status;
  record.target = DeviceObject;
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().irps.push_back(record);
    mode = S().queryMode;
  }

  bool isQuery = record.major == IRP_MJ_PNP && record.minor == IRP_MN_QUERY_INTERFACE &&
                 memcmp(&record.interfaceType, &kUsbcamdInterfaceGuid, sizeof(GUID)) == 0;
  if (isQuery && mode != HostQueryMode::Refuse) {
    USBCAMD_INTERFACE answer = HostUsbcamd_Interface();
    if (mode == HostQueryMode::NoIsoEntry) {
      answer.USBCAMD_SetIsoPipeState = nullptr;
    }
    size_t n = record.size < sizeof(answer) ? record.size : sizeof(answer);
    memcpy(record.interfaceBuffer, &answer, n);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  NTSTATUS status = Irp->IoStatus.Status;
  if (Irp->UserIosb != nullptr) {
    *Irp->UserIosb = Irp->IoStatus;
  }
  if (Irp->UserEvent != nullptr) {
    KeSetEvent(Irp->UserEvent, 0, FALSE);
  }
  ExFreePool(Irp);
  return mode == HostQueryMode::AnswerPending ? STATUS_PENDING : status;
}

void HostIrp_SetQueryMode(HostQueryMode mode) {
  std::lock_guard<std::mutex> g(S().lock);
  S().queryMode = mode;
}
void HostIrp_FailNextBuild() {
  std::lock_guard<std::mutex> g(S().lock);
  S().failNextBuild = true;
}
std::vector<HostIrpRecord> HostIrp_Calls() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().irps;
}

void HostUsbcamd_UnloadDriver() {
  std::lock_guard<std::mutex> g(S().lock);
  S().registration = {};
  S().newInterfaces.clear();
}

void HostStream_Reset() {
  std::lock_guard<std::mutex> g(S().lock);
  S().done.clear();
  S().streamHandlers.clear();
  S().completions.clear();
  S().registration = {};
  S().driverEntryStatus = STATUS_SUCCESS;
  S().newInterfaces.clear();
  S().handOns.clear();
  S().handOnStatus = STATUS_SUCCESS;
  S().lookups = 0;
  S().bindings.clear();
  S().queryMode = HostQueryMode::Answer;
  S().failNextBuild = false;
  S().irps.clear();
}
