// Device property handlers: the picture settings (PROPSETID_VIDCAP_VIDEOPROCAMP), the still
// trigger and frame rates (PROPSETID_VIDCAP_VIDEOCONTROL), and the driver's private set, a thin
// pass-through to the camera's command sequences.
//
// A request's descriptor carries the caller's input at Property (the KSPROPERTY and the record
// it begins) and the property's data buffer at PropertyInfo, PropertyOutputSize bytes long: a
// get's reply goes there, and a set's value comes from there. Every length is checked before
// the buffer is touched. A get clears the whole region it reports before filling in its
// fields, so that no reported byte is left as the buffer held it.
#include "lumarex.h"

#define STILL_STREAM_INDEX 1
#define CAPS_STILL_TRIGGER (KS_VideoControlFlag_ExternalTriggerEnable | KS_VideoControlFlag_Trigger)
// Frame intervals for 30 frames per second at the camera's native rate, in 100 ns units,
// before the scaling for the stream width.
#define NOMINAL_FRAME_INTERVAL 1000000
#define MAX_AVAILABLE_FRAME_INTERVAL 400000
// The still-pending reply of private get 0: the word at bytes 24..27 of a 32-byte reply.
#define STILL_PENDING_REPLY_SIZE 32
#define STILL_PENDING_OFFSET 24
#define STILL_PENDING_WORD 256
// Private set 10: value, index and data length as little-endian words at bytes 2, 4 and 6.
#define RAW_COMMAND_SIZE 8
// Private set 7 runs camera operation 0x30.
#define PRIVATE_SET_7_OPERATION 0x30

// Defined with the other constant tables at the end of the file.
namespace {
extern const LONGLONG FrameIntervals[];
extern const ULONG FrameIntervalCount;
}  // namespace

// Complete - record the handler's status in the request. Any IRQL. Returns the status.
static NTSTATUS Complete(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status) {
  Srb->Status = Status;
  return Status;
}

// InputStreamIndex - the StreamIndex of a VIDEOCONTROL request (at the same place in each of
// its records), when the caller's input reaches it. Any IRQL.
static BOOLEAN InputStreamIndex(PSTREAM_PROPERTY_DESCRIPTOR Descriptor, PULONG StreamIndex) {
  if (Descriptor->PropertyInputSize <
      FIELD_OFFSET(KSPROPERTY_VIDEOCONTROL_CAPS_S, StreamIndex) + sizeof(ULONG)) {
    return FALSE;
  }
  *StreamIndex = ((PKSPROPERTY_VIDEOCONTROL_CAPS_S)Descriptor->Property)->StreamIndex;
  return TRUE;
}

// ScaleForWidth - an interval at the camera's native rate as seen at a stream width: halved
// at 160, doubled at 320, five times at any other width. Any IRQL.
static LONGLONG ScaleForWidth(LONG Width, LONGLONG Interval) {
  LONGLONG multiplier = 5;
  LONGLONG divisor = 1;

  if (Width == 160) {
    multiplier = 1;
    divisor = 2;
  } else if (Width == 320) {
    multiplier = 2;
  }
  return Interval * multiplier / divisor;
}

// LUMAREX_GetVideoProcAmpProperty - report a picture setting (brightness, contrast,
// saturation, sharpness, white balance) as manually controlled. Every served get also asks
// for a still: the packet handler marks the next frame that can be one. PASSIVE_LEVEL.
NTSTATUS LUMAREX_GetVideoProcAmpProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  PKSPROPERTY_VIDEOPROCAMP_S reply = (PKSPROPERTY_VIDEOPROCAMP_S)descriptor->PropertyInfo;
  PLONG field = LUMAREX_SettingField(DeviceContext, descriptor->Property->Id);
  NTSTATUS status;

  if (field == NULL) {
    status = STATUS_NOT_SUPPORTED;
    goto Exit;
  }
  if (descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
    Srb->ActualBytesTransferred = 0;
    status = STATUS_BUFFER_TOO_SMALL;
    goto Exit;
  }
  LUMAREX_WRITE_FLAG(&DeviceContext->g_bStillRequested, TRUE);
  // Every byte reported is the reply's: what the record does not fill reads as zero.
  RtlZeroMemory(reply, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
  reply->Value = (LONG)(USHORT)*field;  // the setting's low 16 bits
  reply->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  reply->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  descriptor->PropertyOutputSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  status = STATUS_SUCCESS;

Exit:
  return Complete(Srb, status);
}

