#include "plugin/SourceFrames.h"

#include <cstring>
#include <utility>

#include "plugin/HostSuites.h"

namespace kesto {
namespace {

constexpr int kBoundsCount = 4;

// An image fetched from a clip, handed back to the host when it goes out of scope.
class ClipImage {
 public:
  explicit ClipImage(OfxPropertySetHandle handle) : handle_(handle) {}
  ~ClipImage() {
    if (handle_ != nullptr) gEffect->clipReleaseImage(handle_);
  }
  ClipImage(const ClipImage &) = delete;
  ClipImage &operator=(const ClipImage &) = delete;

  OfxPropertySetHandle get() const { return handle_; }

 private:
  OfxPropertySetHandle handle_;
};

// What the host refuses keeps its preset: no pixels, empty bounds, byte depth.
SourceImage describe(OfxPropertySetHandle image) {
  SourceImage source;
  void *data = nullptr;
  gProp->propGetPointer(image, kOfxImagePropData, 0, &data);
  int bounds[kBoundsCount] = {0, 0, 0, 0};
  if (gProp->propGetIntN(image, kOfxImagePropBounds, kBoundsCount, bounds) != kOfxStatOK) {
    bounds[0] = bounds[1] = bounds[2] = bounds[3] = 0;
  }
  int rowBytes = 0;
  gProp->propGetInt(image, kOfxImagePropRowBytes, 0, &rowBytes);
  char *depth = nullptr;
  gProp->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth);
  source.bottomRow = data;
  source.width = static_cast<std::int64_t>(bounds[2]) - bounds[0];
  source.height = static_cast<std::int64_t>(bounds[3]) - bounds[1];
  source.rowBytes = rowBytes;
  source.isFloat = depth != nullptr && std::strcmp(depth, kOfxBitDepthFloat) == 0;
  return source;
}

}  // namespace

std::optional<RgbaFrame> fetch_source_frame(OfxImageEffectHandle effect, OfxTime time) {
  OfxImageClipHandle clip = nullptr;
  gEffect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &clip, nullptr);
  if (clip == nullptr) return std::nullopt;
  OfxPropertySetHandle handle = nullptr;
  if (gEffect->clipGetImage(clip, time, nullptr, &handle) != kOfxStatOK || handle == nullptr) return std::nullopt;
  const ClipImage image(handle);
  const SourceImage source = describe(image.get());
  if (!source_image_readable(source)) return std::nullopt;
  return resample_upright(source);
}

}  // namespace kesto
