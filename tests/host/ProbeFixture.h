#pragma once
// Loads the HostProbe bundle; its State counters are process-wide, so tests compare before and after.

#include <gtest/gtest.h>

#include "HostProbeState.h"
#include "host/Host.h"

namespace th = trevane::host;

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loaded_ = host_.load(HOST_PROBE_BUNDLE);
    ASSERT_TRUE(loaded_.ok()) << loaded_.error;
    auto stateFn = reinterpret_cast<host_probe::State *(*)()>(loaded_.plugin->symbol("HostProbeState"));
    ASSERT_NE(stateFn, nullptr);
    state_ = stateFn();
  }

  std::unique_ptr<th::Instance> make_instance(const th::InstanceOptions &options = {}) {
    auto made = loaded_.plugin->createInstance(options);
    EXPECT_TRUE(made.ok()) << made.error();
    return made.ok() ? std::move(*made) : nullptr;
  }

  th::Plugin &plugin() { return *loaded_.plugin; }

  th::Host host_;
  th::LoadResult loaded_;
  host_probe::State *state_ = nullptr;
};

// A frame whose pixel (x, y) encodes its position, so misplaced rows or columns show.
inline th::Image pattern(OfxRectI bounds, th::PixelDepth depth, th::RowOrder order) {
  th::Image image = th::Image::make(bounds, depth, order);
  for (int y = bounds.y1; y < bounds.y2; ++y) {
    for (int x = bounds.x1; x < bounds.x2; ++x) {
      image.setPixel(x, y, th::Rgba{float(x - bounds.x1) / 255.0F, float(y - bounds.y1) / 255.0F, 0.5F, 1.0F});
    }
  }
  return image;
}
