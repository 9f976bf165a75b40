// The camera's USB description as the bus driver reports it to the class library, and the
// class library's choice of the video stream's pipes from the driver's pipe configuration.
#include "shared_rules.h"

ULONG TorvaneShared_CameraInterfaceSize() {
  return FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + TORVANE_CAMERA_PIPES * sizeof(USBD_PIPE_INFORMATION);
}

// The descriptors and the streaming interface after configuration 1, alternate setting 1 (the
// one with bandwidth for the data pipe) was selected.
void TorvaneShared_DescribeCamera(USHORT maxPacket, PUSB_DEVICE_DESCRIPTOR device,
                                  PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_INFORMATION i) {
  const USB_DEVICE_DESCRIPTOR d = {18,   1, 0x0110, 0xFF, 0xFF, 0xFF, 64, TORVANE_CAMERA_VENDOR_ID,
                                   TORVANE_CAMERA_PRODUCT_ID, 0x0100, 1, 2, 0, 1};
  const USB_CONFIGURATION_DESCRIPTOR c = {9, 2, 9 + 9 + TORVANE_CAMERA_PIPES * 7, 1, 1, 0, 0x80, 250};
  *device = d;
  *config = c;
  ULONG bytes = TorvaneShared_CameraInterfaceSize();
  memset(i, 0, bytes);
  i->Length = (USHORT)bytes;
  i->InterfaceNumber = 0;
  i->AlternateSetting = 1;
  i->Class = 0xFF;
  i->InterfaceHandle = (USBD_INTERFACE_HANDLE)i;
  i->NumberOfPipes = TORVANE_CAMERA_PIPES;
  struct PipeShape {
    USHORT maxPacket;
    UCHAR endpoint;
    UCHAR interval;
    USBD_PIPE_TYPE type;
  } const shapes[TORVANE_CAMERA_PIPES] = {
      {maxPacket, 0x81, 1, UsbdPipeTypeIsochronous},  // video data
      {64, 0x82, 0, UsbdPipeTypeBulk},                // command data from the camera
      {1, 0x83, 1, UsbdPipeTypeIsochronous},          // one status byte per slot
      {64, 0x04, 0, UsbdPipeTypeBulk},                // command data to the camera
      {8, 0x85, 16, UsbdPipeTypeInterrupt},           // device events
  };
  for (ULONG p = 0; p < TORVANE_CAMERA_PIPES; ++p) {
    USBD_PIPE_INFORMATION &pipe = i->Pipes[p];
    pipe.MaximumPacketSize = shapes[p].maxPacket;
    pipe.EndpointAddress = shapes[p].endpoint;
    pipe.Interval = shapes[p].interval;
    pipe.PipeType = shapes[p].type;
    pipe.PipeHandle = (USBD_PIPE_HANDLE)&i->Pipes[p];
    pipe.MaximumTransferSize = 4096;
  }
}

// Which pipes carry the video stream's data and status: the driver's pipe configuration when
// it names them, the version-1 convention (data pipe 0, sync pipe 2) otherwise.
void TorvaneShared_ChoosePipes(const USBD_INTERFACE_INFORMATION *i, const USBCAMD_Pipe_Config_Descriptor *config,
                               ULONG *dataPipe, ULONG *syncPipe) {
  *dataPipe = TORVANE_ISO_DATA_PIPE;
  *syncPipe = TORVANE_ISO_SYNC_PIPE;
  for (ULONG p = 0; p < TORVANE_CAMERA_PIPES; ++p) {
    const USBCAMD_Pipe_Config_Descriptor &c = config[p];
    if ((c.StreamAssociation & USBCAMD_VIDEO_STREAM) != 0 && (c.PipeConfigFlags & USBCAMD_DATA_PIPE) != 0 &&
        i->Pipes[p].PipeType == UsbdPipeTypeIsochronous) {
      *dataPipe = p;
      break;
    }
  }
  for (ULONG p = 0; p < TORVANE_CAMERA_PIPES; ++p) {
    if ((config[p].PipeConfigFlags & USBCAMD_SYNC_PIPE) != 0 && i->Pipes[p].PipeType == UsbdPipeTypeIsochronous) {
      *syncPipe = p;
      break;
    }
  }
}
