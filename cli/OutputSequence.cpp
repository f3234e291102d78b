#include "cli/OutputSequence.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

#include "cli/Cli.h"
#include "cli/FramePattern.h"

namespace trevane::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kVideoFrameDigits = 6;

bool isFolderOutput(const std::string &output) {
  std::error_code ec;
  return (!output.empty() && output.back() == '/') || fs::is_directory(output, ec);
}

std::string canonical(const std::string &path) {
  std::error_code ec;
  return fs::weakly_canonical(path, ec).string();
}

}  // namespace

OutputSequence planOutput(const std::string &output, const ClipSource &clip, const char *command) {
  OutputSequence plan;
  const OutputFormat *format = nullptr;
  if (isFolderOutput(output)) {
    plan.folder = output;
    // The input's format, unless it would lose the matte.
    const OutputFormat *same = outputFormatNamed(clip.fileFormat());
    if (same != nullptr && !keepsAlpha(*same)) same = nullptr;
    format = same != nullptr ? same : outputFormatFor("frame.png");
    for (const ClipFrame &f : clip.frames()) {
      const fs::path name = f.path.empty() ? fs::path(NumberedName{"", kVideoFrameDigits, ""}.format(f.number))
                                           : fs::path(f.path).filename();
      const fs::path file = same != nullptr ? name : fs::path(name.stem().string() + mainExtension(*format));
      plan.paths.push_back((fs::path(output) / file).string());
    }
  } else {
    std::string error;
    const std::optional<NumberedName> pattern = parseNumberedPattern(output, &error);
    if (!pattern) {
      throw UsageError("--output: " + (error.empty() ? "'" + output +
                                                           "' is neither a folder nor a pattern with a frame number "
                                                           "such as out/%04d.exr"
                                                     : error));
    }
    format = outputFormatFor(pattern->format(0));
    if (format == nullptr) {
      throw UsageError("--output: '" + output + "' does not end in .exr, .png, .tif, .dpx or .jpg");
    }
    plan.folder = fs::path(pattern->format(0)).parent_path().string();
    for (const ClipFrame &f : clip.frames()) plan.paths.push_back(pattern->format(f.number));
  }
  std::set<std::string> inputs;
  for (const ClipFrame &f : clip.frames()) {
    if (!f.path.empty()) inputs.insert(canonical(f.path));
  }
  if (!clip.videoPath().empty()) inputs.insert(canonical(clip.videoPath()));
  for (const std::string &path : plan.paths) {
    if (inputs.count(canonical(path)) != 0) {
      throw UsageError("--output: '" + path + "' is an input file; refusing to overwrite it");
    }
  }
  if (!keepsAlpha(*format)) {
    std::fprintf(stderr, "trevane %s: note: %s files keep no alpha; the frames are written without it\n", command,
                 mainExtension(*format));
  }
  return plan;
}

void OutputSequence::makeFolder() const {
  if (folder.empty()) return;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw UsageError("--output: cannot make the folder '" + folder + "': " + ec.message());
}

}  // namespace trevane::cli
