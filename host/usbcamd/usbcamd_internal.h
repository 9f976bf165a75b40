// The class library's own records: one per plugged-in camera and one per open stream, shared
// by its request handling, its stream states, the isochronous pump and the interface it gives
// the driver.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host_camera.h"
#include "host_kernel.h"
#include "host_stack.h"
#include "host_stream.h"
#include "host_usbcamd.h"

namespace usbcamd {

constexpr ULONG kPoolTag = HostPool_Tag("Ucam");
constexpr ULONG kPipeCount = TORVANE_CAMERA_PIPES;  // iso data, bulk in, iso sync, bulk out, interrupt in

// Interface pipe numbers of the camera's streaming interface.
enum Pipe : ULONG {
  kIsoDataPipe = TORVANE_ISO_DATA_PIPE,
  kBulkInPipe = TORVANE_BULK_IN_PIPE,
  kIsoSyncPipe = TORVANE_ISO_SYNC_PIPE,
  kBulkOutPipe = TORVANE_BULK_OUT_PIPE,
  kInterruptPipe = TORVANE_INTERRUPT_PIPE
};

struct Device;

// A waiting USBCAMD_WaitOnDeviceEvent.
struct EventWait {
  PVOID buffer = nullptr;
  ULONG length = 0;
  PCOMMAND_COMPLETE_FUNCTION complete = nullptr;
  PVOID context = nullptr;
  bool loopBack = false;
};

struct Stream {
  Device *device = nullptr;
  PHW_STREAM_OBJECT object = nullptr;
  ULONG number = 0;
  // The driver's own handlers, called first with (request, device context, completion flag).
  PSTREAM_RECEIVE_PACKET driverData = nullptr;
  PSTREAM_RECEIVE_PACKET driverControl = nullptr;
  std::vector<uint8_t> format;            // the stream's data format (open or last set)
  std::vector<uint8_t> allocationFormat;  // host override for the bandwidth allocation
  // The driver's per-frame contexts (frame-context size each): one per frame buffer, as the
  // class library keeps them, since a raw frame is processed after the next frame began.
  // frameContext is the one of the frame being assembled.
  static constexpr unsigned kFrameContexts = 4;
  PUCHAR frameContextBlock = nullptr;     // pool, kFrameContexts contexts
  ULONG frameContextSize = 0;
  unsigned nextFrameContext = 0;
  PVOID frameContext = nullptr;

  std::mutex lock;  // guards state, reads, readInfo
  std::condition_variable changed;
  KSSTATE state = KSSTATE_STOP;
  bool bandwidth = false;        // CamAllocateBandwidthEx succeeded, CamFreeBandwidthEx not yet called
  ULONG rawFrameLength = 0;
  PUCHAR rawBuffer = nullptr;    // pool, rawFrameLength bytes
  std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
  std::map<PHW_STREAM_REQUEST_BLOCK, HostReadInfo> readInfo;  // filled at completion, taken by the owner

  std::thread pump;
  std::atomic<bool> pumpStop{false};
  std::atomic<uint64_t> slots{0};         // slots shown to the driver (counted without the lock)
  HostStreamStats stats;                  // under lock, except slots
  std::deque<HostRawFrameRecord> frameLog;  // under lock, the most recent frames
  uint64_t framesAssembled = 0;

  // Late raw frames (HostDeviceOptions::lateFrames): the last raw frame handed to the driver
  // and the size of the buffer it filled, delivered again by `late` while the stream stops.
  std::vector<uint8_t> lastRaw;
  ULONG lastExtent = 0;
  std::thread late;
  std::atomic<bool> lateStop{false};
  std::atomic<uint64_t> lateDelivered{0};
};

struct Device {
  HostSimCamera *camera = nullptr;
  HostDeviceOptions options;
  PVOID deviceContext = nullptr;   // the driver's device context (pool)
  DEVICE_OBJECT *classDevice = nullptr;
  DEVICE_OBJECT *physicalDevice = nullptr;
  const USBCAMD_DEVICE_DATA2 *callbacks = nullptr;  // registered by USBCAMD_InitializeNewInterface
  bool initialized = false;        // CamInitialize succeeded, CamUnInitialize not yet called
  bool removed = false;            // surprise removal: the camera is gone

