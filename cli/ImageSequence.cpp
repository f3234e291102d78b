// Image sequences through OpenImageIO: a folder of image files or a numbered pattern.

#include "cli/ClipKinds.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include <OpenImageIO/imageio.h>

#include "cli/Cli.h"
#include "cli/FramePattern.h"

namespace trevane::cli {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Extensions of the still-image formats OpenImageIO reads ("exr", "png", ...), without the movie formats
// its FFmpeg reader claims (videos are read as videos) and its pseudo formats.
const std::set<std::string> &imageExtensions() {
  static const std::set<std::string> extensions = [] {
    std::set<std::string> out;
    std::istringstream formats(OIIO::get_string_attribute("extension_list"));  // "png:png;tiff:tif,tiff;..."
    std::string entry;
    while (std::getline(formats, entry, ';')) {
      const std::size_t colon = entry.find(':');
      if (colon == std::string::npos) continue;
      const std::string format = entry.substr(0, colon);
      if (format == "ffmpeg" || format == "null" || format == "term") continue;
      std::istringstream list(entry.substr(colon + 1));
      std::string ext;
      while (std::getline(list, ext, ',')) out.insert(lower(ext));
    }
    return out;
  }();
  return extensions;
}

// The last run of digits in a file name's stem ("shot_v2.1001.exr" gives 1001).
std::optional<long long> trailingNumber(const fs::path &file) {
  const std::string stem = file.stem().string();
  const std::size_t end = stem.find_last_of("0123456789");
  if (end == std::string::npos) return std::nullopt;
  std::size_t start = end;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(stem[start - 1])) != 0) --start;
  if (end - start + 1 > 18) return std::nullopt;
  return std::stoll(stem.substr(start, end - start + 1));
}

std::map<long long, std::string> folderFrames(const std::string &folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path &p = it->path();
    if (p.filename().string()[0] != '.' && isImageFile(p) && it->is_regular_file(ec)) files.push_back(p);
  }
  if (ec) throw UsageError("--input: cannot list the folder '" + folder + "': " + ec.message());
  std::sort(files.begin(), files.end());
  // Numbered files keep their numbers; files without distinct numbers are numbered by their place.
  std::map<long long, std::string> numbered;
  for (const fs::path &f : files) {
    const std::optional<long long> n = trailingNumber(f);
    if (!n || !numbered.emplace(*n, f.string()).second) {
      numbered.clear();
      break;
    }
  }
  if (numbered.size() == files.size()) return numbered;
  std::map<long long, std::string> byPlace;
  for (std::size_t i = 0; i < files.size(); ++i) byPlace[static_cast<long long>(i)] = files[i].string();
  return byPlace;
}

std::map<long long, std::string> patternFrames(const NumberedName &pattern) {
  // The pattern's folder is the part of the prefix up to its last '/'.
  const std::size_t slash = pattern.prefix.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : pattern.prefix.substr(0, slash + 1);
  const NumberedName local{slash == std::string::npos ? pattern.prefix : pattern.prefix.substr(slash + 1),
                           pattern.minDigits, pattern.suffix};
  if (local.suffix.find('/') != std::string::npos) {
    throw UsageError("--input: the frame number must be in the file name, not in a folder name");
  }
  std::map<long long, std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (const auto n = local.numberIn(it->path().filename().string())) found[*n] = pattern.format(*n);
  }
  if (ec) throw UsageError("--input: cannot list the folder '" + folder + "': " + ec.message());
  return found;
}

std::string unreadable(long long number, const std::string &path, const std::string &why) {
  return "cannot read frame " + std::to_string(number) + " ('" + path + "'): " + oneLine(why);
}

