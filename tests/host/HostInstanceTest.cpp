// Instances through the HostProbe plug-in: parameters and notifications, renders and image accounting,
// generic actions, stale handles. Image layouts, depths and the overlay's plumbing are walked by the
// plug-in's render and overlay tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ProbeFixture.h"

TEST_F(ProbeTest, NewInstancesHoldEveryParameterAtItsDefault) {
  const int creates = state_->creates.load();
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  EXPECT_EQ(state_->creates.load(), creates + 1);
  EXPECT_EQ(*fx->getString("text"), "hello");
  EXPECT_EQ(*fx->getInt("flag"), 1);
  EXPECT_EQ(*fx->getInt("mode"), 0);
  EXPECT_EQ(*fx->getInt("count"), 5);
  EXPECT_EQ(*fx->getDouble("gain"), 0.5);
  EXPECT_EQ(*fx->getString("worker_note"), "");
  EXPECT_FALSE(fx->getInt("poke").ok());
  EXPECT_FALSE(fx->getString("nope").ok());
  EXPECT_EQ(fx->properties().getString(kOfxPropType), kOfxTypeImageEffectInstance);
  EXPECT_EQ(fx->properties().getDouble(kOfxImageEffectPropProjectSize, 0), 1920.0);
  EXPECT_EQ(fx->paramProperties("text")->getString(kOfxPropType), kOfxTypeParameterInstance);
  const int destroys = state_->destroys.load();
  EXPECT_EQ(fx->destroy(), kOfxStatOK);
  EXPECT_EQ(state_->destroys.load(), destroys + 1);
  // A depth the plug-in does not declare is refused.
  plugin().descriptor().setStrings(kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte});
  th::InstanceOptions asFloat;
  asFloat.depth = th::PixelDepth::Float;
  EXPECT_FALSE(plugin().createInstance(asFloat).ok());
  plugin().descriptor().setStrings(kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte, kOfxBitDepthFloat});
}

TEST_F(ProbeTest, UserEditsClampAndNotifyAtOnce) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  const int begins = state_->beginChanged.load();
  const int changes = state_->changed.load();
  const int ends = state_->endChanged.load();
  ASSERT_TRUE(fx->setDouble("gain", 2.5).ok());
  EXPECT_EQ(*fx->getDouble("gain"), 1.0);
  ASSERT_TRUE(fx->setInt("count", -3).ok());
  EXPECT_EQ(*fx->getInt("count"), 0);
  ASSERT_TRUE(fx->setInt("count", 7).ok());
  EXPECT_EQ(*fx->getInt("count"), 7);
  ASSERT_TRUE(fx->setInt("flag", 5).ok());
  EXPECT_EQ(*fx->getInt("flag"), 1);
  EXPECT_EQ(state_->beginChanged.load(), begins + 4);
  EXPECT_EQ(state_->changed.load(), changes + 4);
  EXPECT_EQ(state_->endChanged.load(), ends + 4);
  EXPECT_STREQ(state_->lastChangedName, "flag");
  EXPECT_STREQ(state_->lastReason, kOfxChangeUserEdited);

  EXPECT_FALSE(fx->setInt("mode", 5).ok());  // no sixth option
  EXPECT_FALSE(fx->setString("count", "3").ok());
  EXPECT_FALSE(fx->setInt("missing", 1).ok());
  EXPECT_FALSE(fx->pressButton("text").ok());
  EXPECT_EQ(state_->changed.load(), changes + 4);  // refused edits notify nobody
}

TEST_F(ProbeTest, PluginEditsFromItsOwnThreadsWaitForPumpEvents) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  const int changes = state_->changed.load();
  auto pressed = fx->pressButton("poke");
  ASSERT_TRUE(pressed.ok()) << pressed.error();
  EXPECT_EQ(*pressed, kOfxStatOK);
  EXPECT_EQ(state_->changed.load(), changes + 1);  // only the press so far
  EXPECT_EQ(*fx->getString("worker_note"), "from worker");
  EXPECT_EQ(*fx->getInt("count"), 10);  // the plug-in's 99, clamped to the maximum
  EXPECT_EQ(fx->pendingEvents(), 2U);
  EXPECT_EQ(fx->pumpEvents(), 2U);
  EXPECT_EQ(state_->changed.load(), changes + 3);
  EXPECT_STREQ(state_->lastChangedName, "count");
  EXPECT_STREQ(state_->lastReason, kOfxChangePluginEdited);
  const auto log = fx->deliveredChanges();
  ASSERT_GE(log.size(), 3U);
  EXPECT_EQ(log[log.size() - 2].name, "worker_note");
  EXPECT_EQ(log[log.size() - 2].reason, kOfxChangePluginEdited);
  EXPECT_EQ(fx->pumpEvents(), 0U);
}

