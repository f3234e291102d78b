#include "plugin/JobFolders.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "plugin/JobSeams.h"

namespace kesto {
namespace {

constexpr mode_t kJobRootMode = 0755;
constexpr mode_t kPrivateDirMode = 0700;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr const char *kRandomDevice = "/dev/urandom";

// lstat looks through a link when the path ends in '/'; the folder itself is what must be checked.
std::string without_trailing_slash(const std::string &path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return trimmed;
}

// Empty when `path` is a real folder of this user that no one else may write into, else what is wrong.
std::string folder_problem(const std::string &path) {
  struct stat info {};
  if (::lstat(without_trailing_slash(path).c_str(), &info) != 0) return "cannot be created";
  if (S_ISLNK(info.st_mode)) return "is a symbolic link";
  if (!S_ISDIR(info.st_mode)) return "is not a folder";
  if (info.st_uid != ::geteuid()) return "belongs to another user";
  if ((info.st_mode & kWritableByOthers) != 0) return "may be written by other users";
  return {};
}

bool read_random(std::uint32_t (&values)[2]) {
  std::ifstream device(kRandomDevice, std::ios::binary);
  return device && device.read(reinterpret_cast<char *>(values), sizeof values) &&
         device.gcount() == static_cast<std::streamsize>(sizeof values);
}

}  // namespace

std::string prepare_job_root(const std::string &root) {
  ::mkdir(root.c_str(), kJobRootMode);  // an existing root is fine; what it is gets checked next
  const std::string problem = folder_problem(root);
  return problem.empty() ? std::string() : root + " " + problem;
}

std::optional<std::string> draw_job_id() {
  std::uint32_t values[2] = {0, 0};
  if (!read_random(values)) {
    try {
      std::random_device device;
      values[0] = device();
      values[1] = device();
    } catch (...) {
      return std::nullopt;
    }
  }
  char id[17];
  std::snprintf(id, sizeof id, "%08x%08x", static_cast<unsigned>(values[0]), static_cast<unsigned>(values[1]));
  return std::string(id);
}

bool make_fresh_private_dir(const std::string &path) { return ::mkdir(path.c_str(), kPrivateDirMode) == 0; }

bool ensure_private_dir(const std::string &path) {
  if (::mkdir(path.c_str(), kPrivateDirMode) == 0) return true;
  if (errno != EEXIST) return false;
  return folder_problem(path).empty();
}

void remove_spool_dir(const std::string &path) noexcept {
  try {
    std::error_code ignored;
    std::filesystem::remove_all(without_trailing_slash(path), ignored);
  } catch (...) {
    // Out of memory while building the path: the folder stays, which costs disk space and nothing else.
  }
  detail::spool_dir_removed(path);
}

std::string matte_file_path(const std::string &matteDir, std::int32_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.png", static_cast<int>(index));
  return matteDir + name;
}

}  // namespace kesto