// LUMAREX_SetVideoProcAmpProperty - change a picture setting. A value outside 0..100 is
// ignored without an error. Nothing goes to the camera: the next raw frame picks the setting
// up. PASSIVE_LEVEL. Completes with the single-setting save's result: LUMAREX_SAVE_SUCCESS
// (with 0 bytes), or the failure of opening the settings key.
NTSTATUS LUMAREX_SetVideoProcAmpProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  PKSPROPERTY_VIDEOPROCAMP_S value = (PKSPROPERTY_VIDEOPROCAMP_S)descriptor->PropertyInfo;
  ULONG id = descriptor->Property->Id;
  NTSTATUS status;

  Srb->ActualBytesTransferred = 0;
  if (LUMAREX_SettingField(DeviceContext, id) == NULL) {
    status = STATUS_NOT_SUPPORTED;
    goto Exit;
  }
  if (descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
    status = STATUS_BUFFER_TOO_SMALL;
    goto Exit;
  }
  status = LUMAREX_ApplySetting(DeviceContext, id, value->Value);
  if (status == STATUS_SUCCESS) {
    Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  }

Exit:
  return Complete(Srb, status);
}

// LUMAREX_GetVideoControlProperty - the still pin's trigger capabilities, the capture pin's
// actual frame rate, and the frame rates offered at a width. A zero-length buffer asks for
// the reply's size (STATUS_BUFFER_OVERFLOW with the size). PASSIVE_LEVEL.
NTSTATUS LUMAREX_GetVideoControlProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  ULONG outputSize = descriptor->PropertyOutputSize;
  ULONG streamIndex = 0;
  ULONG index;
  NTSTATUS status;

  switch (descriptor->Property->Id) {
    case KSPROPERTY_VIDEOCONTROL_CAPS: {
      PKSPROPERTY_VIDEOCONTROL_CAPS_S reply = (PKSPROPERTY_VIDEOCONTROL_CAPS_S)descriptor->PropertyInfo;
      if (!InputStreamIndex(descriptor, &streamIndex)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else if (streamIndex != STILL_STREAM_INDEX) {
        status = STATUS_NOT_SUPPORTED;
      } else if (outputSize < sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S)) {
        Srb->ActualBytesTransferred = 0;
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        RtlZeroMemory(reply, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S));
        reply->VideoControlCaps = CAPS_STILL_TRIGGER;
        Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S);
        status = STATUS_SUCCESS;
      }
      break;
    }

    case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE: {
      PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S reply =
          (PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S)descriptor->PropertyInfo;
      if (!InputStreamIndex(descriptor, &streamIndex)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else if (streamIndex == STILL_STREAM_INDEX) {
        status = STATUS_NOT_SUPPORTED;
      } else if (outputSize == 0) {
        Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S);
        status = STATUS_BUFFER_OVERFLOW;
      } else if (outputSize < sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) ||
                 DeviceContext->g_bStreamOpened != 1) {
        status = STATUS_NOT_SUPPORTED;
      } else {
        // Bandwidth allocation sets the rate index one past the table; the last entry is the
        // rate the camera runs at, and the one FRAME_RATES reports.
        index = DeviceContext->g_nFrameRateIndex;
        if (index >= FrameIntervalCount) {
          index = FrameIntervalCount - 1;
        }
        RtlZeroMemory(reply, sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S));
        reply->CurrentActualFrameRate = ScaleForWidth(DeviceContext->g_nStreamWidth, FrameIntervals[index]);
        reply->CurrentMaxAvailableFrameRate =
            ScaleForWidth(DeviceContext->g_nStreamWidth, MAX_AVAILABLE_FRAME_INTERVAL);
        Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S);
        status = STATUS_SUCCESS;
      }
      break;
    }

    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES: {
      PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request = (PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S)descriptor->Property;
      PKSMULTIPLE_ITEM reply = (PKSMULTIPLE_ITEM)descriptor->PropertyInfo;
      LONGLONG interval;
      if (outputSize == 0) {
        Srb->ActualBytesTransferred = sizeof(KSMULTIPLE_ITEM) + sizeof(LONGLONG);
        status = STATUS_BUFFER_OVERFLOW;
      } else if (outputSize < sizeof(KSMULTIPLE_ITEM) + sizeof(LONGLONG) ||
                 descriptor->PropertyInputSize < sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        interval = ScaleForWidth(request->Dimensions.cx, NOMINAL_FRAME_INTERVAL);
        reply->Size = sizeof(KSMULTIPLE_ITEM) + sizeof(LONGLONG);
        reply->Count = 1;
        RtlCopyMemory(reply + 1, &interval, sizeof(interval));
        Srb->ActualBytesTransferred = sizeof(KSMULTIPLE_ITEM) + sizeof(LONGLONG);
        status = STATUS_SUCCESS;
      }
      break;
    }

    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  return Complete(Srb, status);
}