TEST_F(ProbeTest, SuitesAnswerWithTheStandardsStatuses) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  host_.clearMessages();
  ASSERT_TRUE(fx->pressButton("run_checks").ok());
  using namespace host_probe;
  EXPECT_EQ(state_->checks[kUnknownName].load(), kOfxStatErrUnknown);
  EXPECT_EQ(state_->checks[kWrongType].load(), kOfxStatErrValue);
  EXPECT_EQ(state_->checks[kBadIndex].load(), kOfxStatErrBadIndex);
  EXPECT_EQ(state_->checks[kReadOnly].load(), kOfxStatErrValue);
  EXPECT_EQ(state_->checks[kNullSet].load(), kOfxStatErrBadHandle);
  EXPECT_EQ(state_->checks[kNullName].load(), kOfxStatErrBadHandle);
  EXPECT_EQ(state_->checks[kDimension].load(), kOfxStatOK);
  EXPECT_EQ(state_->dimension.load(), 2);
  EXPECT_EQ(state_->checks[kUnknownParam].load(), kOfxStatErrUnknown);
  EXPECT_EQ(state_->checks[kOutputOutsideRender].load(), kOfxStatFailed);
  EXPECT_EQ(state_->checks[kButtonValue].load(), kOfxStatErrUnsupported);
  EXPECT_EQ(state_->checks[kGarbageRelease].load(), kOfxStatErrBadHandle);
  EXPECT_EQ(state_->checks[kStaleTextOk].load(), 1);
  EXPECT_EQ(state_->checks[kFixedExtend].load(), kOfxStatErrValue);
  EXPECT_EQ(state_->checks[kEditEndAlone].load(), kOfxStatFailed);
  EXPECT_EQ(state_->checks[kWrongKindHandle].load(), kOfxStatErrBadHandle);
  EXPECT_EQ(*fx->getString("text"), "changed by the plug-in");
  const auto messages = host_.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_EQ(messages[0].type, kOfxMessageMessage);
  EXPECT_EQ(messages[0].text, "checks done: 13");
  EXPECT_EQ(messages[0].handle, nullptr);
  EXPECT_EQ(fx->unreleasedImages(), 0);
}

TEST_F(ProbeTest, ServesFramesFromAProviderAndRefusesEditsDuringRender) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  std::atomic<int> calls{0};
  fx->setSourceProvider(
      [&calls](double frame) -> std::shared_ptr<const th::Image> {
        ++calls;
        if (frame < 0 || frame > 9) return nullptr;
        return std::make_shared<th::Image>(pattern(OfxRectI{0, 0, 2, 2}, th::PixelDepth::Byte, th::RowOrder::TopDown));
      },
      0, 9);
  EXPECT_EQ(fx->clipProperties("Source")->getDouble(kOfxImageEffectPropFrameRange, 1), 9.0);
  EXPECT_EQ(fx->properties().getDouble(kOfxImageEffectInstancePropEffectDuration), 10.0);
  const th::RenderResult r = fx->render(3);
  ASSERT_EQ(r.status, kOfxStatOK);
  EXPECT_EQ(r.output.pixelBytes(1, 1), (th::Rgba8{1, 1, 128, 255}));
  EXPECT_EQ(fx->render(12).status, kOfxStatFailed);
  EXPECT_GE(calls.load(), 2);
  EXPECT_EQ(state_->renderParamSetStatus.load(), kOfxStatFailed);
  EXPECT_EQ(state_->outputOtherTimeStatus.load(), kOfxStatFailed);
  EXPECT_EQ(*fx->getString("worker_note"), "");
  EXPECT_EQ(fx->pendingEvents(), 0U);
}

