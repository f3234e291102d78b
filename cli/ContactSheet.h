#pragma once
// A contact sheet of a pulled matte: one row per chosen frame with three cells, the source, the matte and
// the cut-out over a checkerboard, each scaled to a fixed cell width.

#include <cstdint>
#include <string>
#include <vector>

namespace trevane::cli {

// 8-bit RGBA, top row first, tightly packed.
struct RgbaPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

struct ContactRow {
  RgbaPicture source;  // the input frame
  RgbaPicture cutout;  // the render in "Character (RGBA)" mode: colour times matte, matte as alpha
};

// Lays the rows out and writes the sheet in the format of the path's extension; false, with *error set, when
// there is nothing to lay out or the file cannot be written.
bool writeContactSheet(const std::string &path, const std::vector<ContactRow> &rows, int cellWidth,
                       std::string *error);

}  // namespace trevane::cli
