// The project's single copy of the stb codecs. Every stb function gets static linkage, so none is visible
// outside this file (nor exported from the plug-in module, nor clashing with another copy in the host);
// the rest of the project reaches them through StbCodec.h.

#include "image/StbCodec.h"

#include "image/LoadGray.h"

#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace kesto::detail {
namespace {

// No legitimate image within the gray limits needs a single decoder buffer this large (a 2^26-pixel 16-bit
// RGBA PNG needs 512 MiB plus row filters); refusing bigger requests stops small compressed bombs early.
constexpr std::size_t kMaxDecoderAllocationBytes = std::size_t{1} << 30;

thread_local std::size_t gDecoderPeakRequestBytes = 0;

bool note_request(std::size_t size) noexcept
{
    if (size > gDecoderPeakRequestBytes) {
        gDecoderPeakRequestBytes = size;
    }
    return size <= kMaxDecoderAllocationBytes;
}

void* decoder_malloc(std::size_t size) noexcept
{
    return note_request(size) ? std::malloc(size) : nullptr;
}

void* decoder_realloc(void* block, std::size_t size) noexcept
{
    // On refusal the old block stays valid and the decoder frees it on its error path.
    return note_request(size) ? std::realloc(block, size) : nullptr;
}

void decoder_free(void* block) noexcept { std::free(block); }

} // namespace
} // namespace kesto::detail

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS (kesto::kMaxGraySidePixels)
#define STBI_MALLOC(size) kesto::detail::decoder_malloc(size)
#define STBI_REALLOC(block, size) kesto::detail::decoder_realloc((block), (size))
#define STBI_FREE(block) kesto::detail::decoder_free(block)
#include <stb/stb_image.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

namespace kesto::detail {
namespace {

// stb_image 2.27 (Debian 12's copy) builds a JPEG Huffman table from the 16 code counts of a DHT segment
// without checking that they add up to at most 256 symbols, then writes that many entries into 257-entry
// arrays: a heap overflow that the file controls. Such files are refused before stb sees them.
//
// Every FF C4 byte pair counts as a DHT marker and is read the way stb reads one (a 16-bit length, then
// tables of one class/slot byte, 16 counts and the symbols, while length remains; zeros past the end of the
// file), so no table that stb could ever build escapes the check. A false alarm only refuses a file that
// holds those two bytes where no marker belongs, which is no sound JPEG either.
constexpr std::size_t kJpegMaxHuffmanSymbols = 256;
constexpr std::size_t kJpegHuffmanCounts = 16;
// JPEG files larger than this are refused outright rather than read whole for the check.
constexpr std::size_t kJpegCheckMaxBytes = std::size_t{1} << 26;  // 64 MiB
constexpr std::size_t kNoOversizedTable = static_cast<std::size_t>(-1);

class HuffmanTableCheck {
public:
    explicit HuffmanTableCheck(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

    bool all_tables_fit()
    {
        for (std::size_t marker = 0; marker + 1 < bytes_.size(); ++marker) {
            if (bytes_[marker] != 0xFF || bytes_[marker + 1] != 0xC4) {
                continue;
            }
            const std::size_t length = byte(marker + 2) << 8 | byte(marker + 3);
            if (length <= 2) {
                continue;
            }
            // A table is read while the segment has bytes left before it.
            const std::size_t distance = first_oversized(marker + 4);
            if (distance != kNoOversizedTable && distance < length - 2) {
                return false;
            }
        }
        return true;
    }

private:
    std::size_t byte(std::size_t at) const { return at < bytes_.size() ? bytes_[at] : 0; }

    // Bytes from the table at `start` along the chain of tables that follow it to the first one with more
    // than 256 symbols, or kNoOversizedTable. Chains of different markers merge, so results are remembered.
    std::size_t first_oversized(std::size_t start)
    {
        std::vector<std::size_t> chain; // tables whose distance is not known yet, in chain order
        std::size_t end = start;        // where the walk stopped, and that position's distance
        std::size_t end_distance = kNoOversizedTable;
        for (;;) {
            if (end >= bytes_.size()) {
                break; // only zeros from here on: empty tables
            }
            const auto known = distances_.find(end);
            if (known != distances_.end()) {
                end_distance = known->second;
                break;
            }
            const std::size_t slot = byte(end);
            if ((slot >> 4) > 1 || (slot & 15) > 3) {
                distances_[end] = kNoOversizedTable; // stb refuses the segment before building anything
                break;
            }
            std::size_t symbols = 0;
            for (std::size_t i = 1; i <= kJpegHuffmanCounts; ++i) {
                symbols += byte(end + i);
            }
            if (symbols > kJpegMaxHuffmanSymbols) {
                distances_[end] = 0;
                end_distance = 0;
                break;
            }
            chain.push_back(end);
            end += 1 + kJpegHuffmanCounts + symbols;
        }
        // Back along the chain: each table lies its own size before the next one.
        std::size_t next = end;
        std::size_t distance = end_distance;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if (distance != kNoOversizedTable) {
                distance += next - *it;
            }
            distances_[*it] = distance;
            next = *it;
        }
        return distance;
    }

    const std::vector<unsigned char>& bytes_;
    std::unordered_map<std::size_t, std::size_t> distances_;
};

// stb takes any data that starts with a marker as a JPEG, and skips fill bytes (FF) before the marker, so
// "FF FF FF D8" opens a JPEG too. No PNG starts with FF.
bool might_be_jpeg(const std::vector<unsigned char>& bytes) { return !bytes.empty() && bytes[0] == 0xFF; }

// True unless the data at the file's position is a JPEG that stb must not read. The position is kept.
bool jpeg_safe_for_stb(std::FILE* file)
{
    const long start = std::ftell(file);
    if (start < 0) {
        return false;
    }
    std::vector<unsigned char> bytes;
    unsigned char chunk[1 << 14];
    bool fits = true;
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (!might_be_jpeg(bytes)) {
            break; // nothing to check
        }
        if (bytes.size() > kJpegCheckMaxBytes) {
            fits = false;
            break;
        }
    }
    const bool readable = !std::ferror(file);
    std::clearerr(file);
    if (std::fseek(file, start, SEEK_SET) != 0 || !readable || !fits) {
        return false;
    }
    return !might_be_jpeg(bytes) || HuffmanTableCheck(bytes).all_tables_fit();
}

} // namespace

void StbImageFree::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

void StbWriteFree::operator()(unsigned char* bytes) const noexcept { STBIW_FREE(bytes); }

bool stb_info_from_file(std::FILE* file, StbHeader& header)
{
    header = StbHeader{};
    return jpeg_safe_for_stb(file) && stbi_info_from_file(file, &header.width, &header.height, &header.channels) != 0;
}

StbPixels stb_load_from_file(std::FILE* file, int channels, StbHeader& header)
{
    header = StbHeader{};
    if (!jpeg_safe_for_stb(file)) {
        return nullptr;
    }
    return StbPixels(stbi_load_from_file(file, &header.width, &header.height, &header.channels, channels));
}

std::size_t stb_decoder_peak_request_bytes() noexcept { return gDecoderPeakRequestBytes; }

void stb_reset_decoder_peak_request() noexcept { gDecoderPeakRequestBytes = 0; }

StbEncoded stb_write_png_to_mem(const unsigned char* pixels, int stride_bytes, int width, int height, int channels,
                                int& size_bytes)
{
    size_bytes = 0;
    return StbEncoded(stbi_write_png_to_mem(pixels, stride_bytes, width, height, channels, &size_bytes));
}

} // namespace kesto::detail
