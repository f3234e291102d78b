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
  if (!input) throw UsageError("--input FRAME is required (see --help)");
  if (!output) throw UsageError("--output PNG is required (see --help)");

  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> frame = kesto::load_rgba(*input, &width, &height);
  if (frame.empty()) {
    std::fprintf(stderr, "trevane overlay: cannot read the frame '%s' (not a readable PNG or JPEG of a usable size)\n",
                 input->c_str());
    return kExitUsage;
  }

  host::Host host;
  host::LoadResult loaded = host.load(bundle);
  if (!loaded.ok()) {
    std::fprintf(stderr, "trevane overlay: cannot load the plug-in from '%s': %s\n", bundle.c_str(),
                 loaded.error.c_str());
    return kExitJobFailed;
  }
  host::InstanceOptions options;
  options.projectWidth = width;
  options.projectHeight = height;
  // Drawing needs no backend: an instance made with an empty backend URL starts no usage beacon, so the tool
  // neither touches the network nor exits while a beacon thread is still running.
  options.savedValues.push_back({"backend_url", std::string()});
  auto made = loaded.plugin->createInstance(options);
  if (!made.ok()) {
    std::fprintf(stderr, "trevane overlay: the plug-in refused to make an instance: %s\n", made.error().c_str());
    return kExitJobFailed;
  }
  host::Instance &fx = **made;
  // The overlay only draws while "Edit selection in viewer" is on; a --set may still turn it off.
  if (auto on = fx.setInt("draw_mask", 1); !on.ok()) {
    std::fprintf(stderr, "trevane overlay: cannot switch the overlay on: %s\n", on.error().c_str());
    return kExitJobFailed;
  }
  for (const ParamSetting &s : settings) applyParamSetting(*loaded.plugin, fx, s);

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
  if (!kesto::write_png_file(*output, canvas.rgba.data(), width, height, 4)) {
    std::fprintf(stderr, "trevane overlay: cannot write '%s'\n", output->c_str());
    return kExitJobFailed;
  }
  std::printf("%s: %dx%d frame, %zu box outline(s), %zu dab(s)%s\n", output->c_str(), width, height,
              countMode(primitives, rec::Mode::LineLoop), countMode(primitives, rec::Mode::TriangleFan),
              drawn == kOfxStatReplyDefault ? " (overlay off: nothing drawn)" : "");
  return kExitOk;
}

}  // namespace trevane::cli
