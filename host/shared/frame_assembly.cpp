// The class library's raw-frame assembly from isochronous slots: what it appends of each slot,
// what becomes of a finished frame, and the stream header of a delivered one.
#include "shared_rules.h"

void TorvaneShared_AssembleSlot(TORVANE_ASSEMBLY *a, ULONG flags, ULONG accepted, ULONG offset, const UCHAR *data,
                                ULONG dataLength, ULONGLONG cameraFrame, PUCHAR raw, ULONG rawFrameLength) {
  if (a->cameraFrame == 0 && dataLength != 0) a->cameraFrame = cameraFrame;
  if (flags & USBCAMD_PROCESSPACKETEX_DropFrame) a->drop = TRUE;
  if (flags & USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill) a->still = TRUE;
  if (accepted == 0) return;
  if (offset > dataLength || accepted > dataLength - offset) {
    a->drop = TRUE;  // the driver claimed bytes the packet does not hold
  } else if (accepted > rawFrameLength - a->bytes) {
    a->overflow = TRUE;
  } else if (!a->overflow) {
    memcpy(raw + a->bytes, data + offset, accepted);
    a->bytes += accepted;
    ++a->packets;
  }
}

ULONG TorvaneShared_FrameFate(const TORVANE_ASSEMBLY *a) {
  if (a->overflow) return TORVANE_FRAME_OVERFLOW;
  if (a->drop || a->bytes == 0) return TORVANE_FRAME_DROPPED;
  return TORVANE_FRAME_DELIVER;
}

void TorvaneShared_FinishStreamHeader(PKSSTREAM_HEADER header, ULONG bytesReturned, ULONGLONG index) {
  // Passed on as the driver reported it, as the class library does: an application reads
  // DataUsed bytes from its buffer.
  header->DataUsed = bytesReturned;
  header->PresentationTime.Time = (LONGLONG)(index - 1) * TORVANE_FRAME_DURATION;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->Duration = TORVANE_FRAME_DURATION;
  header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID |
                         KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
}
