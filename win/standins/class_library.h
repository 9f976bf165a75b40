// The stand-in camera class library's own records, shared by its device side
// (class_library.cpp) and its stream side (class_library_streams.cpp).
#pragma once

#include "standin.h"
#include "torvane_ioctl.h"

namespace kelvane {

constexpr ULONG kMaxEventWaits = 8;
constexpr ULONG kDeviceMagic = 0x6D61434B;  // "KCam"
constexpr ULONG kPoolTag = 0x6D616355;      // "Ucam"
constexpr ULONG kFrameContexts = 4;         // one per frame buffer: a raw frame is processed after the next began
constexpr ULONG kMaxReads = 64;

struct Registration {
  PVOID driverObject;
  ULONG deviceContextSize;
  ULONG frameContextSize;
  PADAPTER_RECEIVE_PACKET_ROUTINE receivePacket;
};
extern Registration g_registration;

struct EventWait {
  PCOMMAND_COMPLETE_FUNCTION complete;
  PVOID context;
};

struct Device;

// An open stream.
struct Stream {
  Device *device;
  PHW_STREAM_OBJECT object;
  ULONG number;
  // The driver's own handlers, called first with (request, device context, completion flag).
  PSTREAM_RECEIVE_PACKET driverData;
  PSTREAM_RECEIVE_PACKET driverControl;
  PUCHAR format;  // the stream's data format (open or last set), pool
  PUCHAR allocationFormat;  // the format the bandwidth is allocated with instead, or null
  PUCHAR frameContextBlock;  // kFrameContexts frame contexts
  ULONG frameContextSize;
  ULONG nextFrameContext;
  PVOID frameContext;  // the one of the frame being assembled

  KEVENT lock;  // guards state and reads (signalled: free)
  KEVENT readQueued;  // set when a read is queued or the pump is to stop
  KSSTATE state;
  BOOLEAN bandwidth;  // CamAllocateBandwidthEx succeeded, CamFreeBandwidthEx not yet called
  ULONG rawFrameLength;
  PUCHAR rawBuffer;
  PHW_STREAM_REQUEST_BLOCK reads[kMaxReads];
  ULONG readHead, readCount;

  BOOLEAN pumpRunning;
  LONG pumpStop;
  KEVENT pumpEnded;
  ULONGLONG framesAssembled;
  // The last raw frames finished, what became of each (guarded by lock).
  TORVANE_RAW_FRAME frameLog[TORVANE_RAW_FRAME_LOG];
  ULONG frameLogCount;
};

// The class library's record of a camera, at the start of the stream-class device extension;
// the driver's device context follows it.
struct Device {
  ULONG magic;
  PDEVICE_OBJECT classDevice;
  PDEVICE_OBJECT physicalDevice;
  const USBCAMD_DEVICE_DATA2 *callbacks;  // registered by USBCAMD_InitializeNewInterface
  BOOLEAN initialized;                    // CamInitialize succeeded, CamUnInitialize not yet called
  BOOLEAN removed;                        // surprise removal: the camera is gone
  BOOLEAN poweredDown;                    // below D0
  USB_DEVICE_DESCRIPTOR deviceDescriptor;
  USB_CONFIGURATION_DESCRIPTOR configDescriptor;
  ULONGLONG interfaceBlock[32];           // USBD_INTERFACE_INFORMATION with the camera's pipes
  USBCAMD_Pipe_Config_Descriptor pipeConfig[TORVANE_CAMERA_PIPES];
  ULONG dataPipe, syncPipe;
  KEVENT eventLock;    // guards the event waits (signalled: free)
  KEVENT commandLock;  // one camera command at a time, and the camera's streaming side (signalled: free)
  TORVANE_CAMERA_COMMANDS camera;
  TORVANE_CAMERA_STREAM_VIEW cameraStream;
  EventWait eventWaits[kMaxEventWaits];
  ULONG eventWaitCount;
  Stream *streams[2];

  // The isochronous slots the camera sends while streaming, in the file format of
  // tests/wine/slot_file.h (pool); once they are all sent every slot is idle.
  PUCHAR slots;
  ULONG slotsSize;
  ULONG slotOffset;
  // The isochronous pipe: stopped by USBCAMD_SetIsoPipeState(STOP) until START.
  LONG isoStopped;
  LONG isoRestarts;
  // The snapshot button: pressed for the next frame that begins (pressFrames), held while the
  // slots of that frame go out (pressHeld); the camera frame of the last data slot.
  LONG pressFrames;
  BOOLEAN pressHeld;
  ULONGLONG slotFrame;

  PUSBD_INTERFACE_INFORMATION Interface() { return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interfaceBlock); }
};

constexpr ULONG kContextOffset = (sizeof(Device) + 15) & ~15u;

inline PVOID ContextOf(Device *d) { return reinterpret_cast<PUCHAR>(d) + kContextOffset; }
inline Device *DeviceOfExtension(PVOID extension) {
  Device *d = static_cast<Device *>(extension);
  return d != nullptr && d->magic == kDeviceMagic ? d : nullptr;
}
inline Device *DeviceOfContext(PVOID context) {
  return context != nullptr ? DeviceOfExtension(static_cast<PUCHAR>(context) - kContextOffset) : nullptr;
}

inline void CompleteDevice(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status) {
  srb->Status = status;
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr, nullptr, 0);
}

inline void Lock(KEVENT *lock) { KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, nullptr); }
inline void Unlock(KEVENT *lock) { KeSetEvent(lock, IO_NO_INCREMENT, FALSE); }

// Streams (class_library_streams.cpp).
void OpenStream(Device *d, PHW_STREAM_REQUEST_BLOCK srb);
void CloseStream(Device *d, PHW_STREAM_REQUEST_BLOCK srb);
void StopAllStreams(Device *d);
BOOLEAN SetVideoFormat(Device *d, PHW_STREAM_REQUEST_BLOCK srb);
NTSTATUS SetIsoPipeState(Device *d, ULONG flags);
// The camera input the test program hands over: a slot file (tests/wine/slot_file.h).
NTSTATUS TakeSlots(Device *d, const UCHAR *file, ULONG size);
// The frame log of the private control interface: the input is TORVANE_STREAM_IN, the reply
// (TORVANE_RAW_FRAME records) goes into `out`, at most `outSize` bytes; *written its size.
NTSTATUS FrameLog(Device *d, const UCHAR *input, ULONG size, PUCHAR out, ULONG outSize, ULONG *written);
// The allocation format of the private control interface: the stream number, then the format.
NTSTATUS SetAllocationFormat(Device *d, const UCHAR *input, ULONG size);

}  // namespace kelvane
