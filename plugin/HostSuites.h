#pragma once
// The host's suites, fetched once by setHost before any action and only read afterwards (no lock needed).
// Any of them may be null when the host does not offer it: every caller checks before calling through.

#include "ofxImageEffect.h"

extern OfxHost *gHost;
extern const OfxImageEffectSuiteV1 *gEffect;
extern const OfxPropertySuiteV1 *gProp;
extern const OfxParameterSuiteV1 *gParam;
extern const OfxInteractSuiteV1 *gInteract;
extern const OfxMessageSuiteV1 *gMessage;

namespace kesto {

// True when the three suites that every action needs (image effect, property, parameter) are present.
inline bool coreSuitesPresent() { return gEffect != nullptr && gProp != nullptr && gParam != nullptr; }

}  // namespace kesto
