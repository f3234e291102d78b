#include "cli/SequenceOutput.h"

#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/Cli.h"
#include "cli/FrameSequence.h"
#include "image/RgbaFile.h"

namespace trevane::cli {

namespace fs = std::filesystem;

namespace {
constexpr int kRgbaChannels = 4;
}  // namespace

void makeOutputFolder(const std::string &output, const std::string &firstOutputPath) {
  const fs::path folder = isFolderOutput(output) ? fs::path(output) : fs::path(firstOutputPath).parent_path();
  if (folder.empty()) return;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw UsageError("--output: cannot make the folder '" + folder.string() + "': " + ec.message());
}

bool writeFramePng(const host::Image &image, const std::string &path) {
  const std::vector<std::uint8_t> rgba = image.toRgba8TopDown();
  return kesto::write_png_file(path, rgba.data(), image.width(), image.height(), kRgbaChannels);
}

}  // namespace trevane::cli