TEST_F(ProbeTest, FailsFetchesOfMissingOrFaultyFrames) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  EXPECT_EQ(fx->render(0).status, kOfxStatFailed);  // no frame at all
  fx->setSourceFrame(1, pattern(OfxRectI{0, 0, 2, 2}, th::PixelDepth::Byte, th::RowOrder::BottomUp));
  EXPECT_EQ(fx->render(1).status, kOfxStatOK);
  EXPECT_EQ(fx->render(1.4).status, kOfxStatOK);  // the nearest frame
  fx->setFetchFault(1, th::FetchFault::Fail);
  EXPECT_EQ(fx->render(1).status, kOfxStatFailed);
  fx->setFetchFault(1, th::FetchFault::NullData);
  ASSERT_TRUE(fx->setInt("mode", 4).ok());
  EXPECT_EQ(fx->render(1).status, kOfxStatFailed);
  fx->setFetchFault(1, th::FetchFault::None);
  fx->setSourceConnected(false);
  EXPECT_EQ(fx->render(1).status, kOfxStatFailed);
  EXPECT_EQ(fx->unreleasedImages(), 0);
  EXPECT_EQ(fx->leakedImages(), 0);
  EXPECT_EQ(fx->clipProperties("Source")->getDouble(kOfxImageEffectPropFrameRange, 1), 1.0);
  EXPECT_EQ(fx->properties().getDouble(kOfxImageEffectInstancePropEffectDuration), 1.0);
}

TEST_F(ProbeTest, CountsLeakedImagesAndRefusesDoubleReleases) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  fx->setSourceFrame(0, pattern(OfxRectI{0, 0, 2, 2}, th::PixelDepth::Byte, th::RowOrder::BottomUp));
  const int outstanding = th::outstandingImages();
  const int leaked = th::leakedImages();
  ASSERT_TRUE(fx->setInt("mode", 1).ok());
  const th::RenderResult leak = fx->render(0);
  EXPECT_EQ(leak.status, kOfxStatOK);
  EXPECT_EQ(leak.leakedImages, 1);
  EXPECT_EQ(fx->unreleasedImages(), 1);
  EXPECT_EQ(fx->leakedImages(), 1);
  EXPECT_EQ(th::outstandingImages(), outstanding + 1);
  EXPECT_EQ(th::leakedImages(), leaked + 1);

  const int badReleases = th::badImageReleases();
  ASSERT_TRUE(fx->setInt("mode", 2).ok());
  const th::RenderResult twice = fx->render(0);
  EXPECT_EQ(twice.status, kOfxStatOK);
  EXPECT_EQ(twice.leakedImages, 0);
  EXPECT_EQ(state_->secondReleaseStatus.load(), kOfxStatErrBadHandle);
  EXPECT_EQ(th::badImageReleases(), badReleases + 1);

  fx->destroy();
  EXPECT_EQ(th::outstandingImages(), outstanding);
  EXPECT_EQ(fx->leakedImages(), 1);
}

TEST_F(ProbeTest, RendersFramesOnSeveralThreadsAtOnce) {
  th::InstanceOptions options;
  options.depth = th::PixelDepth::Float;
  auto fx = make_instance(options);
  ASSERT_TRUE(fx);
  for (int t = 0; t < 4; ++t) {
    fx->setSourceFrame(t, pattern(OfxRectI{0, 0, 8, 8}, th::PixelDepth::Float, th::RowOrder::BottomUp));
  }
  ASSERT_TRUE(fx->setInt("mode", 3).ok());
  ASSERT_TRUE(fx->setInt("count", 2).ok());  // each render waits until two run at once
  state_->maxConcurrent = 0;
  auto results = fx->renderMany({0, 1, 2, 3}, 2, th::RenderOptions{});
  ASSERT_TRUE(results.ok()) << results.error();
  ASSERT_EQ(results->size(), 4U);
  for (const auto &r : *results) {
    EXPECT_EQ(r.status, kOfxStatOK) << r.error;
    EXPECT_EQ(r.output.pixel(7, 7), (th::Rgba{7.0F / 255.0F, 7.0F / 255.0F, 0.5F, 1.0F}));
  }
  EXPECT_GE(state_->maxConcurrent.load(), 2);
  EXPECT_GE(state_->renderThreads.load(), 2);
  EXPECT_EQ(fx->unreleasedImages(), 0);

  // An effect that is not fully render-safe is never rendered concurrently.
  plugin().descriptor().setString(kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderInstanceSafe);
  auto refused = fx->renderMany({0, 1}, 2);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find(kOfxImageEffectRenderInstanceSafe), std::string::npos) << refused.error();
  plugin().descriptor().setString(kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderFullySafe);
  // Nor one that is fully safe but does not let the host thread its frames.
  plugin().descriptor().setInt(kOfxImageEffectPluginPropHostFrameThreading, 0);
  EXPECT_FALSE(fx->renderMany({0, 1}, 2).ok());
  plugin().descriptor().setInt(kOfxImageEffectPluginPropHostFrameThreading, 1);
}

