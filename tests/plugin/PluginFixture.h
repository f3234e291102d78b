#pragma once
// Loads the built OrvalisTrevane bundle into the in-process host.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/Host.h"

namespace th = kesto::host;

// The properties a plug-in set on `set`, in the order made, as text; a pointer shows only that it was set.
inline std::vector<std::string> written(const th::PropertySet &set) {
  std::vector<std::string> out;
  for (const th::PropertyValue &p : set.pluginSetOrder()) {
    const bool pointer = p.type == th::PropType::Pointer;
    out.push_back(pointer ? p.name + (p.pointers.size() == 1 && p.pointers[0] != nullptr ? " set" : " unset") : p.toString());
  }
  return out;
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loaded_ = host_.load(TREVANE_BUNDLE_DIR);
    ASSERT_TRUE(loaded_.ok()) << loaded_.error;
  }

  th::Plugin &plugin() { return *loaded_.plugin; }

  std::unique_ptr<th::Instance> makeInstance(const th::InstanceOptions &options = {}) {
    auto made = plugin().createInstance(options);
    EXPECT_TRUE(made.ok()) << made.error();
    return made.ok() ? std::move(*made) : nullptr;
  }

  th::Host host_;
  th::LoadResult loaded_;
};
