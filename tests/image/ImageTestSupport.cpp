// The tests' own static copy of the decoder: results are judged by code that shares no settings or limits with
// the library under test.
#include "ImageTestSupport.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#include <zlib.h>

#include <climits>
#include <fstream>
#include <memory>
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

DecodedImage decode_image(const Bytes& file, int channels)
{
    DecodedImage image;
    if (file.empty() || file.size() > static_cast<std::size_t>(INT_MAX)) {
        return image;
    }
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &image.width, &image.height,
                              &image.channels_in_file, channels),
        stbi_image_free);
    if (!pixels) {
        return DecodedImage{};
    }
    const int kept = channels == 0 ? image.channels_in_file : channels;
    image.pixels.assign(pixels.get(), pixels.get() + static_cast<std::size_t>(image.width) * image.height * kept);
    return image;
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

Bytes build_png(int width, int height, int depth, int colour_type, const Bytes& samples)
{
    const int channels[] = {1, 0, 3, 0, 2, 0, 4};
    const std::size_t row_bytes = static_cast<std::size_t>(width) * channels[colour_type] * (depth / 8);
    if (samples.size() != row_bytes * static_cast<std::size_t>(height)) {
        throw std::invalid_argument("sample count does not match the PNG size");
    }
    Bytes raw;
    for (std::size_t at = 0; at < samples.size(); at += row_bytes) {
        raw.push_back(0); // filter type None
        raw.insert(raw.end(), samples.begin() + static_cast<std::ptrdiff_t>(at),
                   samples.begin() + static_cast<std::ptrdiff_t>(at + row_bytes));
    }
    return build_png_raw(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), depth, colour_type,
                         raw);
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
