#pragma once
// The job the plug-in asks for, parsed and validated: what an engine works from. Coordinates are normalised to the frame: x from 0 (left)
// to 1 (right), y from 0 (top) to 1 (bottom); frames arrive upright, top row first.

#include <optional>
#include <string>
#include <vector>

namespace kesto::backend {

enum class Quality { Fast, Fine };

struct NormBox {
  double x = 0.0;
  double y = 0.0;
  double w = 0.0;
  double h = 0.0;
};

// A brush dab: centre (x, y) and radius |r| as a fraction of the frame width. r > 0 adds to the
// character, r <= 0 excludes (a zero radius never comes from drawing and counts as excluding).
struct BrushDab {
  double x = 0.0;
  double y = 0.0;
  double r = 0.0;
  bool adds() const { return r > 0.0; }
};

struct JobRequest {
  int anchor_frame = 0;
  Quality quality = Quality::Fine;
  double edge_softness = 0.0;  // 0 (hard edge) .. 1 (widest feather)
  std::optional<NormBox> bbox;
  std::vector<BrushDab> strokes;
  std::string text_prompt;

  bool has_drawing() const { return bbox.has_value() || !strokes.empty(); }
};

}  // namespace kesto::backend
