// The whole platform around the driver, as a capture application on Windows meets it: a camera
// is plugged in (the stream class sends the device requests, the camera class library configures
// the camera and calls the driver's callbacks), streams are opened, run and read, properties are
// got and set, and the camera is unplugged again.
//
// HostCameraDevice is the stream class's device for one simulated camera; HostAppStream one
// open stream (pin) with the application's frame buffers. Everything goes through DriverEntry's
// registration and the driver's receive routine, exactly as on Windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_camera.h"
#include "host_kernel.h"
#include "host_platform.h"
#include "host_stream.h"

// ---- What the class library reports ---------------------------------------------------------
struct HostDeviceOptions {
  // The application's read requests pace the pump: a finished frame waits for a buffer instead of
  // being dropped when none is queued. (A real camera does not wait; the simulated one can, so
  // that runs are repeatable.)
  bool waitForBuffers = true;
  // Raw frames kept in the stream's frame log, and whether the log keeps a copy of each raw
  // frame handed to the driver (tests compare with them; camsim does without the copy).
  size_t frameLogLimit = 256;
  bool keepRawFrames = true;
  // An unkind schedule a real class library may follow: while a stream stops, another thread
  // of the class library hands the driver's raw-frame callback the last raw frame again and
  // again, into a scratch buffer: from before capture stop begins until this many frames after
  // it returned, and then this many more after the bandwidth release returned. 0: never.
  unsigned lateFrames = 0;
  // The extended raw-frame callback gets the assembled length only in ActualRawFrameLength,
  // with *BytesReturned 0 on entry: a class library need not preset it.
  bool actualLengthOnly = false;
  // An unkind order at uninitialisation: a video stream still running is uninitialised before
  // it is stopped. Its pump stops, and another thread of the class library hands the driver's
  // raw-frame callback the last raw frame again and again (as lateFrames does) from before
  // CamUnInitialize until this many frames after it returned; only then do the streams stop.
  // 0: the streams stop first.
  unsigned framesDuringUninitialize = 0;
  // Frames the class library drops itself: every Nth raw frame that would otherwise be handed
  // to the driver is dropped as if no read request were waiting (fate NoBuffer), whatever the
  // driver said about it. 0: never.
  unsigned dropEvery = 0;
};

// A raw frame the class library assembled from isochronous slots, and what became of it.
struct HostRawFrameRecord {
  enum Fate { Delivered, Dropped, Overflow, NoBuffer, Abandoned };
  Fate fate = Delivered;
  uint64_t index = 0;     // raw frames assembled on the stream, from 1
  ULONG bytes = 0;        // bytes appended (header and JPEG data)
  ULONG packets = 0;      // data packets that contributed bytes
  bool still = false;     // the driver marked it as a still (whatever became of the frame)
  uint64_t cameraFrame = 0;  // the camera frame of its first data packet (HostIsoSlot::cameraFrame)
  std::vector<uint8_t> raw;  // the raw frame as handed to the driver (Delivered, with keepRawFrames)
};
const char *HostRawFrameFate_Name(HostRawFrameRecord::Fate fate);

struct HostStreamStats {
  uint64_t slots = 0;       // isochronous slots shown to the driver
  uint64_t assembled = 0;   // raw frames completed at a frame boundary
  uint64_t delivered = 0;   // handed to the driver's raw-frame callback with a read request
  uint64_t dropped = 0;     // marked DropFrame by the driver, or empty
  uint64_t overflow = 0;    // longer than the raw frame length the driver asked for
  uint64_t noBuffer = 0;    // no read request was waiting (or dropped by HostDeviceOptions::dropEvery)
  uint64_t abandoned = 0;   // in flight when the pipe was restarted or the stream stopped
  uint64_t stills = 0;      // delivered frames marked still
  uint64_t restarts = 0;    // isochronous pipe restarts the driver asked for
  uint64_t late = 0;        // raw frames handed to the driver while it stopped (lateFrames)
  ULONG rawFrameLength = 0; // the raw frame length the driver asked for (0 without bandwidth)
};

// What the class library knows about a completed read beyond the stream header.
struct HostReadInfo {
  uint64_t rawIndex = 0;    // the raw frame it was filled from (0: cancelled)
  ULONG rawBytes = 0;
  bool still = false;
};

// ---- The stream class and an application ------------------------------------------------------
// One completed read: the application's buffer as the driver filled it.
struct HostFrame {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;  // FrameExtent bytes
  ULONG dataUsed = 0;         // the stream header's DataUsed
  HostReadInfo info;
  uint64_t sequence = 0;      // the application's frames on this stream, from 1
  // The stream header's presentation time in 100 ns units, when its OptionsFlags say it is
  // valid (timeValid).
  bool timeValid = false;
  LONGLONG presentationTime = 0;
};

