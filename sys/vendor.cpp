// The camera's command set: vendor request 0x0C on the default control pipe, and bulk
// transfers for blocks of data.
//
// The value of a request selects the operation. The camera's controller runs one operation at
// a time: value 6 with an operand in the index opens an operation, in(7, 0) reads its one-byte
// answer, and the pair out(6, 0xA0), in(7, 0) closes it. Capture start carries 0x40 in the low
// byte of its value and a size parameter in the high byte; in(0xA0, 0) polls the ready bit.
//
// Every sequence runs under the device's command lock, so that two callers (a property
// request and capture start, say) cannot interleave their commands on the control pipe and
// confuse the controller's notion of the open operation. The private-set sequences take the
// lock here; capture start and stop take it in their callbacks, because the 150 ms the camera
// then needs belongs to the sequence.
#include "lumarex.h"

// Capture-start operand for each raw frame size (width * height).
typedef struct _LUMAREX_START_PARAMETERS {
  ULONG RawFrameSize;
  UCHAR SizeParameter;  // high byte of the request value
  USHORT Index;
} LUMAREX_START_PARAMETERS;

// Defined with the other constant tables at the end of the file.
namespace {
extern const LUMAREX_START_PARAMETERS StartParameters[];
extern const ULONG StartParameterCount;
}  // namespace

#define DEFAULT_RAW_FRAME_SIZE (320 * 240)
#define START_VALUE_LOW_BYTE 0x40
#define STOP_VALUE 0x00A0
#define OPERATION_OPEN 6   // value: open the operation given in the index
#define OPERATION_ANSWER 7 // value: read the open operation's one-byte answer
#define READY_POLL_VALUE 0xA0
#define READY_BIT 0x04
#define STATUS_READ_VALUE 0x10F0
#define BLOCK_READ_OPERATION 0x20
#define BLOCK_READ_END_VALUE 0xC0
#define WORD_READ_OPERATION 0x90
#define BLOCK_WRITE_OPERATION 0xD6

// LUMAREX_InitializeCommandLock - give the device's command lock its starting state (free).
// Called once by CamInitialize, before any sequence can run. PASSIVE_LEVEL.
VOID LUMAREX_InitializeCommandLock(PDEVICE_CONTEXT DeviceContext) {
  KeInitializeEvent(&DeviceContext->g_CommandLock, SynchronizationEvent, TRUE);
}

// LUMAREX_AcquireCommandLock - take the device's command lock, waiting while another sequence
// holds it. The holder stays inside a critical region until it releases the lock: property
// requests run on application threads, and one that its process suspended while holding the
// lock would otherwise block capture stop (and removal) for as long as it stays suspended.
// PASSIVE_LEVEL.
VOID LUMAREX_AcquireCommandLock(PDEVICE_CONTEXT DeviceContext) {
  KeEnterCriticalRegion();
  KeWaitForSingleObject(&DeviceContext->g_CommandLock, Executive, KernelMode, FALSE, NULL);
}

// LUMAREX_ReleaseCommandLock - let the next sequence run, and leave the critical region the
// acquisition entered. PASSIVE_LEVEL.
VOID LUMAREX_ReleaseCommandLock(PDEVICE_CONTEXT DeviceContext) {
  KeSetEvent(&DeviceContext->g_CommandLock, IO_NO_INCREMENT, FALSE);
  KeLeaveCriticalRegion();
}

