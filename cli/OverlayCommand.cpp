// trevane overlay: draws the plug-in's viewer overlay (selection box and brush dabs) over a frame, as a viewer
// at 1:1 zoom would show it, and writes the picture as a PNG file.
//
// The frame is the project: size = frame size, offset (0, 0), so canonical (x, y) is pixel
// (x, height - 1 - y). The overlay's GL calls bind to the recording library linked into this tool; the
// recording is then painted over the frame by the software rasteriser.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cli/Cli.h"
#include "cli/ParamSettings.h"
#include "cli/PluginInstance.h"
#include "glrecord/Raster.h"
#include "glrecord/Recording.h"
#include "host/Host.h"
#include "image/RgbaFile.h"

namespace trevane::cli {
namespace {

namespace rec = kesto::glrecord;

std::size_t countMode(const std::vector<rec::Primitive> &list, rec::Mode mode) {
  std::size_t n = 0;
  for (const rec::Primitive &p : list) n += p.mode == mode ? 1 : 0;
  return n;
}

}  // namespace

int runOverlay(Args &args) {
  const std::optional<std::string> input = args.value("input");
  const std::optional<std::string> output = args.value("output");
  const std::vector<ParamSetting> settings = parseParamSettings(args.values("set"));
  const std::string bundle = args.value("bundle").value_or(defaultBundlePath());
  args.finish();
  const std::string inputPath = requiredValue(input, "--input FRAME");
  const std::string outputPath = requiredValue(output, "--output PNG");

  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> frame = kesto::load_rgba(inputPath, &width, &height);
  if (frame.empty()) {
    std::fprintf(stderr, "trevane overlay: cannot read the frame '%s' (not a readable PNG or JPEG of a usable size)\n",
                 inputPath.c_str());
    return kExitUsage;
  }

  host::Host host;
  host::InstanceOptions options;
  options.projectWidth = width;
  options.projectHeight = height;
  // Drawing needs no backend: an instance made with an empty backend URL starts no usage beacon, so the tool
  // neither touches the network nor exits while a beacon thread is still running.
  options.savedValues.push_back({"backend_url", std::string()});
  const std::optional<PluginInstance> made = loadPluginInstance(host, bundle, options, "overlay");
  if (!made) return kExitJobFailed;
  host::Instance &fx = *made->instance;
  // The overlay only draws while "Edit selection in viewer" is on; a --set may still turn it off.
  if (auto on = fx.setInt("draw_mask", 1); !on.ok()) {
    std::fprintf(stderr, "trevane overlay: cannot switch the overlay on: %s\n", on.error().c_str());
    return kExitJobFailed;
  }
  for (const ParamSetting &s : settings) applyParamSetting(*made->plugin, fx, s);

  auto overlay = fx.createOverlay();
  if (!overlay.ok()) {
    std::fprintf(stderr, "trevane overlay: %s\n", overlay.error().c_str());
    return kExitJobFailed;
  }
  rec::clear();
  const OfxStatus drawn = (*overlay)->draw();
  const std::vector<rec::Primitive> primitives = rec::takePrimitives();
  if (drawn != kOfxStatOK && drawn != kOfxStatReplyDefault) {
    std::fprintf(stderr, "trevane overlay: the draw action failed (status %d)\n", drawn);
    return kExitJobFailed;
  }

  rec::Canvas canvas{width, height, std::move(frame)};
  rec::rasterise(primitives, canvas);
  if (!kesto::write_png_file(outputPath, canvas.rgba.data(), width, height, 4)) {
    std::fprintf(stderr, "trevane overlay: cannot write '%s'\n", outputPath.c_str());
    return kExitJobFailed;
  }
  std::printf("%s: %dx%d frame, %zu box outline(s), %zu dab(s)%s\n", outputPath.c_str(), width, height,
              countMode(primitives, rec::Mode::LineLoop), countMode(primitives, rec::Mode::TriangleFan),
              drawn == kOfxStatReplyDefault ? " (overlay off: nothing drawn)" : "");
  return kExitOk;
}

}  // namespace trevane::cli
