// The parameter suite. Values are read and written through Param, which is thread-safe; a value the plug-in
// sets queues an instance-changed notification ("OfxChangePluginEdited") for the host's interface thread.
#include <cstdarg>

#include "ActionScope.h"
#include "Objects.h"
#include "Suites.h"

namespace kesto::host::detail {

namespace {

std::shared_ptr<Param> find_param(OfxParamHandle h) { return Registry::instance().find<Param>(h, HandleKind::Param); }
std::shared_ptr<ParamSet> find_set(OfxParamSetHandle h) {
  return Registry::instance().find<ParamSet>(h, HandleKind::ParamSet);
}

// A parameter whose value the plug-in may read or write: an instance parameter of a live instance.
OfxStatus check_valued(const std::shared_ptr<Param> &param) {
  if (!param || !param->isInstance() || param->owner().expired()) return kOfxStatErrBadHandle;
  if (!param->holdsValue()) return kOfxStatErrUnsupported;
  return kOfxStatOK;
}

// Renders must not change parameters (the value would change under the frame being rendered); hosts refuse.
bool rendering(const Param &param) {
  auto effect = param.owner().lock();
  const ActionFrame *frame = effect ? currentFrameFor(effect.get()) : nullptr;
  return frame != nullptr && frame->isRender;
}

OfxStatus get_value(OfxParamHandle h, va_list ap) {
  return guarded([&] {
    auto param = find_param(h);
    const OfxStatus ok = check_valued(param);
    if (ok != kOfxStatOK) return ok;
    switch (param->kind()) {
      case ParamKind::Integer:
      case ParamKind::Boolean:
      case ParamKind::Choice: {
        int *out = va_arg(ap, int *);
        return out == nullptr ? kOfxStatErrValue : param->getInt(out);
      }
      case ParamKind::Double: {
        double *out = va_arg(ap, double *);
        return out == nullptr ? kOfxStatErrValue : param->getDouble(out);
      }
      case ParamKind::String: {
        char **out = va_arg(ap, char **);
        return out == nullptr ? kOfxStatErrValue : param->getText(out);
      }
      default: return kOfxStatErrUnsupported;
    }
  });
}

OfxStatus set_value(OfxParamHandle h, va_list ap) {
  return guarded([&] {
    auto param = find_param(h);
    const OfxStatus ok = check_valued(param);
    if (ok != kOfxStatOK) return ok;
    if (rendering(*param)) return kOfxStatFailed;
    OfxStatus status = kOfxStatErrUnsupported;
    switch (param->kind()) {
      case ParamKind::Integer:
      case ParamKind::Boolean:
      case ParamKind::Choice: status = param->set(ParamValue::ofInt(va_arg(ap, int))); break;
      case ParamKind::Double: status = param->set(ParamValue::ofDouble(va_arg(ap, double))); break;
      case ParamKind::String: {
        const char *text = va_arg(ap, const char *);
        status = text == nullptr ? kOfxStatErrValue : param->set(ParamValue::ofText(text));
        break;
      }
      default: break;
    }
    if (status == kOfxStatOK) {
      if (auto effect = param->owner().lock()) {
        effect->queueChange(ParamChange{param->name(), kOfxChangePluginEdited, effect->currentTime.load()});
      }
    }
    return status;
  });
}

OfxStatus paramDefine(OfxParamSetHandle h, const char *paramType, const char *name, OfxPropertySetHandle *props) {
  return guarded([&] {
    auto set = find_set(h);
    if (!set || set->isInstance()) return kOfxStatErrBadHandle;
    auto owner = set->owner().lock();
    // Only a per-context descriptor, while describe-in-context runs, takes definitions.
    if (!owner || owner->role() != Effect::Role::ContextDescriptor || !owner->definitionsOpen) {
      return kOfxStatErrBadHandle;
    }
    if (paramType == nullptr || name == nullptr) return kOfxStatErrBadHandle;
    std::shared_ptr<Param> param;
    const OfxStatus status = set->define(paramType, name, &param);
    if (status == kOfxStatOK && props != nullptr) {
      *props = param->props().handle();
    }
    return status;
  });
}

OfxStatus paramGetHandle(OfxParamSetHandle h, const char *name, OfxParamHandle *out, OfxPropertySetHandle *props) {
  return guarded([&] {
    auto set = find_set(h);
    if (!set || name == nullptr) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    auto param = set->find(name);
    if (!param) return kOfxStatErrUnknown;
    *out = param->handle();
    if (props != nullptr) {
      *props = param->props().handle();
    }
    return kOfxStatOK;
  });
}

OfxStatus paramSetGetPropertySet(OfxParamSetHandle h, OfxPropertySetHandle *out) {
  return guarded([&] {
    auto set = find_set(h);
    if (!set) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    *out = set->props().handle();
    return kOfxStatOK;
  });
}

OfxStatus paramGetPropertySet(OfxParamHandle h, OfxPropertySetHandle *out) {
  return guarded([&] {
    auto param = find_param(h);
    if (!param) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    *out = param->props().handle();
    return kOfxStatOK;
  });
}

OfxStatus paramGetValue(OfxParamHandle h, ...) {
  va_list ap;
  va_start(ap, h);
  const OfxStatus status = get_value(h, ap);
  va_end(ap);
  return status;
}

// Parameters do not animate in this host: the value at any time is the value.
OfxStatus paramGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list ap;
  va_start(ap, time);
  const OfxStatus status = get_value(h, ap);
  va_end(ap);
  return status;
}

OfxStatus paramGetDerivative(OfxParamHandle h, OfxTime time, ...) {
  va_list ap;
  va_start(ap, time);
  const OfxStatus status = guarded([&] {
    auto param = find_param(h);
    const OfxStatus ok = check_valued(param);
    if (ok != kOfxStatOK) return ok;
    if (param->kind() != ParamKind::Double) return kOfxStatErrUnsupported;
    double *out = va_arg(ap, double *);
    if (out == nullptr) return kOfxStatErrValue;
    *out = 0.0;
    return kOfxStatOK;
  });
  va_end(ap);
  return status;
}

OfxStatus paramGetIntegral(OfxParamHandle h, OfxTime time1, OfxTime time2, ...) {
  va_list ap;
  va_start(ap, time2);
  const OfxStatus status = guarded([&] {
    auto param = find_param(h);
    const OfxStatus ok = check_valued(param);
    if (ok != kOfxStatOK) return ok;
    if (param->kind() != ParamKind::Double) return kOfxStatErrUnsupported;
    double *out = va_arg(ap, double *);
    if (out == nullptr) return kOfxStatErrValue;
    double value = 0.0;
    param->getDouble(&value);
    *out = value * (time2 - time1);
    return kOfxStatOK;
  });
  va_end(ap);
  return status;
}

OfxStatus paramSetValue(OfxParamHandle h, ...) {
  va_list ap;
  va_start(ap, h);
  const OfxStatus status = set_value(h, ap);
  va_end(ap);
  return status;
}

OfxStatus paramSetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list ap;
  va_start(ap, time);
  const OfxStatus status = set_value(h, ap);
  va_end(ap);
  return status;
}