// LUMAREX_SettleDelay - the 150 ms the camera needs after a capture start or stop before it
// takes the next command. PASSIVE_LEVEL.
VOID LUMAREX_SettleDelay(VOID) {
  LARGE_INTEGER interval;
  interval.QuadPart = -1500000;  // relative, in 100 ns units
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// SynchronousStatus - a synchronous request has finished when the class library returns; one
// that comes back STATUS_PENDING (a success code) has not been carried out, so it counts as
// failed.
static NTSTATUS SynchronousStatus(NTSTATUS Status) {
  return Status == STATUS_PENDING ? STATUS_UNSUCCESSFUL : Status;
}

// VendorCommand - one vendor request. Answer is the one-byte data variable of the sequence,
// cleared before the request; Length (NULL for no data stage) is the sequence's length
// variable, which the class library may lower to the bytes actually transferred.
// PASSIVE_LEVEL. Returns the class library's status (pending counted as failed).
static NTSTATUS VendorCommand(PDEVICE_CONTEXT DeviceContext, USHORT Value, USHORT Index, PUCHAR Answer,
                              PULONG Length, BOOLEAN GetData) {
  if (Answer != NULL) {
    *Answer = 0;
  }
  return SynchronousStatus(USBCAMD_ControlVendorCommand(DeviceContext, LUMAREX_VENDOR_REQUEST, Value, Index, Answer,
                                                        Length, GetData, NULL, NULL));
}

// ByteCommand - a command of the private sets with a one-byte data stage. Each is sent with
// length 1 of its own: the class library lowers a length it is given to the bytes actually
// transferred (0 after a failed or empty answer), and a length carried on to the next command
// would send that one without its byte. PASSIVE_LEVEL. Returns the class library's status.
static NTSTATUS ByteCommand(PDEVICE_CONTEXT DeviceContext, USHORT Value, USHORT Index, PUCHAR Answer,
                            BOOLEAN GetData) {
  ULONG length = 1;
  return VendorCommand(DeviceContext, Value, Index, Answer, &length, GetData);
}

// BulkTransfer - one synchronous bulk transfer through the class library's interface. Without
// the interface (its query failed) nothing is sent. PASSIVE_LEVEL. Returns the transfer's
// status, or STATUS_NOT_SUPPORTED without the interface.
static NTSTATUS BulkTransfer(PDEVICE_CONTEXT DeviceContext, USHORT Pipe, PVOID Buffer, ULONG Length) {
  PDEVICE_CONTEXT dc = DeviceContext;

  if (dc->g_UsbcamdInterface.Interface.Version == 0 || dc->g_UsbcamdInterface.USBCAMD_BulkReadWrite == NULL) {
    return STATUS_NOT_SUPPORTED;
  }
  return SynchronousStatus(dc->g_UsbcamdInterface.USBCAMD_BulkReadWrite(DeviceContext, Pipe, Buffer, Length, NULL, NULL));
}

// FindStartParameters - the capture-start operand for a raw frame size, or NULL. Any IRQL.
static const LUMAREX_START_PARAMETERS *FindStartParameters(ULONG RawFrameSize) {
  ULONG i;

  for (i = 0; i < StartParameterCount; ++i) {
    if (StartParameters[i].RawFrameSize == RawFrameSize) {
      return &StartParameters[i];
    }
  }
  return NULL;
}

// LUMAREX_SendStartCommand - tell the camera to send frames of the raw size given. A size the
// driver does not offer gets the default format's (320 x 240) parameters. The caller holds the
// command lock and waits LUMAREX_SettleDelay afterwards. PASSIVE_LEVEL. Returns the command's
// status.
NTSTATUS LUMAREX_SendStartCommand(PDEVICE_CONTEXT DeviceContext, ULONG RawFrameSize) {
  const LUMAREX_START_PARAMETERS *parameters = FindStartParameters(RawFrameSize);

  if (parameters == NULL) {
    parameters = FindStartParameters(DEFAULT_RAW_FRAME_SIZE);
  }
  return VendorCommand(DeviceContext, (USHORT)((parameters->SizeParameter << 8) | START_VALUE_LOW_BYTE),
                       parameters->Index, NULL, NULL, FALSE);
}

// LUMAREX_SendStopCommand - tell the camera to stop sending frames. The caller holds the
// command lock and waits LUMAREX_SettleDelay afterwards. PASSIVE_LEVEL. Returns the command's
// status.
NTSTATUS LUMAREX_SendStopCommand(PDEVICE_CONTEXT DeviceContext) {
  return VendorCommand(DeviceContext, STOP_VALUE, 0, NULL, NULL, FALSE);
}

// LUMAREX_ReadStatusBlock - out(0x10F0, 0), then 16 bytes from the bulk-in pipe into Buffer
// (which holds at least 16). A camera that stalls the request (STATUS_DEVICE_DATA_ERROR) has no
// status block: STATUS_NOT_SUPPORTED, nothing read. Other failures of the request are ignored.
// PASSIVE_LEVEL. Returns the read's status.
NTSTATUS LUMAREX_ReadStatusBlock(PDEVICE_CONTEXT DeviceContext, PVOID Buffer) {
  UCHAR answer;
  ULONG length = 0;
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  status = VendorCommand(DeviceContext, STATUS_READ_VALUE, 0, &answer, &length, FALSE);
  if (status == STATUS_DEVICE_DATA_ERROR) {
    status = STATUS_NOT_SUPPORTED;
    goto Exit;
  }
  status = BulkTransfer(DeviceContext, LUMAREX_BULK_PIPE_IN, Buffer, LUMAREX_STATUS_BLOCK_SIZE);

Exit:
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// Open an operation, read its answer and read Length bytes of its data from the bulk-in pipe:
// the common start of the read sequences. Returns the first failure, or the transfer's status.
// PASSIVE_LEVEL, with the command lock held.
static NTSTATUS OpenOperationAndRead(PDEVICE_CONTEXT DeviceContext, USHORT Operation, PVOID Buffer,
                                     ULONG Length) {
  UCHAR answer;
  ULONG length = 0;
  NTSTATUS status;

  status = VendorCommand(DeviceContext, OPERATION_OPEN, Operation, &answer, &length, FALSE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = VendorCommand(DeviceContext, OPERATION_ANSWER, 0, &answer, &length, TRUE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return BulkTransfer(DeviceContext, LUMAREX_BULK_PIPE_IN, Buffer, Length);
}

// LUMAREX_ReadOperationBlock - operation 0x20: open it, read its answer, read Length bytes
// from the bulk-in pipe, close it, and end with out(0xC0, 0). A failure before the close ends
// the sequence; the close and the end run unchecked and the end's status is the result.
// PASSIVE_LEVEL.
NTSTATUS LUMAREX_ReadOperationBlock(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length) {
  UCHAR answer;
  ULONG length = 0;
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  status = OpenOperationAndRead(DeviceContext, BLOCK_READ_OPERATION, Buffer, Length);
  if (!NT_SUCCESS(status)) {
    goto Exit;
  }
  VendorCommand(DeviceContext, OPERATION_OPEN, LUMAREX_OPERATION_CLOSE, &answer, &length, FALSE);
  VendorCommand(DeviceContext, OPERATION_ANSWER, 0, &answer, &length, TRUE);
  status = VendorCommand(DeviceContext, BLOCK_READ_END_VALUE, 0, &answer, &length, FALSE);

Exit:
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// LUMAREX_ReadOperationWord - operation 0x90: open it, read its answer, read 2 bytes from the
// bulk-in pipe into Buffer (which holds at least 2), close it. The first failure ends the
// sequence. PASSIVE_LEVEL. Returns the first failure or the last answer's status.
NTSTATUS LUMAREX_ReadOperationWord(PDEVICE_CONTEXT DeviceContext, PVOID Buffer) {
  UCHAR answer;
  ULONG length = 0;
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  status = OpenOperationAndRead(DeviceContext, WORD_READ_OPERATION, Buffer, LUMAREX_CAMERA_WORD_SIZE);
  if (!NT_SUCCESS(status)) {
    goto Exit;
  }
  status = VendorCommand(DeviceContext, OPERATION_OPEN, LUMAREX_OPERATION_CLOSE, &answer, &length, FALSE);
  if (!NT_SUCCESS(status)) {
    goto Exit;
  }
  status = VendorCommand(DeviceContext, OPERATION_ANSWER, 0, &answer, &length, TRUE);

Exit:
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// LUMAREX_BulkRead - Length bytes from the camera's bulk-in pipe. PASSIVE_LEVEL. Returns the
// transfer's status.
NTSTATUS LUMAREX_BulkRead(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length) {
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  status = BulkTransfer(DeviceContext, LUMAREX_BULK_PIPE_IN, Buffer, Length);
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// LUMAREX_BulkWrite - Length bytes to the camera's bulk-out pipe. PASSIVE_LEVEL. Returns the
// transfer's status.
NTSTATUS LUMAREX_BulkWrite(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length) {
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  status = BulkTransfer(DeviceContext, LUMAREX_BULK_PIPE_OUT, Buffer, Length);
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// LUMAREX_RunReadyOperation - wait until the camera is ready (in(0xA0, 0) until bit 2 of the
// answer is set), open the caller's operation and read its answer; every command has a
// one-byte data stage. The camera gets LUMAREX_READY_POLL_LIMIT polls: a camera that never
// becomes ready would otherwise hold the caller, and the command lock, for ever.
// PASSIVE_LEVEL. Returns STATUS_SUCCESS, or STATUS_DEVICE_DATA_ERROR for any failure.
NTSTATUS LUMAREX_RunReadyOperation(PDEVICE_CONTEXT DeviceContext, UCHAR Operation) {
  UCHAR answer = 0;
  ULONG polls;
  NTSTATUS status = STATUS_DEVICE_DATA_ERROR;

  LUMAREX_AcquireCommandLock(DeviceContext);
  for (polls = 0; polls < LUMAREX_READY_POLL_LIMIT; ++polls) {
    status = ByteCommand(DeviceContext, READY_POLL_VALUE, 0, &answer, TRUE);
    if (!NT_SUCCESS(status) || (answer & READY_BIT) != 0) {
      break;
    }
  }
  if (!NT_SUCCESS(status) || (answer & READY_BIT) == 0) {
    status = STATUS_DEVICE_DATA_ERROR;
    goto Exit;
  }
  status = ByteCommand(DeviceContext, OPERATION_OPEN, Operation, &answer, FALSE);
  if (!NT_SUCCESS(status)) {
    status = STATUS_DEVICE_DATA_ERROR;
    goto Exit;
  }
  status = ByteCommand(DeviceContext, OPERATION_ANSWER, 0, &answer, TRUE);
  if (!NT_SUCCESS(status)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }

Exit:
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// LUMAREX_RunOperation - open the operation given (0xA0 closes the open one) and read the
// answer, with one-byte data stages. The opening command's status is not looked at: the
// answer tells. PASSIVE_LEVEL. Returns the answer's status.
NTSTATUS LUMAREX_RunOperation(PDEVICE_CONTEXT DeviceContext, UCHAR Operation) {
  UCHAR answer;
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  ByteCommand(DeviceContext, OPERATION_OPEN, Operation, &answer, FALSE);
  status = ByteCommand(DeviceContext, OPERATION_ANSWER, 0, &answer, TRUE);
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// LUMAREX_WriteOperationBlock - operation 0xD6: open it, read its answer, write Length bytes
// of Buffer to the bulk-out pipe, close it and read the answer, with one-byte data stages.
// *Written becomes Length when the write went through and 0 when it failed; it is left alone
// when the sequence ended before the write. PASSIVE_LEVEL. Returns STATUS_SUCCESS;
// STATUS_DEVICE_DATA_ERROR when the opening command or an answer fails (with no write
// operation open the camera would take the block for something else); the transfer's own
// status when the write fails. The closing command's status is not looked at.
NTSTATUS LUMAREX_WriteOperationBlock(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length, PULONG Written) {
  UCHAR answer;
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  status = ByteCommand(DeviceContext, OPERATION_OPEN, BLOCK_WRITE_OPERATION, &answer, FALSE);
  if (!NT_SUCCESS(status)) {
    status = STATUS_DEVICE_DATA_ERROR;
    goto Exit;
  }
  status = ByteCommand(DeviceContext, OPERATION_ANSWER, 0, &answer, TRUE);
  if (!NT_SUCCESS(status)) {
    status = STATUS_DEVICE_DATA_ERROR;
    goto Exit;
  }
  status = BulkTransfer(DeviceContext, LUMAREX_BULK_PIPE_OUT, Buffer, Length);
  if (!NT_SUCCESS(status)) {
    *Written = 0;
    goto Exit;
  }
  *Written = Length;
  ByteCommand(DeviceContext, OPERATION_OPEN, LUMAREX_OPERATION_CLOSE, &answer, FALSE);
  status = ByteCommand(DeviceContext, OPERATION_ANSWER, 0, &answer, TRUE);
  if (!NT_SUCCESS(status)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }

Exit:
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// LUMAREX_SendRawCommand - one host-to-device request with the caller's value and index. The
// data stage comes from the driver's one-byte variable (0): a caller asking for a longer one
// gets that one byte, never bytes from beyond the variable. PASSIVE_LEVEL. Returns
// STATUS_SUCCESS or STATUS_DEVICE_DATA_ERROR.
NTSTATUS LUMAREX_SendRawCommand(PDEVICE_CONTEXT DeviceContext, USHORT Value, USHORT Index, ULONG Length) {
  UCHAR data;
  ULONG length = Length > sizeof(data) ? sizeof(data) : Length;
  NTSTATUS status;

  LUMAREX_AcquireCommandLock(DeviceContext);
  status = VendorCommand(DeviceContext, Value, Index, &data, &length, FALSE);
  if (!NT_SUCCESS(status)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  LUMAREX_ReleaseCommandLock(DeviceContext);
  return status;
}

// ---- Constant tables ---------------------------------------------------------------------------

namespace {
const LUMAREX_START_PARAMETERS StartParameters[] = {
    {19200, 10, 7},    // 160 x 120: value 0x0A40, index 7
    {76800, 20, 15},   // 320 x 240: value 0x1440, index 15 (the default format)
    {307200, 40, 30},  // 640 x 480: value 0x2840, index 30
};
const ULONG StartParameterCount = ARRAYSIZE(StartParameters);
}  // namespace
