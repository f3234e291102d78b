// Three trevane-backend nodes (--node a, b, c) behind a real nginx running deploy/nginx/trevane.conf as
// shipped, with only its addresses filled in, in a folder of its own as the current user. Pulls go through
// nginx; one node is killed with SIGKILL and restarted on its folder. The tool's own requests are the cli
// tests', against the reference backend.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/ScratchFolder.h"
#include "tests/support/ToolRun.h"

namespace {

using kesto::testing::ChildProcess;
using kesto::testing::fileText;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kFrames = 3;
constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFirstPulls = 9;
constexpr int kLaterPulls = 6;
constexpr const char *kJob = R"({"anchor_frame":0,"bbox":{"h":1.0,"w":0.5,"x":0.0,"y":0.0},"edge_softness":0.2,)"
                             R"("quality":"fast","strokes":[],"text_prompt":""})";
constexpr const char *kSessions = "/api/matte/sessions";

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

bool wait_healthy(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(2, 0);
  for (int i = 0; i < 500; ++i) {
    auto r = client.Get("/api/health");
    if (r && r->status == 200) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// Three nodes running `engine` and nginx in front of them, everything in one scratch folder.
class Cluster {
 public:
  explicit Cluster(std::string engine) : engine_(std::move(engine)) {
    std::string conf = fileText(TREVANE_SOURCE_DIR "/deploy/nginx/trevane.conf");
    const auto fill = [&conf](const std::string &mark, int port) {
      for (std::size_t at; (at = conf.find(mark)) != std::string::npos;) {
        conf.replace(at, mark.size(), "127.0.0.1:" + std::to_string(port));
      }
    };
    for (const char *name : {"a", "b", "c"}) {
      ports_[name] = free_port();
      start_node(name);
      fill(std::string("@NODE_") + static_cast<char>(name[0] - 'a' + 'A') + "@", ports_[name]);
    }
    nginx_port_ = free_port();
    fill("@LISTEN@", nginx_port_);
    const std::string d = dir();
    std::ofstream(d + "/trevane.conf") << conf;
    std::ofstream(d + "/nginx.conf") << "daemon off;\nworker_processes 1;\npid " << d << "/nginx.pid;\nerror_log " << d
                                     << "/error.log warn;\nevents { worker_connections 512; }\nhttp {\n"
                                     << "  default_type application/octet-stream;\n  access_log " << d << "/access.log;\n"
                                     << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
                                     << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
                                     << "  scgi_temp_path " << d << "/scgi;\n  include " << d << "/trevane.conf;\n}\n";
    nginx_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{TREVANE_NGINX, "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
        d + "/nginx.out", d + "/nginx.out");
  }
  ~Cluster() { nginx_->end(SIGTERM); }

  std::string dir() const { return folder_.path(); }
  int port() const { return nginx_port_; }
  // The nodes first: a request through nginx before they listen would mark them down for a while.
  bool ready() {
    bool all = true;
    for (const auto &[name, port] : ports_) all = all && wait_healthy(port);
    return all && wait_healthy(nginx_port_);
  }
  void kill_node(const std::string &name) { nodes_[name]->end(SIGKILL); }
  // On the same port and folder, as systemd restarts a node that failed.
  bool restart_node(const std::string &name) {
    start_node(name);
    return wait_healthy(ports_[name]);
  }
  std::string nginx_log() const { return fileText(dir() + "/error.log"); }

 private:
  void start_node(const std::string &name) {
    const std::string log = dir() + "/node-" + name + ".log";
    nodes_[name] = std::make_unique<ChildProcess>(
        std::vector<std::string>{TREVANE_BACKEND_EXE, "--node", name, "--port", std::to_string(ports_[name]), "--engine",
                                 engine_, "--workdir", dir() + "/work-" + name, "--log", "quiet"},
        log, log);
  }

  kesto::testing::ScratchFolder folder_{"trevane-cluster-test"};
  const std::string engine_;
  std::map<std::string, int> ports_;
  std::map<std::string, std::unique_ptr<ChildProcess>> nodes_;
  int nginx_port_ = 0;
  std::unique_ptr<ChildProcess> nginx_;
};

// A bright square on the left half of a dark frame.
cv::Mat frame(int index) {
  cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar(20, 20, 20));
  cv::rectangle(image, cv::Rect(4 + index, 8, kWidth / 2 - 10, kHeight - 16), cv::Scalar(230, 230, 230), cv::FILLED);
  return image;
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
  auto created = client.Post(kSessions, R"({"fps":24.0,"source":"cluster-test"})", "application/json");
  if (!created || created->status != 201) return Pull{"", "create failed", {}};
  p.id = json::parse(created->body).value("session_id", "");
  const std::string session = kSessions + ("/" + p.id);
  for (int i = 0; i < kFrames; ++i) {
    std::vector<uchar> png;
    cv::imencode(".png", frame(i), png);
    auto r = client.Put(session + "/frames/" + std::to_string(i), std::string(png.begin(), png.end()), "image/png");
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
  for (auto &r : running) done.push_back(r.get());
  return done;
}

TEST(Cluster, ANodeKilledFailsItsSessionsClearlyWhileTheOthersServeAndComesBackWithItsFinishedOnes) {
  if (std::string(TREVANE_NGINX).empty()) GTEST_SKIP() << "no nginx (scripts/setup installs nginx-light)";
  Cluster cluster("trivial");  // matting is not what is tested here
  ASSERT_TRUE(cluster.ready()) << cluster.nginx_log();

  const std::vector<Pull> first = pulls_at_once(cluster.port(), kFirstPulls);
  std::map<std::string, int> held;
  for (const Pull &p : first) {
    ASSERT_EQ(p.outcome, "COMPLETED") << p.id;
    ++held[p.node()];
  }
  const std::string victim =
      std::max_element(held.begin(), held.end(), [](const auto &x, const auto &y) { return x.second < y.second; })->first;
  cluster.kill_node(victim);

  // Every request for the dead node's sessions is answered at once by nginx, naming the node.
  httplib::Client client("127.0.0.1", cluster.port());
  client.set_read_timeout(5, 0);
  for (const Pull &p : first) {
    if (p.node() != victim) continue;
    for (const std::string &path : {kSessions + ("/" + p.id), kSessions + ("/" + p.id) + "/alpha/0.png"}) {
      auto r = client.Get(path);
      ASSERT_TRUE(r) << path << ": " << httplib::to_string(r.error());
      EXPECT_TRUE(r->status == 502 || r->status == 503) << path << ": " << r->status;
      EXPECT_NE(json::parse(r->body, nullptr, false).value("error", "").find("backend node " + victim + " is not answering"),
                std::string::npos) << r->body;
    }
  }
  for (const Pull &p : pulls_at_once(cluster.port(), kLaterPulls)) {
    EXPECT_EQ(p.outcome, "COMPLETED") << p.id;
    EXPECT_NE(p.node(), victim);
  }

  ASSERT_TRUE(cluster.restart_node(victim));
  for (const Pull &p : first) {
    if (p.node() != victim) continue;
    for (int i = 0; i < kFrames; ++i) {
      auto matte = client.Get(kSessions + ("/" + p.id) + "/alpha/" + std::to_string(i) + ".png");
      ASSERT_TRUE(matte);
      EXPECT_EQ(matte->status, 200);
      EXPECT_EQ(matte->body, p.mattes[static_cast<std::size_t>(i)]) << p.id << " matte " << i;
    }
  }
}

}  // namespace
