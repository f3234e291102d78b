// trevane-backend under clients that hold connections without finishing a request: 400 idle connections
// and 400 slow ones (a request line, then one header line every 10 s), all from this process on loopback, each
// opened again at once when the server closes it. Meanwhile a health request on a new connection every
// 250 ms and one whole session (trivial engine) are timed, and the server's resident memory is sampled.
// The server runs as a separate process: this build's, or any other given with --backend (an older build, to
// compare).
//
//   connections.health_ms_quiet           median health latency before the connections open
//   connections.health_ms_median          median health latency under them (unanswered ones count as the limit)
//   connections.health_ms_max             the slowest
//   connections.health_unanswered         health requests without an answer within 5 s, of all sent
//   connections.pull_ms_quiet             a 20-frame session before the connections open
//   connections.pull_vs_quiet             the same session under them, as a ratio (0: it did not complete)
//   connections.rss_mb_quiet              the server's resident memory before
//   connections.rss_growth_mb             its largest growth under the connections
//
// Usage: bench_connections [--backend EXE] [--idle N] [--slow N] [--seconds S]

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kHealthEvery = 250ms;
constexpr auto kSlowLineEvery = 10s;
constexpr int kAnswerLimitS = 5;
constexpr int kPullFrames = 20;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// The 800 connections: reopened as soon as the server closes one; the slow ones trickle their headers.
class HostileClients {
 public:
  HostileClients(int port, int idle, int slow) : port_(port) {
    for (int i = 0; i < idle + slow; ++i) clients_.push_back(Client{-1, i >= idle, Clock::now()});
    for (Client& c : clients_) open(c);
    thread_ = std::thread([this] { keep_up(); });
  }
  ~HostileClients() {
    done_.store(true);
    thread_.join();
    for (Client& c : clients_) {
      if (c.fd >= 0) ::close(c.fd);
    }
  }
  int reopened() const { return reopened_.load(); }

