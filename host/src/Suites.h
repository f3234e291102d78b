#pragma once
// The five host suites (version 1) and fetchSuite.

#include <memory>
#include <set>
#include <string>

#include "host/PropertySet.h"
#include "ofxImageEffect.h"

namespace kesto::host::detail {

const OfxPropertySuiteV1 *propertySuite();
const OfxImageEffectSuiteV1 *imageEffectSuite();
const OfxParameterSuiteV1 *parameterSuite();
const OfxInteractSuiteV1 *interactSuite();
const OfxMessageSuiteV1 *messageSuite();

// What fetchSuite needs to know about one host: its property set and the suites it withholds.
struct HostState {
  std::shared_ptr<PropertySet> props;
  std::set<std::string> withheld;
  // Handed to setHost. Never freed: a plug-in keeps the pointer and, with the module never unloaded, may use
  // it from its own threads after the host object is gone (its property set handle then reads as stale).
  OfxHost *record = nullptr;
  static std::shared_ptr<HostState> create(std::set<std::string> withheld);
};

const void *fetchSuite(OfxPropertySetHandle host, const char *suiteName, int suiteVersion);

// Runs `body`, turning any exception into a status: suite functions are C entry points.
template <class Body>
OfxStatus guarded(Body &&body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return kOfxStatErrMemory;
  } catch (...) {
    return kOfxStatErrFatal;
  }
}

}  // namespace kesto::host::detail
