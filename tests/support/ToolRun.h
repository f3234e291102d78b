#pragma once
// Child processes for tests: any program with its standard output and error in log files, and the built
// `trevane` tool run as a user would, in a scratch folder of its own (removed with everything in it at
// destruction), with its output and error kept in files of that folder and a model cache of its own there,
// so that no model of this machine's user is ever seen.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/ScratchFolder.h"

extern char **environ;

namespace kesto::testing {

// A started program, its output and error appended to the log files; killed (SIGKILL) and reaped at
// destruction if still running.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> args, const std::string &outLog, const std::string &errLog) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() { end(SIGKILL); }
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Sends `signal` (none with 0) and reaps the process: its exit status, or -1 when it did not exit by itself.
  int end(int signal = 0) {
    if (pid_ <= 0) return -1;
    if (signal != 0) kill(pid_, signal);
    int status = 0;
    const bool reaped = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

class ToolRun {
 public:
  explicit ToolRun(const std::string &prefix) : folder_(prefix) {}

  const std::string &dir() const { return folder_.path(); }

  // Runs `trevane <arguments>` (already quoted for the shell); the exit status, or -1 when it did not exit.
  int run(const std::string &arguments) const {
    std::remove((dir() + "/out.txt").c_str());
    std::remove((dir() + "/err.txt").c_str());
    const std::string line = "XDG_CACHE_HOME='" + dir() + "/cache' '" + TREVANE_BINARY_DIR + "/cli/trevane' " + arguments;
    return ChildProcess({"/bin/sh", "-c", line}, dir() + "/out.txt", dir() + "/err.txt").end();
  }

  std::string out() const { return fileText(dir() + "/out.txt"); }
  std::string err() const { return fileText(dir() + "/err.txt"); }

 private:
  ScratchFolder folder_;
};

// One run's outcome, for tests that need nothing else from the scratch folder.
struct ToolResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline ToolResult runTrevane(const std::string &arguments) {
  const ToolRun tool("trevane-tool-test");
  const int exitCode = tool.run(arguments);
  return {exitCode, tool.out(), tool.err()};
}

}  // namespace kesto::testing
