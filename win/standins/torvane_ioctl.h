/* The stand-in stream class's private control interface: what a capture application would ask
 * through the kernel-streaming IOCTLs, in a form of its own. The stream class's device for the
 * camera is opened as \\.\TorvaneCamera0 (the device \Device\TorvaneCamera0).
 * Shared by the stand-in stream.sys (kernel mode) and the Windows test program (user mode). */
#ifndef TORVANE_IOCTL_H
#define TORVANE_IOCTL_H

#define TORVANE_DEVICE_NAME L"\\Device\\TorvaneCamera0"
#define TORVANE_DOS_NAME L"\\DosDevices\\TorvaneCamera0"
#define TORVANE_USER_PATH L"\\\\.\\TorvaneCamera0"

#define TORVANE_IOCTL(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* The device's state: output TORVANE_DEVICE_INFO. */
#define IOCTL_TORVANE_DEVICE_INFO TORVANE_IOCTL(0)
typedef struct {
  LONG arrivalStatus;       /* the first failure of the start's requests, or 0 */
  ULONG started;            /* SRB_INITIALIZATION_COMPLETE succeeded, not removed since */
  ULONG numberOfStreams;    /* NumberOfStreams of the stream descriptor */
  ULONG propertySetCount;   /* NumDevPropArrayEntries of the stream descriptor */
  ULONG requestsIssued;     /* SRBs sent to the minidriver's receive routine */
} TORVANE_DEVICE_INFO;

/* One device property request (SRB_GET_DEVICE_PROPERTY or SRB_SET_DEVICE_PROPERTY, chosen by
 * the KSPROPERTY flags as the stream class does): input TORVANE_PROPERTY_IN, then propertySize
 * bytes (a KSPROPERTY and what follows it), then for a set dataSize bytes of data. Output
 * TORVANE_PROPERTY_OUT, then for a get the bytes the minidriver reported (at most dataSize).
 * The request's own status is in the output; the IOCTL itself succeeds. */
#define IOCTL_TORVANE_PROPERTY TORVANE_IOCTL(1)
typedef struct {
  ULONG propertySize;
  ULONG dataSize;           /* the property buffer's size (PropertyOutputSize) */
} TORVANE_PROPERTY_IN;
typedef struct {
  LONG status;              /* the request's Status */
  ULONG bytes;              /* its ActualBytesTransferred */
  ULONG filtered;           /* 1: answered by the stream class without the minidriver */
} TORVANE_PROPERTY_OUT;

/* Camera input: the isochronous slots the camera sends while streaming, as a slot file
 * (tests/wine/slot_file.h) in the input buffer. Passed to the class library through the
 * minidriver as SRB_UNKNOWN_DEVICE_COMMAND. Output: the request's status (LONG). */
#define IOCTL_TORVANE_CAMERA_INPUT TORVANE_IOCTL(2)

/* The format the class library allocates the bandwidth of an open stream with, instead of the
 * stream's own (the driver's output stages for formats the pin does not list, as the host's class
 * library can): input TORVANE_STREAM_IN (stream number), then the format; an input of the stream
 * number alone goes back to the stream's own. Passed to the class library like the camera input.
 * Output: status (LONG). */
#define IOCTL_TORVANE_ALLOCATION_FORMAT TORVANE_IOCTL(7)

/* SRB_OPEN_STREAM: input TORVANE_STREAM_IN (stream number), then the format (a KSDATAFORMAT and
 * what follows it, FormatSize bytes). Output: the request's status (LONG). */
#define IOCTL_TORVANE_OPEN_STREAM TORVANE_IOCTL(3)
/* SRB_SET_STREAM_STATE: input TORVANE_STREAM_IN with the state (KSSTATE). Output: status. */
#define IOCTL_TORVANE_STREAM_STATE TORVANE_IOCTL(4)
/* SRB_READ_DATA with one buffer of `value` bytes: input TORVANE_STREAM_IN; output
 * TORVANE_READ_OUT, then the whole buffer as the request left it (unwritten bytes 0x5A). */
#define IOCTL_TORVANE_READ TORVANE_IOCTL(5)
/* SRB_CLOSE_STREAM: input TORVANE_STREAM_IN. Output: status. */
#define IOCTL_TORVANE_CLOSE_STREAM TORVANE_IOCTL(6)
typedef struct {
  ULONG stream;             /* the stream number */
  ULONG value;              /* the state, or the read buffer's size */
} TORVANE_STREAM_IN;
typedef struct {
  LONG status;
  ULONG dataUsed;
  ULONG optionsFlags;
  ULONG actualBytes;        /* the request's ActualBytesTransferred */
  LONGLONG presentationTime;
  LONGLONG duration;
} TORVANE_READ_OUT;
#define TORVANE_UNWRITTEN_BYTE 0x5A

/* The class library's record of the raw frames it finished on a stream (the host's
 * HostRawFrameRecord): input TORVANE_STREAM_IN with `value` the newest raw frame index the caller
 * has seen; output the request's status (LONG), then one TORVANE_RAW_FRAME for each recorded raw
 * frame with a higher index, oldest first, as many as fit (the class library keeps the last
 * TORVANE_RAW_FRAME_LOG). Passed to the class library like the camera input. */
#define IOCTL_TORVANE_FRAME_LOG TORVANE_IOCTL(8)
/* The camera's snapshot button, held down while the next frame the camera begins is sent, as the
 * host's camera presses it (HostSimCamera::PressButton(1)): the data slots of that frame carry
 * the button bit (0x40) in their sync byte. No input; output the request's status (LONG). Passed
 * to the class library like the camera input. */
#define IOCTL_TORVANE_PRESS_BUTTON TORVANE_IOCTL(9)
#define TORVANE_RAW_FRAME_LOG 64
/* fate: what became of the raw frame, in the host's order. */
enum { TORVANE_RAW_DELIVERED, TORVANE_RAW_DROPPED, TORVANE_RAW_OVERFLOW, TORVANE_RAW_NO_BUFFER, TORVANE_RAW_ABANDONED };
typedef struct {
  ULONGLONG index;          /* raw frames finished on the stream, from 1 */
  ULONGLONG cameraFrame;    /* the camera frame of its first data packet (the slot's), 0: none */
  ULONG fate;
  ULONG still;              /* the driver marked it as a still */
  ULONG bytes;              /* bytes appended */
  ULONG packets;            /* data packets that contributed bytes */
} TORVANE_RAW_FRAME;

#endif
