#pragma once
// A matte folder for one test: /tmp/orvalis/<unique session id>/, removed with everything in it when the
// object goes out of scope.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto::testing {

class MatteFolder {
 public:
  MatteFolder();
  ~MatteFolder();
  MatteFolder(const MatteFolder &) = delete;
  MatteFolder &operator=(const MatteFolder &) = delete;

  const std::string &sessionId() const { return sessionId_; }
  const std::string &path() const { return path_; }
  // Path of the matte file of `frame`, as the store names it.
  std::string matteFile(std::int32_t frame) const;
  // Writes a gray PNG of width x height bytes (top row first) as the matte of `frame`; false on failure.
  bool writeMatte(std::int32_t frame, const std::vector<std::uint8_t> &gray, int width, int height) const;
  // Writes arbitrary bytes under the matte file name of `frame`.
  bool writeRaw(std::int32_t frame, const std::vector<std::uint8_t> &bytes) const;

 private:
  std::string sessionId_;
  std::string path_;
};

}  // namespace kesto::testing
