#include "run_report.h"

#include <string>

void PrintFrameAccount(std::FILE *out, const SessionSummary &s, const FrameTally &t, bool frames, bool mjpg,
                       bool driverCounts) {
  if (frames) {
    const unsigned sum = t.pictures + t.warmup + t.blankLater + t.repeats + t.stills + t.damaged;
    fprintf(out, "  frames the application received: %u = %u pictures + %u blank warm-up frames", s.frames, t.pictures,
            t.warmup);
    if (t.blankLater) fprintf(out, " + %u blank later (frames the driver could not use)", t.blankLater);
    fprintf(out, " + %u repeats of the previous image (a frame the driver could not decode, or the same picture "
                 "again) + %u stills + %u damaged (pictures made from a camera frame with an injected fault)%s\n",
            t.repeats, t.stills, t.damaged, sum == s.frames ? "" : " (these do not add up)");
    if (mjpg && t.warmup + t.blankLater != 0) {
      fprintf(out, "  warm-up: MJPG frames carry the camera's JPEG data from the first frame on; the driver answers "
                   "each frame it could not decode (its first decodes after the start only warm its decoder up) with a "
                   "later blank frame, %u in all\n",
              t.warmup + t.blankLater);
    } else if (t.warmup != 0) {
      // The driver shows an image only from its first decodes after the start on, and one frame
      // late: the first frame has no decode before it, the next ones carry the warm-up decodes.
      fprintf(out, "  warm-up: the first %u frames are blank: the driver's first %u decodes after the start only warm "
                   "its decoder up and are not shown (they are in its counts below), and every image reaches the "
                   "application with the frame after the one it was decoded from\n",
              t.warmup, t.warmup - 1);
    }
  }
  const uint64_t handed = s.stream.delivered;
  if (!driverCounts) {
    fprintf(out, "  driver: %llu frames handed to it by the class library (its own counts are not reachable under "
                 "Wine)\n",
            (unsigned long long)handed);
  } else if (mjpg && frames) {
    // For MJPG the driver takes a frame off its not-decoded count each time it answers one with
    // a blank frame.
    const unsigned blanks = t.warmup + t.blankLater;
    fprintf(out, "  driver: %u frames decoded + %u not decoded and answered with a blank frame + %u not decoded and "
                 "not yet answered = %u of the %llu frames the class library handed to it\n",
            s.goodFrames, blanks, s.badFrames, s.goodFrames + blanks + s.badFrames, (unsigned long long)handed);
  } else {
    fprintf(out, "  driver: %u frames decoded + %u not decoded (its warm-up decodes included) = %u of the %llu frames "
                 "the class library handed to it\n",
            s.goodFrames, s.badFrames, s.goodFrames + s.badFrames, (unsigned long long)handed);
  }
  if (s.triggersSent != 0 || s.pressesSent != 0 || s.stills != 0) {
    fprintf(out, "  stills: %u triggers and %u button presses sent, %u stills received%s\n", s.triggersSent,
            s.pressesSent, s.stills, frames ? " (each also saved as still_NNNNNN)" : "");
  }
  std::string faults;
  for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) {
    if (s.faultsInjected[f] == 0) continue;
    faults += (faults.empty() ? "" : ", ") + std::to_string(s.faultsInjected[f]) + " " + HostFault_Name(HostFault(f));
  }
  if (!faults.empty()) {
    fprintf(out, "  faults the camera injected: %s (camera frames)%s\n", faults.c_str(),
            frames ? "; frames.tsv names them on the frames they reached or preceded" : "");
  }
}
