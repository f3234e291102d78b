#pragma once
// Runs a command line through the shell and collects its exit status, standard output and standard error.

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline ToolRun runTool(const std::string &commandLine) {
  ToolRun run;
  char errPath[] = "/tmp/trevane-cli-test-XXXXXX";
  const int fd = ::mkstemp(errPath);
  if (fd < 0) return run;
  ::close(fd);
  FILE *pipe = ::popen((commandLine + " 2>" + errPath).c_str(), "r");
  if (pipe != nullptr) {
    std::array<char, 4096> buffer{};
    size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.out.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::ifstream err(errPath);
  run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  ::unlink(errPath);
  return run;
}
