#pragma once
// Loads the built OrvalisTrevane bundle into the in-process host.

#include <gtest/gtest.h>

#include <memory>

#include "host/Host.h"

namespace th = kesto::host;

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
