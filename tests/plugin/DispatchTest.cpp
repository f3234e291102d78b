// What a host sees of the plug-in's spine: the module's exports (exactly the two OpenFX entry points, also when
// built against headers whose OfxExport carries no visibility, as the standard's ofxCore.h defines it on Linux),
// what the effect declares (compared with the tables it must match in every detail), its action dispatch (the
// actions of the table are walked by every test of the plug-in), and a host that withholds a suite: the
// plug-in refuses to load without a core suite, and otherwise leaves out only what the missing suite serves,
// never calling through a null suite (the message suite: see the matte worker's tests; the interact suite:
// the overlay interact's).

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "PluginFixture.h"
#include "ofxImageEffect.h"

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

TEST(ModuleExports, OnlyTheTwoOpenFxEntryPointsWhicheverHeaderDefinesOfxExportAndTheBundleHoldsTheIcon) {
  for (const std::string &path : {std::string(TREVANE_BUNDLE_DIR) + "/Contents/Linux-x86-64/OrvalisTrevane.ofx",
                                  std::string(EXTERN_EXPORT_MODULE)}) {
    EXPECT_EQ((std::set<std::string>{"OfxGetNumberOfPlugins", "OfxGetPlugin"}), definedDynamicSymbols(path)) << path;
  }
  // The bundle holds the icon.
  std::ifstream in(std::string(TREVANE_BUNDLE_DIR) + "/Contents/Resources/com.orvalis.trevane.ofx.png", std::ios::binary);
  const std::string head(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(0u, head.rfind("\x89PNG\r\n\x1a\n", 0));
}

const std::string kDescription =
    "Orvalis Trevane: AI character alpha matte. Box or brush the character on any frame, press Pull Alpha, "
    "and the plugin tracks it through the whole clip (SAM 3.1 + BiRefNet matting) and outputs RGBA or the "
    "matte only. No length limit.";

// The effect's properties in order, and two RGBA clips.
TEST_F(PluginTest, EffectPropertiesAndClipsMatchTheTablesInOrder) {
  EXPECT_EQ((std::vector<std::string>{
                "OfxPropLabel string[1] = \"Orvalis Trevane\"",
                "OfxImageEffectPluginPropGrouping string[1] = \"Orvalis\"",
                "OfxPropPluginDescription string[1] = \"" + kDescription + "\"",
                "OfxImageEffectPropSupportedContexts string[1] = \"OfxImageEffectContextFilter\"",
                "OfxImageEffectPropSupportedPixelDepths string[2] = \"OfxBitDepthByte\" \"OfxBitDepthFloat\"",
                "OfxImageEffectPluginPropSingleInstance int[1] = 0",
                "OfxImageEffectPluginPropHostFrameThreading int[1] = 1",
                "OfxImageEffectPluginRenderThreadSafety string[1] = \"OfxImageEffectRenderFullySafe\"",
                "OfxImageEffectPropSupportsMultiResolution int[1] = 1",
                "OfxImageEffectPropSupportsTiles int[1] = 0",
                "OfxImageEffectPluginPropOverlayInteractV1 set",
            }),
            written(plugin().descriptor()));
  const std::vector<th::ClipInfo> clips = plugin().clips();
  ASSERT_EQ(2u, clips.size());
  EXPECT_EQ("Source", clips[0].name);
  EXPECT_EQ("Output", clips[1].name);
  for (const th::ClipInfo &clip : clips) {
    EXPECT_EQ(std::vector<std::string>{"OfxImageEffectPropSupportedComponents string[1] = \"OfxImageComponentRGBA\""},
              written(*clip.properties)) << clip.name;
  }
}

// The parameters in order with their types; the defaults a project starts from and the ones the other tests
// rely on are pinned with them (labels and hints are the plug-in's own wording, read nowhere).
TEST_F(PluginTest, SixteenParametersInOrder) {
  std::vector<std::string> params;
  for (const th::ParamInfo &p : plugin().params()) params.push_back(p.name + " " + p.type);
  EXPECT_EQ((std::vector<std::string>{
                "backend_url OfxParamTypeString",     "output_mode OfxParamTypeChoice",
                "draw_mask OfxParamTypeBoolean",      "select_tool OfxParamTypeChoice",
                "brush_size OfxParamTypeDouble",      "text_hint OfxParamTypeString",
                "quality OfxParamTypeChoice",         "edge_softness OfxParamTypeDouble",
                "pull_alpha OfxParamTypePushButton",  "clear_mask OfxParamTypePushButton",
                "reset_matte OfxParamTypePushButton", "status OfxParamTypeString",
                "bbox_json OfxParamTypeString",       "brush_json OfxParamTypeString",
                "session_id OfxParamTypeString",      "clip_start OfxParamTypeString",
            }),
            params);
  auto fx = makeInstance();
  ASSERT_NE(nullptr, fx);
  const std::pair<const char *, const char *> texts[] = {{"backend_url", "https://paste-your-backend-url.invalid"},
                                                         {"status", "idle"}, {"bbox_json", ""}, {"brush_json", "[]"},
                                                         {"session_id", ""}, {"clip_start", "0"}, {"text_hint", ""}};
  for (const auto &[name, value] : texts) EXPECT_EQ(value, *fx->getString(name)) << name;
  EXPECT_DOUBLE_EQ(0.35, *fx->getDouble("edge_softness"));
  EXPECT_DOUBLE_EQ(0.03, *fx->getDouble("brush_size"));
  EXPECT_EQ(0, *fx->getInt("quality"));
}

TEST_F(PluginTest, OneEffectWhateverTheIndex) {
  auto count = reinterpret_cast<int (*)()>(plugin().symbol("OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin *(*)(int)>(plugin().symbol("OfxGetPlugin"));
  ASSERT_NE(nullptr, count);
  ASSERT_NE(nullptr, get);
  EXPECT_EQ(1, count());
  OfxPlugin *first = get(0);
  ASSERT_NE(nullptr, first);
  for (int index : {1, -1, 7, INT_MAX, INT_MIN}) EXPECT_EQ(first, get(index)) << index;
  // The identifier and version: the `describe` command's tests.
  EXPECT_STREQ("OfxImageEffectPluginAPI", first->pluginApi);
  EXPECT_EQ(1, first->apiVersion);
}

TEST_F(PluginTest, ActionsOutsideTheTableGetTheDefaultReply) {
  auto fx = makeInstance();
  ASSERT_NE(nullptr, fx);
  const char *others[] = {
      kOfxActionBeginInstanceChanged, kOfxActionEndInstanceChanged, kOfxImageEffectActionBeginSequenceRender,
      kOfxImageEffectActionEndSequenceRender, kOfxImageEffectActionGetRegionOfDefinition,
      kOfxImageEffectActionIsIdentity, kOfxActionPurgeCaches, "", "Bogus",
      // The table's own names in another letter case, or with extra characters.
      "ofxactionload", "OfxImageEffectActionrender", "OfxActionInstanceChanged ", "OfxActionCreateInstance\n"};
  for (const char *action : others) {
    EXPECT_EQ(kOfxStatReplyDefault, fx->callAction(action)) << '"' << action << '"';
    EXPECT_EQ(kOfxStatReplyDefault, plugin().callMain(action, nullptr)) << '"' << action << '"';
  }
  EXPECT_EQ(kOfxStatReplyDefault, plugin().callMain(nullptr, nullptr));
}

TEST_F(PluginTest, ClipPreferencesOnlyDeclareThePremultipliedOutput) {
  th::InstanceOptions options;
  options.clipPreferencesOnCreate = false;
  auto fx = makeInstance(options);
  ASSERT_NE(nullptr, fx);
  const th::ClipPreferences prefs = fx->clipPreferences();
  EXPECT_EQ(kOfxStatOK, prefs.status);
  ASSERT_NE(nullptr, prefs.outArgs);
  EXPECT_EQ(std::vector<std::string>{"OfxImageEffectPropPreMultiplication string[1] = \"OfxImageAlphaPremultiplied\""},
            written(*prefs.outArgs));
}

TEST(PluginSuites, LoadIsRefusedWithoutACoreSuite) {
  for (const char *suite : {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite}) {
    th::HostOptions options;
    options.withheldSuites = {suite};
    th::Host host(options);
    const th::LoadResult loaded = host.load(TREVANE_BUNDLE_DIR);
    EXPECT_EQ(th::LoadStage::Load, loaded.stage) << suite << ": " << loaded.error;
    EXPECT_EQ(kOfxStatErrMissingHostFeature, loaded.status) << suite;
  }
}

}  // namespace
