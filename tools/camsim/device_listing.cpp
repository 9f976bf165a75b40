#include "device_listing.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "host_registry.h"
#include "host_usbcamd.h"
#include "lumarex.h"
#include "session.h"

namespace {

std::string GuidText(const GUID &g) {
  char text[64];
  snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", unsigned(g.Data1), g.Data2, g.Data3,
           g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// Published names of the property sets and items a capture application knows; any other set
// or item is shown by its GUID or number.
struct Named {
  GUID set;
  const char *name;
  std::vector<const char *> items;
};
const std::vector<Named> &KnownSets() {
  static const std::vector<Named> known = {
      {{STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP},
       "VideoProcAmp",
       {"brightness", "contrast", "hue", "saturation", "sharpness", "gamma", "colour enable", "white balance",
        "backlight compensation", "gain"}},
      {{STATIC_PROPSETID_VIDCAP_VIDEOCONTROL}, "VideoControl", {"caps", "actual frame rate", "frame rates", "mode"}},
  };
  return known;
}

std::string SetName(const GUID &set) {
  for (const Named &n : KnownSets()) {
    if (memcmp(&n.set, &set, sizeof(GUID)) == 0) return n.name + std::string(" {") + GuidText(set) + "}";
  }
  return "{" + GuidText(set) + "}";
}

std::string ItemName(const GUID &set, ULONG id) {
  for (const Named &n : KnownSets()) {
    if (memcmp(&n.set, &set, sizeof(GUID)) == 0 && id < n.items.size()) return n.items[id];
  }
  return "item";
}

// A format's name: the FOURCC of a FOURCC subtype, RGB24 for the RGB24 subtype.
std::string FormatName(const KS_DATARANGE_VIDEO &range) {
  static const GUID rgb24 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB24};
  const GUID &sub = range.DataRange.SubFormat;
  if (memcmp(&sub, &rgb24, sizeof(GUID)) == 0) return "RGB24";
  static const uint8_t fourccTail[] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  if (memcmp(reinterpret_cast<const uint8_t *>(&sub) + 4, fourccTail, sizeof fourccTail) == 0) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += char((sub.Data1 >> (8 * i)) & 0xFF);
    return s;
  }
  return "{" + GuidText(sub) + "}";
}

std::string Interval(LONGLONG units) {
  char text[64];
  snprintf(text, sizeof text, "%.4f ms (%.2f fps)", double(units) / 1e4, units > 0 ? 1e7 / double(units) : 0.0);
  return text;
}

void ListFormats(HostCameraDevice &device, std::FILE *out, bool *ok, std::string *why) {
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  NTSTATUS status = device.GetStreamInfo(&header, &streams);
  if (!NT_SUCCESS(status)) {
    *ok = false;
    *why = "the stream information request failed: " + StatusText(status);
    return;
  }
  fprintf(out, "Pins the driver reports (stream information): %zu\n", streams.size());
  for (size_t s = 0; s < streams.size(); ++s) {
    const HW_STREAM_INFORMATION &info = streams[s];
    fprintf(out, "  pin %zu: %s, %lu instance(s), %lu data range(s)\n", s,
            info.DataFlow == KSPIN_DATAFLOW_OUT ? "output" : "input", (unsigned long)info.NumberOfPossibleInstances,
            (unsigned long)info.NumberOfFormatArrayEntries);
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
      const KSDATARANGE *range = info.StreamFormatsArray[i];
      if (range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
        fprintf(out, "    range %lu: not a video range (%lu bytes)\n", (unsigned long)i + 1,
                (unsigned long)range->FormatSize);
        continue;
      }
      const auto &v = *reinterpret_cast<const KS_DATARANGE_VIDEO *>(range);
      const auto &bmi = v.VideoInfoHeader.bmiHeader;
      fprintf(out, "    range %lu: %s %ldx%ld, %u bits per pixel, image %lu bytes, frame interval %s to %s, "
                   "%lu to %lu bits per second\n",
              (unsigned long)i + 1, FormatName(v).c_str(), (long)bmi.biWidth, (long)bmi.biHeight,
              unsigned(bmi.biBitCount), (unsigned long)bmi.biSizeImage,
              Interval(v.ConfigCaps.MinFrameInterval).c_str(), Interval(v.ConfigCaps.MaxFrameInterval).c_str(),
              (unsigned long)v.ConfigCaps.MinBitsPerSecond, (unsigned long)v.ConfigCaps.MaxBitsPerSecond);
    }
  }
}

