// Fuzz target: device property requests of every set the driver serves (VideoProcAmp,
// VideoControl, the private command set, and sets it does not know), with the id, flags
// (get, set, basic support), the caller's input (KSPROPERTY and what follows it) and the
// property buffer's length from the input; the private set's command sequences are answered by
// a camera programmed from the input (short, long, failing answers, a ready poll that never
// says ready).
//
// Input: byte 0 (bits 0-3 the polls before the camera says ready, 15 never; bit 4 stream 0 is
// open, of the size in bits 5-6), the camera's answers (FuzzProgramCamera); then requests, each a set byte, id byte, flags byte,
// input length byte (24 + byte % 64), buffer length byte, the input's bytes after the KSPROPERTY
// and, for a set, the buffer's bytes.
//
// Checked: no request reads or writes outside the records it was given (exact-size heap blocks
// under AddressSanitizer) or reports more bytes than its buffer holds (but for the size a
// zero-length buffer asks with STATUS_BUFFER_OVERFLOW); a get or basic-support
// request reports no more bytes than it wrote (up to the reply record's 8-byte alignment): the
// whole run goes twice, with the buffers filled with 0x5A and with 0xA5, and a byte left at the
// fill both times was never written.
#include <cstdio>
#include <cstring>

#include "driver_fuzz.h"
#include "lumarex.h"

const char *const kDriverFuzzName = "property";

namespace {

constexpr unsigned kMaxRequests = 24;

struct Outcome {
  NTSTATUS status;
  ULONG bytes;
  bool checkWritten;  // a successful get or basic support: the buffer holds the reply
  std::vector<uint8_t> buffer;
};

GUID SetOf(uint8_t code) {
  static const GUID others = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  switch (code % 4) {
    case 0: return LUMAREX_GuidPropsetVideoProcAmp;
    case 1: return LUMAREX_GuidPropsetVideoControl;
    case 2: return LUMAREX_GuidPropsetCustom;
    default: return others;
  }
}

// One run of the whole input with property buffers filled with `fill`.
std::vector<Outcome> Run(const uint8_t *data, size_t size, uint8_t fill) {
  FuzzReader in(data, size);
  const uint8_t setup = in.Byte();
  FuzzDriverLife life;
  HostSimCamera camera;
  FuzzProgramCamera(in, setup & 15, camera);

  std::vector<Outcome> outcomes;
  std::unique_ptr<HostCameraDevice> device = life.Plug(camera);
  if (!device) FuzzFail("the camera's arrival failed");
  std::unique_ptr<HostAppStream> stream;
  if (setup & 0x10) {
    NTSTATUS status;
    stream = device->OpenStream(0, FuzzCaptureFormat(*device, FuzzFrameSize((setup >> 5) & 3)), &status);
    if (!stream) FuzzFail("stream open failed with 0x%08X", unsigned(status));
  }
  for (unsigned r = 0; r < kMaxRequests && !in.Done(); ++r) {
    const uint8_t setCode = in.Byte();
    const ULONG id = in.Byte();
    const uint8_t flagsCode = in.Byte();
    const ULONG inputSize = sizeof(KSPROPERTY) + in.Byte() % 64;
    const ULONG bufferSize = in.Byte();
    static const ULONG flagsTable[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                       KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};
    const ULONG flags = flagsTable[flagsCode % 4];
    const bool set = flags == KSPROPERTY_TYPE_SET;

    // Exact-size blocks, so that a read or write past either end is seen.
    std::unique_ptr<uint8_t[]> input(new uint8_t[inputSize]);
    KSPROPERTY head{SetOf(setCode), id, flags};
    std::memcpy(input.get(), &head, sizeof(head));
    std::vector<uint8_t> rest = in.Bytes(inputSize - sizeof(KSPROPERTY));
    if (!rest.empty()) std::memcpy(input.get() + sizeof(KSPROPERTY), rest.data(), rest.size());
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
    if (set) {
      std::vector<uint8_t> value = in.Bytes(bufferSize);
      if (bufferSize != 0) std::memcpy(buffer.get(), value.data(), bufferSize);
    } else if (bufferSize != 0) {
      std::memset(buffer.get(), fill, bufferSize);
    }

    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = reinterpret_cast<PKSPROPERTY>(input.get());
    descriptor.PropertySetID = setCode % 4;
    descriptor.PropertyInfo = buffer.get();
    descriptor.PropertyInputSize = inputSize;
    descriptor.PropertyOutputSize = bufferSize;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    srb.CommandData.PropertyInfo = &descriptor;
    Outcome outcome;
    outcome.status = device->SendDeviceRequest(srb);
    outcome.bytes = srb.ActualBytesTransferred;
    // A zero-length buffer asks for the reply's size: STATUS_BUFFER_OVERFLOW reports it.
    const bool sizeQuery = bufferSize == 0 && outcome.status == STATUS_BUFFER_OVERFLOW;
    // A failed request returns no data to its caller (the stream class copies a reply back only
    // on success), so only a successful get's count can claim bytes that were never written.
    outcome.checkWritten = !set && !sizeQuery && NT_SUCCESS(outcome.status);
    if (outcome.bytes > bufferSize && !sizeQuery) {
      FuzzFail("request %u (set %u, id %u, flags 0x%X) reports %u bytes of a %u-byte buffer", r, setCode % 4,
               unsigned(id), unsigned(flags), unsigned(outcome.bytes), unsigned(bufferSize));
    }
    outcome.buffer.assign(buffer.get(), buffer.get() + bufferSize);
    outcomes.push_back(std::move(outcome));
  }
  if (stream) stream->Close();
  stream.reset();
  device->Remove();
  return outcomes;
}

}  // namespace

