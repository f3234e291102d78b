// trevane-backend: runs the reference matting backend until SIGINT or SIGTERM.

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "BackendServer.h"
#include "FileUtil.h"
#include "backend/matting/ModelCache.h"
#include "backend/matting/NeuralModel.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Each client connection holds a descriptor; the usual soft limit of 1024 would refuse a busy studio's
// connections long before memory or the event loop mind. Raise it as far as the hard limit allows.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// --check-model: the same load and check as at start, for scripts that install a model.
int check_model(kesto::backend::NeuralOptions options) {
  if (options.model_path.empty()) options.model_path = kesto::backend::cached_model_path().string();
  std::string error;
  const auto model = kesto::backend::NeuralModel::load(options, error);
  if (!model) {
    std::cerr << "trevane-backend: " << error << "\n";
    return kExitFailure;
  }
  std::cout << "model " << options.model_path << ": ok (input " << options.input_width << "x" << options.input_height
            << ", output \"" << model->output_name() << "\")\n";
  return kExitOk;
}

int run(int argc, char** argv) {
  using kesto::backend::ParsedArgs;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParsedArgs parsed = kesto::backend::parse_args(args);
  if (parsed.action == ParsedArgs::Action::Help) {
    std::cout << kesto::backend::help_text();
    return kExitOk;
  }
  if (parsed.action == ParsedArgs::Action::Error) {
    std::cerr << "trevane-backend: " << parsed.message << " (see --help)\n";
    return kExitUsage;
  }
  if (parsed.action == ParsedArgs::Action::CheckModel) return check_model(parsed.config.neural);

  // Signals are taken synchronously by this thread only: block them before any other thread exists, so
  // every thread the server starts inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the server
  raise_open_file_limit();

  kesto::backend::BackendServer server(parsed.config);
  const auto port = server.start();
  if (!port.ok()) {
    std::cerr << "trevane-backend: " << port.error().message << "\n";
    return kExitFailure;
  }
  if (!parsed.config.port_file.empty()) {
    const std::string text = std::to_string(port.value()) + "\n";
    const std::string problem = kesto::backend::write_file_atomic(parsed.config.port_file, text.data(), text.size());
    if (!problem.empty()) {
      std::cerr << "trevane-backend: --port-file: " << problem << "\n";
      server.stop();
      return kExitFailure;
    }
  }
  std::cout << "listening on " << server.base_url() << std::endl;

  int received = 0;
  sigwait(&stop_signals, &received);
  server.stop();
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "trevane-backend: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "trevane-backend: unexpected error\n";
  }
  return kExitFailure;
}
