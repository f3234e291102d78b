#include "host/Instance.h"

#include <thread>

#include "ActionScope.h"
#include "PluginState.h"
#include "host/Args.h"
#include "host/Status.h"

namespace kesto::host {

namespace {

const char *kDestroyed = "the instance has been destroyed";

bool accepted(OfxStatus status) { return status == kOfxStatOK || status == kOfxStatReplyDefault; }

}  // namespace

Instance::Instance(std::shared_ptr<detail::PluginState> plugin, std::shared_ptr<detail::Effect> effect,
                   PixelDepth depth)
    : plugin_(std::move(plugin)), effect_(std::move(effect)), depth_(depth) {
  ++plugin_->liveInstances;
}

Instance::~Instance() { destroy(); }

OfxImageEffectHandle Instance::handle() const { return effect_ ? effect_->handle() : nullptr; }

PropertySet &Instance::properties() const { return effect_->props(); }

OfxStatus Instance::destroy() {
  if (destroyed_) {
    return kOfxStatOK;
  }
  destroyed_ = true;
  OfxStatus status;
  {
    detail::ActionScope scope(effect_.get(), kOfxActionDestroyInstance);
    status = detail::callEntry(plugin_->mainEntry(), kOfxActionDestroyInstance, effect_->handle(), nullptr, nullptr);
  }
  effect_->dropOutstanding();
  leakedAtDestroy_ = effect_->leakedImages.load();
  // Dropping the effect retires every handle of the instance: late calls from plug-in threads get
  // kOfxStatErrBadHandle.
  effect_.reset();
  --plugin_->liveInstances;
  return status;
}

// ---- project and time

void Instance::setProjectSize(double width, double height) {
  if (!effect_) return;
  PropertySet &p = effect_->props();
  p.setDoubles(kOfxImageEffectPropProjectSize, {width, height});
  p.setDoubles(kOfxImageEffectPropProjectExtent, {p.getDouble(kOfxImageEffectPropProjectOffset, 0).value_or(0.0) + width,
                                                   p.getDouble(kOfxImageEffectPropProjectOffset, 1).value_or(0.0) + height});
}

void Instance::setProjectOffset(double x, double y) {
  if (!effect_) return;
  PropertySet &p = effect_->props();
  p.setDoubles(kOfxImageEffectPropProjectOffset, {x, y});
  p.setDoubles(kOfxImageEffectPropProjectExtent, {x + p.getDouble(kOfxImageEffectPropProjectSize, 0).value_or(0.0),
                                                   y + p.getDouble(kOfxImageEffectPropProjectSize, 1).value_or(0.0)});
}

void Instance::setTime(double time) {
  if (effect_) effect_->currentTime = time;
}

// ---- clips

PropertySet *Instance::clipProperties(const std::string &clip) const {
  if (!effect_) return nullptr;
  auto c = effect_->findClip(clip);
  return c ? &c->props() : nullptr;
}

void Instance::setSourceFrame(double time, Image image) {
  if (!effect_) return;
  if (auto source = effect_->findClip(kOfxImageEffectSimpleSourceClipName)) {
    source->setFrame(time, std::make_shared<const Image>(std::move(image)));
    updateSourceRange();
  }
}

void Instance::clearSourceFrames() {
  if (!effect_) return;
  if (auto source = effect_->findClip(kOfxImageEffectSimpleSourceClipName)) {
    source->clearFrames();
  }
}

void Instance::setSourceProvider(FrameProvider provider, double first, double last) {
  if (!effect_) return;
  if (auto source = effect_->findClip(kOfxImageEffectSimpleSourceClipName)) {
    source->setProvider(std::move(provider));
  }
  setSourceFrameRange(first, last);
}

void Instance::updateSourceRange() {
  auto source = effect_->findClip(kOfxImageEffectSimpleSourceClipName);
  if (rangeOverridden_ || !source) return;
  const auto times = source->frameTimes();
  if (times.empty()) return;
  for (const auto &clip : effect_->clips()) {
    clip->props().setDoubles(kOfxImageEffectPropFrameRange, {times.front(), times.back()});
    clip->props().setDoubles(kOfxImageEffectPropUnmappedFrameRange, {times.front(), times.back()});
  }
  effect_->props().setDouble(kOfxImageEffectInstancePropEffectDuration, times.back() - times.front() + 1.0);
}

void Instance::setSourceFrameRange(double first, double last) {
  if (!effect_) return;
  rangeOverridden_ = true;
  for (const auto &clip : effect_->clips()) {
    clip->props().setDoubles(kOfxImageEffectPropFrameRange, {first, last});
    clip->props().setDoubles(kOfxImageEffectPropUnmappedFrameRange, {first, last});
  }
  effect_->props().setDouble(kOfxImageEffectInstancePropEffectDuration, last - first + 1.0);
}

void Instance::setSourceFrameRate(double fps) {
  if (!effect_) return;
  for (const auto &clip : effect_->clips()) {
    clip->props().setDouble(kOfxImageEffectPropFrameRate, fps);
    clip->props().setDouble(kOfxImageEffectPropUnmappedFrameRate, fps);
  }
}

void Instance::setSourceConnected(bool connected) {
  if (auto *p = clipProperties(kOfxImageEffectSimpleSourceClipName)) {
    p->setInt(kOfxImageClipPropConnected, connected ? 1 : 0);
  }
}

void Instance::setFetchFault(double time, FetchFault fault) {
  if (!effect_) return;
  if (auto source = effect_->findClip(kOfxImageEffectSimpleSourceClipName)) {
    const auto kind = fault == FetchFault::Fail       ? detail::FetchFaultKind::Fail
                      : fault == FetchFault::NullData ? detail::FetchFaultKind::NullData
                                                      : detail::FetchFaultKind::None;
    source->setFault(time, kind);
  }
}

// ---- parameters

namespace {

Expected<std::shared_ptr<detail::Param>> find_param(const std::shared_ptr<detail::Effect> &effect,
                                                     const std::string &name) {
  if (!effect) return Error{kDestroyed};
  auto param = effect->params().find(name);
  if (!param) return Error{"no parameter named \"" + name + "\""};
  return param;
}

Expected<OfxStatus> refused(const std::string &name, OfxStatus status) {
  return Error{"the host refused the value for \"" + name + "\": " + statusName(status)};
}

}  // namespace

Expected<OfxStatus> Instance::setInt(const std::string &name, int value) {
  auto param = find_param(effect_, name);
  if (!param) return Error{param.error()};
  const detail::ParamValue v = (*param)->kind() == detail::ParamKind::Double ? detail::ParamValue::ofDouble(value)
                                                                              : detail::ParamValue::ofInt(value);
  const OfxStatus status = (*param)->set(v);
  if (status != kOfxStatOK) return refused(name, status);
  return userEdit(name, kOfxChangeUserEdited);
}

Expected<OfxStatus> Instance::setDouble(const std::string &name, double value) {
  auto param = find_param(effect_, name);
  if (!param) return Error{param.error()};
  const OfxStatus status = (*param)->set(detail::ParamValue::ofDouble(value));
  if (status != kOfxStatOK) return refused(name, status);
  return userEdit(name, kOfxChangeUserEdited);
}

Expected<OfxStatus> Instance::setString(const std::string &name, const std::string &value) {
  auto param = find_param(effect_, name);
  if (!param) return Error{param.error()};
  const OfxStatus status = (*param)->set(detail::ParamValue::ofText(value));
  if (status != kOfxStatOK) return refused(name, status);
  return userEdit(name, kOfxChangeUserEdited);
}

Expected<OfxStatus> Instance::pressButton(const std::string &name) {
  auto param = find_param(effect_, name);
  if (!param) return Error{param.error()};
  if ((*param)->kind() != detail::ParamKind::PushButton) return Error{"\"" + name + "\" is not a push button"};
  return userEdit(name, kOfxChangeUserEdited);
}

Expected<int> Instance::getInt(const std::string &name) const {
  auto param = find_param(effect_, name);
  if (!param) return Error{param.error()};
  int value = 0;
  if ((*param)->getInt(&value) != kOfxStatOK) return Error{"\"" + name + "\" holds no integer"};
  return value;
}

Expected<double> Instance::getDouble(const std::string &name) const {
  auto param = find_param(effect_, name);
  if (!param) return Error{param.error()};
  double value = 0.0;
  if ((*param)->getDouble(&value) != kOfxStatOK) return Error{"\"" + name + "\" holds no double"};
  return value;
}

Expected<std::string> Instance::getString(const std::string &name) const {
  auto param = find_param(effect_, name);
  if (!param) return Error{param.error()};
  const auto value = (*param)->value();
  if (!value || value->kind != detail::ParamValue::Kind::Text) return Error{"\"" + name + "\" holds no text"};
  return value->text;
}

PropertySet *Instance::paramProperties(const std::string &name) const {
  auto param = find_param(effect_, name);
  return param ? &(*param)->props() : nullptr;
}

std::vector<std::string> Instance::paramNames() const {
  std::vector<std::string> out;
  if (!effect_) return out;
  for (const auto &p : effect_->params().all()) {
    out.push_back(p->name());
  }
  return out;
}

Expected<OfxStatus> Instance::userEdit(const std::string &name, const std::string &reason) {
  return deliverChange(name, reason, effect_->currentTime.load());
}

OfxStatus Instance::deliverChange(const std::string &name, const std::string &reason, double time) {
  auto bracket = makeArgs(ArgsKind::BeginEndInstanceChangedIn);
  bracket->setString(kOfxPropChangeReason, reason);
  auto args = makeArgs(ArgsKind::InstanceChangedIn);
  args->setString(kOfxPropType, kOfxTypeParameter);
  args->setString(kOfxPropName, name);
  args->setString(kOfxPropChangeReason, reason);
  args->setDouble(kOfxPropTime, time);
  OfxStatus status;
  {
    detail::ActionScope scope(effect_.get(), kOfxActionInstanceChanged);
    OfxPluginEntryPoint *entry = plugin_->mainEntry();
    detail::callEntry(entry, kOfxActionBeginInstanceChanged, effect_->handle(), bracket->handle(), nullptr);
    status = detail::callEntry(entry, kOfxActionInstanceChanged, effect_->handle(), args->handle(), nullptr);
    detail::callEntry(entry, kOfxActionEndInstanceChanged, effect_->handle(), bracket->handle(), nullptr);
  }
  std::lock_guard<std::mutex> lock(logMu_);
  delivered_.push_back(ChangeRecord{name, reason, status});
  return status;
}

std::size_t Instance::pumpEvents() {
  if (!effect_) return 0;
  const auto changes = effect_->takeChanges();
  for (const auto &change : changes) {
    if (!effect_->params().find(change.name)) continue;
    deliverChange(change.name, change.reason, change.time);
  }
  return changes.size();
}

std::size_t Instance::pendingEvents() const { return effect_ ? effect_->pendingChanges() : 0; }

bool Instance::pumpEventsUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout,
                               std::chrono::milliseconds poll) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pumpEvents();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll);
  }
}

