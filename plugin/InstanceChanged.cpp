// Instance changes: the three push buttons. (Filled in with the job launch.)

#include "plugin/PluginPrivate.h"

namespace kesto {

OfxStatus onInstanceChanged(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatReplyDefault; }

}  // namespace kesto
