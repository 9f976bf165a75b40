// Host-only controls of the class library's command path and the simulated camera behind it.
//
// USBCAMD_ControlVendorCommand and the interface's USBCAMD_BulkReadWrite deliver the driver's
// requests to the HostSimCamera attached to the device context. The camera is a programmable
// peer: a test says how it answers each request (status, the bytes it returns) and reads back
// every request it saw, in order, with its data stage. What nobody programmed the camera
// answers from its own command state (sim_camera.cpp), and it streams JPEG frames over its
// isochronous slots (sim_stream.cpp, with the scene, sources and encoder beside it).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_platform.h"
#include "../shared/shared_rules.h"

// The simulated camera's USB identity: vendor 0x1209 (pid.codes, which gives product ids to
// open projects) with its product id for testing. A product ships with its own vendor and
// product id, in its device descriptor and in win/Torvane.inf.
constexpr USHORT kHostCameraVendorId = TORVANE_CAMERA_VENDOR_ID;
constexpr USHORT kHostCameraProductId = TORVANE_CAMERA_PRODUCT_ID;

// One request as the camera received it.
struct HostUsbRequest {
  enum Kind { Control, BulkIn, BulkOut, IsoPipeState };
  Kind kind = Control;
  UCHAR request = 0;          // control: bRequest
  USHORT value = 0;           // control: wValue; IsoPipeState: the pipe state flags
  USHORT index = 0;           // control: wIndex
  bool deviceToHost = false;  // control: GetData; bulk: a read
  bool dataStage = false;     // control: the driver passed a length (a data stage, maybe empty)
  ULONG length = 0;           // data-stage length the driver asked for; bulk: the buffer length
  USHORT pipe = 0;            // bulk: pipe index
  std::vector<uint8_t> data;  // bytes sent to the camera, or the bytes it returned
  NTSTATUS status = STATUS_SUCCESS;  // the status the driver got back
  LONG criticalRegions = 0;          // critical regions the sending thread was inside
};

// How the camera answers a request. A read returns the bytes of data, cut to the length asked
// for; fewer bytes make a short transfer. With a failure status nothing is transferred.
struct HostCameraAnswer {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;
  unsigned times = 0;  // how many requests this answer serves; 0: every one from now on
};


// ---- Streaming ------------------------------------------------------------------------------
// What can go wrong on the way from the camera, each switched on separately.
enum class HostFault : unsigned {
  ShortPacket,     // one data packet of the frame arrives one byte short
  UsbError,        // one data packet of the frame reports a USB error status
  CorruptJpeg,     // bytes of the frame's entropy-coded data are overwritten
  TruncatedFrame,  // the frame ends early (its last part is never sent)
  WrongSize,       // the frame is encoded at another size than the camera was started with
  Count
};
const char *HostFault_Name(HostFault fault);  // "short", "usb-error", "corrupt", "truncate", "size"
bool HostFault_FromName(const std::string &name, HostFault *fault);

// How the camera makes and sends its frames.
struct HostCameraStreamConfig {
  int sampling = 422;                  // chroma sampling of the encoded frames: 444, 422, 420 or 440
  int quality = 75;                    // libjpeg quality, 1..100
  unsigned restartInterval = 0;        // restart interval in MCUs, 0 for none
  bool app10 = false;                  // parameter block in an APP10 segment instead of APP0
  USHORT maxPacketSize = 1023;         // the data pipe's MaximumPacketSize
  unsigned idleSlots = 2;              // slots with status bit 0 between two frames
  std::vector<std::string> sources;    // image files or directories; empty: the built-in scene
  // JPEG files among the sources that the camera decodes (with libjpeg), scales and encodes
  // like other pictures instead of sending them as they are.
  std::vector<std::string> decodeJpegSources;
  unsigned faultEvery[unsigned(HostFault::Count)] = {};  // every Nth frame gets the fault; 0: off
  // Where in its period each fault lands: frame s gets fault f when s % N == faultOffset[f] % N
  // (0: on frames N, 2N, ...). Different offsets keep faults of the same period apart.
  unsigned faultOffset[unsigned(HostFault::Count)] = {};
  // The camera keeps a note of every frame it begins (TakeFrameNotes), for a host observer
  // that follows frames to the application.
  bool frameNotes = false;
  uint32_t seed = 1;                   // where faults hit inside a frame
  size_t frameLogLimit = 64;           // frames kept in SentFrames()
};

// One isochronous slot as the bus delivers it: the sync packet (the status byte) and the data
// packet. A data packet is at most maxPacketSize bytes.
struct HostIsoSlot {
  uint8_t syncByte = 0x01;
  ULONG syncLength = 1;                // 0: the sync packet carried no byte
  USBD_STATUS syncStatus = USBD_STATUS_SUCCESS;
  std::vector<uint8_t> data;
  USBD_STATUS dataStatus = USBD_STATUS_SUCCESS;
  // Host observation, as a bus analyser sees it: the camera frame (HostSentFrame::sequence)
  // whose data packet this slot carries; 0 for a slot without frame data.
  uint64_t cameraFrame = 0;
};

// What the camera did with one frame it began: kept for every frame while
// HostCameraStreamConfig::frameNotes is on.
struct HostCameraFrameNote {
  uint64_t sequence = 0;
  int source = -1;                     // index into SourcePaths(); -1: the built-in scene
  unsigned faults = 0;                 // bit (1 << HostFault) for each fault injected
  bool button = false;                 // the snapshot button was down while it was sent
};

