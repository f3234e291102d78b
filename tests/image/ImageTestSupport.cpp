#include "ImageTestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kesto::test {
namespace {

constexpr std::size_t kStoredBlockMaxBytes = 65535;

std::uint32_t crc32(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return crc ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(const Bytes& data)
{
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (const std::uint8_t byte : data) {
        a = (a + byte) % 65521u;
        b = (b + a) % 65521u;
    }
    return b << 16 | a;
}

void put_be32(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_chunk(Bytes& png, const char (&type)[5], const Bytes& data)
{
    put_be32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t type_at = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put_be32(png, crc32(png.data() + type_at, png.size() - type_at));
}

Bytes zlib_stored(const Bytes& raw)
{
    Bytes z{0x78, 0x01};
    std::size_t at = 0;
    do {
        const std::size_t length = std::min(kStoredBlockMaxBytes, raw.size() - at);
        const bool last = at + length == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<std::uint8_t>(length));
        z.push_back(static_cast<std::uint8_t>(length >> 8));
        z.push_back(static_cast<std::uint8_t>(~length));
        z.push_back(static_cast<std::uint8_t>(~length >> 8));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                 raw.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    } while (at < raw.size());
    put_be32(z, adler32(raw));
    return z;
}

int channels_of(int colour_type)
{
    switch (colour_type) {
    case kPngGray: return 1;
    case kPngGrayAlpha: return 2;
    case kPngRgb: return 3;
    case kPngRgba: return 4;
    default: throw std::invalid_argument("unsupported PNG colour type");
    }
}

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

Bytes build_png_raw(std::uint32_t width, std::uint32_t height, int depth, int colour_type, const Bytes& raw)
{
    Bytes png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    put_be32(header, width);
    put_be32(header, height);
    header.push_back(static_cast<std::uint8_t>(depth));
    header.push_back(static_cast<std::uint8_t>(colour_type));
    header.insert(header.end(), {0, 0, 0}); // deflate, adaptive filtering, no interlace
    put_chunk(png, "IHDR", header);
    put_chunk(png, "IDAT", zlib_stored(raw));
    put_chunk(png, "IEND", Bytes{});
    return png;
}

Bytes build_png(int width, int height, int depth, int colour_type, const Bytes& samples)
{
    const std::size_t row_bytes =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(channels_of(colour_type)) * (depth / 8);
    if (samples.size() != row_bytes * static_cast<std::size_t>(height)) {
        throw std::invalid_argument("sample count does not match the PNG size");
    }
    Bytes raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0); // filter type None
        const auto row = samples.begin() + static_cast<std::ptrdiff_t>(row_bytes * static_cast<std::size_t>(y));
        raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(row_bytes));
    }
    return build_png_raw(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), depth, colour_type,
                         raw);
}

bool decode_base64(const std::string& text, Bytes& out)
{
    out.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::array<int, 4> v{};
        int pads = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + static_cast<std::size_t>(k)];
            if (c == '=' && last && k >= 2) {
                ++pads;
                v[static_cast<std::size_t>(k)] = 0;
                continue;
            }
            if (pads > 0) return false;
            v[static_cast<std::size_t>(k)] = base64_value(c);
            if (v[static_cast<std::size_t>(k)] < 0) return false;
        }
        const std::uint32_t n = static_cast<std::uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        if (pads < 2) out.push_back(static_cast<std::uint8_t>(n >> 8));
        if (pads < 1) out.push_back(static_cast<std::uint8_t>(n));
    }
    return true;
}

ScratchDir::ScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kesto-image-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a scratch directory");
    }
    root_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string ScratchDir::path(const std::string& name) const { return root_ + "/" + name; }

Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put_file(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write test file " + path);
    }
}

} // namespace kesto::test
