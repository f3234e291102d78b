#include "image/Base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kesto {
namespace {

std::string encode(const std::vector<std::uint8_t>& bytes) { return base64_encode(bytes.data(), bytes.size()); }

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// RFC 4648's vectors and binary bytes: padding follows the remainder of the length divided by three.
TEST(Base64, KnownAnswers)
{
    const std::pair<std::vector<std::uint8_t>, const char*> cases[] = {
        {bytes_of(""), ""}, {bytes_of("f"), "Zg=="}, {bytes_of("fo"), "Zm8="}, {bytes_of("foo"), "Zm9v"},
        {bytes_of("foob"), "Zm9vYg=="}, {bytes_of("fooba"), "Zm9vYmE="}, {bytes_of("foobar"), "Zm9vYmFy"},
        {{0xFB, 0xFF}, "+/8="}, {{0x00, 0xFF, 0x10, 0x80, 0x7F, 0xFE, 0x01}, "AP8QgH/+AQ=="},
        // Every digit of the alphabet once, in order.
        {{0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8b, 0x30, 0xd3, 0x8f, 0x41, 0x14, 0x93, 0x51,
          0x55, 0x97, 0x61, 0x96, 0x9b, 0x71, 0xd7, 0x9f, 0x82, 0x18, 0xa3, 0x92, 0x59, 0xa7, 0xa2, 0x9a,
          0xab, 0xb2, 0xdb, 0xaf, 0xc3, 0x1c, 0xb3, 0xd3, 0x5d, 0xb7, 0xe3, 0x9e, 0xbb, 0xf3, 0xdf, 0xbf},
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(encode(bytes), text);
    }
    EXPECT_EQ(base64_encode(nullptr, 5), "") << "null data reads as no bytes";
}

} // namespace
} // namespace kesto