// The members lists of a description: "range 0 to 100 step 10", "default 50".
std::string Members(const std::vector<uint8_t> &reply, ULONG bytes, bool defaults) {
  std::string text;
  if (bytes < sizeof(KSPROPERTY_DESCRIPTION)) return text;
  KSPROPERTY_DESCRIPTION d;
  memcpy(&d, reply.data(), sizeof d);
  size_t at = sizeof d;
  for (ULONG l = 0; l < d.MembersListCount && at + sizeof(KSPROPERTY_MEMBERSHEADER) <= bytes; ++l) {
    KSPROPERTY_MEMBERSHEADER h;
    memcpy(&h, reply.data() + at, sizeof h);
    at += sizeof h;
    const size_t size = size_t(h.MembersSize) * h.MembersCount;
    if (at + size > bytes) break;
    const uint8_t *m = reply.data() + at;
    at += size;
    if (defaults || (h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0) {
      if (!defaults) continue;  // shown with the default values
      if (h.MembersSize == sizeof(LONG) && h.MembersCount >= 1) {
        LONG v;
        memcpy(&v, m, sizeof v);
        text += (text.empty() ? "" : ", ") + std::string("default ") + std::to_string(v);
      }
      continue;
    }
    for (ULONG i = 0; i < h.MembersCount; ++i) {
      const uint8_t *p = m + size_t(i) * h.MembersSize;
      if (h.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES && h.MembersSize == sizeof(KSPROPERTY_STEPPING_LONG)) {
        KSPROPERTY_STEPPING_LONG s;
        memcpy(&s, p, sizeof s);
        text += (text.empty() ? "" : ", ") + std::string("range ") + std::to_string(s.Bounds.SignedMinimum) + " to " +
                std::to_string(s.Bounds.SignedMaximum) + " step " + std::to_string(s.SteppingDelta);
      } else if (h.MembersFlags == KSPROPERTY_MEMBER_RANGES && h.MembersSize == sizeof(KSPROPERTY_BOUNDS_LONG)) {
        KSPROPERTY_BOUNDS_LONG b;
        memcpy(&b, p, sizeof b);
        text += (text.empty() ? "" : ", ") + std::string("range ") + std::to_string(b.SignedMinimum) + " to " +
                std::to_string(b.SignedMaximum);
      } else if (h.MembersSize == sizeof(LONG)) {
        LONG v;
        memcpy(&v, p, sizeof v);
        text += (text.empty() ? "" : ", ") + std::string("value ") + std::to_string(v);
      }
    }
  }
  return text;
}

// One description request (basic support or default values) with a buffer large enough.
NTSTATUS Describe(HostCameraDevice &device, ULONG type, const GUID &set, const KSPROPERTY_ITEM &item,
                  std::vector<uint8_t> *reply, ULONG *bytes) {
  std::vector<uint8_t> input(std::max<size_t>(item.MinProperty, sizeof(KSPROPERTY)), 0);
  ULONG size = 0;
  NTSTATUS status = device.PropertyRequest(type, set, item.PropertyId, input, nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW || size < sizeof(KSPROPERTY_DESCRIPTION)) size = 256;
  reply->assign(size, 0);
  return device.PropertyRequest(type, set, item.PropertyId, input, reply->data(), size, bytes);
}

void ListControls(HostCameraDevice &device, std::FILE *out, bool *ok, std::string *why) {
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  NTSTATUS status = device.GetStreamInfo(&header, &streams);
  if (!NT_SUCCESS(status)) {
    *ok = false;
    *why = "the stream information request failed: " + StatusText(status);
    return;
  }
  fprintf(out, "Device property sets the driver advertises: %lu\n", (unsigned long)header.NumDevPropArrayEntries);
  for (ULONG s = 0; s < header.NumDevPropArrayEntries; ++s) {
    const KSPROPERTY_SET &set = header.DevicePropertiesArray[s];
    const GUID &guid = *set.Set;
    fprintf(out, "  set %s: %lu item(s)\n", SetName(guid).c_str(), (unsigned long)set.PropertiesCount);
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM &item = set.PropertyItem[i];
      std::vector<uint8_t> reply;
      ULONG bytes = 0;
      status = Describe(device, KSPROPERTY_TYPE_BASICSUPPORT, guid, item, &reply, &bytes);
      std::string line = "    " + ItemName(guid, item.PropertyId) + " (id " + std::to_string(item.PropertyId) + ")";
      if (!NT_SUCCESS(status) || bytes < sizeof(KSPROPERTY_DESCRIPTION)) {
        fprintf(out, "%s: basic support refused: %s\n", line.c_str(), StatusText(status).c_str());
        continue;
      }
      KSPROPERTY_DESCRIPTION d;
      memcpy(&d, reply.data(), sizeof d);
      const bool readable = (d.AccessFlags & KSPROPERTY_TYPE_GET) != 0;
      line += std::string(": ") + (readable ? "get" : "") + (readable && (d.AccessFlags & KSPROPERTY_TYPE_SET) ? "/" : "") +
              ((d.AccessFlags & KSPROPERTY_TYPE_SET) ? "set" : "");
      const std::string ranges = Members(reply, bytes, false);
      if (!ranges.empty()) line += ", " + ranges;
      if (NT_SUCCESS(Describe(device, KSPROPERTY_TYPE_DEFAULTVALUES, guid, item, &reply, &bytes))) {
        const std::string defaults = Members(reply, bytes, true);
        if (!defaults.empty()) line += ", " + defaults;
      }
      if (readable) {
        // The current value: the driver's reply to a get, as the item's record lays it out.
        std::vector<uint8_t> input(std::max<size_t>(item.MinProperty, sizeof(KSPROPERTY)), 0);
        std::vector<uint8_t> data(std::max<size_t>(item.MinData, sizeof(KSPROPERTY) + sizeof(LONG)), 0);
        memcpy(data.data(), input.data(), std::min(input.size(), data.size()));
        status = device.PropertyRequest(KSPROPERTY_TYPE_GET, guid, item.PropertyId, input, data.data(),
                                        ULONG(data.size()), &bytes);
        if (!NT_SUCCESS(status)) {
          line += ", current value not read: " + StatusText(status);
        } else if (memcmp(&guid, &KnownSets()[0].set, sizeof(GUID)) == 0 && bytes >= sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
          KSPROPERTY_VIDEOPROCAMP_S v;
          memcpy(&v, data.data(), sizeof v);
          line += ", current " + std::to_string(v.Value);
        } else {
          std::string hex;
          for (ULONG b = 0; b < bytes && b < 16; ++b) {
            char two[4];
            snprintf(two, sizeof two, "%02x", data[b]);
            hex += two;
          }
          line += ", current " + std::to_string(bytes) + " bytes" + (hex.empty() ? "" : " " + hex) + (bytes > 16 ? "..." : "");
        }
      }
      fprintf(out, "%s\n", line.c_str());
    }
  }
}

}  // namespace

