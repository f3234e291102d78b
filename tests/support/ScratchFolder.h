#pragma once
// A folder under /tmp of a test's own (mode 0755), removed with everything in it at destruction, and a
// file's whole content.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kesto::testing {

inline std::string fileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder");
    ::chmod(pattern.c_str(), 0755);
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder &) = delete;
  ScratchFolder &operator=(const ScratchFolder &) = delete;

  // The folder's path, without a closing '/', and with it.
  const std::string &path() const { return path_; }
  std::string dir() const { return path_ + "/"; }

 private:
  std::string path_;
};

}  // namespace kesto::testing
