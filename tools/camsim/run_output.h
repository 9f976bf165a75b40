// Everything a camsim run writes about the frames the application receives: the frame files
// (FrameWriter) with frames.tsv beside them, the YUV4MPEG2 stream of --y4m and the contact
// sheet, and the count of each kind of frame for the summary.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "contact_sheet.h"
#include "frame_origin.h"
#include "frame_writer.h"
#include "host_usbcamd.h"
#include "y4m_out.h"

struct RunOutputOptions {
  OutputFormat format = OutputFormat::Rgb24;
  int width = 320, height = 240;
  std::string dir;           // the frames and frames.tsv; empty: no frame files (--discard)
  bool png = false;
  std::string y4m;           // file, "-" for standard output, empty for none
  std::string contactSheet;  // PNG file, empty for none
  unsigned fps = 30;         // the frame rate the YUV4MPEG2 headers give
};

// The kinds of frame the application received, as the user sees them.
struct FrameTally {
  unsigned warmup = 0;      // blank frames before the first picture
  unsigned blankLater = 0;  // blank frames after it (a frame the driver could not use)
  unsigned repeats = 0;     // the same image as the frame before
  unsigned stills = 0;
  unsigned pictures = 0;
  unsigned damaged = 0;     // pictures made from a camera frame with an injected fault
};

class RunOutput {
 public:
  // Creates the files; std::runtime_error naming the one that cannot be made.
  explicit RunOutput(const RunOutputOptions &options);
  // One frame, in order, with where it came from; std::runtime_error naming the file that
  // cannot be written.
  void Take(const HostFrame &frame, const FrameOrigin &origin = {});
  // Closes the files and writes the contact sheet.
  void Finish();
  const FrameTally &Tally() const { return tally_; }
  size_t FileCount() const { return writer_ ? writer_->Files().size() : 0; }

 private:
  FrameKind Classify(const HostFrame &frame, bool damaged);

  RunOutputOptions options_;
  std::unique_ptr<FrameWriter> writer_;
  std::ofstream tsv_;
  std::unique_ptr<Y4mOut> y4m_;
  std::unique_ptr<ContactSheet> sheet_;
  FrameTally tally_;
  bool seenPicture_ = false;
  FrameOrigin shown_;  // the origin of the image the previous frame showed
  std::vector<uint8_t> previous_, rgb_;
};
