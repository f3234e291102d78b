// The built module exports exactly the two OpenFX entry points, and so does the same module built against
// headers whose OfxExport carries no visibility, as the standard's ofxCore.h defines it on Linux.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

// The dynamic symbols the module defines, as `nm -D --defined-only` lists them ("address type name").
std::set<std::string> definedDynamicSymbols(const std::string &path) {
  std::set<std::string> names;
  FILE *nm = ::popen(("nm -D --defined-only '" + path + "'").c_str(), "r");
  if (nm == nullptr) return names;
  char name[256];
  for (char line[512]; std::fgets(line, sizeof line, nm) != nullptr;) {
    if (std::sscanf(line, "%*s %*s %255s", name) == 1) names.insert(name);
  }
  EXPECT_EQ(0, ::pclose(nm)) << path;
  return names;
}

TEST(ModuleExports, OnlyTheTwoOpenFxEntryPointsWhicheverHeaderDefinesOfxExport) {
  for (const std::string &path : {std::string(TREVANE_BUNDLE_DIR) + "/Contents/Linux-x86-64/OrvalisTrevane.ofx",
                                  std::string(EXTERN_EXPORT_MODULE)}) {
    EXPECT_EQ((std::set<std::string>{"OfxGetNumberOfPlugins", "OfxGetPlugin"}), definedDynamicSymbols(path)) << path;
  }
}

TEST(ModuleExports, BundleHoldsTheIcon) {
  std::ifstream in(std::string(TREVANE_BUNDLE_DIR) + "/Contents/Resources/com.orvalis.trevane.ofx.png", std::ios::binary);
  const std::string head(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(0u, head.rfind("\x89PNG\r\n\x1a\n", 0));
}

}  // namespace
