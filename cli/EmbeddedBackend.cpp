// Starting and stopping the reference backend for `trevane pull`.

#include "cli/EmbeddedBackend.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char **environ;

namespace trevane::cli {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr const char *kExecutableName = "trevane-backend";
// A neural engine checks its model with one inference before it listens: several seconds, more on a busy
// machine.
constexpr std::chrono::seconds kStartTimeout{180};
constexpr milliseconds kStopGrace{3000};
constexpr milliseconds kPollInterval{20};

bool isExecutable(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string findExecutable(const std::string &given) {
  if (!given.empty()) {
    if (!isExecutable(given)) throw std::runtime_error("--backend-exe: '" + given + "' is not an executable file");
    return given;
  }
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const fs::path &candidate : {self.parent_path() / kExecutableName,
                                      self.parent_path().parent_path() / "backend" / kExecutableName}) {
      if (isExecutable(candidate.string())) return candidate.string();
    }
  }
  if (const char *path = std::getenv("PATH")) {
    std::istringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
      const std::string candidate = (folder.empty() ? "." : folder) + "/" + kExecutableName;
      if (isExecutable(candidate)) return candidate;
    }
  }
  throw std::runtime_error(std::string("cannot find ") + kExecutableName +
                           " beside trevane or on PATH; give --backend URL or --backend-exe FILE");
}

std::string makeFolder() {
  std::string pattern = (fs::temp_directory_path() / "trevane-backend-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error(std::string("cannot make a folder for the backend: ") + std::strerror(errno));
  }
  return buffer.data();
}

// The port the backend wrote, or 0 while the file is missing or incomplete.
int readPort(const std::string &path) {
  std::ifstream in(path);
  int port = 0;
  if (!(in >> port) || port <= 0 || port > 65535) return 0;
  return port;
}

}  // namespace

EmbeddedBackend::EmbeddedBackend(const std::string &executable, const std::string &engine, const std::string &model) {
  const std::string exe = findExecutable(executable);
  folder_ = makeFolder();
  const std::string portFile = folder_ + "/port";
  const std::string workdir = folder_ + "/work";
  std::vector<std::string> args = {exe,       "--host",    "127.0.0.1", "--port", "0",     "--port-file",
                                   portFile,  "--workdir", workdir,     "--engine", engine, "--log",
                                   "quiet"};
  if (!model.empty()) args.insert(args.end(), {"--model", model});
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The child's output would mix with the progress display: it goes to a log file in its folder.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = folder_ + "/backend.log";
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int spawned = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    stop();
    throw std::runtime_error("cannot start " + exe + ": " + std::strerror(spawned));
  }

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (const int port = readPort(portFile); port != 0) {
      url_ = "http://127.0.0.1:" + std::to_string(port);
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream in(log);
      std::string firstLine;
      std::getline(in, firstLine);
      stop();
      throw std::runtime_error("the backend stopped at start" + (firstLine.empty() ? "" : ": " + firstLine));
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  stop();
  throw std::runtime_error("the backend did not start listening within " + std::to_string(kStartTimeout.count()) +
                           " s");
}

EmbeddedBackend::~EmbeddedBackend() { stop(); }

void EmbeddedBackend::stop() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    int status = 0;
    bool reaped = false;
    while (!reaped && std::chrono::steady_clock::now() < deadline) {
      reaped = ::waitpid(pid_, &status, WNOHANG) == pid_;
      if (!reaped) std::this_thread::sleep_for(kPollInterval);
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
    folder_.clear();
  }
}

}  // namespace trevane::cli
