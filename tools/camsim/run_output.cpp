#include "run_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "frame_view.h"

RunOutput::RunOutput(const RunOutputOptions &options) : options_(options) {
  if (!options_.dir.empty()) {
    FrameWriterOptions w;
    w.dir = options_.dir;
    w.format = options_.format;
    w.width = options_.width;
    w.height = options_.height;
    w.png = options_.png;
    w.fps = options_.fps;
    writer_ = std::make_unique<FrameWriter>(w);
    const std::string tsv = (std::filesystem::path(options_.dir) / "frames.tsv").string();
    tsv_.open(tsv, std::ios::binary | std::ios::trunc);
    if (!tsv_) throw std::runtime_error("cannot create " + tsv + ": " + std::strerror(errno));
    tsv_ << "frame\tfile\tbytes\ttime\tcamera_frame\tsource\tfaults\tkind\n";
  }
  if (!options_.y4m.empty()) y4m_ = std::make_unique<Y4mOut>(options_.y4m, options_.format, options_.width, options_.height, options_.fps);
  if (!options_.contactSheet.empty()) sheet_ = std::make_unique<ContactSheet>(options_.width, options_.height);
}

// Blank (the driver's fill before it has an image), a still, the same picture bytes as the
// frame before, a picture made from a camera frame the camera damaged, or a fresh picture.
FrameKind RunOutput::Classify(const HostFrame &frame, bool damaged) {
  const uint8_t *data = frame.data.data();
  const size_t length = frame.data.size();
  const size_t fixed = FrameBytes(options_.format, options_.width, options_.height);
  const size_t used = fixed != 0 ? std::min(fixed, length) : ScanJpegLength(data, length);
  FrameKind kind = FrameKind::Picture;
  if (FrameIsBlank(options_.format, options_.width, options_.height, data, length)) {
    kind = FrameKind::Blank;
    ++(seenPicture_ ? tally_.blankLater : tally_.warmup);
  } else if (frame.info.still) {
    kind = FrameKind::Still;
    ++tally_.stills;
  } else if (previous_.size() == used && std::equal(previous_.begin(), previous_.end(), data)) {
    kind = FrameKind::Repeat;
    ++tally_.repeats;
  } else if (damaged) {
    kind = FrameKind::Damaged;
    ++tally_.damaged;
  } else {
    ++tally_.pictures;
  }
  seenPicture_ = seenPicture_ || kind != FrameKind::Blank;
  previous_.assign(data, data + used);
  return kind;
}

void RunOutput::Take(const HostFrame &frame, const FrameOrigin &origin) {
  const uint8_t *data = frame.data.data();
  const size_t length = frame.data.size();
  // The stream last: a reader that has gone ends the run with this frame written and counted.
  if (!writer_) {  // discarded: nothing looked at, so that only the stream is measured
    if (y4m_) y4m_->Write(data, length);
    return;
  }
  const FrameKind kind = Classify(frame, origin.faults != 0);
  const size_t before = writer_->Files().size();
  writer_->Write(unsigned(frame.sequence), data, length);
  const std::string file = writer_->Files()[before];
  if (kind == FrameKind::Still) writer_->SaveStill(unsigned(frame.sequence), file);
  // A repeat shows the image of the frame before: that image's camera frame and source.
  if (kind != FrameKind::Repeat) shown_ = origin;
  const FrameOrigin &image = kind == FrameKind::Blank ? FrameOrigin{} : shown_;
  char time[32] = "-";
  if (origin.timeValid) snprintf(time, sizeof time, "%.4f", origin.seconds);
  tsv_ << frame.sequence << '\t' << std::filesystem::path(file).filename().string() << '\t'
       << std::filesystem::file_size(file) << '\t' << time << '\t'
       << (image.cameraFrame != 0 ? std::to_string(image.cameraFrame) : "-") << '\t'
       << (image.source.empty() ? "-" : image.source) << '\t' << origin.faultText << '\t' << FrameKindName(kind)
       << '\n';
  if (sheet_) {
    FrameToRgb(options_.format, options_.width, options_.height, data, length, &rgb_);
    sheet_->Add(unsigned(frame.sequence), rgb_.data(), kind);
  }
  if (y4m_) y4m_->Write(data, length);
}

void RunOutput::Finish() {
  if (writer_) {
    writer_->Finish();
    tsv_.close();
    if (tsv_.fail()) throw std::runtime_error("cannot write " + options_.dir + "/frames.tsv");
  }
  if (y4m_) y4m_->Close();
  if (sheet_) sheet_->Save(options_.contactSheet);
}
