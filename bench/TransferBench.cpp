// Transfer speed between the plug-in's HTTP client and trevane-backend on loopback: 200 frames of 400 KB
// uploaded through kesto::HttpClient over one kept-alive connection, as the matte worker does, then, once
// the job has completed (trivial engine, so matting takes no time), the 200 mattes downloaded.
// Each round uses a fresh session; the figure is the median of the rounds.
//
//   transfer.upload_ms_per_frame     wall time of the 200 PUTs / 200
//   transfer.download_ms_per_frame   wall time of the 200 matte GETs / 200
//   transfer.upload_vs_bare_server   upload time against a bare cpp-httplib server with TCP_NODELAY that
//                                    only answers (the transport's floor), as a ratio
//   transfer.upload_vs_nagle         upload time against the same bare server with the library's default
//                                    socket options (Nagle's algorithm on), as a ratio (20 frames suffice)

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "backend/service/BackendServer.h"
#include "net/HttpClient.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 200;
constexpr std::size_t kFrameBytes = 400 * 1024;
constexpr int kRounds = 3;
constexpr int kNagleFrames = 20;

std::vector<std::uint8_t> gFrame;
std::vector<double> gUploadMs;
std::vector<double> gDownloadMs;
std::vector<double> gNagleUploadMs;
std::vector<double> gBareUploadMs;

// A real 1920 x 1080 JPEG padded with comment segments to exactly kFrameBytes, so the backend's header
// check and decoder both see a genuine frame of the stated size.
std::vector<std::uint8_t> make_frame() {
  cv::Mat image(1080, 1920, CV_8UC3);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x / 8), static_cast<uchar>(y / 5), static_cast<uchar>((x + y) / 12));
    }
  }
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 92});
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + 2);  // SOI
  std::size_t missing = kFrameBytes - jpeg.size();
  while (missing > 0) {
    const std::size_t segment = std::min<std::size_t>(missing, 65535 + 2);
    const std::size_t payload = std::max<std::size_t>(segment, 4) - 4;
    const std::size_t length = payload + 2;
    out.insert(out.end(), {0xFF, 0xFE, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)});
    out.insert(out.end(), payload, 'x');
    missing -= payload + 4;
  }
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One round: a session, 200 uploads, the job, 200 downloads. Returns false on any unexpected reply.
bool round_trip(const std::string& base_url, double& upload_ms, double& download_ms) {
  const kesto::HttpClient client;
  const kesto::HttpResponse created = client.post_json(base_url + "/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})");
  if (created.status != 201) return false;
  const std::string session = base_url + "/api/matte/sessions/" +
                              json::parse(created.body, nullptr, false).value("session_id", "");
  auto start = Clock::now();
  for (int i = 0; i < kFrames; ++i) {
    if (client.put_bytes(session + "/frames/" + std::to_string(i), gFrame, "image/jpeg").status != 200) return false;
  }
  upload_ms = ms_since(start);
  const std::string job = R"({"anchor_frame":0,"edge_softness":0.35,"quality":"fast","strokes":[],"text_prompt":"person"})";
  if (client.post_json(session + "/start", job).status != 202) return false;
  for (;;) {
    const kesto::HttpResponse polled = client.get(session);
    const std::string status = json::parse(polled.body, nullptr, false).value("status", "");
    if (status == "FAILED") return false;
    if (status == "COMPLETED") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  start = Clock::now();
  for (int i = 0; i < kFrames; ++i) {
    std::vector<std::uint8_t> matte;
    if (!client.get_bytes(session + "/alpha/" + std::to_string(i) + ".png", &matte) || matte.empty()) return false;
  }
  download_ms = ms_since(start);
  return true;
}

// Baselines: per-frame upload time to a bare cpp-httplib server that only answers.
double bare_upload_ms(bool nodelay, int frames) {
  httplib::Server server;
  server.Put(".*", [](const httplib::Request&, httplib::Response& res) { res.set_content("{}", "application/json"); });
  server.set_keep_alive_max_count(1000000);
  if (nodelay) server.set_tcp_nodelay(true);
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread listener([&server] { server.listen_after_bind(); });
  const kesto::HttpClient client;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/frames/";
  client.put_bytes(url + "warm", gFrame, "image/jpeg");
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) client.put_bytes(url + std::to_string(i), gFrame, "image/jpeg");
  const double ms = ms_since(start) / frames;
  server.stop();
  listener.join();
  return ms;
}

void BM_Transfer(benchmark::State& state) {
  kesto::backend::BackendConfig config;
  config.port = 0;
  config.engine = "trivial";
  config.max_sessions = kRounds + 1;
  config.log_level = kesto::backend::LogLevel::Quiet;
  kesto::backend::BackendServer server(config);
  if (!server.start().ok()) {
    state.SkipWithError("backend did not start");
    return;
  }
  for (auto _ : state) {
    double upload_ms = 0.0;
    double download_ms = 0.0;
    if (!round_trip(server.base_url(), upload_ms, download_ms)) {
      state.SkipWithError("a request failed");
      return;
    }
    gUploadMs.push_back(upload_ms / kFrames);
    gDownloadMs.push_back(download_ms / kFrames);
    gBareUploadMs.push_back(bare_upload_ms(true, kFrames));
    gNagleUploadMs.push_back(bare_upload_ms(false, kNagleFrames));
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  gFrame = make_frame();
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("Transfer/200x400KB", BM_Transfer)->Iterations(kRounds)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gUploadMs.empty()) return 1;
  const double upload = median(gUploadMs);
  std::printf("transfer.frame_bytes: %zu\n", gFrame.size());
  std::printf("transfer.upload_ms_per_frame: %.3f\n", upload);
  std::printf("transfer.download_ms_per_frame: %.3f\n", median(gDownloadMs));
  std::printf("transfer.upload_vs_bare_server: %.3f\n", upload / median(gBareUploadMs));
  std::printf("transfer.upload_vs_nagle: %.3f\n", upload / median(gNagleUploadMs));
  return 0;
}
