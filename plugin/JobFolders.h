#pragma once
// The folders of a matte job on disk: the job root ("/tmp/orvalis/"), one spool folder per launch
// ("upload_" + job id) and one matte folder per session. The footage is the user's, so the job's own
// folders are private (mode 0700), and nothing is written into a root that another user could have
// prepared: a symbolic link, or a folder that another user owns or may write into. Private to plugin/.

#include <cstdint>
#include <optional>
#include <string>

namespace kesto {

// Creates `root` (ending in '/') with mode 0755 when it is missing, then checks it with lstat. Returns
// an empty text when it is safe to write into, else the reason ("/tmp/orvalis/ is a symbolic link", ...).
std::string prepare_job_root(const std::string &root);

// A new job id: 16 lower-case hexadecimal digits, two 32-bit values from /dev/urandom printed "%08x%08x".
// None when no random source can be read.
std::optional<std::string> draw_job_id();

// Creates the folder `path` with mode 0700; false when it already exists or cannot be made.
bool make_fresh_private_dir(const std::string &path);
// Creates the folder `path` with mode 0700, or accepts one that exists as a real folder (not a link) of
// this process's user that no other user may write into; false otherwise.
bool ensure_private_dir(const std::string &path);

// Removes a spool folder and the files in it; a missing folder is fine. Never follows links.
void remove_spool_dir(const std::string &path) noexcept;

// The matte file of frame `index`: `matteDir` (ending in '/') + the index as "%06d" + ".png".
std::string matte_file_path(const std::string &matteDir, std::int32_t index);

}  // namespace kesto
