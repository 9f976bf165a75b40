// The simulated camera's isochronous side: it makes a frame (the built-in scene or the next
// source, encoded at the size the camera was started with), puts the 80-byte raw-frame header
// in front, cuts the result into data packets of exactly the pipe's MaximumPacketSize and hands
// them out one slot at a time, with the status byte in the slot's sync packet:
//   0x80  this slot's data packet begins a frame
//   0x00  a further data packet of the frame (| 0x40 while the snapshot button is down, which
//         is also set on the first packet)
//   0x01  no frame data: the idle slots between frames, and every slot while stopped
//   0x02  the camera asks the host to restart the stream; no frame data
// Faults, when switched on, spoil every Nth frame at a place a seeded generator picks.
#include <algorithm>
#include <stdexcept>

#include "sim_media.h"

namespace {

const char *const kFaultNames[unsigned(HostFault::Count)] = {"short", "usb-error", "corrupt", "truncate", "size"};

bool Has(unsigned faults, HostFault f) { return (faults & (1u << unsigned(f))) != 0; }

void Put(std::vector<uint8_t> &b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

int SamplingCode(int sampling) {
  switch (sampling) {
    case 444: return 0;
    case 422: return 1;
    case 420: return 2;
    default: return 3;  // 440
  }
}

// Another of the camera's three sizes: the next larger one, or the next smaller from the top.
void OtherSize(int width, int height, int *w, int *h) {
  if (width < 320) {
    *w = 320, *h = 240;
  } else if (width < 640) {
    *w = 640, *h = 480;
  } else {
    *w = 320, *h = 240;
  }
  (void)height;
}

// The parameter block for a frame: plausible sensor settings that drift slowly, and the
// picture's own 4 x 4 zone brightness.
SimParamBlock ParamsFor(const SimImage &image, uint64_t sequence, const HostCameraStreamConfig &config) {
  SimParamBlock p;
  p.a[0] = uint32_t(sequence);
  p.a[1] = 16000 + uint32_t(sequence % 64) * 10;  // exposure in microseconds
  p.a[2] = 256 + uint32_t(sequence % 16);         // analogue gain x256
  p.a[3] = 256;                                   // digital gain x256
  p.b[0] = uint32_t(image.width);
  p.b[1] = uint32_t(image.height);
  p.b[2] = uint32_t(config.quality) | uint32_t(SamplingCode(config.sampling)) << 8;
  p.c[0] = 410;  // white balance gains x256: R, G, B
  p.c[1] = 256;
  p.c[2] = 380;
  for (int zy = 0; zy < 4; ++zy) {
    for (int zx = 0; zx < 4; ++zx) {
      uint64_t sum = 0, n = 0;
      for (int y = zy * image.height / 4; y < (zy + 1) * image.height / 4; y += 2) {
        for (int x = zx * image.width / 4; x < (zx + 1) * image.width / 4; x += 2) {
          const uint8_t *px = &image.rgb[(size_t(y) * image.width + x) * 3];
          sum += (77u * px[0] + 150u * px[1] + 29u * px[2]) >> 8;
          ++n;
        }
      }
      p.c[3 + zy * 4 + zx] = uint16_t(n ? sum / n : 0);
    }
  }
  p.c[19] = 385;  // sensor temperature, 0.1 degrees C
  return p;
}

// Entropy-coded bytes of the first scan: from the end of the SOS segment to the last EOI.
bool EntropyRange(const std::vector<uint8_t> &jpeg, size_t *begin, size_t *end) {
  for (size_t i = 2; i + 3 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
      size_t start = i + 2 + ((size_t(jpeg[i + 2]) << 8) | jpeg[i + 3]);
      size_t stop = jpeg.size();
      for (size_t j = jpeg.size() - 1; j > start; --j) {
        if (jpeg[j - 1] == 0xFF && jpeg[j] == 0xD9) {
          stop = j - 1;
          break;
        }
      }
      if (start < stop) {
        *begin = start;
        *end = stop;
        return true;
      }
      return false;
    }
  }
  return false;
}

}  // namespace

