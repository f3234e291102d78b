#pragma once
// What the project's command-line tools (trevane, trevane-backend) share on top of CLI11: checks that give
// their reason in one line on refusal but stay out of the help's option column, parsing an argument list in
// the order main received it, and help text wrapped to fit a terminal.

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace kesto::options {

// Whole numbers from lo to hi.
inline CLI::Validator within(long long lo, long long hi) { return CLI::Range(lo, hi).description(""); }

// Finite numbers from lo to hi ("from 0 to 1"); CLI11's own range prints both ends with six decimals.
inline CLI::Validator numberWithin(double lo, double hi) {
  return CLI::Validator(
      [lo, hi](const std::string &text) {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(v)) return "'" + text + "' is not a number";
        if (v < lo || v > hi) return "'" + text + "' is not from " + CLI::detail::to_string(lo) + " to " +
                                     CLI::detail::to_string(hi);
        return std::string();
      },
      "");
}

// Finite numbers above lo.
inline CLI::Validator numberAbove(double lo) {
  return CLI::Validator(
      [lo](const std::string &text) {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(v)) return "'" + text + "' is not a number";
        if (!(v > lo)) return "'" + text + "' must be above " + CLI::detail::to_string(lo);
        return std::string();
      },
      "");
}

inline CLI::Validator notEmpty(const std::string &what) {
  return CLI::Validator([what](const std::string &v) { return v.empty() ? "needs " + what : std::string(); }, "");
}

// Parses `args` (without the program name), given first to last; CLI11 2.1 takes a vector last first.
inline void parse(CLI::App &app, const std::vector<std::string> &args) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  app.parse(reversed);
}

// `text` broken into lines of at most `width` characters at spaces. Line breaks in `text` are kept, and so
// is the indentation a line starts with, on every line it is broken into.
inline std::string wrap(const std::string &text, std::size_t width) {
  std::string out;
  std::istringstream paragraphs(text);
  std::string paragraph;
  bool first = true;
  while (std::getline(paragraphs, paragraph)) {
    const std::string lead = paragraph.substr(0, paragraph.find_first_not_of(' '));
    std::istringstream words(paragraph);
    std::string word;
    std::string line;
    const auto flush = [&] {
      out += (first ? "" : "\n") + lead + line;
      first = false;
      line.clear();
    };
    while (words >> word) {
      if (!line.empty() && lead.size() + line.size() + 1 + word.size() > width) flush();
      line += (line.empty() ? "" : " ") + word;
    }
    flush();
  }
  return out;
}

// Help as the project's tools print it: every text wrapped to kHelpWidth columns, option descriptions in a
// column of their own, which options exclude each other said in the descriptions rather than beside the
// option's name, and a subcommand listed by the first line of its description.
class HelpFormatter : public CLI::Formatter {
 public:
  static constexpr std::size_t kHelpWidth = 100;
  static constexpr std::size_t kNameColumn = 26;

  HelpFormatter() { column_width(kNameColumn); }

  std::string make_option_opts(const CLI::Option *opt) const override {
    std::string opts = CLI::Formatter::make_option_opts(opt);
    const std::size_t excludes = opts.find(" Excludes:");
    return excludes == std::string::npos ? opts : opts.substr(0, excludes);
  }
  std::string make_option_desc(const CLI::Option *opt) const override {
    return wrap(CLI::Formatter::make_option_desc(opt), kHelpWidth - kNameColumn);
  }
  std::string make_description(const CLI::App *app) const override {
    const std::string text = app->get_description();
    return text.empty() ? std::string() : wrap(text, kHelpWidth) + "\n\n";
  }
  std::string make_footer(const CLI::App *app) const override {
    const std::string text = app->get_footer();
    return text.empty() ? std::string() : wrap(text, kHelpWidth) + "\n";
  }
  std::string make_subcommand(const CLI::App *sub) const override {
    const std::string text = sub->get_description();
    std::ostringstream out;
    CLI::detail::format_help(out, sub->get_display_name(true), text.substr(0, text.find('\n')), kNameColumn);
    return out.str();
  }
};

}  // namespace kesto::options
