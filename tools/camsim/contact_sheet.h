// One picture of a whole run: every frame as a small tile in a grid, numbered, with a coloured
// band telling a blank frame (grey), a repeat of the previous image (orange), a still (blue)
// and a picture made from a camera frame the camera damaged on purpose (red, --faults) from a
// good picture (green), so that a run can be judged at a glance.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FrameKind { Picture, Blank, Repeat, Still, Damaged };
const char *FrameKindName(FrameKind kind);  // "picture", "blank", "repeat", "still", "damaged"

class ContactSheet {
 public:
  // Tiles of tileWidth pixels across (the height keeps the frames' proportions), columns wide.
  ContactSheet(int frameWidth, int frameHeight, int tileWidth = 160, int columns = 10);
  // Frame k's top-down RGB picture (frameWidth x frameHeight).
  void Add(unsigned k, const uint8_t *rgb, FrameKind kind);
  // Writes the sheet as a PNG; std::runtime_error naming the file on failure. Nothing is
  // written without a frame.
  void Save(const std::string &path) const;
  size_t Tiles() const { return tiles_.size(); }

 private:
  struct Tile {
    unsigned k;
    FrameKind kind;
    std::vector<uint8_t> rgb;  // tileWidth_ x tileHeight_
  };
  int frameWidth_, frameHeight_, tileWidth_, tileHeight_, columns_;
  std::vector<Tile> tiles_;
};
