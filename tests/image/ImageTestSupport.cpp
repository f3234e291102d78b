#include "ImageTestSupport.h"

#include "image/WriteFile.h"

#include "tests/support/ImageFiles.h"
#include "tests/support/ScratchFolder.h"

#include <zlib.h>

#include <stdexcept>

namespace kesto::test {
namespace {

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
    put_be32(png, static_cast<std::uint32_t>(crc32(0, png.data() + type_at, static_cast<uInt>(png.size() - type_at))));
}

} // namespace

Bytes decode_rgba(const Bytes& file, int* width, int* height)
{
    const testing::ScratchFolder dir("kesto-image");
    // The reader is chosen by the name; a JPEG starts with a marker (FF).
    const std::string path = dir.path() + (!file.empty() && file[0] == 0xFF ? "/image.jpg" : "/image.png");
    write_file(path, file);
    return testing::load_rgba(path, width, height);
}

Bytes decode_base64(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Bytes out;
    std::uint32_t bits = 0;
    int held = 0;
    for (const char c : text.substr(0, text.find('='))) {
        bits = bits << 6 | static_cast<std::uint32_t>(alphabet.find(c) & 63);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    return out;
}

std::size_t jpeg_segment(const Bytes& jpeg, std::uint8_t marker)
{
    for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == marker) return i;
    }
    return 0;
}

Bytes build_png_raw(std::uint32_t width, std::uint32_t height, int depth, int colour_type, const Bytes& raw)
{
    Bytes png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    put_be32(header, width);
    put_be32(header, height);
    header.insert(header.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colour_type), 0, 0, 0});
    put_chunk(png, "IHDR", header);
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes deflated(size);
    if (compress(deflated.data(), &size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) {
        throw std::runtime_error("cannot deflate the PNG data");
    }
    deflated.resize(size);
    put_chunk(png, "IDAT", deflated);
    put_chunk(png, "IEND", Bytes{});
    return png;
}

} // namespace kesto::test