std::vector<ChangeRecord> Instance::deliveredChanges() const {
  std::lock_guard<std::mutex> lock(logMu_);
  return delivered_;
}

// ---- actions

ClipPreferences Instance::clipPreferences() {
  ClipPreferences result;
  if (!effect_) {
    result.status = kOfxStatErrBadHandle;
    return result;
  }
  std::vector<std::string> names;
  for (const auto &clip : effect_->clips()) {
    names.push_back(clip->name());
  }
  result.outArgs = makeArgs(ArgsKind::ClipPreferencesOut, names);
  PropertySet &out = *result.outArgs;
  for (const auto &clip : effect_->clips()) {
    out.setString("OfxImageClipPropComponents_" + clip->name(),
                  clip->props().getString(kOfxImageEffectPropComponents).value_or(kOfxImageComponentRGBA));
    out.setString("OfxImageClipPropDepth_" + clip->name(),
                  clip->props().getString(kOfxImageEffectPropPixelDepth).value_or(kOfxBitDepthByte));
    out.setDouble("OfxImageClipPropPAR_" + clip->name(),
                  clip->props().getDouble(kOfxImagePropPixelAspectRatio).value_or(1.0));
  }
  out.setDouble(kOfxImageEffectPropFrameRate, effect_->props().getDouble(kOfxImageEffectPropFrameRate).value_or(25.0));
  if (auto *source = clipProperties(kOfxImageEffectSimpleSourceClipName)) {
    out.setString(kOfxImageEffectPropPreMultiplication,
                  source->getString(kOfxImageEffectPropPreMultiplication).value_or(kOfxImageUnPreMultiplied));
  }
  {
    detail::ActionScope scope(effect_.get(), kOfxImageEffectActionGetClipPreferences);
    result.status = detail::callEntry(plugin_->mainEntry(), kOfxImageEffectActionGetClipPreferences, effect_->handle(),
                                      nullptr, out.handle());
  }
  // Only the output premultiplication is taken over: this host offers one depth and RGBA for all clips.
  if (result.status == kOfxStatOK) {
    const auto premult = out.getString(kOfxImageEffectPropPreMultiplication);
    auto *output = clipProperties(kOfxImageEffectOutputClipName);
    if (premult && output != nullptr &&
        (*premult == kOfxImageOpaque || *premult == kOfxImagePreMultiplied || *premult == kOfxImageUnPreMultiplied)) {
      output->setString(kOfxImageEffectPropPreMultiplication, *premult);
    }
  }
  lastClipPreferences_ = result;
  return result;
}