const char *HostFault_Name(HostFault fault) {
  unsigned i = unsigned(fault);
  return i < unsigned(HostFault::Count) ? kFaultNames[i] : "?";
}

bool HostFault_FromName(const std::string &name, HostFault *fault) {
  for (unsigned i = 0; i < unsigned(HostFault::Count); ++i) {
    if (name == kFaultNames[i]) {
      *fault = HostFault(i);
      return true;
    }
  }
  return false;
}

uint32_t HostSimCamera::Stream::Random() {
  // xorshift32: small, fast and the same everywhere for a seed.
  uint32_t x = prng;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  prng = x;
  return x;
}

void HostSimCamera::Stream::Start(int w, int h) {
  streaming = true;
  width = w;
  height = h;
  inFrame = false;
  idleLeft = 0;  // the first slot after a start begins a frame
}

void HostSimCamera::Stream::Stop() {
  streaming = false;
  inFrame = false;
  idleLeft = 0;
}

void HostSimCamera::Stream::Abandon() {
  if (inFrame) {
    inFrame = false;
    idleLeft = config.idleSlots;
  }
}

void HostSimCamera::Stream::BeginFrame() {
  const uint64_t seq = ++sequence;
  pressHeld = pressFrames > 0;
  if (pressHeld) --pressFrames;
  unsigned faults = 0;
  for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) {
    if (config.faultEvery[f] > 0 && seq % config.faultEvery[f] == config.faultOffset[f] % config.faultEvery[f]) {
      faults |= 1u << f;
    }
  }

  // The picture, at the negotiated size or, for a wrong-size frame, another one.
  int w = width, h = height;
  std::vector<uint8_t> jpeg;
  const SimSource *source = sources.empty() ? nullptr : &sources[size_t((seq - 1) % sources.size())];
  if (source != nullptr && source->isJpeg) {
    jpeg = source->jpeg;
    faults &= ~(1u << unsigned(HostFault::WrongSize));  // a file goes out as it is
    if (!SimJpeg_Size(jpeg, &w, &h)) {
      w = h = 0;
    }
  } else {
    if (Has(faults, HostFault::WrongSize)) {
      OtherSize(width, height, &w, &h);
    }
    SimImage image = source != nullptr ? SimImage_Scale(source->image, w, h) : SimScene_Render(w, h, seq);
    jpeg = SimEncoder_Encode(image, config.sampling, config.quality, config.restartInterval, config.app10,
                             ParamsFor(image, seq, config));
  }

  if (Has(faults, HostFault::CorruptJpeg)) {
    size_t begin, end;
    bool done = false;
    if (EntropyRange(jpeg, &begin, &end)) {
      // Bytes that are neither 0xFF nor follow one: changing them leaves every marker and
      // stuffed zero in place, so the damage is to the coded picture alone.
      std::vector<size_t> candidates;
      for (size_t i = begin + 1; i < end; ++i) {
        if (jpeg[i] != 0xFF && jpeg[i - 1] != 0xFF) candidates.push_back(i);
      }
      for (int n = 0; n < 8 && !candidates.empty(); ++n) {
        size_t at = candidates[Below(unsigned(candidates.size()))];
        uint8_t value = uint8_t(Below(255));  // 0x00..0xFE
        if (value == jpeg[at]) value = uint8_t(value ^ 0x5A) == 0xFF ? 0x00 : uint8_t(value ^ 0x5A);
        jpeg[at] = value;
        done = true;
      }
    }
    if (!done) faults &= ~(1u << unsigned(HostFault::CorruptJpeg));
  }

  // The raw frame: header, then the JPEG data.
  std::vector<uint8_t> raw(kSimFrameHeaderBytes, 0);
  Put(raw, 0, kSimFrameMagic, 4);
  Put(raw, 4, seq, 8);
  Put(raw, 12, uint32_t(w), 2);
  Put(raw, 14, uint32_t(h), 2);
  Put(raw, 16, jpeg.size(), 4);
  Put(raw, 20, kSimFrameHeaderBytes, 2);
  raw[22] = uint8_t(SamplingCode(config.sampling));
  raw[23] = uint8_t(config.quality);
  raw[24] = uint8_t((config.app10 ? 1 : 0) | (source != nullptr && source->isJpeg ? 2 : 0));
  Put(raw, 28, seq * 1000 / 30, 4);  // capture time in milliseconds at 30 frames a second
  raw.insert(raw.end(), jpeg.begin(), jpeg.end());

  // Cut into whole packets; the last one is padded after the JPEG's end.
  const size_t mps = config.maxPacketSize;
  const size_t total = (raw.size() + mps - 1) / mps;
  padded = raw;
  padded.resize(total * mps, 0x00);
  packets = total;
  if (Has(faults, HostFault::TruncatedFrame)) {
    if (total >= 2) {
      packets = std::max<size_t>(1, total * (40 + Below(41)) / 100);
      packets = std::min(packets, total - 1);
      raw.resize(std::min(raw.size(), packets * mps));
    } else {
      faults &= ~(1u << unsigned(HostFault::TruncatedFrame));
    }
  }
  shortPacket = Has(faults, HostFault::ShortPacket) ? Below(unsigned(packets)) : SIZE_MAX;
  errorPacket = SIZE_MAX;
  if (Has(faults, HostFault::UsbError)) {
    static const USBD_STATUS errors[] = {USBD_STATUS_CRC, USBD_STATUS_BTSTUFF, USBD_STATUS_DATA_OVERRUN,
                                         USBD_STATUS_ISO_TD_ERROR};
    errorPacket = Below(unsigned(packets));
    errorStatus = errors[Below(4)];
    errorOnSync = Below(4) == 0;
  }
  nextPacket = 0;
  inFrame = true;

  ++framesSent;
  if (config.frameNotes) {
    HostCameraFrameNote note;
    note.sequence = seq;
    note.source = source != nullptr ? int((seq - 1) % sources.size()) : -1;
    note.faults = faults;
    note.button = pressHeld || button;
    notes.push_back(note);
  }
  currentLogged = false;
  if (config.frameLogLimit > 0) {
    HostSentFrame sent;
    sent.sequence = seq;
    sent.width = w;
    sent.height = h;
    sent.raw = std::move(raw);
    sent.faults = faults;
    log.push_back(std::move(sent));
    while (log.size() > config.frameLogLimit) log.pop_front();
    currentLogged = true;
  }
}

