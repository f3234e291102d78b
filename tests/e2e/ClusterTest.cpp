// Three trevane-backend nodes (--node a, b, c) behind a real nginx running
// deploy/nginx/trevane.conf as shipped, with only its addresses filled in, in a folder of its own as the
// current user. Pulls go through nginx; one node is killed with SIGKILL and restarted on its folder.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/ScratchFolder.h"
#include "tests/support/ToolRun.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kFrames = 3;
constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFirstPulls = 9;
constexpr int kLaterPulls = 6;
constexpr const char* kJob =
    R"({"anchor_frame":0,"bbox":{"h":1.0,"w":0.5,"x":0.0,"y":0.0},"edge_softness":0.2,"quality":"fast","strokes":[],"text_prompt":""})";

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A child process, killed (SIGKILL) and reaped at destruction if still running.
class Child {
 public:
  Child(const std::vector<std::string>& args, const fs::path& log) {
    std::vector<std::string> all = args;
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { end(SIGKILL); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool running() const { return pid_ > 0; }
  void end(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

bool healthy(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(2, 0);
  auto r = client.Get("/api/health");
  return r && r->status == 200;
}

bool wait_healthy(int port) {
  for (int i = 0; i < 500; ++i) {
    if (healthy(port)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Three nodes running `engine` and nginx in front of them, everything in one scratch folder.
class Cluster {
 public:
  explicit Cluster(std::string engine) : folder_("trevane-cluster-test"), engine_(std::move(engine)) {
    for (const char* name : {"a", "b", "c"}) {
      nodes_[name].port = free_port();
      start_node(name);
    }
    nginx_port_ = free_port();
    std::string conf = read_text(fs::path(TREVANE_SOURCE_DIR) / "deploy" / "nginx" / "trevane.conf");
    replace_all(conf, "@LISTEN@", "127.0.0.1:" + std::to_string(nginx_port_));
    replace_all(conf, "@NODE_A@", "127.0.0.1:" + std::to_string(nodes_["a"].port));
    replace_all(conf, "@NODE_B@", "127.0.0.1:" + std::to_string(nodes_["b"].port));
    replace_all(conf, "@NODE_C@", "127.0.0.1:" + std::to_string(nodes_["c"].port));
    std::ofstream(dir() / "trevane.conf") << conf;
    const std::string d = dir().string();
    std::ofstream(dir() / "nginx.conf") << "daemon off;\nworker_processes 1;\npid " << d << "/nginx.pid;\nerror_log " << d
                                        << "/error.log warn;\nevents { worker_connections 512; }\nhttp {\n"
                                        << "  default_type application/octet-stream;\n  access_log " << d << "/access.log;\n"
                                        << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
                                        << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
                                        << "  scgi_temp_path " << d << "/scgi;\n  include " << d << "/trevane.conf;\n}\n";
    nginx_ = std::make_unique<Child>(
        std::vector<std::string>{TREVANE_NGINX, "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}, dir() / "nginx.out");
  }
  ~Cluster() {
    if (nginx_) nginx_->end(SIGTERM);
  }

  fs::path dir() const { return folder_.path(); }
  int port() const { return nginx_port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(nginx_port_); }
  // The nodes first: a request through nginx before they listen would mark them down for a while.
  bool ready() {
    bool all = true;
    for (auto& [name, node] : nodes_) all = all && wait_healthy(node.port);
    return all && wait_healthy(nginx_port_);
  }
  void kill_node(const std::string& name) { nodes_[name].process->end(SIGKILL); }
  // On the same port and folder, as systemd restarts a node that failed.
  bool restart_node(const std::string& name) {
    start_node(name);
    return wait_healthy(nodes_[name].port);
  }
  std::string nginx_log() const { return read_text(dir() / "error.log"); }

 private:
  struct Node {
    int port = 0;
    std::unique_ptr<Child> process;
  };
  void start_node(const std::string& name) {
    Node& node = nodes_[name];
    node.process = std::make_unique<Child>(
        std::vector<std::string>{TREVANE_BACKEND_EXE, "--node", name, "--port", std::to_string(node.port), "--engine",
                                 engine_, "--workdir", (dir() / ("work-" + name)).string(), "--log", "quiet"},
        dir() / ("node-" + name + ".log"));
  }

  kesto::testing::ScratchFolder folder_;
  const std::string engine_;
  std::map<std::string, Node> nodes_;
  int nginx_port_ = 0;
  std::unique_ptr<Child> nginx_;
};

// A bright square on the left half of a dark frame.
cv::Mat frame(int index) {
  cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar(20, 20, 20));
  cv::rectangle(image, cv::Rect(4 + index, 8, kWidth / 2 - 10, kHeight - 16), cv::Scalar(230, 230, 230), cv::FILLED);
  return image;
}

std::string png(const cv::Mat& image) {
  std::vector<uchar> bytes;
  cv::imencode(".png", image, bytes);
  return std::string(bytes.begin(), bytes.end());
}

struct Pull {
  std::string id;
  std::string outcome;  // "COMPLETED", "FAILED: ..." or what went wrong
  std::vector<std::string> mattes;
  std::string node() const { return id.substr(0, id.find('-')); }
};

// One clip through the backend protocol as the plug-in runs it, through nginx.
Pull pull(int port) {
  Pull p;
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  auto created = client.Post("/api/matte/sessions", R"({"fps":24.0,"source":"cluster-test"})", "application/json");
  if (!created || created->status != 201) return Pull{"", "create failed", {}};
  p.id = json::parse(created->body).value("session_id", "");
  const std::string session = "/api/matte/sessions/" + p.id;
  for (int i = 0; i < kFrames; ++i) {
    auto r = client.Put(session + "/frames/" + std::to_string(i), png(frame(i)), "image/png");
    if (!r || r->status != 200) return Pull{p.id, "upload failed", {}};
  }
  auto started = client.Post(session + "/start", kJob, "application/json");
  if (!started || started->status != 202) return Pull{p.id, "start failed", {}};
  for (int i = 0; i < 3000; ++i) {
    auto r = client.Get(session);
    const json status = r && r->status == 200 ? json::parse(r->body, nullptr, false) : json();
    const std::string state = status.is_object() ? status.value("status", "") : "";
    if (state == "FAILED") return Pull{p.id, "FAILED: " + status.value("error", ""), {}};
    if (state == "COMPLETED") break;
    std::this_thread::sleep_for(20ms);
  }
  for (int i = 0; i < kFrames; ++i) {
    auto r = client.Get(session + "/alpha/" + std::to_string(i) + ".png");
    if (!r || r->status != 200) return Pull{p.id, "download failed", {}};
    p.mattes.push_back(r->body);
  }
  p.outcome = "COMPLETED";
  return p;
}

std::vector<Pull> pulls_at_once(int port, int count) {
  std::vector<std::future<Pull>> running;
  for (int i = 0; i < count; ++i) running.push_back(std::async(std::launch::async, pull, port));
  std::vector<Pull> done;
  for (auto& r : running) done.push_back(r.get());
  return done;
}

std::string per_node(const std::vector<Pull>& pulls) {
  std::map<std::string, int> counts;
  for (const Pull& p : pulls) ++counts[p.node()];
  std::string text;
  for (const auto& [node, n] : counts) text += (text.empty() ? "" : " ") + node + ":" + std::to_string(n);
  return text;
}

TEST(Cluster, ANodeKilledFailsItsSessionsClearlyWhileTheOthersServeAndComesBackWithItsFinishedOnes) {
  if (std::string(TREVANE_NGINX).empty()) GTEST_SKIP() << "no nginx (scripts/setup installs nginx-light)";
  Cluster cluster("trivial");  // matting is not what is tested here
  ASSERT_TRUE(cluster.ready()) << cluster.nginx_log();

  const std::vector<Pull> first = pulls_at_once(cluster.port(), kFirstPulls);
  std::map<std::string, int> held;
  for (const Pull& p : first) {
    ASSERT_EQ(p.outcome, "COMPLETED") << p.id;
    ++held[p.node()];
  }
  const std::string victim =
      std::max_element(held.begin(), held.end(), [](const auto& x, const auto& y) { return x.second < y.second; })->first;
  cluster.kill_node(victim);

  // Every request for the dead node's sessions is answered at once by nginx, naming the node.
  httplib::Client client("127.0.0.1", cluster.port());
  client.set_read_timeout(5, 0);
  double slowest_ms = 0;
  int refused = 0;
  for (const Pull& p : first) {
    if (p.node() != victim) continue;
    for (const std::string& path : {"/api/matte/sessions/" + p.id, "/api/matte/sessions/" + p.id + "/alpha/0.png"}) {
      const auto asked = std::chrono::steady_clock::now();
      auto r = client.Get(path);
      slowest_ms = std::max(slowest_ms, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count());
      ASSERT_TRUE(r) << path << ": " << httplib::to_string(r.error());
      EXPECT_TRUE(r->status == 502 || r->status == 503) << path << ": " << r->status;
      EXPECT_NE(json::parse(r->body, nullptr, false).value("error", "").find("backend node " + victim + " is not answering"),
                std::string::npos) << r->body;
      ++refused;
    }
  }

  const std::vector<Pull> later = pulls_at_once(cluster.port(), kLaterPulls);
  for (const Pull& p : later) {
    EXPECT_EQ(p.outcome, "COMPLETED") << p.id;
    EXPECT_NE(p.node(), victim);
  }

  ASSERT_TRUE(cluster.restart_node(victim));
  int served_again = 0;
  for (const Pull& p : first) {
    if (p.node() != victim) continue;
    auto status = client.Get("/api/matte/sessions/" + p.id);
    ASSERT_TRUE(status);
    EXPECT_EQ(json::parse(status->body, nullptr, false).value("status", ""), "COMPLETED") << status->body;
    for (int i = 0; i < kFrames; ++i) {
      auto matte = client.Get("/api/matte/sessions/" + p.id + "/alpha/" + std::to_string(i) + ".png");
      ASSERT_TRUE(matte);
      EXPECT_EQ(matte->status, 200);
      EXPECT_EQ(matte->body, p.mattes[static_cast<std::size_t>(i)]) << p.id << " matte " << i;
    }
    ++served_again;
  }
  std::ostringstream summary;
  summary << "cluster: " << kFirstPulls << " pulls at once on " << per_node(first) << "; node " << victim
          << " killed: " << refused << " requests for its " << held[victim] << " sessions answered 502 by nginx, the slowest in "
          << std::fixed << std::setprecision(1) << slowest_ms << " ms; " << kLaterPulls << " new pulls on " << per_node(later) << "; node " << victim
          << " restarted: " << served_again << " finished sessions serve their mattes again";
  std::cout << summary.str() << std::endl;
  ::testing::Test::RecordProperty("summary", summary.str());
}

TEST(Cluster, TrevanePullThroughNginx) {
  if (std::string(TREVANE_NGINX).empty()) GTEST_SKIP() << "no nginx (scripts/setup installs nginx-light)";
  Cluster cluster("classical");
  ASSERT_TRUE(cluster.ready()) << cluster.nginx_log();
  const fs::path in = cluster.dir() / "in";
  fs::create_directories(in);
  for (int i = 0; i < kFrames; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.png", i);
    ASSERT_TRUE(cv::imwrite((in / name).string(), frame(i)));
  }
  const fs::path out = cluster.dir() / "out";
  const kesto::testing::ToolResult run = kesto::testing::runTrevane(
      "pull --input '" + in.string() + "' --output '" + out.string() + "/' --box 0,0,0.5,1 --anchor 0 --quality fast" +
      " --mode matte --backend " + cluster.url());
  ASSERT_EQ(run.exitCode, 0) << run.err << run.out << cluster.nginx_log();
  EXPECT_NE(run.out.find("ready: 3 frames matted"), std::string::npos) << run.out;
  for (int i = 0; i < kFrames; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.png", i);
    const cv::Mat matte = cv::imread((out / name).string(), cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(matte.empty()) << name;
    EXPECT_GT(matte.at<uchar>(kHeight / 2, kWidth / 4), 200) << name;      // inside the square
    EXPECT_LT(matte.at<uchar>(kHeight / 2, kWidth - 4), 50) << name;       // background
  }
}

}  // namespace
