#include "host/Plugin.h"

#include <dlfcn.h>

#include "ActionScope.h"
#include "PluginState.h"
#include "host/Instance.h"
#include "host/Status.h"

namespace kesto::host {

namespace detail {

OfxPluginEntryPoint *PluginState::overlayEntry() const {
  if (!descriptor) {
    return nullptr;
  }
  void *entry = descriptor->props().getPointer(kOfxImageEffectPluginPropOverlayInteractV1).value_or(nullptr);
  return reinterpret_cast<OfxPluginEntryPoint *>(entry);
}

OfxStatus PluginState::unload() {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!loaded || unloadSent) {
      return kOfxStatOK;
    }
    unloadSent = true;
  }
  const OfxStatus status = callEntry(mainEntry(), kOfxActionUnload, nullptr, nullptr, nullptr);
  if (dlcloseOnUnload && library != nullptr) {
    dlclose(library);
    library = nullptr;
  }
  return status;
}

PluginState::~PluginState() {
  unload();
  // Descriptors die with this state; the module stays mapped unless dlcloseOnUnload (see HostOptions).
}

}  // namespace detail

Plugin::Plugin(std::shared_ptr<detail::PluginState> state) : state_(std::move(state)) {}
Plugin::~Plugin() = default;

const std::string &Plugin::identifier() const { return state_->identifier; }
unsigned int Plugin::versionMajor() const { return state_->record->pluginVersionMajor; }
unsigned int Plugin::versionMinor() const { return state_->record->pluginVersionMinor; }
const std::string &Plugin::bundlePath() const { return state_->bundlePath; }
const std::string &Plugin::binaryPath() const { return state_->binaryPath; }
const OfxPlugin &Plugin::record() const { return *state_->record; }
PropertySet &Plugin::descriptor() const { return state_->descriptor->props(); }
PropertySet &Plugin::contextDescriptor() const { return state_->contextDescriptor->props(); }
OfxImageEffectHandle Plugin::descriptorHandle() const { return state_->descriptor->handle(); }
OfxImageEffectHandle Plugin::contextDescriptorHandle() const { return state_->contextDescriptor->handle(); }

std::vector<ClipInfo> Plugin::clips() const {
  std::vector<ClipInfo> out;
  for (const auto &clip : state_->contextDescriptor->clips()) {
    out.push_back(ClipInfo{clip->name(), clip->propsShared()});
  }
  return out;
}

std::vector<ParamInfo> Plugin::params() const {
  std::vector<ParamInfo> out;
  for (const auto &param : state_->contextDescriptor->params().all()) {
    out.push_back(ParamInfo{param->name(), param->paramType(), param->propsShared()});
  }
  return out;
}

OfxPluginEntryPoint *Plugin::mainEntry() const { return state_->mainEntry(); }
OfxPluginEntryPoint *Plugin::overlayEntry() const { return state_->overlayEntry(); }

OfxStatus Plugin::callMain(const char *action, const void *handle, OfxPropertySetHandle inArgs,
                           OfxPropertySetHandle outArgs) const {
  return detail::callEntry(state_->mainEntry(), action, handle, inArgs, outArgs);
}

void *Plugin::symbol(const char *name) const {
  return state_->library == nullptr ? nullptr : dlsym(state_->library, name);
}

int Plugin::liveInstances() const { return state_->liveInstances.load(); }

Expected<OfxStatus> Plugin::unload() {
  if (state_->liveInstances.load() > 0) {
    return Error{"cannot unload while " + std::to_string(state_->liveInstances.load()) + " instance(s) live"};
  }
  return state_->unload();
}

