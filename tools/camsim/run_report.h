// The parts of camsim's closing summary that account for the frames: what the application
// received by kind (the numbers add up to the frames received), why the first frames are
// blank, what the driver made of the frames handed to it, the stills asked for and received,
// and the faults the camera injected.
#pragma once

#include <cstdio>

#include "run_output.h"
#include "session.h"

// With frames false (nothing was looked at: --discard) only the driver's and the faults' lines.
// mjpg: the stream passes the camera's JPEG data through (the driver's blank frames differ).
// driverCounts false: the driver's own counts were out of reach (a run under Wine).
void PrintFrameAccount(std::FILE *out, const SessionSummary &summary, const FrameTally &tally, bool frames, bool mjpg,
                       bool driverCounts = true);
