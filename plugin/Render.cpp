// Render action. (Filled in with the matte store.)

#include "plugin/PluginPrivate.h"

namespace kesto {

OfxStatus render(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatFailed; }

}  // namespace kesto