Expected<std::unique_ptr<Instance>> Plugin::createInstance(const InstanceOptions &options) {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->unloadSent) {
      return Error{"the plug-in has been unloaded"};
    }
  }
  const auto supported = state_->descriptor->props().get(kOfxImageEffectPropSupportedPixelDepths);
  bool depthOk = false;
  for (const auto &d : supported ? supported->strings : std::vector<std::string>{}) {
    depthOk = depthOk || d == depthName(options.depth);
  }
  if (!depthOk) {
    return Error{std::string("the plug-in does not support ") + depthName(options.depth)};
  }

  auto effect = detail::Effect::create(detail::Effect::Role::Instance);
  PropertySet &p = effect->props();
  p.setString(kOfxImageEffectPropContext, kOfxImageEffectContextFilter);
  p.setString(kOfxPluginPropFilePath, state_->bundlePath);
  p.setDoubles(kOfxImageEffectPropProjectSize, {options.projectWidth, options.projectHeight});
  p.setDoubles(kOfxImageEffectPropProjectOffset, {options.projectOffsetX, options.projectOffsetY});
  p.setDoubles(kOfxImageEffectPropProjectExtent,
               {options.projectOffsetX + options.projectWidth, options.projectOffsetY + options.projectHeight});
  p.setDouble(kOfxImageEffectPropFrameRate, options.frameRate);
  p.setInt(kOfxPropIsInteractive, options.interactive ? 1 : 0);
  for (const char *copied : {kOfxImageEffectPropSupportsTiles, kOfxImageEffectPropSupportsMultiResolution,
                             kOfxImageEffectInstancePropSequentialRender}) {
    if (auto v = state_->descriptor->props().getInt(copied)) {
      p.setInt(copied, *v);
    }
  }

  for (const auto &descriptorClip : state_->contextDescriptor->clips()) {
    auto clip = detail::Clip::create(descriptorClip->name(), true, effect);
    clip->props().copyValuesFrom(descriptorClip->props());
    clip->props().setString(kOfxImageEffectPropPixelDepth, depthName(options.depth));
    clip->props().setString(kOfxImageClipPropUnmappedPixelDepth, depthName(options.depth));
    clip->props().setDouble(kOfxImageEffectPropFrameRate, options.frameRate);
    clip->props().setDouble(kOfxImageEffectPropUnmappedFrameRate, options.frameRate);
    effect->addClip(std::move(clip));
  }
  for (const auto &descriptorParam : state_->contextDescriptor->params().all()) {
    auto param = detail::Param::instantiate(*descriptorParam, effect);
    if (!param) {
      return Error{"cannot instantiate parameter " + descriptorParam->name()};
    }
    effect->params().add(std::move(param));
  }
  for (const auto &[name, saved] : options.savedValues) {
    auto param = effect->params().find(name);
    if (!param) return Error{"cannot restore unknown parameter " + name};
    const detail::ParamValue value =
        std::holds_alternative<int>(saved)      ? detail::ParamValue::ofInt(std::get<int>(saved))
        : std::holds_alternative<double>(saved) ? detail::ParamValue::ofDouble(std::get<double>(saved))
                                                : detail::ParamValue::ofText(std::get<std::string>(saved));
    if (param->set(value) != kOfxStatOK) return Error{"cannot restore the saved value of parameter " + name};
  }

  std::string thrown;
  OfxStatus status;
  {
    detail::ActionScope scope(effect.get(), kOfxActionCreateInstance);
    status = detail::callEntry(state_->mainEntry(), kOfxActionCreateInstance, effect->handle(), nullptr, nullptr,
                               &thrown);
  }
  if (status != kOfxStatOK && status != kOfxStatReplyDefault) {
    effect->dropOutstanding();
    return Error{std::string(kOfxActionCreateInstance) + " returned " + statusName(status) +
                 (thrown.empty() ? "" : " (" + thrown + ")")};
  }
  auto instance = std::make_unique<Instance>(state_, effect, options.depth);
  if (options.clipPreferencesOnCreate) {
    instance->clipPreferences();
  }
  return Expected<std::unique_ptr<Instance>>(std::move(instance));
}

}  // namespace kesto::host
