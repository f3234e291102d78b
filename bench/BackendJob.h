#pragma once
// One matte job through an in-process trevane-backend over HTTP, exactly as the plug-in drives it: a session,
// the frames uploaded as JPEG, the job started, its status followed to the end, every matte downloaded.

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

namespace kesto::bench {

struct JobResult {
  std::vector<cv::Mat> mattes;  // CV_8UC1, one per frame
  double ms = 0.0;              // start accepted to COMPLETED
  std::string error;            // empty when the job completed and every matte came back
  bool ok() const { return error.empty(); }
};

inline std::vector<std::string> encode_jpegs(const std::vector<cv::Mat>& frames, int quality) {
  std::vector<std::string> jpegs;
  for (const cv::Mat& frame : frames) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", frame, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    jpegs.emplace_back(bytes.begin(), bytes.end());
  }
  return jpegs;
}

inline JobResult run_job(httplib::Client& client, const std::vector<std::string>& jpegs, const nlohmann::json& job) {
  using nlohmann::json;
  JobResult result;
  auto created = client.Post("/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})", "application/json");
  if (!created || created->status != 201) {
    result.error = "no session";
    return result;
  }
  const std::string base = "/api/matte/sessions/" + json::parse(created->body).value("session_id", "");
  for (std::size_t i = 0; i < jpegs.size(); ++i) {
    auto r = client.Put(base + "/frames/" + std::to_string(i), jpegs[i], "image/jpeg");
    if (!r || r->status != 200) {
      result.error = "upload of frame " + std::to_string(i) + " failed";
      return result;
    }
  }
  const auto started = std::chrono::steady_clock::now();
  auto start = client.Post(base + "/start", job.dump(), "application/json");
  if (!start || start->status != 202) {
    result.error = "start refused: " + (start ? start->body : std::string("no answer"));
    return result;
  }
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto r = client.Get(base);
    if (!r || r->status != 200) continue;
    const json status = json::parse(r->body);
    if (status.value("status", "") == "FAILED") {
      result.error = "job failed: " + status.value("error", r->body);
      client.Delete(base);
      return result;
    }
    if (status.value("status", "") == "COMPLETED") break;
  }
  result.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  for (std::size_t i = 0; i < jpegs.size(); ++i) {
    auto r = client.Get(base + "/alpha/" + std::to_string(i) + ".png");
    if (!r || r->status != 200) {
      result.error = "matte " + std::to_string(i) + " missing";
      return result;
    }
    const std::vector<uchar> bytes(r->body.begin(), r->body.end());
    result.mattes.push_back(cv::imdecode(bytes, cv::IMREAD_GRAYSCALE));
  }
  client.Delete(base);
  return result;
}

}  // namespace kesto::bench
