#include "cli/ClipSource.h"

#include <filesystem>
#include <system_error>

#include <OpenImageIO/imageio.h>

#include "cli/Cli.h"
#include "cli/ClipKinds.h"

namespace trevane::cli {

std::unique_ptr<ClipSource> openClip(const ClipRequest &request) {
  // A '.png' that is no PNG is an unreadable frame, not a riddle for every other reader to try.
  OIIO::attribute("try_all_readers", 0);
  std::error_code ec;
  if (std::filesystem::is_regular_file(request.input, ec)) {
    if (isImageFile(request.input)) {
      throw UsageError("--input: '" + request.input + "' is a single image; give its folder or a numbered pattern "
                       "such as frames/%04d.exr");
    }
    return openVideo(request);
  }
  return openImageSequence(request);
}

host::Image readImageFile(const std::string &path, host::PixelDepth depth) {
  OIIO::attribute("try_all_readers", 0);
  const OIIO::ImageSpec config = readConfig();
  OIIO::ImageBuf file(path, 0, 0, nullptr, &config);
  if (!file.read(0, 0, true)) throw UsageError("cannot read '" + path + "': " + oneLine(file.geterror()));
  const FrameSize size{file.spec().width, file.spec().height};
  return clipFrame(file, file.spec().alpha_channel, size, depth);
}

}  // namespace trevane::cli
