// Parameter reads and writes, and host messages. Values are read into variables preset to a fallback, so a
// missing parameter or a refused host call yields the fallback; the parameter set and the handle are fetched
// afresh for every access because other threads (the matte worker) use them too.

#include <string>

#include "plugin/HostSuites.h"
#include "plugin/PluginPrivate.h"

namespace kesto {
namespace {

OfxParamHandle paramHandle(OfxImageEffectHandle effect, const char *name) {
  if (!coreSuitesPresent() || effect == nullptr || name == nullptr) return nullptr;
  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  if (params == nullptr) return nullptr;
  OfxParamHandle param = nullptr;
  gParam->paramGetHandle(params, name, &param, nullptr);
  return param;
}

}  // namespace

std::string get_string(OfxImageEffectHandle effect, const char *name) {
  OfxParamHandle param = paramHandle(effect, name);
  if (param == nullptr) return {};
  char *value = nullptr;
  gParam->paramGetValue(param, &value);
  return value != nullptr ? std::string(value) : std::string();
}

bool set_string(OfxImageEffectHandle effect, const char *name, const std::string &value) {
  OfxParamHandle param = paramHandle(effect, name);
  if (param == nullptr) return false;
  return gParam->paramSetValue(param, value.c_str()) == kOfxStatOK;
}

int get_int(OfxImageEffectHandle effect, const char *name, int fallback) {
  OfxParamHandle param = paramHandle(effect, name);
  int value = fallback;
  if (param != nullptr && gParam->paramGetValue(param, &value) != kOfxStatOK) value = fallback;
  return value;
}

double get_double(OfxImageEffectHandle effect, const char *name, double fallback) {
  OfxParamHandle param = paramHandle(effect, name);
  double value = fallback;
  if (param != nullptr && gParam->paramGetValue(param, &value) != kOfxStatOK) value = fallback;
  return value;
}

void showMessage(const std::string &text) {
  if (gMessage == nullptr || gMessage->message == nullptr) return;
  gMessage->message(nullptr, kOfxMessageMessage, nullptr, "%s", text.c_str());
}

}  // namespace kesto