void DriverFuzzOne(const uint8_t *data, size_t size) {
  std::vector<Outcome> a = Run(data, size, 0x5A);
  std::vector<Outcome> b = Run(data, size, 0xA5);
  for (size_t r = 0; r < a.size() && r < b.size(); ++r) {
    // Only runs that went the same way say anything about the bytes written.
    if (!a[r].checkWritten || a[r].status != b[r].status || a[r].bytes != b[r].bytes) continue;
    // The reply may leave the caller's own KSPROPERTY at its start and the record's padding
    // alone, but reported bytes past the last one written, beyond the record's 8-byte
    // alignment, were never the reply's.
    size_t written = 0;
    for (size_t i = 0; i < a[r].buffer.size(); ++i) {
      if (!(a[r].buffer[i] == 0x5A && b[r].buffer[i] == 0xA5)) written = i + 1;
    }
    if (a[r].bytes > (written + 7) / 8 * 8) {
      FuzzFail("request %zu reports %u bytes but wrote none past byte %zu", r, unsigned(a[r].bytes), written);
    }
  }
  if (FuzzVerbose()) std::fprintf(stderr, "%s: %zu requests\n", kDriverFuzzName, a.size());
}

std::vector<std::vector<uint8_t>> DriverFuzzSeeds() {
  // Each item a request: set, id, flags (0 get, 1 set, 2 basic support), the input's bytes after
  // the KSPROPERTY (as long as the record the property takes) and the buffer's length.
  struct Request {
    uint8_t set, id, flags;
    uint8_t inputExtra, bufferSize;
  };
  const uint8_t procAmp = 0, control = 1, custom = 2, other = 3;
  const uint8_t procAmpRecord = sizeof(KSPROPERTY_VIDEOPROCAMP_S) - sizeof(KSPROPERTY);
  const uint8_t capsRecord = sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) - sizeof(KSPROPERTY);
  std::vector<std::vector<Request>> lists = {
      {{procAmp, 0, 0, procAmpRecord, 40}, {procAmp, 1, 1, procAmpRecord, 40}, {procAmp, 3, 0, procAmpRecord, 40},
       {procAmp, 4, 2, procAmpRecord, 40}, {procAmp, 7, 0, procAmpRecord, 40}, {procAmp, 0, 0, procAmpRecord, 8}},
      {{control, 0, 0, capsRecord, uint8_t(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S))},
       {control, 1, 1, capsRecord, uint8_t(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S))},
       {control, 2, 0, capsRecord, uint8_t(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S))},
       {control, 3, 0, capsRecord, 0}, {control, 3, 0, capsRecord, 200}},
      {{custom, 0, 0, 8, 32}, {custom, 1, 0, 8, 32}, {custom, 2, 0, 8, 32}, {custom, 3, 0, 8, 32},
       {custom, 5, 0, 8, 32}, {custom, 11, 0, 8, 32}},
      {{custom, 4, 1, 8, 32}, {custom, 6, 1, 8, 32}, {custom, 7, 1, 8, 32}, {custom, 8, 1, 8, 32},
       {custom, 9, 1, 8, 32}, {custom, 10, 1, 8, 32}, {custom, 12, 1, 8, 32}, {custom, 10, 0, 8, 32}},
      {{other, 0, 0, 8, 32}, {custom, 4, 0, 0, 4}, {procAmp, 0, 1, 0, 0}},
  };
  std::vector<std::vector<uint8_t>> out;
  for (size_t n = 0; n < lists.size(); ++n) {
    FuzzWriter w;
    w.Byte(n == 1 ? 0x10 : n == 3 ? 0x03 : 0x00);  // the frame rates with a stream open; a slow camera
    // For the private reads, a camera with an empty operation answer and a failing bulk read.
    FuzzWriteCamera(w, n == 2 ? std::vector<FuzzCameraAnswer>{{0, 7, 0, 0, 1, {}}, {2, 0, 0, 1, 1, {}}}
                              : std::vector<FuzzCameraAnswer>{});
    for (const Request &q : lists[n]) {
      w.Byte(q.set).Byte(q.id).Byte(q.flags).Byte(q.inputExtra).Byte(q.bufferSize);
      w.Bytes(std::vector<uint8_t>(q.inputExtra, 0));
      if (q.flags == 1) {
        std::vector<uint8_t> value(q.bufferSize, 0);
        for (size_t i = 0; i < value.size(); ++i) value[i] = uint8_t(i * 7 + 30);
        w.Bytes(value);
      }
    }
    out.push_back(w.Take());
  }
  return out;
}
