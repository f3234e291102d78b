#include "image/Base64.h"

#include <stdexcept>

namespace kesto {
namespace {

constexpr char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(kB64Alphabet) == 64 + 1, "Base64 needs exactly 64 digits");

constexpr std::uint32_t kSixBitMask = 63;

char digit(std::uint32_t index) { return kB64Alphabet[index & kSixBitMask]; }

} // namespace

std::string base64_encode(const std::uint8_t* data, std::uint64_t count)
{
    if (data == nullptr || count == 0) {
        return {};
    }
    // Guard the size arithmetic itself before reserving: ((count + 2) / 3) * 4 must not wrap.
    const std::uint64_t groups = count / 3 + (count % 3 != 0 ? 1 : 0);
    if (groups > std::string().max_size() / 4) {
        throw std::length_error("base64_encode: input too large");
    }

    std::string text;
    text.reserve(static_cast<std::size_t>(groups * 4));

    std::uint64_t i = 0;
    for (; count - i >= 3; i += 3) {
        const std::uint32_t v = std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8 | data[i + 2];
        text += digit(v >> 18);
        text += digit(v >> 12);
        text += digit(v >> 6);
        text += digit(v);
    }
    const std::uint64_t rest = count - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t{data[i]} << 16;
        text += digit(v >> 18);
        text += digit(v >> 12);
        text += "==";
    } else if (rest == 2) {
        const std::uint32_t v = std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8;
        text += digit(v >> 18);
        text += digit(v >> 12);
        text += digit(v >> 6);
        text += '=';
    }
    return text;
}

} // namespace kesto