// LUMAREX_SetVideoControlProperty - MODE on the still pin with a trigger flag asks for a still
// frame; any other mode changes nothing and is no error. PASSIVE_LEVEL.
NTSTATUS LUMAREX_SetVideoControlProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  PKSPROPERTY_VIDEOCONTROL_MODE_S mode = (PKSPROPERTY_VIDEOCONTROL_MODE_S)descriptor->PropertyInfo;
  NTSTATUS status;

  if (descriptor->Property->Id != KSPROPERTY_VIDEOCONTROL_MODE) {
    status = STATUS_NOT_SUPPORTED;
    goto Exit;
  }
  if (descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S)) {
    status = STATUS_BUFFER_TOO_SMALL;
    goto Exit;
  }
  if (mode->StreamIndex == STILL_STREAM_INDEX && (mode->Mode & CAPS_STILL_TRIGGER) != 0) {
    LUMAREX_WRITE_FLAG(&DeviceContext->g_bStillRequested, TRUE);
  }
  status = STATUS_SUCCESS;

Exit:
  return Complete(Srb, status);
}

// LUMAREX_GetCustomProperty - the private set's reads: the camera's status block (or, while
// a still is pending, the still marker), operation reads, and plain bulk reads of the buffer's
// size. PASSIVE_LEVEL.
NTSTATUS LUMAREX_GetCustomProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  PUCHAR buffer = (PUCHAR)descriptor->PropertyInfo;
  ULONG size = descriptor->PropertyOutputSize;
  ULONG word = STILL_PENDING_WORD;
  NTSTATUS status;

  switch (descriptor->Property->Id) {
    case 1:
    case 2:
    case 3:
    case 5:
    case 11:
      // These report the whole buffer however much the camera answered: what a short or failed
      // answer leaves unfilled reads as zeros, not as whatever the buffer held before.
      RtlZeroMemory(buffer, size);
      break;
    default:
      break;
  }
  switch (descriptor->Property->Id) {
    case 0:
      if (LUMAREX_READ_FLAG(&DeviceContext->g_bStillRequested)) {
        // The still stays pending: the packet handler consumes it.
        if (size < STILL_PENDING_REPLY_SIZE) {
          Srb->ActualBytesTransferred = 0;
          status = STATUS_BUFFER_TOO_SMALL;
          break;
        }
        RtlZeroMemory(buffer, STILL_PENDING_REPLY_SIZE);
        RtlCopyMemory(buffer + STILL_PENDING_OFFSET, &word, sizeof(word));
        Srb->ActualBytesTransferred = STILL_PENDING_REPLY_SIZE;
        status = STATUS_SUCCESS;
        break;
      }
      Srb->ActualBytesTransferred = 0;
      if (size < LUMAREX_STATUS_BLOCK_SIZE) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      RtlZeroMemory(buffer, LUMAREX_STATUS_BLOCK_SIZE);  // a short answer leaves zeros, as below
      status = LUMAREX_ReadStatusBlock(DeviceContext, buffer);
      if (NT_SUCCESS(status)) {
        Srb->ActualBytesTransferred = LUMAREX_STATUS_BLOCK_SIZE;
      }
      break;

    case 1:
      status = LUMAREX_ReadOperationBlock(DeviceContext, buffer, size);
      Srb->ActualBytesTransferred = size;
      break;

    case 2:
      if (size < LUMAREX_CAMERA_WORD_SIZE) {
        Srb->ActualBytesTransferred = 0;
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      status = LUMAREX_ReadOperationWord(DeviceContext, buffer);
      Srb->ActualBytesTransferred = size;
      break;

    case 3:
      status = LUMAREX_BulkRead(DeviceContext, buffer, size);
      Srb->ActualBytesTransferred = size;
      break;

    case 5:
      status = LUMAREX_BulkRead(DeviceContext, buffer, size);
      if (NT_SUCCESS(status)) {
        Srb->ActualBytesTransferred = size;
      } else {
        status = STATUS_DEVICE_DATA_ERROR;
      }
      break;

    case 11:
      status = LUMAREX_BulkRead(DeviceContext, buffer, size);
      if (NT_SUCCESS(status)) {
        Srb->ActualBytesTransferred = size;
      } else {
        Srb->ActualBytesTransferred = 0;
        status = STATUS_DEVICE_DATA_ERROR;
      }
      break;

    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  return Complete(Srb, status);
}

// LUMAREX_SetCustomProperty - the private set's writes: an operation after the ready poll,
// operations without data, a block written through operation 0xD6, one raw vendor command,
// and a plain bulk write of the buffer. PASSIVE_LEVEL.
NTSTATUS LUMAREX_SetCustomProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  PUCHAR buffer = (PUCHAR)descriptor->PropertyInfo;
  ULONG size = descriptor->PropertyOutputSize;
  ULONG written;
  NTSTATUS status;

  switch (descriptor->Property->Id) {
    case 4:
      if (size < 1) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      status = LUMAREX_RunReadyOperation(DeviceContext, buffer[0]);
      break;

    case 6:
    case 8:
      status = LUMAREX_RunOperation(DeviceContext, LUMAREX_OPERATION_CLOSE);
      break;

    case 7:
      status = LUMAREX_RunOperation(DeviceContext, PRIVATE_SET_7_OPERATION);
      break;

    case 9:
      written = Srb->ActualBytesTransferred;
      status = LUMAREX_WriteOperationBlock(DeviceContext, buffer, size, &written);
      Srb->ActualBytesTransferred = written;
      break;

    case 10:
      if (size < RAW_COMMAND_SIZE) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      status = LUMAREX_SendRawCommand(DeviceContext, (USHORT)(buffer[2] | (buffer[3] << 8)),
                                      (USHORT)(buffer[4] | (buffer[5] << 8)), (ULONG)(buffer[6] | (buffer[7] << 8)));
      break;

    case 12:
      status = LUMAREX_BulkWrite(DeviceContext, buffer, size);
      if (NT_SUCCESS(status)) {
        Srb->ActualBytesTransferred = size;
      } else {
        status = STATUS_DEVICE_DATA_ERROR;
      }
      break;

    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  return Complete(Srb, status);
}

// ---- Constant tables ---------------------------------------------------------------------------

namespace {
// Frame intervals by g_nFrameRateIndex, in 100 ns units at the camera's native rate.
const LONGLONG FrameIntervals[] = {
    0,                       // index 0: no rate
    NOMINAL_FRAME_INTERVAL,  // index 1: the nominal rate
};
const ULONG FrameIntervalCount = ARRAYSIZE(FrameIntervals);
}  // namespace
