#pragma once
// What the plug-in's files share. Private to plugin/ and overlay/; nothing here is exported from the module.

#include <string>

#include "ofxImageEffect.h"

namespace kesto {

// Effect description (the two describe actions).
OfxStatus describe(OfxImageEffectHandle effect);
OfxStatus describeInContext(OfxImageEffectHandle effect);

// Current value of a string parameter; empty when the parameter is missing or the host refuses.
std::string get_string(OfxImageEffectHandle effect, const char *name);
// Writes a string parameter (parameter set and handle fetched afresh); false when the host refused.
bool set_string(OfxImageEffectHandle effect, const char *name, const std::string &value);
// Current value of an integer-like (integer, boolean, choice) or double parameter; `fallback` when unreadable.
int get_int(OfxImageEffectHandle effect, const char *name, int fallback);
double get_double(OfxImageEffectHandle effect, const char *name, double fallback);

// Shows a one-line text to the user through the host's message suite; skipped without one.
void showMessage(const std::string &text);

// Create-instance step: starts the usage beacon when "backend_url" begins with "http".
void beaconToBackend(OfxImageEffectHandle effect);
// True when `url` passes the backend test: at least four bytes, the first four exactly "http".
bool looksLikeBackendUrl(const std::string &url);

// Action handlers that live in files of their own.
OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
OfxStatus onInstanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

}  // namespace kesto
