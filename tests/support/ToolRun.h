#pragma once
// Runs the built `trevane` tool as a user would, in a scratch folder of its own (removed with everything in
// it at destruction), with the tool's standard output and error kept in files of that folder.

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/ScratchFolder.h"

namespace kesto::testing {

class ToolRun {
 public:
  explicit ToolRun(const std::string &prefix) : folder_(prefix) {}

  const std::string &dir() const { return folder_.path(); }

  // Runs `trevane <arguments>` (already quoted for the shell); the exit status, or -1 when it did not exit.
  int run(const std::string &arguments) const {
    return runCommand("'" + std::string(TREVANE_BINARY_DIR) + "/cli/trevane' " + arguments);
  }

  // Runs any command line through the shell, its output kept as for run().
  int runCommand(const std::string &commandLine) const {
    const std::string command = commandLine + " >'" + dir() + "/out.txt' 2>'" + dir() + "/err.txt'";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string out() const { return text("out.txt"); }
  std::string err() const { return text("err.txt"); }

 private:
  std::string text(const char *file) const {
    std::string content;
    if (FILE *f = std::fopen((dir() + "/" + file).c_str(), "rb")) {
      char buffer[512];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
      std::fclose(f);
    }
    return content;
  }

  ScratchFolder folder_;
};

// One run's outcome, for tests that need nothing else from the scratch folder.
struct ToolResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline ToolResult runCommandLine(const std::string &commandLine) {
  const ToolRun tool("trevane-tool-test");
  ToolResult result;
  result.exitCode = tool.runCommand(commandLine);
  result.out = tool.out();
  result.err = tool.err();
  return result;
}

inline ToolResult runTrevane(const std::string &arguments) {
  return runCommandLine("'" + std::string(TREVANE_BINARY_DIR) + "/cli/trevane' " + arguments);
}

}  // namespace kesto::testing
