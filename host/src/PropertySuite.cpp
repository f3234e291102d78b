// The property suite: thin C wrappers that find the set behind a handle and defer to PropertySet.
#include "Registry.h"
#include "Suites.h"

namespace kesto::host::detail {

namespace {

std::shared_ptr<PropertySet> lookup(OfxPropertySetHandle handle) {
  return handle == nullptr ? nullptr : Registry::instance().findProperties(handle);
}

template <class T>
OfxStatus set_one(OfxPropertySetHandle h, const char *name, PropType type, int index, T value) {
  return guarded([&] {
    auto set = lookup(h);
    return set ? set->pluginSet(name, type, index, &value) : kOfxStatErrBadHandle;
  });
}

OfxStatus set_many(OfxPropertySetHandle h, const char *name, PropType type, int count, const void *values) {
  return guarded([&] {
    auto set = lookup(h);
    return set ? set->pluginSetN(name, type, count, values) : kOfxStatErrBadHandle;
  });
}

OfxStatus get_one(OfxPropertySetHandle h, const char *name, PropType type, int index, void *out) {
  return guarded([&] {
    auto set = lookup(h);
    return set ? set->pluginGet(name, type, index, out) : kOfxStatErrBadHandle;
  });
}

OfxStatus get_many(OfxPropertySetHandle h, const char *name, PropType type, int count, void *out) {
  return guarded([&] {
    auto set = lookup(h);
    return set ? set->pluginGetN(name, type, count, out) : kOfxStatErrBadHandle;
  });
}

OfxStatus propSetPointer(OfxPropertySetHandle h, const char *name, int index, void *value) {
  return set_one(h, name, PropType::Pointer, index, value);
}
OfxStatus propSetString(OfxPropertySetHandle h, const char *name, int index, const char *value) {
  return set_one(h, name, PropType::String, index, value);
}
OfxStatus propSetDouble(OfxPropertySetHandle h, const char *name, int index, double value) {
  return set_one(h, name, PropType::Double, index, value);
}
OfxStatus propSetInt(OfxPropertySetHandle h, const char *name, int index, int value) {
  return set_one(h, name, PropType::Int, index, value);
}
OfxStatus propSetPointerN(OfxPropertySetHandle h, const char *name, int count, void *const *value) {
  return set_many(h, name, PropType::Pointer, count, value);
}
OfxStatus propSetStringN(OfxPropertySetHandle h, const char *name, int count, const char *const *value) {
  return set_many(h, name, PropType::String, count, value);
}
OfxStatus propSetDoubleN(OfxPropertySetHandle h, const char *name, int count, const double *value) {
  return set_many(h, name, PropType::Double, count, value);
}
OfxStatus propSetIntN(OfxPropertySetHandle h, const char *name, int count, const int *value) {
  return set_many(h, name, PropType::Int, count, value);
}
OfxStatus propGetPointer(OfxPropertySetHandle h, const char *name, int index, void **value) {
  return get_one(h, name, PropType::Pointer, index, value);
}
OfxStatus propGetString(OfxPropertySetHandle h, const char *name, int index, char **value) {
  return get_one(h, name, PropType::String, index, value);
}
OfxStatus propGetDouble(OfxPropertySetHandle h, const char *name, int index, double *value) {
  return get_one(h, name, PropType::Double, index, value);
}
OfxStatus propGetInt(OfxPropertySetHandle h, const char *name, int index, int *value) {
  return get_one(h, name, PropType::Int, index, value);
}
OfxStatus propGetPointerN(OfxPropertySetHandle h, const char *name, int count, void **value) {
  return get_many(h, name, PropType::Pointer, count, value);
}
OfxStatus propGetStringN(OfxPropertySetHandle h, const char *name, int count, char **value) {
  return get_many(h, name, PropType::String, count, value);
}
OfxStatus propGetDoubleN(OfxPropertySetHandle h, const char *name, int count, double *value) {
  return get_many(h, name, PropType::Double, count, value);
}
OfxStatus propGetIntN(OfxPropertySetHandle h, const char *name, int count, int *value) {
  return get_many(h, name, PropType::Int, count, value);
}
OfxStatus propReset(OfxPropertySetHandle h, const char *name) {
  return guarded([&] {
    auto set = lookup(h);
    return set ? set->pluginReset(name) : kOfxStatErrBadHandle;
  });
}
OfxStatus propGetDimension(OfxPropertySetHandle h, const char *name, int *count) {
  return guarded([&] {
    auto set = lookup(h);
    return set ? set->pluginGetDimension(name, count) : kOfxStatErrBadHandle;
  });
}

const OfxPropertySuiteV1 kPropertySuite = {
    propSetPointer,  propSetString,  propSetDouble,  propSetInt,      propSetPointerN, propSetStringN,
    propSetDoubleN,  propSetIntN,    propGetPointer, propGetString,   propGetDouble,   propGetInt,
    propGetPointerN, propGetStringN, propGetDoubleN, propGetIntN,     propReset,       propGetDimension,
};

}  // namespace

const OfxPropertySuiteV1 *propertySuite() { return &kPropertySuite; }

}  // namespace kesto::host::detail