class HostAppStream;

class HostCameraDevice {
 public:
  // Calls DriverEntry once per process if the driver has not registered yet.
  explicit HostCameraDevice(HostSimCamera &camera, HostDeviceOptions options = {});
  ~HostCameraDevice();  // removes the device if it is still present
  HostCameraDevice(const HostCameraDevice &) = delete;
  HostCameraDevice &operator=(const HostCameraDevice &) = delete;

  // Device arrival: SRB_INITIALIZE_DEVICE, then SRB_INITIALIZATION_COMPLETE. Returns the first
  // failure, or STATUS_SUCCESS.
  NTSTATUS Arrive();
  // Removal: with surprise, SRB_SURPRISE_REMOVAL first (the camera is gone); then
  // SRB_UNINITIALIZE_DEVICE. Open streams are stopped and closed by the class library.
  NTSTATUS Remove(bool surprise = false);
  bool Present() const { return present_; }

  PVOID DeviceContext() const;
  PDEVICE_OBJECT PhysicalDeviceObject() const { return physical_.get(); }
  HostSimCamera &Camera() const { return camera_; }

  // Sends one device request through the driver's receive routine and returns its status once
  // completed. HwDeviceExtension and SizeOfThisPacket are filled in. Plug-and-play requests
  // (initialisation, its completion, power, surprise removal, uninitialisation) run in the system
  // process; the others come from an application: the one the calling thread runs in, or this
  // device's own application when the thread runs in none.
  // The request is the caller's: the driver gets the stream class's copy of it (see
  // HostStream_Issue; `sizes` gives the blocks whose size the SRB does not say), and the results
  // come back into it. Device property requests pass the stream class's checks against the
  // property-set table the driver reported at arrival first (HostStream_FilterProperty).
  NTSTATUS SendDeviceRequest(HW_STREAM_REQUEST_BLOCK &srb, const HostRequestSizes &sizes = {});
  // The application process that uses the camera unless a caller runs in another.
  ULONG Application() const { return application_; }

  // SRB_GET_STREAM_INFO: the header and the stream information records.
  NTSTATUS GetStreamInfo(HW_STREAM_HEADER *header, std::vector<HW_STREAM_INFORMATION> *streams);
  // SRB_GET_DATA_INTERSECTION for one of the stream's ranges: the format the driver picks.
  NTSTATUS DataIntersection(ULONG stream, const KSDATARANGE *range, std::vector<uint8_t> *format);
  // A device property request. `property` is the caller's input (a KSPROPERTY record and what
  // follows it), `data` the property buffer; *bytes gets ActualBytesTransferred.
  NTSTATUS Property(bool set, const GUID &propertySet, ULONG id, std::vector<uint8_t> property,
                    void *data, ULONG dataSize, ULONG *bytes);
  // The same with the request's KSPROPERTY flags (KSPROPERTY_TYPE_GET, _SET, _BASICSUPPORT,
  // _DEFAULTVALUES); a set goes as SRB_SET_DEVICE_PROPERTY, anything else as a get.
  NTSTATUS PropertyRequest(ULONG flags, const GUID &propertySet, ULONG id, std::vector<uint8_t> property,
                           void *data, ULONG dataSize, ULONG *bytes);
  // Convenience: VideoProcAmp value get and set (KSPROPERTY_VIDEOPROCAMP_S).
  NTSTATUS GetVideoProcAmp(ULONG id, LONG *value);
  NTSTATUS SetVideoProcAmp(ULONG id, LONG value);
  // Still trigger through KSPROPERTY_VIDEOCONTROL_MODE on the still pin.
  NTSTATUS TriggerStill();

  // SRB_OPEN_STREAM with the given format (a KSDATAFORMAT record and what follows it).
  std::unique_ptr<HostAppStream> OpenStream(ULONG number, const std::vector<uint8_t> &format, NTSTATUS *status);

  // A power change through the driver's receive routine, as the stream class sends it
  // (SRB_CHANGE_POWER_STATE). Below D0 the class library pauses the isochronous pipe and the
  // camera loses power: it forgets its start command and its open operation. At D0 the pipe
  // runs again. Returns the request's status.
  NTSTATUS SetPowerState(DEVICE_POWER_STATE state);

  // A device event on the camera's interrupt pipe (completes USBCAMD_WaitOnDeviceEvent).
  void SignalDeviceEvent(const std::vector<uint8_t> &bytes);
  // Device-event waits armed on the interrupt pipe and not yet completed.
  size_t EventWaits() const;

