// Builds JPEG byte streams marker by marker for the decoder tests: well-formed frames and
// deliberately malformed ones. Lengths are computed from the payload unless a test gives its
// own. Host test code only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

struct TestFrameComponent {
  int id;
  int h;
  int v;
  int tq;  // quantisation table selector
};

struct TestScanComponent {
  int id;
  int tables;  // DC selector in the high nibble, AC selector in the low nibble
};

class TestJpgStream {
 public:
  TestJpgStream &Bytes(std::initializer_list<int> bytes) {
    for (int b : bytes) {
      data_.push_back(static_cast<uint8_t>(b));
    }
    return *this;
  }
  TestJpgStream &Raw(const std::vector<uint8_t> &bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  TestJpgStream &Fill(size_t count, uint8_t value) {
    data_.insert(data_.end(), count, value);
    return *this;
  }
  TestJpgStream &Marker(int code) { return Bytes({0xFF, code}); }
  TestJpgStream &Soi() { return Marker(0xD8); }
  TestJpgStream &Eoi() { return Marker(0xD9); }
  TestJpgStream &Word(int value) { return Bytes({(value >> 8) & 0xFF, value & 0xFF}); }

  // Marker, a length field covering itself and the payload, then the payload.
  TestJpgStream &Segment(int code, const std::vector<uint8_t> &payload) {
    return SegmentWithLength(code, static_cast<int>(payload.size()) + 2, payload);
  }
  // Marker, the given length field (right or wrong), then the payload.
  TestJpgStream &SegmentWithLength(int code, int length, const std::vector<uint8_t> &payload) {
    Marker(code);
    Word(length);
    return Raw(payload);
  }

  // One 8-bit quantisation table, values in zig-zag order.
  TestJpgStream &Dqt8(int table, const std::vector<int> &zigzag_values) {
    std::vector<uint8_t> p{static_cast<uint8_t>(table)};
    for (int v : zigzag_values) {
      p.push_back(static_cast<uint8_t>(v));
    }
    return Segment(0xDB, p);
  }
  // One 16-bit quantisation table, values in zig-zag order.
  TestJpgStream &Dqt16(int table, const std::vector<int> &zigzag_values) {
    std::vector<uint8_t> p{static_cast<uint8_t>(0x10 | table)};
    for (int v : zigzag_values) {
      p.push_back(static_cast<uint8_t>(v >> 8));
      p.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return Segment(0xDB, p);
  }

  TestJpgStream &Sof(int code, int height, int width, const std::vector<TestFrameComponent> &comps,
                     int precision = 8) {
    std::vector<uint8_t> p{static_cast<uint8_t>(precision), static_cast<uint8_t>(height >> 8),
                           static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8),
                           static_cast<uint8_t>(width), static_cast<uint8_t>(comps.size())};
    for (const TestFrameComponent &c : comps) {
      p.push_back(static_cast<uint8_t>(c.id));
      p.push_back(static_cast<uint8_t>(c.h << 4 | c.v));
      p.push_back(static_cast<uint8_t>(c.tq));
    }
    return Segment(code, p);
  }
  // The camera's usual frame header: components 1, 2, 3; luminance sampled h x v, table 0;
  // chrominance 1 x 1, table 1.
  TestJpgStream &Sof0(int height, int width, int h = 2, int v = 1) {
    return Sof(0xC0, height, width, {{1, h, v, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}});
  }

  TestJpgStream &Dri(int interval) { return Segment(0xDD, {static_cast<uint8_t>(interval >> 8),
                                                           static_cast<uint8_t>(interval)}); }

  TestJpgStream &Sos(const std::vector<TestScanComponent> &comps, int ss = 0, int se = 63,
                     int ahal = 0) {
    std::vector<uint8_t> p{static_cast<uint8_t>(comps.size())};
    for (const TestScanComponent &c : comps) {
      p.push_back(static_cast<uint8_t>(c.id));
      p.push_back(static_cast<uint8_t>(c.tables));
    }
    p.push_back(static_cast<uint8_t>(ss));
    p.push_back(static_cast<uint8_t>(se));
    p.push_back(static_cast<uint8_t>(ahal));
    return Segment(0xDA, p);
  }
  // The usual interleaved scan over components 1, 2, 3 (luminance tables 0, chrominance 1).
  TestJpgStream &Sos3() { return Sos({{1, 0x00}, {2, 0x11}, {3, 0x11}}); }

  // A DHT segment with one table.
  TestJpgStream &Dht(int table_class_and_id, const std::vector<int> &counts16,
                     const std::vector<int> &symbols) {
    std::vector<uint8_t> p{static_cast<uint8_t>(table_class_and_id)};
    for (int c : counts16) {
      p.push_back(static_cast<uint8_t>(c));
    }
    for (int s : symbols) {
      p.push_back(static_cast<uint8_t>(s));
    }
    return Segment(0xC4, p);
  }

  const std::vector<uint8_t> &Data() const { return data_; }
  size_t Size() const { return data_.size(); }

 private:
  std::vector<uint8_t> data_;
};

// A complete small frame as the camera sends it: SOI, APP0 with a parameter block, DQT with
// both tables, SOF0, DHT, SOS, a few bytes of entropy-coded data, EOI.
std::vector<uint8_t> TestCameraLikeFrame(int height, int width, int h, int v);
