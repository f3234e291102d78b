#include "cli/SequenceOutput.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
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

std::vector<std::string> outputPathsFor(const std::string &output, const std::vector<SequenceFrame> &frames) {
  std::set<std::string> inputs;
  std::error_code ec;
  for (const SequenceFrame &f : frames) inputs.insert(fs::weakly_canonical(f.path, ec).string());
  std::vector<std::string> paths;
  for (const SequenceFrame &f : frames) {
    std::string error;
    const std::optional<std::string> path = outputPath(output, f.number, &error);
    if (!path) throw UsageError("--output: " + error);
    if (inputs.count(fs::weakly_canonical(*path, ec).string()) != 0) {
      throw UsageError("--output: '" + *path + "' is an input frame; refusing to overwrite it");
    }
    paths.push_back(*path);
  }
  return paths;
}

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
