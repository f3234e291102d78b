#include "image/Base64.h"

#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kesto {
namespace {

std::string encode_text(const std::string& text)
{
    return base64_encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string encode_bytes(const std::vector<std::uint8_t>& bytes)
{
    return base64_encode(bytes.data(), bytes.size());
}

// Padding follows the remainder of the length divided by three.
TEST(Base64, MatchesRfc4648Vectors)
{
    EXPECT_EQ(encode_text(""), "");
    EXPECT_EQ(encode_text("f"), "Zg==");
    EXPECT_EQ(encode_text("fo"), "Zm8=");
    EXPECT_EQ(encode_text("foo"), "Zm9v");
    EXPECT_EQ(encode_text("foob"), "Zm9vYg==");
    EXPECT_EQ(encode_text("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode_text("foobar"), "Zm9vYmFy");
}

TEST(Base64, EncodesBinaryBytes)
{
    EXPECT_EQ(encode_bytes({0x00}), "AA==");
    EXPECT_EQ(encode_bytes({0x00, 0x00}), "AAA=");
    EXPECT_EQ(encode_bytes({0xFF}), "/w==");
    EXPECT_EQ(encode_bytes({0xFB, 0xFF}), "+/8=");
    EXPECT_EQ(encode_bytes({0xFF, 0xFF, 0xFF}), "////");
    EXPECT_EQ(encode_bytes({0x00, 0xFF, 0x10, 0x80, 0x7F, 0xFE, 0x01}), "AP8QgH/+AQ==");
    // These 48 bytes use every digit of the alphabet once, in order.
    const std::vector<std::uint8_t> every_digit{
        0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8b, 0x30, 0xd3, 0x8f, 0x41, 0x14, 0x93, 0x51,
        0x55, 0x97, 0x61, 0x96, 0x9b, 0x71, 0xd7, 0x9f, 0x82, 0x18, 0xa3, 0x92, 0x59, 0xa7, 0xa2, 0x9a,
        0xab, 0xb2, 0xdb, 0xaf, 0xc3, 0x1c, 0xb3, 0xd3, 0x5d, 0xb7, 0xe3, 0x9e, 0xbb, 0xf3, 0xdf, 0xbf};
    EXPECT_EQ(encode_bytes(every_digit), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TEST(Base64, RoundTripsEveryByteValue)
{
    std::vector<std::uint8_t> bytes(256);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(255 - i);
    }
    test::Bytes decoded;
    ASSERT_TRUE(test::decode_base64(encode_bytes(bytes), decoded));
    EXPECT_EQ(decoded, bytes);
}

TEST(Base64, NullDataReadsAsNoBytes)
{
    EXPECT_EQ(base64_encode(nullptr, 0), "");
    EXPECT_EQ(base64_encode(nullptr, 5), "");
}

} // namespace
} // namespace kesto
