// A slot file (slot_file.h) from the simulated camera's slots: written by the Wine stage's host
// program (wine_reference.cpp) and by camsim --kernel wine, replayed by the stand-in class
// library under Wine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_camera.h"
#include "slot_file.h"

inline std::string TorvaneSlotFile(const std::vector<HostIsoSlot> &slots) {
  auto put = [](std::string &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(char(value >> (8 * i)));
  };
  std::string out(TORVANE_SLOT_MAGIC, TORVANE_SLOT_MAGIC_SIZE);
  for (const HostIsoSlot &slot : slots) {
    put(out, slot.syncByte, 1);
    put(out, slot.syncLength, 4);
    put(out, slot.syncStatus, 4);
    put(out, slot.dataStatus, 4);
    put(out, slot.cameraFrame, 8);
    put(out, slot.data.size(), 4);
    out.append(reinterpret_cast<const char *>(slot.data.data()), slot.data.size());
  }
  return out;
}
