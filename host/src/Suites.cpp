#include "Suites.h"

#include <cstring>
#include <deque>
#include <mutex>

#include "PropertyTables.h"
#include "Registry.h"

namespace kesto::host::detail {

namespace {
constexpr int kSuiteVersion = 1;

// Every host record ever handed to a plug-in, kept for the life of the process (see HostState::record).
OfxHost *keep_record(OfxHost record) {
  static std::mutex gMu;
  static auto *gRecords = new std::deque<OfxHost>();
  std::lock_guard<std::mutex> lock(gMu);
  gRecords->push_back(record);
  return &gRecords->back();
}
}  // namespace

std::shared_ptr<HostState> HostState::create(std::set<std::string> withheld) {
  auto state = std::make_shared<HostState>();
  state->withheld = std::move(withheld);
  state->props = PropertySet::create("host", hostTable(), HandleKind::HostProperties, state);
  state->record = keep_record(OfxHost{state->props->handle(), &fetchSuite});
  return state;
}

const void *fetchSuite(OfxPropertySetHandle host, const char *suiteName, int suiteVersion) {
  try {
    auto state = Registry::instance().find<HostState>(host, HandleKind::HostProperties);
    if (!state || suiteName == nullptr || suiteVersion != kSuiteVersion || state->withheld.count(suiteName) != 0) {
      return nullptr;
    }
    if (std::strcmp(suiteName, kOfxPropertySuite) == 0) return propertySuite();
    if (std::strcmp(suiteName, kOfxImageEffectSuite) == 0) return imageEffectSuite();
    if (std::strcmp(suiteName, kOfxParameterSuite) == 0) return parameterSuite();
    if (std::strcmp(suiteName, kOfxInteractSuite) == 0) return interactSuite();
    if (std::strcmp(suiteName, kOfxMessageSuite) == 0) return messageSuite();
  } catch (...) {
    return nullptr;  // a C entry point: nothing may escape
  }
  return nullptr;
}

}  // namespace kesto::host::detail
