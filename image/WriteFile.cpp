#include "image/WriteFile.h"

#include "image/FileHandle.h"

#include <sys/stat.h>

namespace kesto {
namespace {

bool is_regular_file(std::FILE* file)
{
    struct stat info {};
    return ::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    if (!detail::usable_path(path)) {
        return false;
    }
    detail::FileHandle file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        return false;
    }
    const bool regular = is_regular_file(file.get());
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    // stdio buffers: a full disk often shows only when the buffer is flushed by the close.
    ok = std::fclose(file.release()) == 0 && ok;
    if (!ok && regular) {
        std::remove(path.c_str());
    }
    return ok;
}

} // namespace kesto
