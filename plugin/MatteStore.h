#pragma once
// Where a session's mattes lie on disk, and the small process-wide cache of decoded mattes in front of the
// PNG decoder. The store only reads: it never creates, changes or deletes a file.
//
// Cache rules: at most kMatteCacheEntries decoded mattes, newest first; a miss that decodes inserts at the
// front and drops the oldest insertion; a hit moves nothing; a failed decode inserts nothing (no negative
// caching); a cached path is read from disk again only after its entry has been dropped.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kesto {

// Folder that holds every session's matte folder.
inline constexpr const char *kMatteRoot = "/tmp/orvalis/";
// Decoded mattes kept in memory at most.
inline constexpr std::size_t kMatteCacheEntries = 8;

// A decoded matte: width x height gray bytes, one per pixel, top row first, stride == width.
// Once in the cache it is never changed, so it is handed out shared and read without a lock.
struct GrayMatte {
  std::vector<std::uint8_t> bytes;
  std::int32_t width = 0;
  std::int32_t height = 0;
};
using SharedMatte = std::shared_ptr<const GrayMatte>;

// "/tmp/orvalis/" + session id + "/" + the frame index as at least six decimal digits + ".png".
// The session id is used exactly as given: callers check it with is_safe_session_id first.
std::string matte_path(const std::string &sessionId, std::int32_t frameIndex);

// The decoded matte at `path`, from the cache or decoded now (and then cached); null when the file is
// missing, unreadable or not a decodable image. Safe from any thread: different paths decode in parallel,
// and threads asking for a path whose decode is already running wait for that one decode.
SharedMatte fetch_matte(const std::string &path);

namespace detail {

// Reads the file at `path`; a result with no bytes means "no matte".
using MatteDecoder = std::function<GrayMatte(const std::string &path)>;

// fetch_matte with the decoder chosen by the caller: lets tests hold a decode open or count its calls.
SharedMatte fetch_matte_with(const std::string &path, const MatteDecoder &decoder);

// Read-only views for tests: the cached paths from newest to oldest, and how many decodes have started
// (successful or not) since the module was loaded.
std::vector<std::string> matte_cache_keys();
std::uint64_t matte_decode_count();

}  // namespace detail
}  // namespace kesto
