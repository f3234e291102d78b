#pragma once
// Small file helpers of the job tests: looks at what is on disk.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/ScratchFolder.h"

namespace jobtest {

using kesto::testing::fileText;
using Texts = std::vector<std::string>;

// Names in a folder, sorted; empty when it does not exist.
inline Texts folderEntries(const std::string &path) {
  Texts names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Permission bits of a path, a closing '/' ignored (lstat: a link is not followed), or -1 when it is absent.
inline int modeOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

inline bool exists(const std::string &path) { return modeOf(path) != -1; }

}  // namespace jobtest
