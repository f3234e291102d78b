// load_gray on any file content: no access outside the decoder's buffers (AddressSanitizer also checks the
// copy out of them), and the result is either width * height bytes of a size within the limits, or nothing
// with a 0 x 0 size.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "image/LoadGray.h"

namespace {

using kesto::fuzz::require;

// One scratch file per process, in the system's temporary folder, removed at exit.
class ScratchFile {
 public:
  ScratchFile() {
    const char *dir = std::getenv("TMPDIR");
    path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/trevane-fuzz-gray-" +
            std::to_string(static_cast<long>(::getpid())) + ".img";
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  ScratchFile(const ScratchFile &) = delete;
  ScratchFile &operator=(const ScratchFile &) = delete;

  const std::string &write(const std::uint8_t *data, std::size_t size) {
    std::FILE *file = std::fopen(path_.c_str(), "wb");
    require(file != nullptr, "the scratch file can be written");
    const std::size_t written = size == 0 ? 0 : std::fwrite(data, 1, size, file);
    require(std::fclose(file) == 0 && written == size, "the scratch file holds the input");
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static ScratchFile scratch;
  const std::string &path = scratch.write(data, size);
  int width = -1;
  int height = -1;
  const auto gray = kesto::load_gray(path, &width, &height);
  if (gray.empty()) {
    require(width == 0 && height == 0, "a refused file reports 0 x 0");
    return 0;
  }
  require(kesto::gray_size_within_limits(width, height), "a decoded size is within the limits");
  require(gray.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
          "one byte per pixel");
  return 0;
}
