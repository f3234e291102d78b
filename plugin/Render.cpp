// Render action: fetches the source and output images and the frame's matte, checks that the images can be
// written safely, and hands the pixel work to composite_matte. It degrades instead of failing: no session, a
// frame before the clip start, a missing matte or bypass mode all give the source unchanged.

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "ofxImageEffect.h"
#include "plugin/FrameIndex.h"
#include "plugin/HostSuites.h"
#include "plugin/MatteComposite.h"
#include "plugin/MatteStore.h"
#include "plugin/Params.h"
#include "plugin/PluginPrivate.h"
#include "plugin/SessionId.h"

namespace kesto {
namespace {

constexpr int kOutputModeMatteOnly = 1;
constexpr int kOutputModeBypass = 2;
constexpr int kBoundsCount = 4;

// One image fetched from a clip, handed back to the host when it goes out of scope, on every path.
class HostImage {
 public:
  HostImage() = default;
  explicit HostImage(OfxPropertySetHandle handle) : handle_(handle) {}
  HostImage(HostImage &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  HostImage(const HostImage &) = delete;
  HostImage &operator=(const HostImage &) = delete;
  HostImage &operator=(HostImage &&) = delete;
  ~HostImage() { release(); }

  OfxPropertySetHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  void release() noexcept {
    if (handle_ != nullptr) gEffect->clipReleaseImage(handle_);
    handle_ = nullptr;
  }

 private:
  OfxPropertySetHandle handle_ = nullptr;
};

// The image of clip `clipName` at `time`, or none when the clip or the image cannot be had.
HostImage fetchImage(OfxImageEffectHandle effect, const char *clipName, OfxTime time) {
  OfxImageClipHandle clip = nullptr;
  gEffect->clipGetHandle(effect, clipName, &clip, nullptr);
  if (clip == nullptr) return {};
  OfxPropertySetHandle image = nullptr;
  if (gEffect->clipGetImage(clip, time, nullptr, &image) != kOfxStatOK) return {};
  return HostImage(image);
}

struct ImageLayout {
  void *data = nullptr;
  int rowBytes = 0;
  PixelRect bounds;
  PixelDepth depth = PixelDepth::Byte;
};

// Reads the layout properties; what the host refuses keeps its preset (null, 0, empty bounds, byte depth).
ImageLayout readLayout(OfxPropertySetHandle image) {
  ImageLayout layout;
  gProp->propGetPointer(image, kOfxImagePropData, 0, &layout.data);
  gProp->propGetInt(image, kOfxImagePropRowBytes, 0, &layout.rowBytes);
  int bounds[kBoundsCount] = {0, 0, 0, 0};
  if (gProp->propGetIntN(image, kOfxImagePropBounds, kBoundsCount, bounds) == kOfxStatOK) {
    layout.bounds = PixelRect{bounds[0], bounds[1], bounds[2], bounds[3]};
  }
  char *depth = nullptr;
  gProp->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth);
  if (depth != nullptr && std::strcmp(depth, kOfxBitDepthFloat) == 0) layout.depth = PixelDepth::Float;
  return layout;
}

bool isEmpty(const PixelRect &r) { return r.x2 <= r.x1 || r.y2 <= r.y1; }

// Whether every pixel inside the bounds can be addressed: a data pointer, and rows that do not overlap.
bool addressable(const ImageLayout &layout, PixelDepth depth) {
  if (isEmpty(layout.bounds)) return true;
  return layout.data != nullptr && rows_fit(layout.rowBytes, layout.bounds, depth);
}

// The frame's matte, or null when there is none to apply.
SharedMatte frameMatte(OfxImageEffectHandle effect, int outputMode, OfxTime time) {
  if (outputMode == kOutputModeBypass) return nullptr;
  const std::string session = get_string(effect, param::kSessionId);
  // An id that is not one plain folder name (a hand-edited project, say) must not lead the read elsewhere.
  if (!is_safe_session_id(session)) return nullptr;
  const double clipStart = parse_clip_start(get_string(effect, param::kClipStart));
  const std::optional<std::int32_t> frame = matte_frame_index(time, clipStart);
  if (!frame) return nullptr;
  return fetch_matte(matte_path(session, *frame));
}

}  // namespace

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  OfxTime time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);

  HostImage source = fetchImage(effect, kOfxImageEffectSimpleSourceClipName, time);
  if (!source) return kOfxStatFailed;
  HostImage output = fetchImage(effect, kOfxImageEffectOutputClipName, time);
  if (!output) return kOfxStatFailed;

  const ImageLayout src = readLayout(source.get());
  const ImageLayout dst = readLayout(output.get());
  // Both images are walked with one pixel size, and neither may be read or written outside its rows.
  if (src.depth != dst.depth || !addressable(src, dst.depth) || !addressable(dst, dst.depth)) {
    return kOfxStatFailed;
  }

  const int outputMode = get_int(effect, param::kOutputMode, 0);
  const SharedMatte matte = frameMatte(effect, outputMode, time);
  const MatteMode mode = outputMode == kOutputModeMatteOnly ? MatteMode::MatteOnly : MatteMode::Character;

  composite_matte(ConstImageView{src.data, src.rowBytes, src.bounds}, ImageView{dst.data, dst.rowBytes, dst.bounds},
                  dst.depth, matte.get(), mode);

  source.release();
  output.release();
  return kOfxStatOK;
}

}  // namespace kesto