TEST_F(ProbeTest, PassesAnyActionAndNullHandlesThrough) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  EXPECT_EQ(fx->callAction("OfxActionNoSuchThing"), kOfxStatReplyDefault);
  EXPECT_EQ(fx->callAction("ofxactioncreateinstance"), kOfxStatReplyDefault);
  const int creates = state_->creates.load();
  EXPECT_EQ(plugin().callMain(kOfxActionCreateInstance, nullptr), kOfxStatReplyDefault);
  EXPECT_EQ(state_->creates.load(), creates);
  EXPECT_EQ(plugin().overlayEntry()(kOfxInteractActionDraw, nullptr, nullptr, nullptr), kOfxStatReplyDefault);

  const th::ClipPreferences &prefs = fx->lastClipPreferences();
  ASSERT_TRUE(prefs.outArgs);
  EXPECT_EQ(prefs.status, kOfxStatReplyDefault);
  EXPECT_EQ(prefs.outArgs->getString("OfxImageClipPropDepth_Output"), kOfxBitDepthByte);
  EXPECT_EQ(prefs.outArgs->getString("OfxImageClipPropComponents_Source"), kOfxImageComponentRGBA);
  EXPECT_TRUE(prefs.outArgs->pluginSetOrder().empty());
}

TEST_F(ProbeTest, RefusesHandlesOfADestroyedInstance) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  auto *effectSuite = static_cast<const OfxImageEffectSuiteV1 *>(host_.fetchSuite(kOfxImageEffectSuite, 1));
  auto *paramSuite = static_cast<const OfxParameterSuiteV1 *>(host_.fetchSuite(kOfxParameterSuite, 1));
  const OfxImageEffectHandle handle = fx->handle();
  OfxParamSetHandle params = nullptr;
  ASSERT_EQ(effectSuite->getParamSet(handle, &params), kOfxStatOK);
  OfxParamHandle text = nullptr;
  ASSERT_EQ(paramSuite->paramGetHandle(params, "text", &text, nullptr), kOfxStatOK);
  ASSERT_EQ(paramSuite->paramSetValue(text, "direct"), kOfxStatOK);
  EXPECT_EQ(*fx->getString("text"), "direct");
  fx->destroy();
  OfxPropertySetHandle props = nullptr;
  EXPECT_EQ(effectSuite->getPropertySet(handle, &props), kOfxStatErrBadHandle);
  EXPECT_EQ(paramSuite->paramSetValue(text, "late"), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->render(0).status, kOfxStatFailed);
  EXPECT_FALSE(fx->setString("text", "x").ok());
}

TEST_F(ProbeTest, ParameterTextsStayReadableWhileAnotherThreadWrites) {
  auto fx = make_instance();
  ASSERT_TRUE(fx);
  auto *effectSuite = static_cast<const OfxImageEffectSuiteV1 *>(host_.fetchSuite(kOfxImageEffectSuite, 1));
  auto *paramSuite = static_cast<const OfxParameterSuiteV1 *>(host_.fetchSuite(kOfxParameterSuite, 1));
  OfxParamSetHandle params = nullptr;
  ASSERT_EQ(effectSuite->getParamSet(fx->handle(), &params), kOfxStatOK);
  OfxParamHandle text = nullptr;
  ASSERT_EQ(paramSuite->paramGetHandle(params, "text", &text, nullptr), kOfxStatOK);
  constexpr int kRounds = 2000;
  std::atomic<bool> written{false};
  std::thread writer([&] {
    for (int i = 0; i < kRounds; ++i) {
      paramSuite->paramSetValue(text, (i % 2 == 0) ? "a fairly long value that needs the heap" : "short");
    }
    written = true;
  });
  int reads = 0;
  int unreadable = 0;
  while (!written || reads < kRounds) {
    char *value = nullptr;
    if (paramSuite->paramGetValue(text, &value) != kOfxStatOK || value == nullptr) {
      ++unreadable;
      break;
    }
    const std::string copy(value);  // a freed text would show under the address sanitizer
    unreadable += copy.empty() ? 1 : 0;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(unreadable, 0);
  EXPECT_GT(fx->pumpEvents(), 0U);
}
