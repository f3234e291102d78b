// trevane: runs the Orvalis Trevane plug-in without an editor, through the project's in-process host.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cli/Cli.h"

namespace {

using trevane::cli::Command;

constexpr Command kCommands[] = {
    {"describe", "print what the plug-in declares to a host",
     "usage: trevane describe [--json] [--bundle DIR]\n"
     "  Loads the plug-in and prints its record, the effect's properties, the clips and the parameters\n"
     "  with every property the plug-in set, in the order it set them.\n"
     "  --json        print one JSON document instead of text\n"
     "  --bundle DIR  the OrvalisTrevane.ofx.bundle folder (default: the build tree's, else OFX_PLUGIN_PATH,\n"
     "                else /usr/OFX/Plugins)\n",
     trevane::cli::runDescribe},
    {"overlay", "draw the selection overlay over a frame into a PNG",
     "usage: trevane overlay --input FRAME --output PNG [--set NAME=VALUE]... [--bundle DIR]\n"
     "  Draws what the plug-in's viewer overlay shows (the selection box with its corner handles, and the\n"
     "  brush dabs: cyan adds, red excludes) over a frame, as a viewer at 1:1 zoom would, into a PNG file.\n"
     "  The frame is the project: its size is the project size, the offset is 0, and canonical (x, y) is\n"
     "  pixel (x, height - 1 - y). \"Edit selection in viewer\" (draw_mask) is switched on first. The\n"
     "  instance is made with an empty backend URL, so nothing is sent over the network.\n"
     "  --input FRAME      the frame: a PNG or JPEG file\n"
     "  --output PNG       the picture to write (RGBA PNG, the frame's size)\n"
     "  --set NAME=VALUE   a parameter value set as a user edit before drawing, in order; may repeat. The\n"
     "                     selection lives in bbox_json, a box in normalised project coordinates (x, y of the\n"
     "                     top-left corner, w, h; y runs downwards), and brush_json, a list of [x, y, r] dabs\n"
     "                     with r > 0 adding and r < 0 excluding, |r| a fraction of the width. Example:\n"
     "                       --set 'bbox_json={\"x\":0.1,\"y\":0.05,\"w\":0.6,\"h\":0.9}'\n"
     "                       --set 'brush_json=[[0.4,0.6,0.04],[0.8,0.85,-0.05]]'\n"
     "  --bundle DIR       the OrvalisTrevane.ofx.bundle folder (default: the build tree's, else\n"
     "                     OFX_PLUGIN_PATH, else /usr/OFX/Plugins)\n"
     "  Exit status: 0 when the picture was written, 1 when the plug-in or the output failed, 2 for bad\n"
     "  usage or an unreadable frame.\n",
     trevane::cli::runOverlay},
    {"render", "render an image sequence through the plug-in into a PNG sequence",
     "usage: trevane render --input SEQUENCE --output SEQUENCE [--set NAME=VALUE]... [--depth byte|float]\n"
     "                      [--first N] [--last N] [--rate FPS] [--threads N] [--bundle DIR]\n"
     "  Loads the plug-in, sets the parameters, and renders every frame of the input through it into PNG\n"
     "  files. Frame number N of the input is given to the plug-in at time N and written as frame N.\n"
     "  --input SEQUENCE   a folder (every *.png in it, sorted by name, numbered 0, 1, 2... by position) or a\n"
     "                     numbered pattern such as frames/%06d.png (%d, %Nd or %0Nd; %% for a '%'), whose\n"
     "                     frames are the numbers with a file. PNG or JPEG content, RGBA or not.\n"
     "  --output SEQUENCE  a numbered pattern such as out/%06d.png, or a folder (made if missing; files named\n"
     "                     000000.png, 000001.png... by frame number). Never one of the input files.\n"
     "  --set NAME=VALUE   a parameter value set as a user edit before rendering, in order; may repeat.\n"
     "                     Strings as given, choices by index, numbers as text. To apply a pulled matte:\n"
     "                       --set session_id=SESSION --set clip_start=0 --set output_mode=0\n"
     "                     session_id names /tmp/orvalis/SESSION/ holding one gray PNG per frame (000000.png\n"
     "                     for the frame at time clip_start); output_mode 0 = character (RGBA, colour\n"
     "                     premultiplied by the matte), 1 = matte only, 2 = source (bypass).\n"
     "  --depth byte|float the pixel depth of both clips (default byte); float frames are written back to\n"
     "                     8-bit PNG clamped to [0, 1].\n"
     "  --first N          the first frame number to render (default: the first found)\n"
     "  --last N           the last frame number to render (default: the last found); every frame from\n"
     "                     first to last must exist\n"
     "  --rate FPS         the clip's frame rate as the plug-in sees it (default 25)\n"
     "  --threads N        frames rendered at once on N threads (default 1, at most 64)\n"
     "  --bundle DIR       the OrvalisTrevane.ofx.bundle folder (default: the build tree's, else\n"
     "                     OFX_PLUGIN_PATH, else /usr/OFX/Plugins)\n"
     "  Prints each file written (a progress bar on a terminal).\n"
     "  Exit status: 0 when every frame was written, 1 when the plug-in failed to render a frame or a file\n"
     "  could not be written, 2 for bad usage or an unreadable or missing input frame.\n",
     trevane::cli::runRender},
    {"pull", "pull the character's matte for a whole clip and render it",
     "usage: trevane pull --input SEQUENCE --output SEQUENCE (--box X,Y,W,H | --dab X,Y,R ... | --hint TEXT)\n"
     "                    [--quality fine|fast] [--softness S] [--anchor FRAME] [--mode rgba|matte|source]\n"
     "                    [--backend URL | --engine classical|trivial] [--contact-sheet FILE.png] [...]\n"
     "  Loads the image sequence as the clip, marks the character, presses \"Pull alpha (whole clip)\",\n"
     "  follows \"Status\" until the matte is ready, then renders every frame into the output sequence.\n"
     "  --input SEQUENCE    a folder of PNG files (numbered by position from 0), or a pattern with one\n"
     "                      frame number such as frames/%06d.png (PNG or JPEG files)\n"
     "  --output SEQUENCE   a folder (frame N written as N in six digits + .png) or a numbered pattern\n"
     "  --box X,Y,W,H       the character's box in normalised coordinates: 0 to 1 from the top-left corner\n"
     "  --dab X,Y,R         a brush dab at (X, Y) with radius R as a fraction of the width; R > 0 adds to the\n"
     "                      selection, R < 0 excludes; repeat for more dabs\n"
     "  --hint TEXT         a short description of the character, used when nothing is drawn\n"
     "  --quality fine|fast fine edges (default) or fast\n"
     "  --softness S        edge softness from 0 to 1 (default 0.35)\n"
     "  --anchor FRAME      the frame number the selection was drawn on (default: the first frame)\n"
     "  --mode MODE         rgba: the character with the matte as alpha (default); matte: the matte alone;\n"
     "                      source: the untouched source\n"
     "  --backend URL       the matting backend's base URL; without it the reference backend\n"
     "                      (trevane-backend) is started on a free loopback port and stopped at the end\n"
     "  --engine NAME       the embedded backend's engine: classical (default) or trivial (a luminance\n"
     "                      threshold, for quick checks)\n"
     "  --backend-exe FILE  the trevane-backend executable (default: beside trevane, or on PATH)\n"
     "  --contact-sheet F   also write a PNG with source, matte and cut-out over a checkerboard for a few frames\n"
     "  --depth byte|float  the pixel depth of both clips (default byte)\n"
     "  --rate FPS          the clip's frame rate (default 25)\n"
     "  --timeout SECONDS   give up when no result came in this time (default 6 hours)\n"
     "  --bundle DIR        the OrvalisTrevane.ofx.bundle folder (default: the build tree's, else\n"
     "                      OFX_PLUGIN_PATH, else /usr/OFX/Plugins)\n"
     "  Shows the job's progress (a bar on a terminal, plain lines otherwise).\n"
     "  Exit status: 0 when the output was written, 1 when the job failed (its \"failed: ...\" text is\n"
     "  printed) or the output could not be written, 2 for bad usage or bad input.\n",
     trevane::cli::runPull},
};

void printUsage(FILE *out) {
  std::fprintf(out, "usage: trevane COMMAND [OPTIONS]   (trevane COMMAND --help for details)\n\ncommands:\n");
  for (const Command &c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    printUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? trevane::cli::kExitUsage : trevane::cli::kExitOk;
  }
  for (const Command &command : kCommands) {
    if (std::strcmp(argv[1], command.name) != 0) continue;
    std::vector<std::string> rest(argv + 2, argv + argc);
    for (const std::string &a : rest) {
      if (a == "--help" || a == "-h") {
        std::fputs(command.usage, stdout);
        return trevane::cli::kExitOk;
      }
    }
    try {
      trevane::cli::Args args(rest);
      return command.run(args);
    } catch (const trevane::cli::UsageError &e) {
      std::fprintf(stderr, "trevane %s: %s\n", command.name, e.what());
      return trevane::cli::kExitUsage;
    } catch (const std::exception &e) {
      std::fprintf(stderr, "trevane %s: %s\n", command.name, e.what());
      return trevane::cli::kExitJobFailed;
    }
  }
  std::fprintf(stderr, "trevane: unknown command '%s' (see trevane --help)\n", argv[1]);
  return trevane::cli::kExitUsage;
}
