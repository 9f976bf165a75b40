// Host-only controls and observations of the stream class and the class library's entry points:
// the requests the driver completed, the requests it handed on to the class library, its
// registration, and the PnP interface query.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "host_platform.h"
#include "../shared/shared_rules.h"

// ---- Requests as the stream class issues them ---------------------------------------------------
// An application's request reaches the minidriver as the stream class's own SRB with the stream
// class's own copies of the blocks it points to (the format, the stream descriptor, the property
// descriptor, its input and data buffers, the intersection record, its range and format buffer).
// Once the minidriver hands the request back for completion, the stream class copies the results
// into the caller's request (Status, ActualBytesTransferred, the property data a get reported,
// the format an intersection produced, the stream descriptor, the stream state) and fills its SRB
// and copies with kHostFreedPoison, as a freed block reads: a minidriver that reads a request
// after completing it reads the poison. The caller reads only its own request.
constexpr uint8_t kHostFreedPoison = TORVANE_FREED_POISON;
void HostStream_Poison(void *block, size_t size);

// Sizes of the caller's blocks the request points to that the SRB does not give itself (0: the
// block is passed on as it is, uncopied).
struct HostRequestSizes {
  size_t format = 0;      // CommandData.OpenFormat (open, propose and set format)
  size_t descriptor = 0;  // CommandData.StreamBuffer (stream information)
  size_t range = 0;       // CommandData.IntersectInfo->DataRange
};
// Issues `request` through `deliver` (called with the stream class's SRB) and waits for its
// completion; returns its status, or STATUS_IO_TIMEOUT (the request is then abandoned: a late
// completion is still poisoned but copies nothing back). For a failed stream open the stream
// object (StreamObject, which the stream class frees then) is poisoned too.
NTSTATUS HostStream_Issue(HW_STREAM_REQUEST_BLOCK &request, const HostRequestSizes &sizes,
                          const std::function<void(PHW_STREAM_REQUEST_BLOCK)> &deliver,
                          std::chrono::milliseconds timeout);

// ---- Device property requests ------------------------------------------------------------------
// The minidriver's device property-set table, as it reported it at SRB_GET_STREAM_INFO.
struct HostPropertyTable {
  const KSPROPERTY_SET *sets = nullptr;
  ULONG count = 0;
};
// What the stream class does with a device property request before the minidriver sees it: the
// request is checked against the table and either answered here (true: Status and
// ActualBytesTransferred set in the request, a reply in its data buffer) or passed on (false,
// with the descriptor's PropertySetID set to the set's index in the table).
bool HostStream_FilterProperty(const HostPropertyTable &table, HW_STREAM_REQUEST_BLOCK &request);

// ---- Completions -------------------------------------------------------------------------------
// One StreamClassDeviceNotification(DeviceRequestComplete) or
// StreamClassStreamNotification(StreamRequestComplete), with the status the SRB had then.
struct HostCompletion {
  enum Kind { Device, Stream } kind;
  PHW_STREAM_REQUEST_BLOCK srb;  // the caller's request for one issued with HostStream_Issue
  PVOID target;  // the device extension or the stream object passed with it
  NTSTATUS status;
  ULONG bytes;   // Srb->ActualBytesTransferred then
};
std::vector<HostCompletion> HostStream_Completions();
void HostStream_ClearCompletions();
// Waits until the request has been completed (and forgets that it was); false on time-out.
bool HostStream_WaitCompleted(PHW_STREAM_REQUEST_BLOCK srb, std::chrono::milliseconds timeout);
// Completed read requests of this stream go to the handler instead of the log (none: the log).
void HostStream_SetReadHandler(PHW_STREAM_OBJECT stream, std::function<void(PHW_STREAM_REQUEST_BLOCK)> handler);

// ---- The class library's entry points -------------------------------------------------------
struct HostUsbcamdRegistration {
  PVOID driverObject;
  PVOID registryPath;
  ULONG deviceContextSize;
  ULONG frameContextSize;
  PADAPTER_RECEIVE_PACKET_ROUTINE receivePacket;
  unsigned calls;
};
HostUsbcamdRegistration HostUsbcamd_Registration();
// What USBCAMD_DriverEntry returns from now on (STATUS_SUCCESS at first).
void HostUsbcamd_SetDriverEntryStatus(NTSTATUS status);

struct HostUsbcamdNewInterface {
  PVOID deviceContext;
  PVOID deviceData;
  ULONG version;
  ULONG camControlFlag;
};
std::vector<HostUsbcamdNewInterface> HostUsbcamd_NewInterfaces();

// A request handed on to the class library (USBCAMD_AdapterReceivePacket with NeedsCompletion
// TRUE). The class library completes it with STATUS_SUCCESS, or with the status set by
// HostUsbcamd_SetHandOnStatus.
struct HostHandOn {
  PHW_STREAM_REQUEST_BLOCK srb;
  SRB_COMMAND command;
  PVOID deviceData;
};
std::vector<HostHandOn> HostUsbcamd_HandOns();
void HostUsbcamd_SetHandOnStatus(NTSTATUS status);
// The lookups (NeedsCompletion FALSE): how many, and the device data of the last.
unsigned HostUsbcamd_LookupCount();

// The device context the class library keeps behind a stream-class device extension: lookups
// and hand-ons return it. Without a binding, the device extension itself is returned.
void HostUsbcamd_Bind(PVOID hwDeviceExtension, PVOID deviceContext);

// ---- The PnP interface query (IoBuildSynchronousFsdRequest, IofCallDriver) ----------------------
enum class HostQueryMode {
  Answer,         // fill the interface and complete with STATUS_SUCCESS
  AnswerPending,  // the same, but IofCallDriver returns STATUS_PENDING
  Refuse,         // complete with the status the driver preset (nothing filled)
  NoIsoEntry,     // answer with an interface whose USBCAMD_SetIsoPipeState entry is NULL
};
void HostIrp_SetQueryMode(HostQueryMode mode);
void HostIrp_FailNextBuild();  // the next IoBuildSynchronousFsdRequest returns NULL
struct HostIrpRecord {
  UCHAR major, minor;
  GUID interfaceType;
  USHORT size, version;
  PVOID interfaceBuffer;
  PVOID interfaceSpecificData;
  KPROCESSOR_MODE requestorMode;
  NTSTATUS presetStatus;
  PDEVICE_OBJECT target;
};
std::vector<HostIrpRecord> HostIrp_Calls();

// Forgets every record and setting above: the stream class's, and through the two below the class
// library's entry-point records and the kernel's IRP records.
void HostStream_Reset();
void HostUsbcamd_ResetEntryPoints();
void HostIrp_Reset();
