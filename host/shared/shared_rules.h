// Behaviour of the stream class and the camera class library that both of their implementations
// share: the host's (host/stream, host/usbcamd) and the stand-in drivers that run the shipped
// driver under Wine (win/standins). Each rule is defined once, here, as plain freestanding code
// (no STL, no exceptions, no allocation), compiled into both.
#pragma once

#include "../../sys/platform.h"
#if defined(TORVANE_HOST)
#include <cstring>
#endif

// A block the stream class freed reads as this byte: a request the minidriver completed, and
// the stream class's copies of what it pointed to, are filled with it.
#define TORVANE_FREED_POISON 0x6B
void TorvaneShared_Poison(void *block, ULONG size);

// What the stream class does with a device property request before the minidriver sees it,
// given the minidriver's device property-set table: the request is checked against the table
// and either answered here (TRUE: Status and ActualBytesTransferred set in the request, a reply
// in its data buffer) or passed on (FALSE, with the descriptor's PropertySetID set to the set's
// index in the table).
BOOLEAN TorvaneShared_FilterProperty(const KSPROPERTY_SET *sets, ULONG count, PHW_STREAM_REQUEST_BLOCK request);

// ---- The camera on the far side of USB, as the class library finds it ------------------------
// The simulated camera's USB ids (vendor 0x1209 is shared out among open projects; this product
// id is its one for testing).
#define TORVANE_CAMERA_VENDOR_ID 0x1209
#define TORVANE_CAMERA_PRODUCT_ID 0x0001
// The streaming interface's pipes: iso data, bulk in, iso sync, bulk out, interrupt in.
#define TORVANE_CAMERA_PIPES 5
#define TORVANE_ISO_DATA_PIPE 0
#define TORVANE_BULK_IN_PIPE 1
#define TORVANE_ISO_SYNC_PIPE 2
#define TORVANE_BULK_OUT_PIPE 3
#define TORVANE_INTERRUPT_PIPE 4
// Bytes of the USBD_INTERFACE_INFORMATION describing the streaming interface.
ULONG TorvaneShared_CameraInterfaceSize();
// Fills the descriptors and the interface (TorvaneShared_CameraInterfaceSize bytes) as the bus
// driver reports them; maxPacket is the data pipe's MaximumPacketSize.
void TorvaneShared_DescribeCamera(USHORT maxPacket, PUSB_DEVICE_DESCRIPTOR device,
                                  PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_INFORMATION interface_);
// The video stream's data and sync pipes from the driver's pipe configuration (one entry per pipe).
void TorvaneShared_ChoosePipes(const USBD_INTERFACE_INFORMATION *interface_,
                               const USBCAMD_Pipe_Config_Descriptor *config, ULONG *dataPipe, ULONG *syncPipe);

// ---- The camera's answers to commands ------------------------------------------------------
#define TORVANE_CAMERA_MEMORY 256   // parameter memory bytes
#define TORVANE_CAMERA_SCRATCH 4096 // the scratch FIFO's bytes
#define TORVANE_CAMERA_STOP 0x00A0  // the capture-stop command's value
// What the camera does with a request nobody programmed an answer for: its command state.
typedef struct {
  UCHAR operation;             // the open operation (0xA0: idle)
  ULONG memoryOffset;          // where the open memory operation reads or writes next
  UCHAR memory[TORVANE_CAMERA_MEMORY];
  ULONG memoryWritten;         // bytes of memory the host has written
  UCHAR registers[256];
  UCHAR scratch[TORVANE_CAMERA_SCRATCH];
  ULONG scratchHead, scratchCount;
  BOOLEAN statusPending;       // the next bulk read returns the status block
} TORVANE_CAMERA_COMMANDS;
// The streaming side as the status block reports it.
typedef struct {
  BOOLEAN streaming, button;
  LONG width, height;
  ULONGLONG framesSent;
} TORVANE_CAMERA_STREAM_VIEW;
enum { TORVANE_CAMERA_CONTROL, TORVANE_CAMERA_BULK_IN, TORVANE_CAMERA_BULK_OUT };
void TorvaneShared_CameraReset(TORVANE_CAMERA_COMMANDS *commands);
// The camera lost power: it forgets its open operation.
void TorvaneShared_CameraLosePower(TORVANE_CAMERA_COMMANDS *commands);
// One request of `kind`: a read (control in, bulk in) fills all `length` bytes of `data` (zero
// where the camera has nothing to say); a write (control out, bulk out) takes `length` bytes.
void TorvaneShared_CameraServe(TORVANE_CAMERA_COMMANDS *commands, const TORVANE_CAMERA_STREAM_VIEW *stream,
                               ULONG kind, BOOLEAN deviceToHost, USHORT value, USHORT index, PUCHAR data,
                               ULONG length);
// The size a capture-start value selects (high byte 10, 20 or 40, low byte 0x40); FALSE when the
// value is no capture start.
BOOLEAN TorvaneShared_CameraStartSize(USHORT value, LONG *width, LONG *height);

// ---- Raw frames from isochronous slots ----------------------------------------------------
// 30 frames per second, in 100 ns units.
#define TORVANE_FRAME_DURATION 333333
// The raw frame being assembled.
typedef struct {
  BOOLEAN inFrame;
  ULONG bytes;                 // appended so far (header and JPEG data)
  ULONG packets;               // data packets that contributed bytes
  BOOLEAN drop;                // the driver marked it DropFrame, or claimed bytes a packet lacks
  BOOLEAN overflow;            // longer than the raw frame length the driver asked for
  BOOLEAN still;               // the driver marked it as a still
  ULONGLONG cameraFrame;       // the camera frame of its first data packet
  PVOID context;               // its own frame context
} TORVANE_ASSEMBLY;
// One slot of a frame, after the driver's packet routine returned `accepted` bytes at `offset`
// of the data packet with `flags`: exactly the accepted bytes are appended to `raw`.
void TorvaneShared_AssembleSlot(TORVANE_ASSEMBLY *assembly, ULONG flags, ULONG accepted, ULONG offset,
                                const UCHAR *data, ULONG dataLength, ULONGLONG cameraFrame, PUCHAR raw,
                                ULONG rawFrameLength);
// What becomes of a finished frame: discarded (overflow, dropped or empty) or handed to the
// driver with a read request.
enum { TORVANE_FRAME_DELIVER, TORVANE_FRAME_DROPPED, TORVANE_FRAME_OVERFLOW };
ULONG TorvaneShared_FrameFate(const TORVANE_ASSEMBLY *assembly);
// The stream header of a read the driver filled from raw frame `index` (from 1), with the byte
// count its raw-frame callback reported.
void TorvaneShared_FinishStreamHeader(PKSSTREAM_HEADER header, ULONG bytesReturned, ULONGLONG index);

// ---- Stream states -------------------------------------------------------------------------
// The class library passes through the states between the current and the target one, one step
// at a time. Up: STOP -> ACQUIRE allocates the bandwidth, PAUSE -> RUN starts capture. Down:
// RUN -> PAUSE stops capture, ACQUIRE -> STOP frees the bandwidth (and cancels the reads).
enum { TORVANE_STEP_NONE, TORVANE_STEP_ALLOCATE, TORVANE_STEP_START, TORVANE_STEP_STOP, TORVANE_STEP_FREE };
// The next state on the way from `current` to `target` (not equal), and what that step does.
KSSTATE TorvaneShared_NextState(KSSTATE current, KSSTATE target, ULONG *step);
