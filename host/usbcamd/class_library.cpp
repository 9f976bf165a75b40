// The camera class library's device requests: the records of plugged-in cameras, device
// initialisation (configuration, CamConfigureEx, CamInitialize), stream information, stream open
// and close, and removal (streams stopped, CamUnInitialize).
#include <algorithm>
#include <cstring>

#include "usbcamd_internal.h"

namespace usbcamd {
namespace {

struct Table {
  std::mutex lock;
  std::vector<Device *> devices;
};

// Never destroyed: a pump thread may still look a device up while the process exits.
Table &Devices() {
  static Table *t = new Table;
  return *t;
}

void CompleteDevice(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status) {
  srb->Status = status;
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr, nullptr, 0);
}

void DescribeCamera(Device &d) {
  d.interfaceBlock.assign((TorvaneShared_CameraInterfaceSize() + 7) / 8, 0);
  TorvaneShared_DescribeCamera(d.camera->StreamConfig().maxPacketSize, &d.deviceDescriptor, &d.configDescriptor,
                               d.Interface());
}

void ChoosePipes(Device &d) { TorvaneShared_ChoosePipes(d.Interface(), d.pipeConfig, &d.dataPipe, &d.syncPipe); }

void InitializeDevice(Device &d, PHW_STREAM_REQUEST_BLOCK srb) {
  if (d.callbacks == nullptr) {
    // The driver never registered its USBCAMD2 callbacks for this device.
    CompleteDevice(srb, STATUS_INVALID_DEVICE_REQUEST);
    return;
  }
  PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
  // Room for the video and the still stream's information.
  config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + 2 * sizeof(HW_STREAM_INFORMATION);

  DescribeCamera(d);
  for (ULONG p = 0; p < kPipeCount; ++p) {
    d.pipeConfig[p] = USBCAMD_Pipe_Config_Descriptor{0, USBCAMD_DONT_CARE_PIPE};
  }
  NTSTATUS status = HostStack_Call(HostStackEntry::CameraCallback, [&] {
    return d.callbacks->CamConfigureEx(d.physicalDevice, d.deviceContext, d.Interface(), &d.configDescriptor,
                                       kPipeCount, d.pipeConfig, &d.deviceDescriptor);
  });
  if (!NT_SUCCESS(status)) {
    CompleteDevice(srb, status);
    return;
  }
  ChoosePipes(d);
  status = HostStack_Call(HostStackEntry::CameraCallback,
                          [&] { return d.callbacks->CamInitialize(d.physicalDevice, d.deviceContext); });
  if (!NT_SUCCESS(status)) {
    // What the driver did take is given back: the device will not start.
    HostStack_Call(HostStackEntry::CameraCallback,
                   [&] { return d.callbacks->CamUnInitialize(d.physicalDevice, d.deviceContext); });
    CompleteDevice(srb, status);
    return;
  }
  d.initialized = true;
  CompleteDevice(srb, STATUS_SUCCESS);
}

void UninitializeDevice(Device &d, PHW_STREAM_REQUEST_BLOCK srb) {
  NTSTATUS status = STATUS_SUCCESS;
  auto uninitialize = [&] {
    if (d.initialized && d.callbacks != nullptr) {
      status = HostStack_Call(HostStackEntry::CameraCallback,
                              [&] { return d.callbacks->CamUnInitialize(d.physicalDevice, d.deviceContext); });
      d.initialized = false;
    }
  };
  // With framesDuringUninitialize a running video stream still hands over raw frames while the
  // driver uninitialises; the streams stop afterwards.
  if (UninitializeWhileStreaming(d, uninitialize)) {
    StopAllStreams(d);
    CancelDeviceEvents(d);
  } else {
    StopAllStreams(d);
    CancelDeviceEvents(d);
    uninitialize();
  }
  CompleteDevice(srb, NT_SUCCESS(status) ? STATUS_SUCCESS : status);
}

// A power change. Going below D0 the class library lets the driver save its state, pauses the
// isochronous pipe and the camera loses power; back at D0 the pipe runs again and the driver
// restores its state (a camera that lost power needs its start command again).
void ChangePowerState(Device &d, DEVICE_POWER_STATE state) {
  if (state == PowerDeviceD0) {
    if (d.poweredDown) {
      d.poweredDown = false;
      d.isoStopped = d.isoStoppedBeforePowerDown;
    }
    if (d.callbacks != nullptr) {
      HostStack_Call(HostStackEntry::CameraCallback,
                     [&] { return d.callbacks->CamRestoreState(d.physicalDevice, d.deviceContext); });
    }
    return;
  }
  if (d.callbacks != nullptr) {
    HostStack_Call(HostStackEntry::CameraCallback,
                   [&] { return d.callbacks->CamSaveState(d.physicalDevice, d.deviceContext); });
  }
  if (!d.poweredDown) {
    d.poweredDown = true;
    d.isoStoppedBeforePowerDown = d.isoStopped.load();
    d.isoStopped = true;
    ++d.powerCuts;
    d.camera->IsoPipeRestarted();
    d.camera->LosePower();
  }
}

}  // namespace

