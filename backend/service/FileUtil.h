#pragma once
// Small file helpers with errors as values. Writes go to a temporary name first and are renamed into place,
// so a reader never sees half a file.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kesto::backend {

// Writes `size` bytes to `path` through `path` + ".tmp-<unique>" and a rename. Returns an empty string on
// success, else a one-line reason.
std::string write_file_atomic(const std::filesystem::path& path, const void* data, std::size_t size);

std::optional<std::string> read_whole_file(const std::filesystem::path& path);

// Size of a regular file, 0 when it is missing.
std::uint64_t file_size_or_zero(const std::filesystem::path& path);

}  // namespace kesto::backend
