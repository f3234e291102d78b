#pragma once
// Folder-private: what the overlay draws, as plain geometry in host canonical coordinates, so that it can be
// checked without a GL context. KestoOverlay.cpp only turns these into immediate-mode calls.

#include <array>

#include "overlay/SelectionRecords.h"

namespace kesto {

struct OverlayColour {
  float red;
  float green;
  float blue;
  float alpha;
};

inline constexpr OverlayColour kBoxColour{0.902f, 0.616f, 0.153f, 1.0f};
inline constexpr OverlayColour kAddDabColour{0.0f, 0.898f, 1.0f, 0.35f};
inline constexpr OverlayColour kExcludeDabColour{1.0f, 0.271f, 0.227f, 0.35f};

inline constexpr float kBoxLineWidthPixels = 1.5f;
// Corner handles: squares of this side, in canonical units whatever the viewer zoom.
inline constexpr double kHandleSideCanonical = 10.0;
// A dab is a fan of this many triangles: centre, then the rim closed on its first vertex.
inline constexpr int kDiscSegments = 20;
inline constexpr int kDiscFanVertices = kDiscSegments + 2;

struct BoxGeometry {
  // Closed outline: (Ax, Ay), (Bx, Ay), (Bx, By), (Ax, By); A is the record's (x, y), B its (x + w, y + h).
  std::array<CanonicalPoint, 4> outline;
  // One square per corner, in the order A, (Ax, By), (Bx, Ay), B; each listed (-,-), (+,-), (+,+), (-,+).
  std::array<std::array<CanonicalPoint, 4>, 4> handles;
};

BoxGeometry box_geometry(const Space &space, const BoxRecord &box);

// Triangle fan of a dab: the centre, then 21 rim points at angles k / 20 * 2 pi, k = 0..20. The radius is
// |r| * project width in both directions.
std::array<CanonicalPoint, kDiscFanVertices> dab_fan(const Space &space, const Dab &dab);

// Add colour for r > 0, exclude colour otherwise (r = 0 included).
OverlayColour dab_colour(const Dab &dab);

}  // namespace kesto
