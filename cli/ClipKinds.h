#pragma once
// The two kinds of clip openClip tells apart. Private to cli/.

#include <filesystem>
#include <memory>

#include "cli/ClipSource.h"

namespace trevane::cli {

// A folder or a numbered pattern of image files, through OpenImageIO.
std::unique_ptr<ClipSource> openImageSequence(const ClipRequest &request);

// Whether the file's extension is one of a still-image format OpenImageIO reads (not a movie format).
bool isImageFile(const std::filesystem::path &path);

// A video file, through OpenCV's FFmpeg capture.
std::unique_ptr<ClipSource> openVideo(const ClipRequest &request);

}  // namespace trevane::cli