  USB_DEVICE_DESCRIPTOR deviceDescriptor{};
  USB_CONFIGURATION_DESCRIPTOR configDescriptor{};
  std::vector<uint64_t> interfaceBlock;  // USBD_INTERFACE_INFORMATION with kPipeCount pipes
  USBCAMD_Pipe_Config_Descriptor pipeConfig[kPipeCount]{};
  ULONG dataPipe = kIsoDataPipe;
  ULONG syncPipe = kIsoSyncPipe;

  Stream *streams[2] = {nullptr, nullptr};

  // The isochronous pipes: stopped by USBCAMD_SetIsoPipeState(STOP) until START. A change asked
  // for at raised IRQL is pending until a class-library thread at PASSIVE_LEVEL carries it out
  // (the pump between slots, or the next call at PASSIVE_LEVEL). Guarded by pipeLock.
  std::atomic<bool> isoStopped{false};
  std::atomic<unsigned> isoRestarts{0};
  // Times the pipe lost power with the device (below D0): the frame in flight is lost as at a stop.
  std::atomic<unsigned> powerCuts{0};
  // Below D0 (SRB_CHANGE_POWER_STATE) the pipe is paused; isoStopped comes back at D0.
  bool poweredDown = false;
  bool isoStoppedBeforePowerDown = false;
  std::mutex pipeLock;
  bool pipeChangePending = false;
  bool pipeChangeStops = false;  // the pending change stops the pipe (else starts it)

  std::mutex eventLock;
  std::condition_variable eventChanged;
  std::deque<EventWait> eventWaits;
  unsigned eventGeneration = 0;  // counts events delivered to synchronous waits

  PUSBD_INTERFACE_INFORMATION Interface() {
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interfaceBlock.data());
  }
};

// The device whose driver device context or stream-class device extension this is, or null.
// The device extension the driver sees is the class library's Device record itself.
Device *DeviceOfContext(PVOID deviceContext);
Device *DeviceOfExtension(PVOID extension);

// Request handling (class_library.cpp, stream_requests.cpp).
void ProcessDeviceRequest(Device &device, PHW_STREAM_REQUEST_BLOCK srb);
void OpenStream(Device &device, PHW_STREAM_REQUEST_BLOCK srb);
void CloseStream(Device &device, PHW_STREAM_REQUEST_BLOCK srb);
// Takes every stream of the device back to KSSTATE_STOP (pump stopped, capture stopped,
// bandwidth freed, reads cancelled).
void StopAllStreams(Device &device);
NTSTATUS SetStreamState(Stream &stream, KSSTATE state);
BOOLEAN SetVideoFormat(Device &device, PHW_STREAM_REQUEST_BLOCK srb);
// HostDeviceOptions::framesDuringUninitialize: when the video stream runs and has handed over a
// raw frame, stops its pump, runs `uninitialize` while another thread keeps handing the driver
// that raw frame, waits for the frames asked for after it and ends the thread; returns true.
// Otherwise does nothing and returns false.
bool UninitializeWhileStreaming(Device &device, const std::function<void()> &uninitialize);

// The isochronous pump (iso_pump.cpp): runs on its own thread while the stream is in RUN.
void RunPump(Stream &stream);
// Completes a read request of the stream (status, bytes, the host-side information).
void CompleteRead(Stream &stream, PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, const HostReadInfo &info);

// The command path (commands.cpp): the camera attached to a device context, and the completion
// of a command (the routine, when given, is called before the status is returned).
HostSimCamera *CameraOf(PVOID deviceContext);
NTSTATUS CompleteCommand(PVOID deviceContext, PCOMMAND_COMPLETE_FUNCTION complete, PVOID context, NTSTATUS status);

// The isochronous pipe state (usbcamd_interface.cpp): carries out a pipe state change the
// driver asked for at raised IRQL, if one is pending. PASSIVE_LEVEL, on a class-library thread.
void RunPendingPipeChange(Device &device);
// Forgets a pending pipe state change: the stream starts with its pipe running.
void ResetPipeState(Device &device);

// Device events (usbcamd_interface.cpp): removal cancels every waiting event request.
void CancelDeviceEvents(Device &device);

}  // namespace usbcamd
