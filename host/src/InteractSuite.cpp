// The interact suite. Redraw and swap requests are only counted: the host draws nothing itself.
#include "Objects.h"
#include "Suites.h"

namespace kesto::host::detail {

namespace {

std::shared_ptr<Interact> find_interact(OfxInteractHandle h) {
  return Registry::instance().find<Interact>(h, HandleKind::Interact);
}

OfxStatus interactSwapBuffers(OfxInteractHandle h) {
  return guarded([&] {
    auto interact = find_interact(h);
    if (!interact) return kOfxStatErrBadHandle;
    ++interact->swapRequests;
    return kOfxStatOK;
  });
}

OfxStatus interactRedraw(OfxInteractHandle h) {
  return guarded([&] {
    auto interact = find_interact(h);
    if (!interact) return kOfxStatErrBadHandle;
    ++interact->redrawRequests;
    return kOfxStatOK;
  });
}

OfxStatus interactGetPropertySet(OfxInteractHandle h, OfxPropertySetHandle *out) {
  return guarded([&] {
    auto interact = find_interact(h);
    if (!interact) return kOfxStatErrBadHandle;
    if (out == nullptr) return kOfxStatErrValue;
    *out = interact->props().handle();
    return kOfxStatOK;
  });
}

const OfxInteractSuiteV1 kInteractSuite = {interactSwapBuffers, interactRedraw, interactGetPropertySet};

}  // namespace

const OfxInteractSuiteV1 *interactSuite() { return &kInteractSuite; }

}  // namespace kesto::host::detail