 private:
  struct Client {
    int fd;
    bool slow;
    Clock::time_point last_line;
  };
  void open(Client& c) {
    c.fd = connect_to(port_);
    if (c.fd >= 0 && c.slow) {
      const char line[] = "GET /api/health HTTP/1.1\r\n";
      ::send(c.fd, line, sizeof line - 1, MSG_NOSIGNAL);
      c.last_line = Clock::now();
    }
  }
  void keep_up() {
    std::vector<pollfd> polls;
    while (!done_.load()) {
      polls.clear();
      for (const Client& c : clients_) polls.push_back(pollfd{c.fd, POLLIN, 0});
      ::poll(polls.data(), polls.size(), 100);
      for (std::size_t i = 0; i < clients_.size(); ++i) {
        Client& c = clients_[i];
        char buffer[4096];
        const bool closed = c.fd < 0 || ((polls[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                                         ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0);
        if (closed) {
          if (c.fd >= 0) ::close(c.fd);
          open(c);
          reopened_.fetch_add(1);
        } else if (c.slow && Clock::now() - c.last_line >= kSlowLineEvery) {
          const char line[] = "X-Slow: 1\r\n";
          ::send(c.fd, line, sizeof line - 1, MSG_NOSIGNAL);
          c.last_line = Clock::now();
        }
      }
    }
  }

  const int port_;
  std::vector<Client> clients_;
  std::atomic<bool> done_{false};
  std::atomic<int> reopened_{0};
  std::thread thread_;
};

// Milliseconds for one health request on a new connection, or the limit when there is no answer in time.
double health_ms(int port, bool& answered) {
  const auto start = Clock::now();
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(kAnswerLimitS, 0);
  client.set_read_timeout(kAnswerLimitS, 0);
  const auto r = client.Get("/api/health");
  answered = r && r->status == 200;
  return answered ? ms_since(start) : kAnswerLimitS * 1000.0;
}

// Milliseconds for one whole session of kPullFrames small frames; 0 when it did not complete by `deadline`.
double pull_ms(int port, Clock::time_point deadline) {
  static const std::string frame = [] {
    cv::Mat image(270, 480, CV_8UC3, cv::Scalar(20, 20, 20));
    cv::rectangle(image, cv::Rect(100, 60, 120, 150), cv::Scalar(230, 230, 230), cv::FILLED);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", image, bytes);
    return std::string(bytes.begin(), bytes.end());
  }();
  const auto start = Clock::now();
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(kAnswerLimitS, 0);
  client.set_read_timeout(kAnswerLimitS, 0);
  auto created = client.Post("/api/matte/sessions", R"({"fps":24.0})", "application/json");
  if (!created || created->status != 201) return 0.0;
  const std::string session = "/api/matte/sessions/" + nlohmann::json::parse(created->body).value("session_id", "");
  for (int i = 0; i < kPullFrames; ++i) {
    if (Clock::now() > deadline) return 0.0;
    auto r = client.Put(session + "/frames/" + std::to_string(i), frame, "image/jpeg");
    if (!r || r->status != 200) return 0.0;
  }
  const char* job = R"({"anchor_frame":0,"bbox":{"h":0.6,"w":0.3,"x":0.2,"y":0.2},"edge_softness":0.2,"quality":"fast"})";
  auto started = client.Post(session + "/start", job, "application/json");
  if (!started || started->status != 202) return 0.0;
  for (;;) {
    if (Clock::now() > deadline) return 0.0;
    auto r = client.Get(session);
    if (!r || r->status != 200) return 0.0;
    const std::string state = nlohmann::json::parse(r->body, nullptr, false).value("status", "");
    if (state == "FAILED") return 0.0;
    if (state == "COMPLETED") break;
    std::this_thread::sleep_for(5ms);
  }
  for (int i = 0; i < kPullFrames; ++i) {
    if (Clock::now() > deadline) return 0.0;
    auto r = client.Get(session + "/alpha/" + std::to_string(i) + ".png");
    if (!r || r->status != 200) return 0.0;
  }
  client.Delete(session);
  return ms_since(start);
}

double rss_mb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0.0;
}

void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string exe = TREVANE_BACKEND_EXE;
  int idle = 400;
  int slow = 400;
  int seconds = 15;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--backend") exe = argv[i + 1];
    if (name == "--idle") idle = std::atoi(argv[i + 1]);
    if (name == "--slow") slow = std::atoi(argv[i + 1]);
    if (name == "--seconds") seconds = std::atoi(argv[i + 1]);
  }
  signal(SIGPIPE, SIG_IGN);
  raise_open_file_limit();

  char pattern[] = "/tmp/bench-connections-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;
  const std::string port_file = (dir / "port").string();
  std::vector<std::string> args = {exe, "--port", "0", "--port-file", port_file, "--engine", "trivial", "--log", "quiet"};
  std::vector<char*> argv_child;
  for (auto& a : args) argv_child.push_back(a.data());
  argv_child.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv_child.data(), environ) != 0) {
    std::fprintf(stderr, "bench_connections: cannot start %s\n", exe.c_str());
    return 1;
  }
  int port = 0;
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::ifstream in(port_file);
    in >> port;
    if (port == 0) std::this_thread::sleep_for(10ms);
  }
  int rc = 0;
  if (port == 0) {
    std::fprintf(stderr, "bench_connections: %s announced no port\n", exe.c_str());
    rc = 1;
  } else {
    std::vector<double> quiet;
    bool answered = false;
    for (int i = 0; i < 20; ++i) quiet.push_back(health_ms(port, answered));
    const double pull_quiet = pull_ms(port, Clock::now() + std::chrono::seconds(seconds));
    const double rss_quiet = rss_mb(pid);

    std::vector<double> loaded;
    int unanswered = 0;
    double rss_peak = rss_quiet;
    double pull_loaded = 0.0;
    int reopened = 0;
    {
      HostileClients hostile(port, idle, slow);
      std::this_thread::sleep_for(500ms);  // let them all connect and take what they can
      const auto end = Clock::now() + std::chrono::seconds(seconds);
      std::thread puller([&] { pull_loaded = pull_ms(port, end); });
      while (Clock::now() < end) {
        const auto next = Clock::now() + kHealthEvery;
        loaded.push_back(health_ms(port, answered));
        unanswered += answered ? 0 : 1;
        rss_peak = std::max(rss_peak, rss_mb(pid));
        std::this_thread::sleep_until(next);
      }
      puller.join();
      reopened = hostile.reopened();
    }
    std::printf("connections.backend: %s\n", exe.c_str());
    std::printf("connections.idle_and_slow: %d + %d (reopened %d times)\n", idle, slow, reopened);
    std::printf("connections.health_ms_quiet: %.2f\n", median(quiet));
    std::printf("connections.health_ms_median: %.2f\n", median(loaded));
    std::printf("connections.health_ms_max: %.2f\n", loaded.empty() ? 0.0 : *std::max_element(loaded.begin(), loaded.end()));
    std::printf("connections.health_unanswered: %d of %zu\n", unanswered, loaded.size());
    std::printf("connections.pull_ms_quiet: %.1f\n", pull_quiet);
    std::printf("connections.pull_vs_quiet: %.2f\n", pull_quiet > 0 ? pull_loaded / pull_quiet : 0.0);
    std::printf("connections.rss_mb_quiet: %.1f\n", rss_quiet);
    std::printf("connections.rss_growth_mb: %.1f\n", rss_peak - rss_quiet);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return rc;
}
