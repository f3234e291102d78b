#pragma once
// Folder-private: the only doorway to the stb codecs, whose implementation is compiled (with static linkage)
// in StbImpl.cpp alone. Nothing here touches the codecs' global settings, so every function may run on many
// threads at once.

#include <cstddef>
#include <cstdio>
#include <memory>

namespace kesto::detail {

// Releases a pixel buffer made by the decoder.
struct StbImageFree {
    void operator()(unsigned char* pixels) const noexcept;
};
using StbPixels = std::unique_ptr<unsigned char, StbImageFree>;

// Releases an encoded buffer made by the PNG writer.
struct StbWriteFree {
    void operator()(unsigned char* bytes) const noexcept;
};
using StbEncoded = std::unique_ptr<unsigned char, StbWriteFree>;

struct StbHeader {
    int width = 0;
    int height = 0;
    int channels = 0; // channels stored in the file, not the ones asked for
};

// Reads only the header of the image at the current position of `file` and puts the position back.
// Returns false when the data is not an image the decoder accepts (or exceeds its side limit).
bool stb_info_from_file(std::FILE* file, StbHeader& header);

// Decodes the image at the current position of `file` with exactly `channels` 8-bit channels per pixel,
// rows top first, no row padding. Null on failure.
StbPixels stb_load_from_file(std::FILE* file, int channels, StbHeader& header);

// Largest single allocation the decoder asked for on the calling thread since the last reset; lets tests
// show that refused headers cost no pixel buffer.
std::size_t stb_decoder_peak_request_bytes() noexcept;
void stb_reset_decoder_peak_request() noexcept;

// PNG file in memory; rows start at pixels + y * stride_bytes. Null on failure, else `size_bytes` is set.
StbEncoded stb_write_png_to_mem(const unsigned char* pixels, int stride_bytes, int width, int height, int channels,
                                int& size_bytes);

} // namespace kesto::detail
