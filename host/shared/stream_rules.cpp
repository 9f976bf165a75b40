// The class library's stream rules: the raw-frame assembly from isochronous slots (what it
// appends of each slot, what becomes of a finished frame, the stream header of a delivered one)
// and the steps between stream states.
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

KSSTATE TorvaneShared_NextState(KSSTATE current, KSSTATE target, ULONG *step) {
  KSSTATE next = (KSSTATE)(target > current ? current + 1 : current - 1);
  *step = current == KSSTATE_STOP && next == KSSTATE_ACQUIRE  ? TORVANE_STEP_ALLOCATE
          : current == KSSTATE_PAUSE && next == KSSTATE_RUN   ? TORVANE_STEP_START
          : current == KSSTATE_RUN && next == KSSTATE_PAUSE   ? TORVANE_STEP_STOP
          : current == KSSTATE_ACQUIRE && next == KSSTATE_STOP ? TORVANE_STEP_FREE
                                                               : TORVANE_STEP_NONE;
  return next;
}
