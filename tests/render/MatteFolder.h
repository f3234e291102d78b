#pragma once
// A matte folder for one test: /tmp/orvalis/<unique session id>/, removed with everything in it when the
// object goes out of scope.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "image/WriteFile.h"
#include "tests/support/ImageFiles.h"
#include "tests/support/ScratchFolder.h"

namespace kesto::testing {

// Written out here rather than taken from the store, so the tests also pin the store's naming down.
inline const std::string kMatteFolderRoot = "/tmp/orvalis/";

class MatteFolder : public ScratchFolder {
 public:
  MatteFolder() : ScratchFolder((std::filesystem::create_directories(kMatteFolderRoot), "orvalis/render-test")) {}

  std::string sessionId() const { return path().substr(kMatteFolderRoot.size()); }
  // Path of the matte file of `frame`, as the store names it.
  std::string matteFile(std::int32_t frame) const {
    char name[32];
    std::snprintf(name, sizeof name, "/%06d.png", static_cast<int>(frame));
    return path() + name;
  }
  // Writes a gray PNG of width x height bytes (top row first) as the matte of `frame`.
  bool writeMatte(std::int32_t frame, const std::vector<std::uint8_t> &gray, int width, int height) const {
    return write_png_file(matteFile(frame), gray.data(), width, height, 1);
  }
  // Writes arbitrary bytes under the matte file name of `frame`.
  bool writeRaw(std::int32_t frame, const std::vector<std::uint8_t> &bytes) const {
    return write_file(matteFile(frame), bytes);
  }
};

}  // namespace kesto::testing