// A frame the camera began to send, as it went out (header and JPEG data, after faults).
struct HostSentFrame {
  uint64_t sequence = 0;               // counts from 1 since the stream configuration
  int width = 0, height = 0;           // size of the encoded image
  std::vector<uint8_t> raw;            // 80-byte header, then the JPEG data, as sent
  unsigned faults = 0;                 // bit (1 << HostFault) for each fault applied
  bool button = false;                 // the snapshot button was down while it was sent
};

class HostSimCamera {
 public:
  HostSimCamera();
  ~HostSimCamera();

  // ---- Streaming (the isochronous side) ----
  // Sets how frames are made; throws std::runtime_error for a source that cannot be read.
  void ConfigureStream(const HostCameraStreamConfig &config);
  HostCameraStreamConfig StreamConfig() const;
  // Whether the camera sends frames: from a capture-start command until a stop command. The
  // start command's value selects the size: high byte 10 160x120, 20 320x240, 40 640x480.
  bool Streaming() const;
  void StreamSize(int *width, int *height) const;
  // The camera's next isochronous slot. While not streaming every slot is idle (status 0x01,
  // no data). Called by the class library's pump, at any IRQL: it must not block for long.
  void NextSlot(HostIsoSlot &slot);
  // The snapshot button: held down (bit 6 in the data slots' status) or released.
  void SetButton(bool down);
  // A press the length of whole frames: the button is down while the camera sends the next
  // `frames` frames it begins, then up again, however fast anyone reads them.
  void PressButton(unsigned frames);
  // The next slot asks the host to restart the isochronous stream (status 0x02).
  void RequestRestart();
  // The host stopped and restarted the isochronous pipe: what was in flight is lost and the
  // camera begins a new frame.
  void IsoPipeRestarted();
  // The camera loses its power supply (the device went to D3): it stops streaming until the
  // next capture-start command, and the open operation is forgotten.
  void LosePower();
  std::vector<HostSentFrame> SentFrames() const;
  uint64_t FramesSent() const;
  // The notes of the frames begun since the last call (HostCameraStreamConfig::frameNotes), in
  // order; taken, so that a long run does not keep them all.
  std::vector<HostCameraFrameNote> TakeFrameNotes();
  // The files the sources were read from, in the order they are used (a folder stands for its
  // image files).
  std::vector<std::string> SourcePaths() const;
  // Slots given here go out instead of the camera's own frames: while streaming, each slot takes
  // the next one, and once they are all sent every slot is idle (status 0x01, no data). For
  // feeding the driver exactly the packets a test or a fuzzer chose.
  void ScriptSlots(std::vector<HostIsoSlot> slots);
  size_t ScriptedSlotsLeft() const;

  // ---- Commands (the control and bulk side) ----
  // Answers to control requests of this direction, value and index, used in the order given.
  // Unprogrammed requests succeed and the camera answers from its own state: the ready poll
  // in(0xA0, 0) reports ready (bit 2 set); out(6, op) opens an operation (0x20 read the
  // parameter memory, 0x90 read the firmware version, 0xD6 write the parameter memory, 0x30,
  // 0xA0 close, any other byte a one-byte register) and in(7, 0) answers 0x00 for it (the
  // register's value for a register); out(0x10F0, 0) makes the next bulk read the 16-byte
  // status block; other reads return zeros. Any successful capture start or stop, programmed
  // or not, switches the streaming side.
  void AnswerControl(bool deviceToHost, USHORT value, USHORT index, HostCameraAnswer answer);
  // The ready poll in(0xA0, 0) answers 0x00 for the first n polls, then 0x04 (ready).
  void SetReadyAfterPolls(unsigned n);
  // Answers of bulk reads (pipe 0) and writes (pipe 1), in order. Unprogrammed transfers carry
  // the open operation's data: the parameter memory (up to 256 bytes) for 0xD6 and 0x20, the
  // 2-byte firmware version for 0x90. With no operation open, writes go to a scratch FIFO that
  // reads give back; anything else reads as zeros and unprogrammed writes succeed.
  void AnswerBulkRead(HostCameraAnswer answer);
  void AnswerBulkWrite(HostCameraAnswer answer);
  // Every request takes this long, so that concurrent requests get the chance to interleave.
  void SetLatency(std::chrono::microseconds latency);

  std::vector<HostUsbRequest> Requests() const;
  void ClearRequests();

  // Called by the host class library for each request: fills in what the camera returns and
  // the status, and records the request.
  void Serve(HostUsbRequest &request);

 private:
  struct Rule {
    HostUsbRequest::Kind kind;
    bool deviceToHost;
    USHORT value;
    USHORT index;
    HostCameraAnswer answer;
    unsigned used = 0;
  };
  struct Stream;  // the streaming state, in sim_stream.cpp
  struct Device;  // the camera-side state behind its commands, in sim_camera.cpp
  // Answers a request nobody programmed, as the camera's own state makes it.
  void ServeDefault(HostUsbRequest &request);
  mutable std::mutex lock_;
  std::unique_ptr<Stream> stream_;
  std::unique_ptr<Device> device_;
  std::vector<Rule> rules_;
  std::vector<HostUsbRequest> requests_;
  std::chrono::microseconds latency_{0};
};

// Connects the camera to a device context: the class library's command routines called with
// that device context reach it. Without a camera they fail with STATUS_DEVICE_NOT_CONNECTED.
void HostCamera_Attach(PVOID deviceContext, HostSimCamera *camera);
void HostCamera_Detach(PVOID deviceContext);

// The class library's USBCAMD_INTERFACE as an interface query returns it: Size 36, Version
// 0x200, the bulk and isochronous-pipe routines filled in.
USBCAMD_INTERFACE HostUsbcamd_Interface();
