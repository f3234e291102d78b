#pragma once
// A backend served in the test process over real HTTP on 127.0.0.1 (the trivial engine, tiny frames), and the
// client steps of a session as the plug-in takes them.

#include <gtest/gtest.h>
#include <httplib.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "BackendTestSupport.h"
#include "backend/service/BackendServer.h"

namespace kesto::backend::served {

using nlohmann::json;
using namespace std::chrono_literals;

inline constexpr const char* kJobBox =
    R"({"anchor_frame":0,"bbox":{"h":0.5,"w":0.5,"x":0.25,"y":0.25},"edge_softness":0.2,"quality":"fast","strokes":[],"text_prompt":""})";

// A served backend on a folder of its own: the trivial engine, small limits, quiet, on an OS-chosen port.
class Backend {
 public:
  explicit Backend(const std::function<void(BackendConfig&)>& adjust = nullptr) : server(config(adjust)) {
    const auto port = server.start();
    EXPECT_TRUE(port.ok()) << port.error().message;
    client = std::make_unique<httplib::Client>("127.0.0.1", server.port());
    client->set_read_timeout(10, 0);
  }
  BackendConfig config(const std::function<void(BackendConfig&)>& adjust) const {
    BackendConfig config;
    config.port = 0;
    config.engine = "trivial";
    config.workdir = dir.path().string();
    config.log_level = LogLevel::Quiet;
    config.max_frames = 100;
    config.max_frame_bytes = 64 * 1024;
    if (adjust) adjust(config);
    return config;
  }
  test::TempDir dir;
  BackendServer server;
  std::unique_ptr<httplib::Client> client;
};

inline json body_of(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }
inline std::string session_path(const std::string& id) { return "/api/matte/sessions/" + id; }

inline std::string create_session(httplib::Client& client) {
  auto r = client.Post("/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})", "application/json");
  return r && r->status == 201 ? body_of(r).value("session_id", "") : "";
}

inline const std::string& tiny_jpeg() {
  static const std::string bytes = test::encode(test::square_frame(8, 8, 1, 1, 3), ".jpg");
  return bytes;
}

// A new session holding one uploaded frame; its id, or "" when that failed.
inline std::string session_with_a_frame(httplib::Client& client) {
  const std::string id = create_session(client);
  auto r = client.Put(session_path(id) + "/frames/0", tiny_jpeg(), "image/jpeg");
  return r && r->status == 200 ? id : "";
}

inline json wait_until_done(httplib::Client& client, const std::string& id) {
  json last;
  for (int i = 0; i < 1000; ++i) {
    auto r = client.Get(session_path(id));
    if (r && r->status == 200) {
      last = body_of(r);
      if (last["status"] == "COMPLETED" || last["status"] == "FAILED") return last;
    }
    std::this_thread::sleep_for(5ms);
  }
  return last;
}

// A whole session as the plug-in runs it: uploads frames (bright square moving right on dark ground, JPEG and
// PNG in turn), starts, waits, and checks each matte.
inline void run_full_session(httplib::Client& client, int frames) {
  const std::string id = create_session(client);
  ASSERT_FALSE(id.empty());
  for (int i = 0; i < frames; ++i) {
    const bool png = i % 2 == 1;
    const cv::Mat frame = test::square_frame(40 + i % 2 * 8, 30, 4 + i, 6, 12);
    auto r = client.Put(session_path(id) + "/frames/" + std::to_string(i), test::encode(frame, png ? ".png" : ".jpg"),
                        png ? "image/png" : "image/jpeg");
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "no reply");
  }
  auto start = client.Post(session_path(id) + "/start", kJobBox, "application/json");
  ASSERT_TRUE(start && start->status == 202) << (start ? start->body : "no reply");
  const json done = wait_until_done(client, id);
  ASSERT_EQ(done.value("status", ""), "COMPLETED") << done.dump();
  for (int i = 0; i < frames; ++i) {
    auto r = client.Get(session_path(id) + "/alpha/" + std::to_string(i) + ".png");
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/png");
    const cv::Mat matte = cv::imdecode(std::vector<uchar>(r->body.begin(), r->body.end()), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(matte.type(), CV_8UC1);
    ASSERT_EQ(matte.size(), cv::Size(40 + i % 2 * 8, 30));
    EXPECT_EQ(matte.at<uchar>(12, 10 + i), 255);  // inside the square
    EXPECT_EQ(matte.at<uchar>(27, 2), 0);         // background
  }
}

}  // namespace kesto::backend::served
