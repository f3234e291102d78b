#include "tests/render/MatteFolder.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "tests/support/ImageFiles.h"
#include "image/WriteFile.h"

namespace kesto::testing {
namespace {

// Written out here rather than taken from the store, so the tests also pin the store's naming down.
constexpr const char *kMatteRoot = "/tmp/orvalis/";

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

std::string MatteFolder::matteFile(std::int32_t frame) const {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.png", static_cast<int>(frame));
  return path_ + name;
}

bool MatteFolder::writeMatte(std::int32_t frame, const std::vector<std::uint8_t> &gray, int width,
                             int height) const {
  return write_png_file(matteFile(frame), gray.data(), width, height, 1);
}

bool MatteFolder::writeRaw(std::int32_t frame, const std::vector<std::uint8_t> &bytes) const {
  return write_file(matteFile(frame), bytes);
}

}  // namespace kesto::testing