void HostSimCamera::Stream::Next(HostIsoSlot &slot) {
  // Reset field by field: the packet buffer keeps its capacity from slot to slot.
  slot.syncLength = 1;
  slot.syncStatus = USBD_STATUS_SUCCESS;
  slot.dataStatus = USBD_STATUS_SUCCESS;
  slot.data.clear();
  slot.cameraFrame = 0;
  if (restartPending) {
    restartPending = false;
    slot.syncByte = 0x02;
    return;
  }
  slot.syncByte = 0x01;
  if (!streaming) {
    return;
  }
  if (scripted) {
    if (!script.empty()) {
      slot = std::move(script.front());
      script.pop_front();
    }
    return;
  }
  if (!inFrame) {
    if (idleLeft > 0) {
      --idleLeft;
      return;
    }
    BeginFrame();
  }
  const size_t mps = config.maxPacketSize;
  const size_t p = nextPacket++;
  const bool down = button || pressHeld;
  slot.syncByte = uint8_t((p == 0 ? 0x80 : 0x00) | (down ? 0x40 : 0x00));
  size_t length = p == shortPacket ? mps - 1 : mps;
  slot.data.assign(padded.begin() + p * mps, padded.begin() + p * mps + length);
  slot.cameraFrame = sequence;
  if (p == errorPacket) {
    slot.dataStatus = errorStatus;
    if (errorOnSync) slot.syncStatus = errorStatus;
  }
  if (down && currentLogged && !log.empty()) {
    log.back().button = true;
  }
  if (down && config.frameNotes && !notes.empty() && notes.back().sequence == sequence) {
    notes.back().button = true;
  }
  if (nextPacket >= packets) {
    inFrame = false;
    idleLeft = config.idleSlots;
  }
}