OfxStatus paramGetNumKeys(OfxParamHandle h, unsigned int *count) {
  return guarded([&] {
    const OfxStatus ok = check_valued(find_param(h));
    if (ok != kOfxStatOK) return ok;
    if (count == nullptr) return kOfxStatErrValue;
    *count = 0;
    return kOfxStatOK;
  });
}

OfxStatus paramGetKeyTime(OfxParamHandle h, unsigned int, OfxTime *) {
  return guarded([&] {
    const OfxStatus ok = check_valued(find_param(h));
    return ok != kOfxStatOK ? ok : kOfxStatErrBadIndex;  // there are no keys
  });
}

OfxStatus paramGetKeyIndex(OfxParamHandle h, OfxTime, int, int *) {
  return guarded([&] {
    const OfxStatus ok = check_valued(find_param(h));
    return ok != kOfxStatOK ? ok : kOfxStatFailed;
  });
}

OfxStatus paramDeleteKey(OfxParamHandle h, OfxTime) {
  return guarded([&] {
    const OfxStatus ok = check_valued(find_param(h));
    return ok != kOfxStatOK ? ok : kOfxStatErrBadIndex;
  });
}

OfxStatus paramDeleteAllKeys(OfxParamHandle h) {
  return guarded([&] { return check_valued(find_param(h)); });
}

OfxStatus paramCopy(OfxParamHandle to, OfxParamHandle from, OfxTime, const OfxRangeD *) {
  return guarded([&] {
    auto dst = find_param(to);
    auto src = find_param(from);
    OfxStatus ok = check_valued(dst);
    if (ok == kOfxStatOK) ok = check_valued(src);
    if (ok != kOfxStatOK) return ok;
    if (dst->paramType() != src->paramType()) return kOfxStatErrValue;
    const auto value = src->value();
    const OfxStatus status = value ? dst->set(*value) : kOfxStatErrValue;
    if (status == kOfxStatOK) {
      if (auto effect = dst->owner().lock()) {
        effect->queueChange(ParamChange{dst->name(), kOfxChangePluginEdited, effect->currentTime.load()});
      }
    }
    return status;
  });
}

OfxStatus paramEditBegin(OfxParamSetHandle h, const char *name) {
  return guarded([&] {
    auto set = find_set(h);
    if (!set || name == nullptr) return kOfxStatErrBadHandle;
    ++set->editDepth;
    return kOfxStatOK;
  });
}

OfxStatus paramEditEnd(OfxParamSetHandle h) {
  return guarded([&] {
    auto set = find_set(h);
    if (!set) return kOfxStatErrBadHandle;
    int depth = set->editDepth.load();
    while (depth > 0 && !set->editDepth.compare_exchange_weak(depth, depth - 1)) {
    }
    return depth > 0 ? kOfxStatOK : kOfxStatFailed;  // an end without a begin
  });
}

const OfxParameterSuiteV1 kParameterSuite = {
    paramDefine,      paramGetHandle,      paramSetGetPropertySet, paramGetPropertySet, paramGetValue,
    paramGetValueAtTime, paramGetDerivative, paramGetIntegral,      paramSetValue,       paramSetValueAtTime,
    paramGetNumKeys,  paramGetKeyTime,     paramGetKeyIndex,       paramDeleteKey,      paramDeleteAllKeys,
    paramCopy,        paramEditBegin,      paramEditEnd,
};

}  // namespace

const OfxParameterSuiteV1 *parameterSuite() { return &kParameterSuite; }

}  // namespace kesto::host::detail
