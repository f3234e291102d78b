#pragma once
// Folder-private: an owning stdio handle, closed when it goes out of scope.

#include <cstdio>
#include <memory>
#include <string>

namespace kesto::detail {

struct FileClose {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileClose>;

// stdio sees a path only up to its first NUL; such a path would name another file than the caller meant.
inline bool usable_path(const std::string& path)
{
    return !path.empty() && path.find('\0') == std::string::npos;
}

} // namespace kesto::detail
