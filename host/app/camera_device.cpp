// The stream class's device for one camera: arrival and removal, and the device requests an
// application's calls turn into (stream information, data intersection, properties, stream open).
#include <cstring>

#include "host_kernel.h"
#include "host_stack.h"
#include "host_stream.h"
#include "host_usbcamd.h"

namespace {

const GUID kVideoProcAmp = {STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP};
const GUID kVideoControl = {STATIC_PROPSETID_VIDCAP_VIDEOCONTROL};

// How long a request may take before the host calls it lost (a stuck driver, not a slow one).
constexpr std::chrono::seconds kRequestTimeout(60);

}  // namespace

HostCameraDevice::HostCameraDevice(HostSimCamera &camera, HostDeviceOptions options)
    : camera_(camera), options_(options), application_(HostProcess_NewApplication()) {}

HostCameraDevice::~HostCameraDevice() {
  if (present_) {
    Remove(false);
  }
}

ULONG HostCameraDevice::RequestProcess(SRB_COMMAND command) const {
  switch (command) {
    case SRB_INITIALIZE_DEVICE:
    case SRB_INITIALIZATION_COMPLETE:
    case SRB_CHANGE_POWER_STATE:
    case SRB_SURPRISE_REMOVAL:
    case SRB_UNINITIALIZE_DEVICE:
    case SRB_PAGING_OUT_DRIVER:
      return HOST_SYSTEM_PROCESS;  // the plug-and-play manager's threads
    default:
      return HostProcess_Current() != HOST_SYSTEM_PROCESS ? HostProcess_Current() : application_;
  }
}

PVOID HostCameraDevice::DeviceContext() const {
  return extension_ != nullptr ? HostUsbcamd_DeviceContextOf(extension_) : nullptr;
}

NTSTATUS HostCameraDevice::SendDeviceRequest(HW_STREAM_REQUEST_BLOCK &srb, const HostRequestSizes &sizes) {
  PADAPTER_RECEIVE_PACKET_ROUTINE receive = HostUsbcamd_Registration().receivePacket;
  if (receive == nullptr || extension_ == nullptr) {
    return STATUS_DEVICE_NOT_CONNECTED;  // no driver registered, or no device
  }
  srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  srb.HwDeviceExtension = extension_;
  srb.Status = STATUS_PENDING;
  HostIrql_Require(PASSIVE_LEVEL, "a stream-class device request");
  HostProcessScope scope(RequestProcess(srb.Command));
  bool property = srb.Command == SRB_GET_DEVICE_PROPERTY || srb.Command == SRB_SET_DEVICE_PROPERTY;
  // Property requests the driver's table does not admit, and descriptions of its items, the
  // stream class answers itself.
  if (property && HostStream_FilterProperty(properties_, srb)) {
    return srb.Status;
  }
  return HostStream_Issue(srb, sizes, [&](PHW_STREAM_REQUEST_BLOCK request) {
    HostStack_Call(property ? HostStackEntry::Property : HostStackEntry::SrbDispatch, [&] { receive(request); });
  }, kRequestTimeout);
}