// ---- HostSimCamera: the streaming API ----

void HostSimCamera::ConfigureStream(const HostCameraStreamConfig &config) {
  if (config.sampling != 444 && config.sampling != 422 && config.sampling != 420 && config.sampling != 440) {
    throw std::runtime_error("camera stream: sampling must be 444, 422, 420 or 440, not " +
                             std::to_string(config.sampling));
  }
  if (config.quality < 1 || config.quality > 100) {
    throw std::runtime_error("camera stream: quality must be 1..100, not " + std::to_string(config.quality));
  }
  if (config.maxPacketSize < 2) {
    throw std::runtime_error("camera stream: maxPacketSize must be at least 2");
  }
  // Reading and decoding the files is slow: done before the lock is taken.
  std::vector<SimSource> sources = SimSources_Load(config.sources, config.decodeJpegSources);
  std::lock_guard<std::mutex> guard(lock_);
  Stream &s = *stream_;
  s.config = config;
  s.sources = std::move(sources);
  s.sequence = 0;
  s.framesSent = 0;
  s.log.clear();
  s.notes.clear();
  s.currentLogged = false;
  s.prng = config.seed != 0 ? config.seed : 0x9E3779B9u;
  s.inFrame = false;
  s.idleLeft = 0;
}

HostCameraStreamConfig HostSimCamera::StreamConfig() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stream_->config;
}

bool HostSimCamera::Streaming() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stream_->streaming;
}

void HostSimCamera::StreamSize(int *width, int *height) const {
  std::lock_guard<std::mutex> guard(lock_);
  *width = stream_->width;
  *height = stream_->height;
}

void HostSimCamera::NextSlot(HostIsoSlot &slot) {
  std::lock_guard<std::mutex> guard(lock_);
  stream_->Next(slot);
}

void HostSimCamera::SetButton(bool down) {
  std::lock_guard<std::mutex> guard(lock_);
  stream_->button = down;
}

void HostSimCamera::PressButton(unsigned frames) {
  std::lock_guard<std::mutex> guard(lock_);
  stream_->pressFrames = frames;
}

void HostSimCamera::RequestRestart() {
  std::lock_guard<std::mutex> guard(lock_);
  stream_->restartPending = true;
}

void HostSimCamera::IsoPipeRestarted() {
  std::lock_guard<std::mutex> guard(lock_);
  stream_->Abandon();
}

std::vector<HostSentFrame> HostSimCamera::SentFrames() const {
  std::lock_guard<std::mutex> guard(lock_);
  return std::vector<HostSentFrame>(stream_->log.begin(), stream_->log.end());
}

void HostSimCamera::ScriptSlots(std::vector<HostIsoSlot> slots) {
  std::lock_guard<std::mutex> guard(lock_);
  stream_->scripted = true;
  stream_->script.assign(std::make_move_iterator(slots.begin()), std::make_move_iterator(slots.end()));
}

size_t HostSimCamera::ScriptedSlotsLeft() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stream_->script.size();
}

uint64_t HostSimCamera::FramesSent() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stream_->framesSent;
}

std::vector<HostCameraFrameNote> HostSimCamera::TakeFrameNotes() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<HostCameraFrameNote> notes;
  notes.swap(stream_->notes);
  return notes;
}

std::vector<std::string> HostSimCamera::SourcePaths() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> paths;
  for (const SimSource &s : stream_->sources) paths.push_back(s.path);
  return paths;
}
