#include "tests/render/MatteFolder.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <system_error>

#include "image/RgbaFile.h"
#include "image/WriteFile.h"
#include "plugin/MatteStore.h"

namespace kesto::testing {
namespace {

std::string uniqueSessionId() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  return "render-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
         std::to_string(random());
}

}  // namespace

MatteFolder::MatteFolder() : sessionId_(uniqueSessionId()), path_(std::string(kMatteRoot) + sessionId_ + "/") {
  std::filesystem::create_directories(path_);
}

MatteFolder::~MatteFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string MatteFolder::matteFile(std::int32_t frame) const { return matte_path(sessionId_, frame); }

bool MatteFolder::writeMatte(std::int32_t frame, const std::vector<std::uint8_t> &gray, int width,
                             int height) const {
  return write_png_file(matteFile(frame), gray.data(), width, height, 1);
}

bool MatteFolder::writeRaw(std::int32_t frame, const std::vector<std::uint8_t> &bytes) const {
  return write_file(matteFile(frame), bytes);
}

}  // namespace kesto::testing