NTSTATUS HostCameraDevice::Arrive() {
  if (present_) {
    return STATUS_SUCCESS;
  }
  class_ = std::make_unique<DEVICE_OBJECT>();
  physical_ = std::make_unique<DEVICE_OBJECT>();
  memset(class_.get(), 0, sizeof(DEVICE_OBJECT));
  memset(physical_.get(), 0, sizeof(DEVICE_OBJECT));
  class_->Size = physical_->Size = sizeof(DEVICE_OBJECT);
  class_->AttachedDevice = physical_.get();
  extension_ = HostUsbcamd_CreateDevice(&camera_, options_, class_.get(), physical_.get());
  if (extension_ == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  class_->DeviceExtension = extension_;
  config_ = std::make_unique<PORT_CONFIGURATION_INFORMATION>();
  memset(config_.get(), 0, sizeof(PORT_CONFIGURATION_INFORMATION));
  config_->SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
  config_->HwDeviceExtension = extension_;
  config_->ClassDeviceObject = class_.get();
  config_->PhysicalDeviceObject = physical_.get();
  config_->RealPhysicalDeviceObject = physical_.get();
  present_ = true;

  HW_STREAM_REQUEST_BLOCK init{};
  init.Command = SRB_INITIALIZE_DEVICE;
  init.CommandData.ConfigInfo = config_.get();
  NTSTATUS status = SendDeviceRequest(init);
  if (!NT_SUCCESS(status)) {
    // The device did not start: the stream class forgets it.
    HostUsbcamd_DestroyDevice(extension_);
    extension_ = nullptr;
    present_ = false;
    return status;
  }
  // The stream class asks for the streams and the device property sets once the device is
  // initialised, and keeps the property-set table for the device's property requests.
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  properties_ = {};
  if (NT_SUCCESS(GetStreamInfo(&header, &streams))) {
    properties_.sets = header.DevicePropertiesArray;
    properties_.count = header.NumDevPropArrayEntries;
  }
  HW_STREAM_REQUEST_BLOCK complete{};
  complete.Command = SRB_INITIALIZATION_COMPLETE;
  return SendDeviceRequest(complete);
}

NTSTATUS HostCameraDevice::Remove(bool surprise) {
  if (!present_) {
    return STATUS_SUCCESS;
  }
  if (surprise) {
    HW_STREAM_REQUEST_BLOCK removal{};
    removal.Command = SRB_SURPRISE_REMOVAL;
    SendDeviceRequest(removal);
  }
  // Handles the application still holds are closed before the device goes.
  std::vector<HostAppStream *> open = open_;
  for (HostAppStream *stream : open) {
    stream->Close();
  }
  HW_STREAM_REQUEST_BLOCK uninit{};
  uninit.Command = SRB_UNINITIALIZE_DEVICE;
  NTSTATUS status = SendDeviceRequest(uninit);
  HostUsbcamd_DestroyDevice(extension_);
  extension_ = nullptr;
  present_ = false;
  return status;
}

NTSTATUS HostCameraDevice::SetPowerState(DEVICE_POWER_STATE state) {
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_CHANGE_POWER_STATE;
  srb.CommandData.DeviceState = state;
  return SendDeviceRequest(srb);
}

NTSTATUS HostCameraDevice::GetStreamInfo(HW_STREAM_HEADER *header, std::vector<HW_STREAM_INFORMATION> *streams) {
  size_t size = std::max<size_t>(config_ ? config_->StreamDescriptorSize : 0, sizeof(HW_STREAM_DESCRIPTOR));
  std::vector<uint64_t> block((size + 7) / 8, 0);
  auto *descriptor = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(block.data());
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_GET_STREAM_INFO;
  srb.CommandData.StreamBuffer = descriptor;
  NTSTATUS status = SendDeviceRequest(srb, HostRequestSizes{0, size, 0});
  if (!NT_SUCCESS(status)) {
    return status;
  }
  *header = descriptor->StreamHeader;
  size_t room = (size - sizeof(HW_STREAM_HEADER)) / sizeof(HW_STREAM_INFORMATION);
  streams->assign(&descriptor->StreamInfo, &descriptor->StreamInfo + std::min<size_t>(room, header->NumberOfStreams));
  return status;
}

NTSTATUS HostCameraDevice::DataIntersection(ULONG stream, const KSDATARANGE *range, std::vector<uint8_t> *format) {
  // First ask for the size, then for the format, as the stream class does.
  STREAM_DATA_INTERSECT_INFO info{stream, const_cast<PKSDATARANGE>(range), nullptr, 0};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_GET_DATA_INTERSECTION;
  srb.CommandData.IntersectInfo = &info;
  const HostRequestSizes sizes{0, 0, range->FormatSize};
  NTSTATUS status = SendDeviceRequest(srb, sizes);
  if (status != STATUS_BUFFER_OVERFLOW) {
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  format->assign(srb.ActualBytesTransferred, 0);
  info.DataFormatBuffer = format->data();
  info.SizeOfDataFormatBuffer = ULONG(format->size());
  HW_STREAM_REQUEST_BLOCK second{};
  second.Command = SRB_GET_DATA_INTERSECTION;
  second.CommandData.IntersectInfo = &info;
  status = SendDeviceRequest(second, sizes);
  if (NT_SUCCESS(status)) {
    format->resize(second.ActualBytesTransferred);
  }
  return status;
}

NTSTATUS HostCameraDevice::Property(bool set, const GUID &propertySet, ULONG id, std::vector<uint8_t> property,
                                    void *data, ULONG dataSize, ULONG *bytes) {
  return PropertyRequest(set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET, propertySet, id, std::move(property), data,
                         dataSize, bytes);
}

NTSTATUS HostCameraDevice::PropertyRequest(ULONG flags, const GUID &propertySet, ULONG id,
                                           std::vector<uint8_t> property, void *data, ULONG dataSize, ULONG *bytes) {
  const bool set = (flags & KSPROPERTY_TYPE_SET) != 0;
  if (property.size() < sizeof(KSPROPERTY)) {
    property.resize(sizeof(KSPROPERTY), 0);
  }
  // The records begin with 8-byte aligned members.
  std::vector<uint64_t> input((property.size() + 7) / 8, 0);
  memcpy(input.data(), property.data(), property.size());
  auto *p = reinterpret_cast<PKSPROPERTY>(input.data());
  p->Set = propertySet;
  p->Id = id;
  p->Flags = flags;
  STREAM_PROPERTY_DESCRIPTOR descriptor{};
  descriptor.Property = p;
  descriptor.PropertyInputSize = ULONG(property.size());
  descriptor.PropertyInfo = data;
  descriptor.PropertyOutputSize = dataSize;
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
  srb.CommandData.PropertyInfo = &descriptor;
  NTSTATUS status = SendDeviceRequest(srb);
  if (bytes != nullptr) {
    *bytes = srb.ActualBytesTransferred;
  }
  return status;
}

NTSTATUS HostCameraDevice::GetVideoProcAmp(ULONG id, LONG *value) {
  KSPROPERTY_VIDEOPROCAMP_S record{};
  std::vector<uint8_t> input(sizeof(record), 0);
  NTSTATUS status = Property(false, kVideoProcAmp, id, input, &record, sizeof(record), nullptr);
  if (NT_SUCCESS(status)) {
    *value = record.Value;
  }
  return status;
}

NTSTATUS HostCameraDevice::SetVideoProcAmp(ULONG id, LONG value) {
  KSPROPERTY_VIDEOPROCAMP_S record{};
  record.Value = value;
  record.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  std::vector<uint8_t> input(reinterpret_cast<uint8_t *>(&record), reinterpret_cast<uint8_t *>(&record) + sizeof(record));
  return Property(true, kVideoProcAmp, id, input, &record, sizeof(record), nullptr);
}

NTSTATUS HostCameraDevice::TriggerStill() {
  KSPROPERTY_VIDEOCONTROL_MODE_S record{};
  record.StreamIndex = 1;
  record.Mode = KS_VideoControlFlag_Trigger;
  std::vector<uint8_t> input(reinterpret_cast<uint8_t *>(&record), reinterpret_cast<uint8_t *>(&record) + sizeof(record));
  return Property(true, kVideoControl, KSPROPERTY_VIDEOCONTROL_MODE, input, &record, sizeof(record), nullptr);
}

size_t HostCameraDevice::EventWaits() const {
  return extension_ != nullptr ? HostUsbcamd_EventWaits(extension_) : 0;
}

void HostCameraDevice::SignalDeviceEvent(const std::vector<uint8_t> &bytes) {
  if (extension_ != nullptr) {
    HostUsbcamd_SignalDeviceEvent(extension_, bytes);
  }
}
