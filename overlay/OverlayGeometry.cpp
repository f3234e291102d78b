// Geometry of the box outline, its corner handles and the dab discs.

#include "overlay/OverlayGeometry.h"

#include <cmath>

namespace kesto {
namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

std::array<CanonicalPoint, 4> handle_square(CanonicalPoint centre) {
  const double half = kHandleSideCanonical / 2.0;
  return {{{centre.x - half, centre.y - half},
           {centre.x + half, centre.y - half},
           {centre.x + half, centre.y + half},
           {centre.x - half, centre.y + half}}};
}

}  // namespace

BoxGeometry box_geometry(const Space &space, const BoxRecord &box) {
  const CanonicalPoint a = to_canonical(space, {box.x, box.y});
  const CanonicalPoint b = to_canonical(space, {box.x + box.w, box.y + box.h});
  BoxGeometry geometry;
  geometry.outline = {{{a.x, a.y}, {b.x, a.y}, {b.x, b.y}, {a.x, b.y}}};
  geometry.handles = {{handle_square({a.x, a.y}), handle_square({a.x, b.y}), handle_square({b.x, a.y}),
                       handle_square({b.x, b.y})}};
  return geometry;
}

std::array<CanonicalPoint, kDiscFanVertices> dab_fan(const Space &space, const Dab &dab) {
  const CanonicalPoint centre = to_canonical(space, {dab.x, dab.y});
  const double radius = std::abs(dab.r) * space.width;
  std::array<CanonicalPoint, kDiscFanVertices> fan;
  fan[0] = centre;
  for (int k = 0; k < kDiscSegments; ++k) {
    const double theta = static_cast<double>(k) / kDiscSegments * kTwoPi;
    fan[static_cast<std::size_t>(k) + 1] = {centre.x + radius * std::cos(theta), centre.y + radius * std::sin(theta)};
  }
  // k = 20 is the angle 2 pi: repeat the first rim point exactly so the disc closes without a sliver.
  fan[kDiscFanVertices - 1] = fan[1];
  return fan;
}

OverlayColour dab_colour(const Dab &dab) { return dab.r > 0.0 ? kAddDabColour : kExcludeDabColour; }

}  // namespace kesto
