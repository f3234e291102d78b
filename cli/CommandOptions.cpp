#include "cli/CommandOptions.h"

#include "cli/Cli.h"
#include "options/CommandLine.h"

namespace trevane::cli {

void addBundleOption(CLI::App &app, std::string &bundle) {
  bundle = defaultBundlePath();
  app.add_option("--bundle", bundle, "the OrvalisTrevane.ofx.bundle folder (default: the build tree's, else on "
                                     "OFX_PLUGIN_PATH, else /usr/OFX/Plugins)")
      ->type_name("DIR");
}

void addSetOption(CLI::App &app, std::vector<ParamSetting> &settings) {
  app.add_option_function<std::vector<std::string>>(
         "--set", [&settings](const std::vector<std::string> &texts) { settings = parseParamSettings(texts); },
         "a parameter value set as a user edit, in order; may repeat. Strings as given, choices by index, numbers "
         "as text")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false)
      ->check(CLI::Validator(
          [](const std::string &text) {
            const std::size_t eq = text.find('=');
            return eq == std::string::npos || eq == 0 ? "'" + text + "' is not NAME=VALUE" : std::string();
          },
          ""));
}

void addClipOptions(CLI::App &app, ClipOptions &o) {
  app.add_option("--input", o.request.input,
                 "the clip: a video file (MP4, MOV, MKV, AVI, ... as FFmpeg decodes it), a folder of image files "
                 "(numbered by the number in their names, else by their order), or a pattern with a frame number "
                 "such as shots/a.%04d.exr, shots/a.####.exr or shots/a.@.exr. EXR, DPX, TIFF, PNG, JPEG and every "
                 "other format OpenImageIO reads; 8-bit, 16-bit, half or float")
      ->type_name("CLIP")
      ->required();
  app.add_option("--output", o.output,
                 "a pattern such as out/a.%04d.exr whose extension names the format (.exr, .png, .tif, .dpx, "
                 ".jpg), or a folder: the input's file names there, in the input's format if it keeps alpha, else PNG "
                 "(a video: six-digit names). Frames keep the input's numbers. Never one of the input files")
      ->type_name("SEQUENCE")
      ->required();
  app.add_option("--first", o.request.first,
                 "the first frame, by its own number: the file's number, 0-based in a video (default: the first)")
      ->type_name("N")
      ->check(kesto::options::within(0, kMaxFrameNumber));
  app.add_option("--last", o.request.last,
                 "the last frame (default: the last); every frame from first to last must exist")
      ->type_name("N")
      ->check(kesto::options::within(0, kMaxFrameNumber));
  addChoice<host::PixelDepth>(app, "--depth", o.request.depth,
                              {{"byte", host::PixelDepth::Byte}, {"float", host::PixelDepth::Float}},
                              "the pixel depth of both clips; input is converted once on reading, and at float "
                              "nothing is clamped on the way to the output");
  app.add_option_function<std::string>(
         "--proxy", [&o](const std::string &text) { o.request.proxy = ProxyScale::parse(text); },
         "scale the input down on reading, to W pixels wide or by a fraction such as 0.5, for a quick pull")
      ->type_name("W|F");
  app.add_option("--rate", o.rateFps, "the clip's frame rate (default: the video's or the files' own, else 25)")
      ->type_name("FPS")
      ->check(kesto::options::numberAbove(0.0));
  app.add_flag("--exr-float", o.exrFloat, "EXR files in 32-bit float rather than half");
}

host::InstanceOptions clipInstanceOptions(host::PixelDepth depth, FrameSize size, double rateFps) {
  host::InstanceOptions options;
  options.depth = depth;
  options.projectWidth = size.width;
  options.projectHeight = size.height;
  options.frameRate = rateFps;
  options.interactive = false;
  return options;
}

}  // namespace trevane::cli
