#include "plugin/FrameIndex.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace kesto {
namespace {

// The "C" locale, made once; a host may have switched the process to one with a decimal comma.
locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

double parse_clip_start(const std::string &text) {
  const locale_t locale = cLocale();
  if (locale == static_cast<locale_t>(nullptr)) return std::strtod(text.c_str(), nullptr);
  return strtod_l(text.c_str(), nullptr, locale);
}

std::optional<std::int32_t> matte_frame_index(double time, double clipStart) {
  const double rounded = std::round(time - clipStart);
  // The comparisons are false for NaN, so a time or start that is no number gives no frame.
  if (!(rounded >= 0.0 && rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(rounded);
}

}  // namespace kesto