bool ListDevice(const ListingOptions &options, std::FILE *out, std::string *why) {
  HostPool_ResetPeak();
  bool ok = true;
  // The driver is loaded as the system loads it: DriverEntry with its driver object and
  // service key, which registers it with the class library.
  static struct {
    uint8_t bytes[168];
  } driverObject;
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  NTSTATUS status = DriverEntry(reinterpret_cast<PDRIVER_OBJECT>(&driverObject), &registryPath);
  if (!NT_SUCCESS(status)) {
    *why = "DriverEntry failed: " + StatusText(status);
    return false;
  }
  {
    HostSimCamera camera;
    HostCameraDevice device(camera);
    status = device.Arrive();
    if (!NT_SUCCESS(status)) {
      *why = "the device arrival failed: " + StatusText(status);
      return false;
    }
    std::string reason;
    if (!options.settingsFile.empty() && std::filesystem::exists(options.settingsFile) &&
        !HostRegistry_LoadHive(device.PhysicalDeviceObject(), options.settingsFile, &reason)) {
      *why = "the settings file " + options.settingsFile + " cannot be read: " + reason;
      ok = false;
    }
    if (ok && options.formats) ListFormats(device, out, &ok, why);
    if (ok && options.controls) {
      // The picture settings live in the driver from the bandwidth allocation on (it loads the
      // saved ones then): the capture pin is opened and acquired, but never run.
      std::vector<uint8_t> format, allocation;
      std::unique_ptr<HostAppStream> stream;
      if (!NegotiateFormat(device, 320, 240, OutputFormat::Rgb24, &format, &allocation, &reason)) {
        *why = "the format negotiation failed: " + reason;
        ok = false;
      } else if (!(stream = device.OpenStream(0, format, &status))) {
        *why = "the driver refused to open the stream: " + StatusText(status);
        ok = false;
      } else if (!NT_SUCCESS(status = stream->SetState(KSSTATE_ACQUIRE))) {
        *why = "the bandwidth allocation (KSSTATE_ACQUIRE) failed: " + StatusText(status);
        ok = false;
      } else {
        fprintf(out, "(current values with the capture pin open and its bandwidth allocated, not running)\n");
        ListControls(device, out, &ok, why);
      }
      if (stream) {
        status = stream->SetState(KSSTATE_STOP);
        if (!NT_SUCCESS(status) && ok) {
          *why = "the stream stop failed: " + StatusText(status);
          ok = false;
        }
        stream->Close();
      }
    }
    status = device.Remove(false);
    if (!NT_SUCCESS(status) && ok) {
      *why = "the device removal failed: " + StatusText(status);
      ok = false;
    }
    HostRegistry_ForgetDevice(device.PhysicalDeviceObject());
  }
  HostUsbcamd_UnloadDriver();
  if (HostPool_LiveBlockCount() != 0) {
    *why = std::to_string(HostPool_LiveBlockCount()) + " pool blocks were left allocated";
    return false;
  }
  return ok;
}
