// Host-only controls of the class library's command path and the simulated camera behind it.
//
// USBCAMD_ControlVendorCommand and the interface's USBCAMD_BulkReadWrite deliver the driver's
// requests to the HostSimCamera attached to the device context. The camera is a programmable
// peer: a test says how it answers each request (status, the bytes it returns) and reads back
// every request it saw, in order, with its data stage.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "host_platform.h"

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
};

// How the camera answers a request. A read returns the bytes of data, cut to the length asked
// for; fewer bytes make a short transfer. With a failure status nothing is transferred.
struct HostCameraAnswer {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;
  unsigned times = 0;  // how many requests this answer serves; 0: every one from now on
};

class HostSimCamera {
 public:
  // Answers to control requests of this direction, value and index, used in the order given.
  // Unprogrammed requests succeed; a read returns zeros, and the ready poll in(0xA0, 0)
  // reports ready (bit 2 set).
  void AnswerControl(bool deviceToHost, USHORT value, USHORT index, HostCameraAnswer answer);
  // The ready poll in(0xA0, 0) answers 0x00 for the first n polls, then 0x04 (ready).
  void SetReadyAfterPolls(unsigned n);
  // Answers of bulk reads (pipe 0) and writes (pipe 1), in order. Unprogrammed reads return
  // zeros, unprogrammed writes succeed.
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
  mutable std::mutex lock_;
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
