// The kernel's synchronous IRP (ntoskrnl.exe): IoBuildSynchronousFsdRequest and IofCallDriver,
// with the device stack below the class device answering the class library's interface query.
#include <cstring>
#include <mutex>

#include "host_camera.h"
#include "host_kernel.h"
#include "host_stream.h"

namespace {

const GUID kUsbcamdInterfaceGuid = {0x2bcb75c0, 0xb27f, 0x11d1, {0xba, 0x41, 0x00, 0xa0, 0xc9, 0x0d, 0x2b, 0x05}};

struct State {
  std::mutex lock;
  HostQueryMode queryMode = HostQueryMode::Answer;
  bool failNextBuild = false;
  std::vector<HostIrpRecord> irps;
};

State &S() {
  static State *s = new State;
  return *s;
}

// An IRP with its stack locations in one block; the caller's location is one past the last.
struct HostIrpBlock {
  IRP irp;
  IO_STACK_LOCATION stack[2];
};

}  // namespace

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

void HostIrp_Reset() {
  std::lock_guard<std::mutex> g(S().lock);
  S().queryMode = HostQueryMode::Answer;
  S().failNextBuild = false;
  S().irps.clear();
}
