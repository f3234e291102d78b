// Matte quality of trevane-backend's engines, measured against a true matte. Clips are built from
// RGBA character portraits (wesnoth-1.16-httt) moved across real street footage (vtest.avi from opencv-doc),
// at 960 x 540, with the true alpha known for every frame. Each clip runs through an in-process backend over
// HTTP exactly as the plug-in drives it (JPEG frames at quality 92, a box drawn on the middle frame with 4%
// margin, the plug-in's default edge softness 0.35), once per quality of the classical engine, and once with
// the neural engine at "fine" quality when a model is given (--model FILE; the other --model-* options and
// --keyframe-spacing as trevane-backend takes them). No model ships with the project: without one the neural
// figures are skipped.
//
// Figures, means over every frame of every clip:
//   quality.<q>.iou           intersection over union of matte > 0.5 and true alpha > 0.5
//   quality.<q>.mad           mean absolute alpha error (alpha in 0..1)
//   quality.<q>.ms_per_frame  job time (start accepted to COMPLETED) divided by the frame count; for the
//                             neural engine the model's loading and check at start-up are not counted
// where <q> is fast, fine or neural.
// The media comes from scripts/fetch-media; pass --media DIR to use another cache.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "backend/service/BackendServer.h"
#include "CompositeClip.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kFrameWidth = 960;
constexpr int kFrameHeight = 540;
constexpr int kFramesPerClip = 24;
constexpr double kEdgeSoftness = 0.35;
constexpr int kJpegQuality = 92;
const char* const kPortraits[] = {"delfador.png", "kalenz.png", "konrad-human.png", "lisar.png"};

struct Clip {
  std::vector<std::string> jpegs;
  std::vector<cv::Mat> truth;  // CV_32F alpha, 0..1
  int anchor = 0;
  json bbox;
};

struct Figures {
  double iou = 0.0;
  double mad = 0.0;
  double ms_per_frame = 0.0;
  bool ok = false;
};

fs::path gMedia;
std::vector<Clip> gClips;
Figures gFast;
Figures gFine;
Figures gNeural;
kesto::backend::BackendConfig gNeuralConfig;  // engine "neural" once --model is given

// The composited clip as the plug-in uploads it: JPEG frames, and the box drawn on the anchor frame.
Clip encode_clip(const kesto::clips::CompositeClip& composite) {
  Clip clip;
  for (const cv::Mat& frame : composite.frames) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", frame, bytes, {cv::IMWRITE_JPEG_QUALITY, kJpegQuality});
    clip.jpegs.emplace_back(bytes.begin(), bytes.end());
  }
  clip.truth = composite.truth;
  clip.anchor = composite.anchor;
  const kesto::clips::NormalisedBox& b = composite.box;
  clip.bbox = json{{"x", b.x}, {"y", b.y}, {"w", b.w}, {"h", b.h}};
  return clip;
}

bool build_clips() {
  const fs::path video = gMedia / "vtest.avi";
  if (!fs::exists(video)) return false;
  int clip_index = 0;
  for (const char* name : kPortraits) {
    const cv::Mat portrait = cv::imread((gMedia / "portraits" / name).string(), cv::IMREAD_UNCHANGED);
    if (portrait.empty() || portrait.channels() != 4) return false;
    const auto background =
        kesto::clips::read_video_frames(video, 150 * clip_index, kFramesPerClip, cv::Size(kFrameWidth, kFrameHeight));
    if (static_cast<int>(background.size()) < kFramesPerClip) return false;
    kesto::clips::ClipPath path;  // the defaults: 78% of the height, 5 px a frame, a 6 px bob
    path.start_x_px = 60 + 140 * (clip_index % 3);
    gClips.push_back(encode_clip(kesto::clips::composite_clip(portrait, background, path)));
    ++clip_index;
  }
  return true;
}

// Runs one clip through the backend; adds per-frame IoU and MAD sums; returns the job time in ms, or -1.
double run_clip(httplib::Client& client, const Clip& clip, const char* quality, double& iou_sum, double& mad_sum) {
  auto created = client.Post("/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})", "application/json");
  if (!created || created->status != 201) return -1;
  const std::string base = "/api/matte/sessions/" + json::parse(created->body).value("session_id", "");
  for (std::size_t i = 0; i < clip.jpegs.size(); ++i) {
    auto r = client.Put(base + "/frames/" + std::to_string(i), clip.jpegs[i], "image/jpeg");
    if (!r || r->status != 200) return -1;
  }
  const json job{{"anchor_frame", clip.anchor}, {"bbox", clip.bbox},
                 {"edge_softness", kEdgeSoftness}, {"quality", quality}, {"strokes", json::array()},
                 {"text_prompt", ""}};
  const auto started = std::chrono::steady_clock::now();
  auto start = client.Post(base + "/start", job.dump(), "application/json");
  if (!start || start->status != 202) return -1;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto r = client.Get(base);
    if (!r || r->status != 200) continue;
    const std::string status = json::parse(r->body).value("status", "");
    if (status == "FAILED") {
      std::fprintf(stderr, "job failed: %s\n", r->body.c_str());
      return -1;
    }
    if (status == "COMPLETED") break;
  }
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  for (std::size_t i = 0; i < clip.jpegs.size(); ++i) {
    auto r = client.Get(base + "/alpha/" + std::to_string(i) + ".png");
    if (!r || r->status != 200) return -1;
    const std::vector<uchar> bytes(r->body.begin(), r->body.end());
    cv::Mat matte = cv::imdecode(bytes, cv::IMREAD_GRAYSCALE);
    if (matte.size() != clip.truth[i].size()) return -1;
    cv::Mat alpha;
    matte.convertTo(alpha, CV_32F, 1.0 / 255.0);
    iou_sum += kesto::clips::matte_iou(alpha, clip.truth[i]);
    mad_sum += kesto::clips::matte_mad(alpha, clip.truth[i]);
  }
  client.Delete(base);
  return ms;
}

