// Contact sheet composition: nearest-neighbour scaling into cells and the checkerboard behind the cut-out.

#include "cli/ContactSheet.h"

#include <algorithm>

#include "cli/FrameOutput.h"

namespace trevane::cli {
namespace {

constexpr int kChannels = 4;
constexpr int kGapPixels = 4;
constexpr int kCheckerCellPixels = 12;
constexpr std::uint8_t kGapShade = 32;
constexpr std::uint8_t kCheckerLight = 200;
constexpr std::uint8_t kCheckerDark = 140;

// The picture's pixel nearest to the cell's (x, y).
const std::uint8_t *sample(const RgbaPicture &p, int x, int y, int cellW, int cellH) {
  const int sx = std::min(p.width - 1, static_cast<int>(static_cast<long long>(x) * p.width / cellW));
  const int sy = std::min(p.height - 1, static_cast<int>(static_cast<long long>(y) * p.height / cellH));
  return &p.pixels[(static_cast<size_t>(sy) * p.width + sx) * kChannels];
}

enum class Cell { Source, Matte, CutoutOverChecker };

void drawCell(std::vector<std::uint8_t> &sheet, int sheetW, int x0, int y0, int cellW, int cellH,
              const RgbaPicture &p, Cell kind) {
  for (int y = 0; y < cellH; ++y) {
    for (int x = 0; x < cellW; ++x) {
      const std::uint8_t *s = sample(p, x, y, cellW, cellH);
      std::uint8_t *d = &sheet[(static_cast<size_t>(y0 + y) * sheetW + (x0 + x)) * kChannels];
      switch (kind) {
        case Cell::Source: d[0] = s[0]; d[1] = s[1]; d[2] = s[2]; break;
        case Cell::Matte: d[0] = d[1] = d[2] = s[3]; break;
        case Cell::CutoutOverChecker: {
          // The cut-out is premultiplied: colour + (1 - alpha) x background.
          const bool light = ((x / kCheckerCellPixels) + (y / kCheckerCellPixels)) % 2 == 0;
          const int bg = light ? kCheckerLight : kCheckerDark;
          for (int c = 0; c < 3; ++c) d[c] = static_cast<std::uint8_t>(std::min(255, s[c] + (255 - s[3]) * bg / 255));
          break;
        }
      }
      d[3] = 255;
    }
  }
}

}  // namespace

bool writeContactSheet(const std::string &path, const std::vector<ContactRow> &rows, int cellWidth,
                       std::string *error) {
  *error = "no frames to show";
  if (rows.empty() || cellWidth < 1) return false;
  for (const ContactRow &r : rows) {
    if (r.source.width < 1 || r.cutout.width < 1 || r.source.pixels.empty() || r.cutout.pixels.empty()) return false;
  }
  const RgbaPicture &first = rows.front().source;
  const int cellHeight = std::max(1, static_cast<int>(static_cast<long long>(cellWidth) * first.height / first.width));
  const int sheetW = 3 * cellWidth + 4 * kGapPixels;
  const int sheetH = static_cast<int>(rows.size()) * (cellHeight + kGapPixels) + kGapPixels;
  std::vector<std::uint8_t> sheet(static_cast<size_t>(sheetW) * sheetH * kChannels, kGapShade);
  for (size_t i = 0; i < sheet.size(); i += kChannels) sheet[i + 3] = 255;
  for (size_t row = 0; row < rows.size(); ++row) {
    const int y0 = kGapPixels + static_cast<int>(row) * (cellHeight + kGapPixels);
    const Cell kinds[] = {Cell::Source, Cell::Matte, Cell::CutoutOverChecker};
    for (int col = 0; col < 3; ++col) {
      const RgbaPicture &picture = kinds[col] == Cell::Source ? rows[row].source : rows[row].cutout;
      drawCell(sheet, sheetW, kGapPixels + col * (cellWidth + kGapPixels), y0, cellWidth, cellHeight, picture,
               kinds[col]);
    }
  }
  return writePicture(sheet.data(), sheetW, sheetH, path, error);
}

}  // namespace trevane::cli
