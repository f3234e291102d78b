#pragma once
// Names of OpenFX status codes, for error texts and test failure messages.

#include <string>

#include "ofxCore.h"

#include "host/Namespace.h"

namespace kesto::host {

// "kOfxStatErrUnknown" for 3; "status 42" for a code the standard does not define.
std::string statusName(OfxStatus status);

}  // namespace kesto::host
