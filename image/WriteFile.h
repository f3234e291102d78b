#pragma once
// Whole-file writes.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto {

// Creates the file at `path`, or truncates it if it exists, and writes exactly `bytes` into it in binary mode;
// afterwards the file holds those bytes and nothing else. The handle is closed before returning.
// Returns true when every byte was written and the file closed cleanly. Returns false, and tells nothing more,
// when the file cannot be opened (missing directory, no permission, a path with a NUL byte) - then nothing is
// created - or when the write or the close fails (disk full, size limit) - then an incomplete regular file is
// removed, so no truncated file is left looking complete. Safe to call from any thread; concurrent writes to
// one path are the callers' business.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

} // namespace kesto