OfxStatus Instance::callAction(const char *action, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  detail::ActionScope scope(effect_.get(), action == nullptr ? "" : action);
  return detail::callEntry(plugin_->mainEntry(), action, effect_ ? effect_->handle() : nullptr, inArgs, outArgs);
}

void Instance::setAbort(bool abort) {
  if (effect_) effect_->abortFlag = abort;
}

int Instance::unreleasedImages() const { return effect_ ? effect_->outstandingCount() : 0; }

int Instance::leakedImages() const { return effect_ ? effect_->leakedImages.load() : leakedAtDestroy_; }

Expected<std::unique_ptr<Overlay>> Instance::createOverlay() {
  if (!effect_) return Error{kDestroyed};
  OfxPluginEntryPoint *entry = plugin_->overlayEntry();
  if (entry == nullptr) return Error{"the plug-in declares no overlay interact"};
  {
    std::lock_guard<std::mutex> lock(plugin_->mu);
    if (!plugin_->overlayDescribed) {
      plugin_->overlayDescriptor = detail::Interact::create(false);
      plugin_->overlayDescribeStatus =
          detail::callEntry(entry, kOfxActionDescribe, plugin_->overlayDescriptor->handle(), nullptr, nullptr);
      plugin_->overlayDescribed = true;
    }
    if (!accepted(plugin_->overlayDescribeStatus)) {
      return Error{std::string("overlay ") + kOfxActionDescribe + " returned " +
                   statusName(plugin_->overlayDescribeStatus)};
    }
  }
  auto interact = detail::Interact::create(true);
  PropertySet &p = interact->props();
  p.setPointer(kOfxPropEffectInstance, effect_->handle());
  p.setInts(kOfxInteractPropViewportSize,
            {static_cast<int>(effect_->props().getDouble(kOfxImageEffectPropProjectSize, 0).value_or(1920.0)),
             static_cast<int>(effect_->props().getDouble(kOfxImageEffectPropProjectSize, 1).value_or(1080.0))});
  OfxStatus status;
  {
    detail::ActionScope scope(effect_.get(), kOfxActionCreateInstance);
    status = detail::callEntry(entry, kOfxActionCreateInstance, interact->handle(), nullptr, nullptr);
  }
  if (!accepted(status)) {
    return Error{std::string("overlay ") + kOfxActionCreateInstance + " returned " + statusName(status)};
  }
  return Expected<std::unique_ptr<Overlay>>(std::make_unique<Overlay>(plugin_, effect_, std::move(interact)));
}

}  // namespace kesto::host
