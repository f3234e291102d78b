// Rendering: one frame on the calling thread, or many frames on several threads at once.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "ActionScope.h"
#include "PluginState.h"
#include "host/Args.h"
#include "host/Instance.h"

namespace kesto::host {

namespace {

// Output buffers start as this byte so pixels the plug-in did not write stand out (and floats read as a
// large negative number).
constexpr std::uint8_t kPoisonByte = 0xCD;

OfxRectI project_rect(const PropertySet &props) {
  const double ox = props.getDouble(kOfxImageEffectPropProjectOffset, 0).value_or(0.0);
  const double oy = props.getDouble(kOfxImageEffectPropProjectOffset, 1).value_or(0.0);
  const double ex = props.getDouble(kOfxImageEffectPropProjectExtent, 0).value_or(0.0);
  const double ey = props.getDouble(kOfxImageEffectPropProjectExtent, 1).value_or(0.0);
  return OfxRectI{static_cast<int>(std::floor(ox)), static_cast<int>(std::floor(oy)), static_cast<int>(std::ceil(ex)),
                  static_cast<int>(std::ceil(ey))};
}

}  // namespace

RenderResult Instance::render(double time, const RenderOptions &options) {
  RenderResult result;
  if (!effect_) {
    result.error = "the instance has been destroyed";
    return result;
  }
  OfxRectI window{};
  if (options.window) {
    window = *options.window;
  } else {
    auto source = effect_->findClip(kOfxImageEffectSimpleSourceClipName);
    auto frame = source ? source->frameAt(time) : nullptr;
    window = frame ? frame->bounds() : project_rect(effect_->props());
  }
  const OfxRectI bounds = options.outputBounds.value_or(window);
  auto output = std::make_shared<Image>(Image::make(bounds, options.outputDepth.value_or(depth_),
                                                    options.outputRowOrder, options.outputRowPaddingBytes));
  output->fillBytes(kPoisonByte);

  auto args = makeArgs(ArgsKind::RenderIn);
  args->setDouble(kOfxPropTime, time);
  args->setString(kOfxImageEffectPropFieldToRender, options.field);
  args->setInts(kOfxImageEffectPropRenderWindow, {window.x1, window.y1, window.x2, window.y2});
  args->setDoubles(kOfxImageEffectPropRenderScale, {options.renderScaleX, options.renderScaleY});
  args->setInt(kOfxImageEffectPropSequentialRenderStatus, options.sequential ? 1 : 0);
  args->setInt(kOfxImageEffectPropInteractiveRenderStatus, options.interactive ? 1 : 0);

  detail::ActionScope scope(effect_.get(), kOfxImageEffectActionRender);
  detail::ActionFrame &frame = scope.frame();
  frame.isRender = true;
  frame.time = time;
  frame.output = output;
  frame.renderScale = OfxPointD{options.renderScaleX, options.renderScaleY};
  std::string thrown;
  result.status = detail::callEntry(plugin_->mainEntry(), kOfxImageEffectActionRender, effect_->handle(),
                                    args->handle(), nullptr, &thrown);
  result.leakedImages = scope.finish();
  if (!thrown.empty()) {
    result.error = thrown;
  }
  result.output = *output;
  return result;
}

Expected<std::vector<RenderResult>> Instance::renderMany(const std::vector<double> &times, int threads,
                                                         const RenderOptions &options) {
  if (!effect_) return Error{"the instance has been destroyed"};
  if (threads < 1) return Error{"renderMany needs at least one thread"};
  if (threads > 1) {
    const PropertySet &d = plugin_->descriptor->props();
    const std::string safety = d.getString(kOfxImageEffectPluginRenderThreadSafety).value_or("");
    const int hostThreading = d.getInt(kOfxImageEffectPluginPropHostFrameThreading).value_or(0);
    if (safety != kOfxImageEffectRenderFullySafe || hostThreading != 1) {
      return Error{"the effect does not allow concurrent renders (" + std::string(kOfxImageEffectPluginRenderThreadSafety) +
                   " = \"" + safety + "\", " + kOfxImageEffectPluginPropHostFrameThreading + " = " +
                   std::to_string(hostThreading) + ")"};
    }
  }
  std::vector<RenderResult> results(times.size());
  if (times.empty()) return results;

  auto sequence = makeArgs(ArgsKind::SequenceRenderIn);
  sequence->setDoubles(kOfxImageEffectPropFrameRange,
                       {*std::min_element(times.begin(), times.end()), *std::max_element(times.begin(), times.end())});
  sequence->setDoubles(kOfxImageEffectPropRenderScale, {options.renderScaleX, options.renderScaleY});
  sequence->setInt(kOfxPropIsInteractive, options.interactive ? 1 : 0);
  sequence->setInt(kOfxImageEffectPropSequentialRenderStatus, options.sequential ? 1 : 0);
  sequence->setInt(kOfxImageEffectPropInteractiveRenderStatus, options.interactive ? 1 : 0);
  callAction(kOfxImageEffectActionBeginSequenceRender, sequence->handle(), nullptr);

  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < times.size(); i = next++) {
      try {
        results[i] = render(times[i], options);
      } catch (...) {
        results[i].status = kOfxStatErrFatal;  // a thread body lets nothing escape
        results[i].error = "render failed in the host";
      }
    }
  };
  std::vector<std::thread> pool;
  const int count = std::min<int>(threads, static_cast<int>(times.size()));
  for (int t = 1; t < count; ++t) {
    pool.emplace_back(worker);
  }
  worker();
  for (auto &t : pool) {
    t.join();
  }

  callAction(kOfxImageEffectActionEndSequenceRender, sequence->handle(), nullptr);
  return results;
}

}  // namespace kesto::host
