// Builds JPEG byte streams marker by marker, well-formed or deliberately malformed. Lengths
// are computed from the payload unless a test gives its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

struct TestFrameComponent {
  int id, h, v, tq;  // identifier, sampling, quantisation table
};
struct TestScanComponent {
  int id, tables;  // DC selector in the high nibble, AC selector in the low nibble
};

class TestJpgStream {
 public:
  TestJpgStream &Bytes(std::initializer_list<int> bytes) {
    for (int b : bytes) data_.push_back(static_cast<uint8_t>(b));
    return *this;
  }
  TestJpgStream &Raw(const std::vector<uint8_t> &bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  TestJpgStream &Marker(int code) { return Bytes({0xFF, code}); }
  TestJpgStream &Soi() { return Marker(0xD8); }
  TestJpgStream &Eoi() { return Marker(0xD9); }
  TestJpgStream &SegmentWithLength(int code, int length, const std::vector<uint8_t> &payload) {
    return Marker(code).Bytes({length >> 8, length & 0xFF}).Raw(payload);
  }
  TestJpgStream &Segment(int code, const std::vector<uint8_t> &payload) {
    return SegmentWithLength(code, static_cast<int>(payload.size()) + 2, payload);
  }
  // One quantisation table, values in zig-zag order, 16-bit entries when wide.
  TestJpgStream &Dqt(int table, const std::vector<int> &values, bool wide = false) {
    std::vector<uint8_t> p{static_cast<uint8_t>((wide ? 0x10 : 0) | table)};
    for (int v : values) {
      if (wide) p.push_back(static_cast<uint8_t>(v >> 8));
      p.push_back(static_cast<uint8_t>(v));
    }
    return Segment(0xDB, p);
  }
  TestJpgStream &Sof(int code, int height, int width, const std::vector<TestFrameComponent> &comps, int precision = 8) {
    std::vector<uint8_t> p{static_cast<uint8_t>(precision), static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                           static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), static_cast<uint8_t>(comps.size())};
    for (const TestFrameComponent &c : comps) {
      p.insert(p.end(), {static_cast<uint8_t>(c.id), static_cast<uint8_t>(c.h << 4 | c.v), static_cast<uint8_t>(c.tq)});
    }
    return Segment(code, p);
  }
  // The camera's frame header: luminance h x v with table 0, chrominance 1 x 1 with table 1.
  TestJpgStream &Sof0(int height, int width, int h = 2, int v = 1) {
    return Sof(0xC0, height, width, {{1, h, v, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}});
  }
  TestJpgStream &Dri(int interval) { return Segment(0xDD, {static_cast<uint8_t>(interval >> 8), uint8_t(interval)}); }
  TestJpgStream &Sos(const std::vector<TestScanComponent> &comps, int ss = 0, int se = 63, int ahal = 0) {
    std::vector<uint8_t> p{static_cast<uint8_t>(comps.size())};
    for (const TestScanComponent &c : comps) p.insert(p.end(), {static_cast<uint8_t>(c.id), static_cast<uint8_t>(c.tables)});
    p.insert(p.end(), {static_cast<uint8_t>(ss), static_cast<uint8_t>(se), static_cast<uint8_t>(ahal)});
    return Segment(0xDA, p);
  }
  // The usual interleaved scan: luminance tables 0, chrominance tables 1.
  TestJpgStream &Sos3() { return Sos({{1, 0x00}, {2, 0x11}, {3, 0x11}}); }
  const std::vector<uint8_t> &Data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
};

// A small frame as the camera sends it: SOI, APP0 with a parameter block, both DQT tables,
// SOF0, DHT, DRI, SOS, entropy-coded bytes with a stuffed zero and a restart marker, EOI.
std::vector<uint8_t> TestCameraLikeFrame(int height, int width, int h, int v);
