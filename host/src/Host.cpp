#include "host/Host.h"

#include <dlfcn.h>

#include <cstring>

#include "ActionScope.h"
#include "PluginState.h"

namespace kesto::host {

namespace {

using GetNumberFn = int (*)();
using GetPluginFn = OfxPlugin *(*)(int);

LoadResult failure(LoadStage stage, std::string error, OfxStatus status = kOfxStatOK) {
  LoadResult r;
  r.stage = stage;
  r.status = status;
  r.error = std::move(error);
  return r;
}

std::string reply_text(const char *action, OfxStatus status, const std::string &thrown) {
  return std::string(action) + " returned " + statusName(status) + (thrown.empty() ? "" : " (" + thrown + ")");
}

bool supports_filter(const PropertySet &descriptor) {
  const auto contexts = descriptor.get(kOfxImageEffectPropSupportedContexts);
  if (!contexts) {
    return false;
  }
  for (const auto &c : contexts->strings) {
    if (c == kOfxImageEffectContextFilter) {
      return true;
    }
  }
  return false;
}

}  // namespace

const char *loadStageName(LoadStage stage) {
  switch (stage) {
    case LoadStage::Find: return "find";
    case LoadStage::Open: return "open";
    case LoadStage::Record: return "record";
    case LoadStage::SetHost: return "setHost";
    case LoadStage::Load: return "load";
    case LoadStage::Describe: return "describe";
    case LoadStage::DescribeInContext: return "describe in context";
    case LoadStage::Validate: return "validate";
    case LoadStage::Done: return "done";
  }
  return "?";
}

Host::Host(HostOptions options)
    : options_(std::move(options)),
      state_(detail::HostState::create(options_.withheldSuites)),
      messageStart_(messageCount()) {}

Host::~Host() = default;

PropertySet &Host::properties() const { return *state_->props; }

const void *Host::fetchSuite(const char *name, int version) const {
  return detail::fetchSuite(state_->props->handle(), name, version);
}

const OfxHost *Host::record() const { return state_->record; }

std::vector<HostMessage> Host::messages() const { return allMessages(messageStart_); }

void Host::clearMessages() { messageStart_ = messageCount(); }

LoadResult Host::load(const std::string &bundleOrName, const std::string &identifier) {
  auto location = findBundle(bundleOrName, options_.searchPath, options_.useEnvironmentPath);
  if (!location) {
    return failure(LoadStage::Find, location.error());
  }
  // RTLD_LOCAL: the plug-in's symbols must not satisfy anyone else's; RTLD_NOW: unresolved symbols fail here.
  void *library = dlopen(location->binaryPath.c_str(), RTLD_LOCAL | RTLD_NOW);
  if (library == nullptr) {
    const char *why = dlerror();
    return failure(LoadStage::Open, "dlopen failed: " + std::string(why == nullptr ? "?" : why));
  }
  auto state = std::make_shared<detail::PluginState>();
  state->host = state_;
  state->library = library;  // owned from here on (closed by ~PluginState when asked to)
  state->bundlePath = location->bundleDir;
  state->binaryPath = location->binaryPath;
  state->dlcloseOnUnload = options_.dlcloseOnUnload;

  auto getNumber = reinterpret_cast<GetNumberFn>(dlsym(library, "OfxGetNumberOfPlugins"));
  auto getPlugin = reinterpret_cast<GetPluginFn>(dlsym(library, "OfxGetPlugin"));
  if (getNumber == nullptr || getPlugin == nullptr) {
    return failure(LoadStage::Record, location->binaryPath + " does not export OfxGetNumberOfPlugins and OfxGetPlugin");
  }
  const int count = getNumber();
  if (count <= 0) {
    return failure(LoadStage::Record, "OfxGetNumberOfPlugins returned " + std::to_string(count));
  }
  std::string seen;
  for (int i = 0; i < count && state->record == nullptr; ++i) {
    OfxPlugin *record = getPlugin(i);
    if (record == nullptr || record->pluginApi == nullptr || record->pluginIdentifier == nullptr) {
      seen += " [" + std::to_string(i) + ": null or incomplete record]";
      continue;
    }
    const bool effect =
        std::strcmp(record->pluginApi, kOfxImageEffectPluginApi) == 0 && record->apiVersion == kOfxImageEffectPluginApiVersion;
    seen += " [" + std::to_string(i) + ": " + record->pluginIdentifier + " " + record->pluginApi + " v" +
            std::to_string(record->apiVersion) + "]";
    if (effect && (identifier.empty() || identifier == record->pluginIdentifier)) {
      state->record = record;
    }
  }
  if (state->record == nullptr) {
    return failure(LoadStage::Record, "no image effect plug-in (" + std::string(kOfxImageEffectPluginApi) +
                                          " version 1" + (identifier.empty() ? "" : " named " + identifier) +
                                          ") in the module:" + seen);
  }
  state->identifier = state->record->pluginIdentifier;
  if (state->record->setHost == nullptr || state->record->mainEntry == nullptr) {
    return failure(LoadStage::SetHost, "plug-in record lacks setHost or mainEntry");
  }
  try {
    state->record->setHost(state_->record);
  } catch (...) {
    return failure(LoadStage::SetHost, "setHost threw");
  }

  std::string thrown;
  OfxStatus status = detail::callEntry(state->mainEntry(), kOfxActionLoad, nullptr, nullptr, nullptr, &thrown);
  if (status != kOfxStatOK && status != kOfxStatReplyDefault) {
    return failure(LoadStage::Load, reply_text(kOfxActionLoad, status, thrown), status);
  }

  {
    std::lock_guard<std::mutex> lock(state->mu);
    state->loaded = true;
  }
  state->descriptor = detail::Effect::create(detail::Effect::Role::Descriptor);
  state->descriptor->props().setString(kOfxPluginPropFilePath, state->bundlePath);
  {
    detail::ActionScope scope(state->descriptor.get(), kOfxActionDescribe);
    status = detail::callEntry(state->mainEntry(), kOfxActionDescribe, state->descriptor->handle(), nullptr, nullptr,
                               &thrown);
  }
  if (status != kOfxStatOK) {
    return failure(LoadStage::Describe, reply_text(kOfxActionDescribe, status, thrown), status);
  }
  if (!supports_filter(state->descriptor->props())) {
    return failure(LoadStage::Describe, "the plug-in does not declare the filter context");
  }

  state->contextDescriptor = detail::Effect::create(detail::Effect::Role::ContextDescriptor);
  state->contextDescriptor->props().copyValuesFrom(state->descriptor->props());
  auto inArgs = makeArgs(ArgsKind::DescribeInContextIn);
  state->contextDescriptor->definitionsOpen = true;
  {
    detail::ActionScope scope(state->contextDescriptor.get(), kOfxImageEffectActionDescribeInContext);
    status = detail::callEntry(state->mainEntry(), kOfxImageEffectActionDescribeInContext,
                               state->contextDescriptor->handle(), inArgs->handle(), nullptr, &thrown);
  }
  state->contextDescriptor->definitionsOpen = false;
  if (status != kOfxStatOK) {
    return failure(LoadStage::DescribeInContext, reply_text(kOfxImageEffectActionDescribeInContext, status, thrown),
                   status);
  }
  for (const char *clip : {kOfxImageEffectSimpleSourceClipName, kOfxImageEffectOutputClipName}) {
    if (!state->contextDescriptor->findClip(clip)) {
      return failure(LoadStage::Validate, std::string("the filter context needs a clip named \"") + clip +
                                              "\" and the plug-in did not define one");
    }
  }
  LoadResult r;
  r.stage = LoadStage::Done;
  r.plugin = std::make_shared<Plugin>(std::move(state));
  return r;
}

int outstandingImages() { return detail::imageStats().outstanding.load(); }
int leakedImages() { return detail::imageStats().leaked.load(); }
int badImageReleases() { return detail::imageStats().badReleases.load(); }

}  // namespace kesto::host
