// camsim's output files: every frame a capture application received, written in a form that
// ordinary tools open.
//
//   Rgb24  frame_NNNNNN.bmp (24-bit BMP)
//   Yuy2   frame_NNNNNN.yuy2 (the raw frame) and every frame appended to stream.y4m (4:2:2)
//   I420   frame_NNNNNN.i420 (the raw frame) and every frame appended to stream.y4m (4:2:0)
//   Mjpg   frame_NNNNNN.jpg (the JPEG data cut at its end-of-image marker), or
//          frame_NNNNNN.blank (the whole buffer) when the buffer holds no complete JPEG; every
//          .jpg also appended to stream.mjpeg, the JPEGs back to back (a motion-JPEG stream)
//
// A still frame is also saved as still_NNNNNN.<ext> (SaveStill), as a camera application
// saves its snapshots.
//
// With png, every format also gets frame_NNNNNN.png, the frame as a picture (YUY2 and I420
// converted to RGB, MJPG decoded; black where an MJPG frame holds no JPEG).
// NNNNNN is the frame number in six digits, counting from 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class OutputFormat { Rgb24, Yuy2, I420, Mjpg };

// "rgb24", "yuy2", "i420", "mjpg".
const char *OutputFormatName(OutputFormat f);
// Parses one of the names above (lower case, exact); false and *f untouched otherwise.
bool OutputFormatFromName(const std::string &name, OutputFormat *f);

// Bytes of one frame of the format at this size: w*h*3 (Rgb24), w*h*2 (Yuy2), w*h*3/2 (I420).
// Mjpg frames have no fixed size (the JPEG data's length is found by ScanJpegLength): 0.
// 0 also for a non-positive width or height.
size_t FrameBytes(OutputFormat f, int width, int height);

// Length of the JPEG stream at the start of data: up to and including the end-of-image marker
// (FF D9). The marker segments are walked by their lengths (so bytes inside APPn or COM
// payloads are never taken for markers) up to SOS, then the entropy-coded data is scanned:
// FF 00 (a stuffed FF) and FF D0..D7 (restart markers) do not end it; any other marker found
// there (e.g. the tables and SOS of a following progressive scan) resumes the segment walk.
// 0 if data does not start with FF D8, a segment is malformed or runs past length, or no
// end-of-image marker lies within length.
size_t ScanJpegLength(const uint8_t *data, size_t length);

// Writes an 8-bit RGB PNG of top-down RGB rows; std::runtime_error naming the file on failure.
void WritePngFile(const std::string &path, const uint8_t *rgb, int width, int height);

struct FrameWriterOptions {
  std::string dir;  // created (with its parents) if missing
  OutputFormat format = OutputFormat::Rgb24;
  int width = 320, height = 240;
  bool png = false;  // also write a PNG of every frame
  unsigned fps = 30;  // for the Y4M header
};

class FrameWriter {
 public:
  // Throws std::runtime_error if dir can't be made, or if the size does not suit the format
  // (width and height must be positive; Yuy2 needs an even width, I420 an even width and
  // height) or fps is 0.
  explicit FrameWriter(const FrameWriterOptions &options);
  // Closes stream.y4m if Finish was not called; errors are not reported from here.
  ~FrameWriter();
  FrameWriter(const FrameWriter &) = delete;
  FrameWriter &operator=(const FrameWriter &) = delete;

  // Frame k (counting from 1) as the application received it: data holds at least `length`
  // bytes. For Rgb24, Yuy2 and I420 length must be at least FrameBytes (bytes past it are
  // ignored); a shorter frame throws std::runtime_error. Any I/O error throws
  // std::runtime_error naming the file.
  void Write(unsigned k, const uint8_t *data, size_t length);

  // Frame k was a still: its file (as Write wrote it) copied to still_NNNNNN with the same
  // extension. std::runtime_error naming the file on failure.
  void SaveStill(unsigned k, const std::string &frameFile);

  // Closes stream.y4m and stream.mjpeg, reporting a failed close by std::runtime_error. Safe to
  // call more than once; nothing may be written after it.
  void Finish();

  // Every file written (paths: dir joined with the file name), in the order first written.
  // stream.y4m is listed once, after the first frame's own file.
  const std::vector<std::string> &Files() const { return files_; }

 private:
  std::string PathOf(const std::string &name) const;
  void WriteWhole(const std::string &name, const uint8_t *data, size_t length);
  void WriteBmp(const std::string &name, const uint8_t *dib);
  void WritePng(const std::string &name, const uint8_t *data, size_t length);
  void AppendY4m(const uint8_t *planes[3], const size_t sizes[3]);

  FrameWriterOptions options_;
  std::vector<std::string> files_;
  std::FILE *y4m_ = nullptr;
  std::string y4mPath_;
  std::FILE *mjpeg_ = nullptr;
  std::string mjpegPath_;
  bool finished_ = false;
  std::vector<uint8_t> scratch_;  // planar conversion of a YUY2 frame
};

// Whether a file name is one camsim writes into its output folder: frame_NNNNNN or
// still_NNNNNN with one of the frame extensions above, stream.y4m, stream.mjpeg or frames.tsv.
bool IsCamsimOutputName(const std::string &name);

// An output folder before a run: the files an earlier run wrote there (by name), and every
// other entry. Empty lists when the folder does not exist.
struct OutputFolderContents {
  std::vector<std::string> earlier;  // paths
  std::vector<std::string> others;   // names
};
OutputFolderContents ListOutputFolder(const std::string &dir);