Device *DeviceOfContext(PVOID deviceContext) {
  Table &t = Devices();
  std::lock_guard<std::mutex> guard(t.lock);
  for (Device *d : t.devices) {
    if (d->deviceContext == deviceContext) return d;
  }
  return nullptr;
}

Device *DeviceOfExtension(PVOID extension) {
  Table &t = Devices();
  std::lock_guard<std::mutex> guard(t.lock);
  for (Device *d : t.devices) {
    if (d == extension) return d;
  }
  return nullptr;
}

void ProcessDeviceRequest(Device &d, PHW_STREAM_REQUEST_BLOCK srb) {
  HostIrql_Require(PASSIVE_LEVEL, "the class library's device requests");
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
      InitializeDevice(d, srb);
      break;
    case SRB_GET_STREAM_INFO:
      // The driver filled the descriptor; the class library only checks there is one.
      CompleteDevice(srb, srb->CommandData.StreamBuffer != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
      break;
    case SRB_OPEN_STREAM:
      OpenStream(d, srb);
      break;
    case SRB_CLOSE_STREAM:
      CloseStream(d, srb);
      break;
    case SRB_SURPRISE_REMOVAL:
      // The camera is gone: nothing more reaches it, and streams stop.
      d.removed = true;
      HostCamera_Detach(d.deviceContext);
      StopAllStreams(d);
      CancelDeviceEvents(d);
      CompleteDevice(srb, STATUS_SUCCESS);
      break;
    case SRB_UNINITIALIZE_DEVICE:
      UninitializeDevice(d, srb);
      break;
    case SRB_CHANGE_POWER_STATE:
      ChangePowerState(d, srb->CommandData.DeviceState);
      CompleteDevice(srb, STATUS_SUCCESS);
      break;
    case SRB_OPEN_DEVICE_INSTANCE:
    case SRB_CLOSE_DEVICE_INSTANCE:
    case SRB_PAGING_OUT_DRIVER:
      CompleteDevice(srb, STATUS_SUCCESS);
      break;
    default:
      CompleteDevice(srb, STATUS_NOT_IMPLEMENTED);
      break;
  }
}

}  // namespace usbcamd

using namespace usbcamd;

PVOID HostUsbcamd_CreateDevice(HostSimCamera *camera, const HostDeviceOptions &options, PDEVICE_OBJECT classDevice,
                               PDEVICE_OBJECT physicalDevice) {
  ULONG contextSize = HostUsbcamd_Registration().deviceContextSize;
  PVOID context = ExAllocatePoolWithTag(NonPagedPool, contextSize, kPoolTag);
  if (context == nullptr) {
    return nullptr;
  }
  // The class library hands the driver a zeroed device context.
  memset(context, 0, contextSize);
  Device *d = new Device;
  d->camera = camera;
  d->options = options;
  d->deviceContext = context;
  d->classDevice = classDevice;
  d->physicalDevice = physicalDevice;
  HostCamera_Attach(context, camera);
  Table &t = Devices();
  std::lock_guard<std::mutex> guard(t.lock);
  t.devices.push_back(d);
  return d;
}

void HostUsbcamd_DestroyDevice(PVOID extension) {
  Device *d = DeviceOfExtension(extension);
  if (d == nullptr) {
    return;
  }
  StopAllStreams(*d);
  CancelDeviceEvents(*d);
  {
    Table &t = Devices();
    std::lock_guard<std::mutex> guard(t.lock);
    t.devices.erase(std::remove(t.devices.begin(), t.devices.end(), d), t.devices.end());
  }
  HostCamera_Detach(d->deviceContext);
  ExFreePool(d->deviceContext);
  delete d;
}

PVOID HostUsbcamd_DeviceContextOf(PVOID extension) {
  Device *d = DeviceOfExtension(extension);
  return d != nullptr ? d->deviceContext : nullptr;
}

size_t HostUsbcamd_DeviceCount() {
  Table &t = Devices();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.devices.size();
}