std::string sizeText(FrameSize s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

class ImageSequence final : public ClipSource {
 public:
  ImageSequence(const std::map<long long, std::string> &files, const ClipRequest &request)
      : depth_(request.depth) {
    FrameSize &fileSize = fileSize_;
    for (const auto &[number, path] : files) {
      const OIIO::ImageSpec config = readConfig();
      std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path, &config);
      if (!in) throw UsageError(unreadable(number, path, OIIO::geterror()));
      const OIIO::ImageSpec &spec = in->spec();
      const FrameSize size{spec.width, spec.height};
      if (frames_.empty()) {
        fileSize = size;
        fileFormat_ = in->format_name();
        pixelAspect_ = spec.get_float_attribute("PixelAspectRatio", 1.0f);
        if (const OIIO::ParamValue *fps = spec.find_attribute("FramesPerSecond", OIIO::TypeRational)) {
          const int *r = static_cast<const int *>(fps->data());
          if (r[0] > 0 && r[1] > 0) frameRate_ = static_cast<double>(r[0]) / r[1];
        }
      } else if (size != fileSize) {
        throw UsageError("frame " + std::to_string(number) + " ('" + path + "') is " + sizeText(size) +
                         ", unlike the frames before it (" + sizeText(fileSize) + ")");
      }
      ClipFrame frame{number, path, std::nullopt};
      if (const OIIO::ParamValue *tc = spec.find_attribute("smpte:TimeCode", OIIO::TypeTimeCode)) {
        const auto *words = static_cast<const std::uint32_t *>(tc->data());
        frame.timecode = std::array<std::uint32_t, 2>{words[0], words[1]};
      }
      frames_.push_back(std::move(frame));
    }
    size_ = request.proxy.of(fileSize);
  }

  std::shared_ptr<const host::Image> read(long long number) override {
    const auto it = std::lower_bound(frames_.begin(), frames_.end(), number,
                                     [](const ClipFrame &f, long long n) { return f.number < n; });
    if (it == frames_.end() || it->number != number) return nullptr;
    const OIIO::ImageSpec config = readConfig();
    OIIO::ImageBuf file(it->path, 0, 0, nullptr, &config);
    if (!file.read(0, 0, true)) {
      throw UsageError(unreadable(number, it->path, file.geterror()));
    }
    if (FrameSize{file.spec().width, file.spec().height} != fileSize_) {
      throw UsageError("frame " + std::to_string(number) + " ('" + it->path + "') changed size while being read");
    }
    return std::make_shared<const host::Image>(clipFrame(file, file.spec().alpha_channel, size_, depth_));
  }

 private:
  host::PixelDepth depth_;
  FrameSize fileSize_;
};

}  // namespace

bool isImageFile(const fs::path &path) {
  const std::string ext = lower(path.extension().string());
  return ext.size() > 1 && imageExtensions().count(ext.substr(1)) != 0;
}

std::unique_ptr<ClipSource> openImageSequence(const ClipRequest &request) {
  std::map<long long, std::string> files;
  std::error_code ec;
  if (fs::is_directory(request.input, ec)) {
    files = folderFrames(request.input);
  } else {
    std::string error;
    const std::optional<NumberedName> pattern = parseNumberedPattern(request.input, &error);
    if (!pattern) {
      throw UsageError("--input: " + (error.empty() ? "'" + request.input +
                                                          "' is neither a video, a folder, nor a pattern with a "
                                                          "frame number such as frames/%04d.exr or frames/####.exr"
                                                    : error));
    }
    if (!isImageFile("frame" + pattern->suffix)) {
      throw UsageError("--input: '" + request.input + "' does not name image files trevane reads");
    }
    files = patternFrames(*pattern);
  }
  if (files.empty()) throw UsageError("--input: no frames found at '" + request.input + "'");
  const long long from = request.first.value_or(files.begin()->first);
  const long long to = request.last.value_or(files.rbegin()->first);
  if (from > to) {
    throw UsageError("the first frame (" + std::to_string(from) + ") comes after the last (" + std::to_string(to) + ")");
  }
  std::map<long long, std::string> chosen;
  long long expected = from;
  for (auto it = files.lower_bound(from); it != files.end() && it->first <= to && it->first == expected; ++it) {
    chosen.insert(*it);
    ++expected;
  }
  if (expected <= to) {
    throw UsageError("frame " + std::to_string(expected) + " of '" + request.input + "' is missing");
  }
  return std::make_unique<ImageSequence>(chosen, request);
}

}  // namespace trevane::cli