Figures measure(const char* quality, kesto::backend::BackendConfig config) {
  config.port = 0;
  config.max_jobs = 1;
  config.log_level = kesto::backend::LogLevel::Quiet;
  kesto::backend::BackendServer server(config);
  Figures figures;
  const auto started = server.start();
  if (!started.ok()) {
    std::fprintf(stderr, "bench_matte_quality: %s\n", started.error().message.c_str());
    return figures;
  }
  httplib::Client client("127.0.0.1", server.port());
  client.set_read_timeout(60, 0);
  double iou_sum = 0.0;
  double mad_sum = 0.0;
  double ms_sum = 0.0;
  int frames = 0;
  for (const Clip& clip : gClips) {
    const double ms = run_clip(client, clip, quality, iou_sum, mad_sum);
    if (ms < 0) return figures;
    ms_sum += ms;
    frames += static_cast<int>(clip.jpegs.size());
  }
  figures.iou = iou_sum / frames;
  figures.mad = mad_sum / frames;
  figures.ms_per_frame = ms_sum / frames;
  figures.ok = true;
  return figures;
}

void BM_MatteQuality(benchmark::State& state, const char* quality, const kesto::backend::BackendConfig* config,
                     Figures* out) {
  for (auto _ : state) {
    *out = measure(quality, *config);
    if (!out->ok) state.SkipWithError("a clip did not run through the backend");
  }
  state.counters["iou"] = out->iou;
  state.counters["mad"] = out->mad;
  state.counters["ms_per_frame"] = out->ms_per_frame;
}

}  // namespace

int main(int argc, char** argv) {
  gMedia = TREVANE_MEDIA_DIR;
  std::vector<char*> rest;
  std::vector<std::string> neural_args;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--media" && i + 1 < argc) {
      gMedia = argv[++i];
    } else if ((arg.rfind("--model", 0) == 0 || arg == "--keyframe-spacing") && i + 1 < argc) {
      neural_args.push_back(arg);
      neural_args.push_back(argv[++i]);
    } else {
      rest.push_back(argv[i]);
    }
  }
  const bool neural = !neural_args.empty();
  if (neural) {
    neural_args.insert(neural_args.begin(), {"--engine", "neural"});
    const kesto::backend::ParsedArgs parsed = kesto::backend::parse_args(neural_args);
    if (parsed.action != kesto::backend::ParsedArgs::Action::Run) {
      std::fprintf(stderr, "bench_matte_quality: %s\n", parsed.message.c_str());
      return 2;
    }
    gNeuralConfig = parsed.config;
  }
  kesto::backend::BackendConfig classical;
  classical.engine = "classical";
  if (!build_clips()) {
    std::fprintf(stderr, "bench_matte_quality: test media missing in %s; run scripts/fetch-media --cache %s\n",
                 gMedia.c_str(), gMedia.c_str());
    return 1;
  }
  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  benchmark::RegisterBenchmark("MatteQuality/fast", BM_MatteQuality, "fast", &classical, &gFast)
      ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("MatteQuality/fine", BM_MatteQuality, "fine", &classical, &gFine)
      ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
  if (neural) {
    benchmark::RegisterBenchmark("MatteQuality/neural", BM_MatteQuality, "fine", &gNeuralConfig, &gNeural)
        ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
  } else {
    std::fprintf(stderr, "bench_matte_quality: no --model given; the neural engine's figures are skipped\n");
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!gFast.ok && !gFine.ok && !gNeural.ok) return 1;
  std::printf("quality.frames: %d\n", static_cast<int>(gClips.size()) * kFramesPerClip);
  for (const auto& [name, f] : {std::pair<const char*, const Figures*>{"fast", &gFast}, {"fine", &gFine},
                                {"neural", &gNeural}}) {
    if (!f->ok) continue;
    std::printf("quality.%s.iou: %.4f\n", name, f->iou);
    std::printf("quality.%s.mad: %.4f\n", name, f->mad);
    std::printf("quality.%s.ms_per_frame: %.1f\n", name, f->ms_per_frame);
  }
  return 0;
}
