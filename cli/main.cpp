// trevane: runs the Orvalis Trevane plug-in without an editor, through the project's in-process host.

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/Cli.h"
#include "options/CommandLine.h"

namespace {

using trevane::cli::CommandRun;

struct Subcommand {
  const char *name;
  CommandRun (*declare)(CLI::App &command);  // the first line of the command's description sums it up
};

constexpr Subcommand kSubcommands[] = {
    {"describe", trevane::cli::declareDescribe},
    {"overlay", trevane::cli::declareOverlay},
    {"render", trevane::cli::declareRender},
    {"pull", trevane::cli::declarePull},
};

bool isSubcommand(const char *name) {
  for (const Subcommand &s : kSubcommands) {
    if (std::strcmp(s.name, name) == 0) return true;
  }
  return false;
}

int run(int argc, char **argv) {
  CLI::App app{"Runs the Orvalis Trevane plug-in without an editor, through the project's in-process OpenFX host.",
               "trevane"};
  app.footer("trevane COMMAND --help tells more about each command.");
  app.formatter(std::make_shared<kesto::options::HelpFormatter>());
  std::map<std::string, CommandRun> runs;
  for (const Subcommand &s : kSubcommands) runs[s.name] = s.declare(*app.add_subcommand(s.name));
  if (argc < 2) {
    std::cerr << app.help();
    return trevane::cli::kExitUsage;
  }
  const std::string name = argv[1];
  if (name[0] != '-' && !isSubcommand(name.c_str())) {
    std::fprintf(stderr, "trevane: unknown command '%s' (see trevane --help)\n", name.c_str());
    return trevane::cli::kExitUsage;
  }
  const std::string prefix = name[0] == '-' ? "trevane: " : "trevane " + name + ": ";
  try {
    kesto::options::parse(app, std::vector<std::string>(argv + 1, argv + argc));
  } catch (const CLI::CallForHelp &) {
    std::cout << app.help();
    return trevane::cli::kExitOk;
  } catch (const CLI::ParseError &e) {
    std::cerr << prefix << e.what() << " (see --help)\n";
    return trevane::cli::kExitUsage;
  } catch (const trevane::cli::UsageError &e) {
    std::cerr << prefix << e.what() << "\n";
    return trevane::cli::kExitUsage;
  }
  if (name[0] == '-') {
    std::cerr << app.help();
    return trevane::cli::kExitUsage;
  }
  try {
    return runs.at(name)();
  } catch (const trevane::cli::UsageError &e) {
    std::cerr << prefix << e.what() << "\n";
    return trevane::cli::kExitUsage;
  } catch (const std::exception &e) {
    std::cerr << prefix << e.what() << "\n";
    return trevane::cli::kExitJobFailed;
  }
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "trevane: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "trevane: unexpected error\n");
  }
  return trevane::cli::kExitJobFailed;
}
