#pragma once
// The plug-in's version text, as the usage beacon reports it.

namespace kesto {

inline constexpr char kPluginVersionString[] = "1.1.0";

}  // namespace kesto
