#include "FileUtil.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>

namespace kesto::backend {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::atomic<unsigned long long> gTempCounter{0};

}  // namespace

std::string write_file_atomic(const std::filesystem::path& path, const void* data, std::size_t size) {
  std::filesystem::path temp = path;
  temp += ".tmp-" + std::to_string(gTempCounter.fetch_add(1));
  {
    FilePtr file(std::fopen(temp.c_str(), "wb"));
    if (!file) return "cannot create " + temp.filename().string() + ": " + std::strerror(errno);
    if (size > 0 && std::fwrite(data, 1, size, file.get()) != size) {
      const std::string reason = std::strerror(errno);
      file.reset();
      std::remove(temp.c_str());
      return "cannot write " + path.filename().string() + ": " + reason;
    }
    if (std::fclose(file.release()) != 0) {
      std::remove(temp.c_str());
      return "cannot write " + path.filename().string();
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::remove(temp.c_str());
    return "cannot rename into " + path.filename().string() + ": " + ec.message();
  }
  return {};
}

std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) return std::nullopt;
  in.seekg(0, std::ios::beg);
  bytes.resize(static_cast<std::size_t>(size));
  if (size > 0 && !in.read(bytes.data(), size)) return std::nullopt;
  return bytes;
}

std::uint64_t file_size_or_zero(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

}  // namespace kesto::backend