 private:
  friend class HostAppStream;
  // The process a device request with this command runs in (see SendDeviceRequest).
  ULONG RequestProcess(SRB_COMMAND command) const;
  HostSimCamera &camera_;
  HostDeviceOptions options_;
  std::unique_ptr<DEVICE_OBJECT> class_;
  std::unique_ptr<DEVICE_OBJECT> physical_;
  std::unique_ptr<PORT_CONFIGURATION_INFORMATION> config_;
  PVOID extension_ = nullptr;  // the class library's record behind the device extension
  bool present_ = false;
  std::vector<HostAppStream *> open_;
  ULONG application_;
  HostPropertyTable properties_;  // the driver's device property sets, from arrival on
};

class HostAppStream {
 public:
  ~HostAppStream();  // closes the stream if still open
  HostAppStream(const HostAppStream &) = delete;
  HostAppStream &operator=(const HostAppStream &) = delete;

  ULONG Number() const { return number_; }
  // The application process that opened the stream: its requests (states, formats, reads,
  // close) run there.
  ULONG Process() const { return process_; }
  // SRB_SET_STREAM_STATE: STOP, ACQUIRE, PAUSE, RUN; the class library passes through the
  // states between. SRB_GET_STREAM_STATE.
  NTSTATUS SetState(KSSTATE state);
  KSSTATE GetState();
  // SRB_PROPOSE_DATA_FORMAT and SRB_SET_DATA_FORMAT.
  NTSTATUS ProposeFormat(const std::vector<uint8_t> &format);
  NTSTATUS SetFormat(const std::vector<uint8_t> &format);
  // The format the class library hands to the bandwidth allocation instead of the stream's own
  // (the driver's output stages for formats the pin does not list). Empty: the stream's own.
  void SetAllocationFormat(const std::vector<uint8_t> &format);

  // SRB_READ_DATA with a buffer of `bytes` bytes.
  // Queues a read request with a buffer of this size, filled with kUnwrittenByte.
  void QueueRead(ULONG bytes);
  static constexpr uint8_t kUnwrittenByte = 0x5A;
  // The next completed read, in completion order; false when none completes in time.
  bool NextFrame(HostFrame *frame, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  size_t PendingReads();

  HostStreamStats Stats() const;
  // The frame log, or only its records after raw frame `after` (what a caller has not seen yet).
  std::vector<HostRawFrameRecord> FrameLog(uint64_t after = 0) const;
  // SRB_CLOSE_STREAM; reads still queued come back cancelled.
  NTSTATUS Close();
  bool Open() const { return open_; }

 private:
  friend class HostCameraDevice;
  struct Read;
  struct Completions;
  HostAppStream(HostCameraDevice &device, ULONG number);
  NTSTATUS SendControl(HW_STREAM_REQUEST_BLOCK &srb, const HostRequestSizes &sizes = {});
  NTSTATUS SendFormat(SRB_COMMAND command, const std::vector<uint8_t> &format);
  HostCameraDevice &device_;
  ULONG number_;
  bool open_ = false;
  ULONG process_ = HOST_SYSTEM_PROCESS;
  std::unique_ptr<HW_STREAM_OBJECT> object_;
  std::shared_ptr<Completions> completions_;
  std::vector<uint8_t> openFormat_;
};

// The class library's record of a stream, for host observations (null when not open).
HostStreamStats HostUsbcamd_StreamStats(PHW_STREAM_OBJECT stream);
std::vector<HostRawFrameRecord> HostUsbcamd_FrameLog(PHW_STREAM_OBJECT stream, uint64_t after = 0);
void HostUsbcamd_SetAllocationFormat(PHW_STREAM_OBJECT stream, const std::vector<uint8_t> &format);
// Takes the host-side information of a completed read (false if there is none).
bool HostUsbcamd_TakeReadInfo(PHW_STREAM_OBJECT stream, PHW_STREAM_REQUEST_BLOCK srb, HostReadInfo *info);

// Plugging and unplugging, for the stream class: creates the class library's record of a device
// behind a new device extension, and frees it once the device is gone.
PVOID HostUsbcamd_CreateDevice(HostSimCamera *camera, const HostDeviceOptions &options, PDEVICE_OBJECT classDevice,
                               PDEVICE_OBJECT physicalDevice);
void HostUsbcamd_DestroyDevice(PVOID extension);
PVOID HostUsbcamd_DeviceContextOf(PVOID extension);
void HostUsbcamd_SignalDeviceEvent(PVOID extension, const std::vector<uint8_t> &bytes);
size_t HostUsbcamd_EventWaits(PVOID extension);
// While on, every synchronous command of this device context (USBCAMD_ControlVendorCommand and
// USBCAMD_BulkReadWrite without a completion routine) comes back STATUS_PENDING, as a class
// library may answer a request it has queued.
void HostUsbcamd_AnswerPending(PVOID deviceContext, bool pending);
// The number of devices the class library has records of.
size_t HostUsbcamd_DeviceCount();

// Driver unload: the class library forgets the driver's registration. Devices must be gone.
void HostUsbcamd_UnloadDriver();
