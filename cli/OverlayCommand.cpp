// trevane overlay: draws the plug-in's viewer overlay (selection box and brush dabs) over a frame, as a viewer
// at 1:1 zoom would show it, and writes the picture.
//
// The frame is the project: size = frame size, offset (0, 0), so canonical (x, y) is pixel
// (x, height - 1 - y). The overlay's GL calls bind to the recording library linked into this tool; the
// recording is then painted over the frame by the software rasteriser.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/Cli.h"
#include "cli/ClipSource.h"
#include "cli/CommandOptions.h"
#include "cli/FrameOutput.h"
#include "cli/ParamSettings.h"
#include "cli/PluginInstance.h"
#include "glrecord/Raster.h"
#include "glrecord/Recording.h"
#include "host/Host.h"

namespace trevane::cli {
namespace {

namespace rec = kesto::glrecord;

std::size_t countMode(const std::vector<rec::Primitive> &list, rec::Mode mode) {
  std::size_t n = 0;
  for (const rec::Primitive &p : list) n += p.mode == mode ? 1 : 0;
  return n;
}

struct OverlayOptions {
  std::string input;
  std::string output;
  std::vector<ParamSetting> settings;
  std::string bundle;
};

int overlay(const OverlayOptions &o) {
  const host::Image picture = readImageFile(o.input, host::PixelDepth::Byte);
  const int width = picture.width();
  const int height = picture.height();
  std::vector<std::uint8_t> frame = picture.toRgba8TopDown();

  host::Host host;
  host::InstanceOptions options;
  options.projectWidth = width;
  options.projectHeight = height;
  // Drawing needs no backend: an instance made with an empty backend URL starts no usage beacon, so the tool
  // neither touches the network nor exits while a beacon thread is still running.
  options.savedValues.push_back({"backend_url", std::string()});
  const std::optional<PluginInstance> made = loadPluginInstance(host, o.bundle, options, "overlay");
  if (!made) return kExitJobFailed;
  host::Instance &fx = *made->instance;
  // The overlay only draws while "Edit selection in viewer" is on; a --set may still turn it off.
  if (auto on = fx.setInt("draw_mask", 1); !on.ok()) {
    std::fprintf(stderr, "trevane overlay: cannot switch the overlay on: %s\n", on.error().c_str());
    return kExitJobFailed;
  }
  for (const ParamSetting &s : o.settings) applyParamSetting(*made->plugin, fx, s);

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
  std::string error;
  if (!writePicture(canvas.rgba.data(), width, height, o.output, &error)) {
    std::fprintf(stderr, "trevane overlay: %s\n", error.c_str());
    return kExitJobFailed;
  }
  std::printf("%s: %dx%d frame, %zu box outline(s), %zu dab(s)%s\n", o.output.c_str(), width, height,
              countMode(primitives, rec::Mode::LineLoop), countMode(primitives, rec::Mode::TriangleFan),
              drawn == kOfxStatReplyDefault ? " (overlay off: nothing drawn)" : "");
  return kExitOk;
}

}  // namespace

CommandRun declareOverlay(CLI::App &command) {
  auto o = std::make_shared<OverlayOptions>();
  command.description(
      "Draws the selection overlay over a frame into a picture.\n"
      "Draws what the plug-in's viewer overlay shows (the selection box with its corner handles, and the brush "
      "dabs: cyan adds, red excludes) over a frame, as a viewer at 1:1 zoom would. The frame is the project: "
      "canonical (x, y) is pixel (x, height - 1 - y). \"Edit selection in viewer\" (draw_mask) is switched on "
      "first. The instance has no backend URL, so nothing is sent over the network.");
  command.add_option("--input", o->input, "the frame: an image file in any format OpenImageIO reads")
      ->type_name("FRAME")
      ->required();
  command.add_option("--output", o->output, "the picture to write, the frame's size (.png, .exr, .tif, .dpx, .jpg)")
      ->type_name("FILE")
      ->required()
      ->check(writableImageName());
  addSetOption(command, o->settings);
  addBundleOption(command, o->bundle);
  command.footer(
      "The selection lives in bbox_json, a box in normalised project coordinates (x, y of the top-left corner, w, "
      "h; y runs downwards), and brush_json, a list of [x, y, r] dabs with r > 0 adding and r < 0 excluding, |r| a "
      "fraction of the width:\n"
      "  --set 'bbox_json={\"x\":0.1,\"y\":0.05,\"w\":0.6,\"h\":0.9}' --set 'brush_json=[[0.4,0.6,0.04]]'\n"
      "Exit status: 0 when the picture was written, 1 when the plug-in or the output failed, 2 for bad usage or an "
      "unreadable frame.");
  return [o] { return overlay(*o); };
}

}  // namespace trevane::cli
