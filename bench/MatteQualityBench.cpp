// Matte quality of trevane-backend's engines. Every job runs through an in-process backend over HTTP exactly as
// the plug-in drives it (JPEG frames at quality 92, the plug-in's default edge softness 0.35, a selection on
// the anchor frame and nothing else).
//
// Composite clips: RGBA character portraits (wesnoth-1.16-httt) moved across real street footage (vtest.avi
// from opencv-doc), at 960 x 540, with the true alpha known for every frame, 24 frames each, anchored on the
// middle frame. Each runs with a box alone (drawn around the character with 4% margin) and with a hint alone
// (one short description each, as a person would type it). --held-out swaps in other portraits, backgrounds,
// places and hints, to check figures on clips nobody tuned for.
//
// The phone clip of the main job (forensics-1080p.mp4, frames 0-40 at 640x360, anchor 20): the main job's box
// alone, and the hint "white dog" alone. No true matte there: the figures are about the matte's shape.
//
// Figures (means over every frame of every clip):
//   quality.fast.iou, .mad, .ms_per_frame    box alone at "fast" quality
//   quality.fine.iou, .mad, .ms_per_frame    box alone at "fine" quality
//   quality.box.iou, quality.box.mad         box alone at the default quality ("fine": the same job)
//   quality.hint.iou, quality.hint.mad       hint alone at "fine"; quality.hint.min_clip_iou is the worst clip's
//   quality.real.holes                       phone clip, box alone: enclosed background regions inside the
//                                            largest component of each matte at 128, each larger than 0.1% of
//                                            that component's area, summed over the 41 frames
//   quality.real.hint_box_iou                bounding box of the hint's matte against that of the box's matte,
//                                            mean over the 41 frames
// where iou is the intersection over union of matte > 0.5 and true alpha > 0.5, mad the mean absolute alpha
// error (alpha 0..1), ms_per_frame the job time (start accepted to COMPLETED) over the frame count. The same
// figures for the neural engine at "fine" carry the prefix quality.neural. (quality.neural.box.iou, ...,
// quality.neural.ms_per_frame of its box jobs), when a model is given (--model FILE; the other --model-*
// options and --keyframe-spacing as trevane-backend takes them) or scripts/fetch-model has cached one; its
// loading and check at start-up are not counted.
// The media comes from scripts/fetch-media; pass --media DIR to use another cache. --write-mattes DIR writes
// each clip's anchor frame beside its matte and its true alpha there, named after the figure and the portrait.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "BackendJob.h"
#include "CompositeClip.h"
#include "MatteShape.h"
#include "backend/matting/ModelCache.h"
#include "backend/service/BackendServer.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using kesto::bench::JobResult;

constexpr int kFrameWidth = 960;
constexpr int kFrameHeight = 540;
constexpr int kFramesPerClip = 24;
constexpr double kEdgeSoftness = 0.35;
constexpr int kJpegQuality = 92;

// The phone clip as the main job reads it.
constexpr const char* kRealVideo = "forensics-1080p.mp4";
constexpr int kRealFrames = 41;
constexpr int kRealAnchor = 20;
const cv::Size kRealSize(640, 360);
const json kRealBox{{"x", 0.17}, {"y", 0.07}, {"w", 0.46}, {"h", 0.80}};
constexpr const char* kRealHint = "white dog";

struct ClipSpec {
  const char* portrait;
  int start_x_px;
  int background_first;  // first frame of vtest.avi behind it
  const char* hint;
};

// Tuned against: the box figures of earlier versions were measured on exactly these clips.
const ClipSpec kClips[] = {
    {"delfador.png", 60, 0, "the old wizard in purple on the left"},
    {"kalenz.png", 200, 150, "the elf in green in front"},
    {"konrad-human.png", 340, 300, "the man in the foreground"},
    {"lisar.png", 60, 450, "the woman on the left"},
};
// Never tuned against.
const ClipSpec kHeldOutClips[] = {
    {"asheviere.png", 480, 75, "the queen on the right"},
    {"moremirmu.png", 250, 225, "the man in white in the middle"},
    {"delfador-elvish.png", 20, 375, "person on the left"},
    {"chantal-shyde.png", 380, 600, "the big woman"},
};

struct Clip {
  std::vector<std::string> jpegs;
  std::vector<cv::Mat> truth;  // CV_32F alpha, 0..1
  int anchor = 0;
  json bbox;
  std::string hint;
  std::string portrait;
};

struct TruthFigures {
  double iou = 0.0;
  double mad = 0.0;
  double min_clip_iou = 1.0;
  double ms_per_frame = 0.0;
  bool ok = false;
};

struct RealFigures {
  int holes = 0;
  double hint_box_iou = 0.0;
  bool ok = false;
};

fs::path gMedia;
fs::path gMatteDir;  // --write-mattes: where each clip's anchor frame, its matte and the true alpha go
std::vector<Clip> gClips;
std::vector<std::string> gRealJpegs;
std::map<std::string, TruthFigures> gTruth;  // by figure prefix: "fast", "fine", "hint", "neural.box", ...
std::map<std::string, RealFigures> gReal;    // "real", "neural.real"

bool build_clips(bool held_out) {
  const fs::path video = gMedia / "vtest.avi";
  if (!fs::exists(video)) return false;
  const auto specs = held_out ? std::vector<ClipSpec>(std::begin(kHeldOutClips), std::end(kHeldOutClips))
                              : std::vector<ClipSpec>(std::begin(kClips), std::end(kClips));
  for (const ClipSpec& spec : specs) {
    const cv::Mat portrait = cv::imread((gMedia / "portraits" / spec.portrait).string(), cv::IMREAD_UNCHANGED);
    if (portrait.empty() || portrait.channels() != 4) return false;
    const auto background = kesto::clips::read_video_frames(video, spec.background_first, kFramesPerClip,
                                                            cv::Size(kFrameWidth, kFrameHeight));
    if (static_cast<int>(background.size()) < kFramesPerClip) return false;
    kesto::clips::ClipPath path;  // the defaults: 78% of the height, 5 px a frame, a 6 px bob
    path.start_x_px = spec.start_x_px;
    const kesto::clips::CompositeClip composite = kesto::clips::composite_clip(portrait, background, path);
    Clip clip;
    clip.jpegs = kesto::bench::encode_jpegs(composite.frames, kJpegQuality);
    clip.truth = composite.truth;
    clip.anchor = composite.anchor;
    const kesto::clips::NormalisedBox& b = composite.box;
    clip.bbox = json{{"x", b.x}, {"y", b.y}, {"w", b.w}, {"h", b.h}};
    clip.hint = spec.hint;
    clip.portrait = spec.portrait;
    gClips.push_back(std::move(clip));
  }
  const auto real = kesto::clips::read_video_frames(gMedia / kRealVideo, 0, kRealFrames, kRealSize);
  if (static_cast<int>(real.size()) < kRealFrames) return false;
  gRealJpegs = kesto::bench::encode_jpegs(real, kJpegQuality);
  return true;
}

json job_json(int anchor, const char* quality, const json& bbox, const std::string& hint) {
  json job{{"anchor_frame", anchor}, {"edge_softness", kEdgeSoftness}, {"quality", quality},
           {"strokes", json::array()}, {"text_prompt", hint}};
  if (!bbox.is_null()) job["bbox"] = bbox;
  return job;
}

// A backend of its own for one measurement, so that nothing carries over between them.
bool with_backend(kesto::backend::BackendConfig config, const std::function<bool(httplib::Client&)>& body) {
  config.port = 0;
  config.max_jobs = 1;
  config.log_level = kesto::backend::LogLevel::Quiet;
  kesto::backend::BackendServer server(config);
  const auto started = server.start();
  if (!started.ok()) {
    std::fprintf(stderr, "bench_matte_quality: %s\n", started.error().message.c_str());
    return false;
  }
  httplib::Client client("127.0.0.1", server.port());
  client.set_read_timeout(120, 0);
  return body(client);
}

// The anchor frame, the matte and the true alpha side by side, to look at what a figure means.
void write_anchor_sheet(const std::string& name, const Clip& clip, const JobResult& result) {
  const auto a = static_cast<std::size_t>(clip.anchor);
  const std::vector<std::uint8_t> bytes(clip.jpegs[a].begin(), clip.jpegs[a].end());
  const cv::Mat frame = cv::imdecode(bytes, cv::IMREAD_COLOR);
  cv::Mat matte = cv::Mat::zeros(frame.size(), CV_8U);
  if (result.ok()) matte = result.mattes[a];
  cv::Mat truth;
  clip.truth[a].convertTo(truth, CV_8U, 255.0);
  cv::Mat matte_bgr, truth_bgr, sheet;
  cv::cvtColor(matte, matte_bgr, cv::COLOR_GRAY2BGR);
  cv::cvtColor(truth, truth_bgr, cv::COLOR_GRAY2BGR);
  cv::hconcat(std::vector<cv::Mat>{frame, matte_bgr, truth_bgr}, sheet);
  cv::imwrite((gMatteDir / (name + ".png")).string(), sheet);
}

// Every composite clip with a box alone (hint empty) or a hint alone, against the true mattes.
TruthFigures measure_truth(const std::string& prefix, const kesto::backend::BackendConfig& config, const char* quality,
                           bool by_hint) {
  TruthFigures figures;
  figures.ok = with_backend(config, [&](httplib::Client& client) {
    double iou_sum = 0.0;
    double mad_sum = 0.0;
    double ms_sum = 0.0;
    int frames = 0;
    for (const Clip& clip : gClips) {
      const JobResult result = kesto::bench::run_job(
          client, clip.jpegs, by_hint ? job_json(clip.anchor, quality, json(), clip.hint)
                                      : job_json(clip.anchor, quality, clip.bbox, ""));
      double clip_iou = 0.0;
      if (!result.ok()) {
        // A hint that finds nothing is a figure (no matte at all), not a broken run.
        std::fprintf(stderr, "bench_matte_quality: %s\n", result.error.c_str());
        if (!by_hint) return false;
      }
      for (std::size_t i = 0; i < clip.truth.size(); ++i) {
        cv::Mat alpha = cv::Mat::zeros(clip.truth[i].size(), CV_32F);
        if (result.ok()) {
          if (result.mattes[i].size() != alpha.size()) return false;
          result.mattes[i].convertTo(alpha, CV_32F, 1.0 / 255.0);
        }
        const double iou = kesto::clips::matte_iou(alpha, clip.truth[i]);
        clip_iou += iou;
        iou_sum += iou;
        mad_sum += kesto::clips::matte_mad(alpha, clip.truth[i]);
      }
      if (!gMatteDir.empty()) {
        write_anchor_sheet(prefix + "-" + fs::path(clip.portrait).stem().string(), clip, result);
      }
      // Each clip's figure, to see which character a change helps or hurts.
      std::fprintf(stderr, "bench_matte_quality: %s, %s: IoU %.4f\n", clip.portrait.c_str(),
                   by_hint ? ("\"" + clip.hint + "\"").c_str() : "box", clip_iou / static_cast<double>(clip.truth.size()));
      figures.min_clip_iou = std::min(figures.min_clip_iou, clip_iou / static_cast<double>(clip.truth.size()));
      ms_sum += result.ms;
      frames += static_cast<int>(clip.jpegs.size());
    }
    figures.iou = iou_sum / frames;
    figures.mad = mad_sum / frames;
    figures.ms_per_frame = ms_sum / frames;
    return true;
  });
  return figures;
}

// The phone clip: holes in the box's mattes, and where the hint's mattes are against the box's.
RealFigures measure_real(const kesto::backend::BackendConfig& config) {
  RealFigures figures;
  figures.ok = with_backend(config, [&](httplib::Client& client) {
    const JobResult box = kesto::bench::run_job(client, gRealJpegs, job_json(kRealAnchor, "fine", kRealBox, ""));
    if (!box.ok()) {
      std::fprintf(stderr, "bench_matte_quality: %s\n", box.error.c_str());
      return false;
    }
    const JobResult hint = kesto::bench::run_job(client, gRealJpegs, job_json(kRealAnchor, "fine", json(), kRealHint));
    if (!hint.ok()) std::fprintf(stderr, "bench_matte_quality: \"%s\": %s\n", kRealHint, hint.error.c_str());
    double iou_sum = 0.0;
    for (std::size_t i = 0; i < box.mattes.size(); ++i) {
      figures.holes += kesto::bench::enclosed_holes(box.mattes[i]);
      if (hint.ok()) {
        iou_sum += kesto::bench::box_iou(kesto::bench::matte_bounds(box.mattes[i]),
                                         kesto::bench::matte_bounds(hint.mattes[i]));
      }
    }
    figures.hint_box_iou = iou_sum / static_cast<double>(box.mattes.size());
    return true;
  });
  return figures;
}

void register_truth(const std::string& prefix, const kesto::backend::BackendConfig& config, const char* quality,
                    bool by_hint) {
  benchmark::RegisterBenchmark(("MatteQuality/" + prefix).c_str(), [=](benchmark::State& state) {
    TruthFigures& out = gTruth[prefix];
    for (auto _ : state) {
      out = measure_truth(prefix, config, quality, by_hint);
      if (!out.ok) state.SkipWithError("a clip did not run through the backend");
    }
    state.counters["iou"] = out.iou;
    state.counters["mad"] = out.mad;
    state.counters["ms_per_frame"] = out.ms_per_frame;
  })->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void register_real(const std::string& prefix, const kesto::backend::BackendConfig& config) {
  benchmark::RegisterBenchmark(("MatteQuality/" + prefix).c_str(), [=](benchmark::State& state) {
    RealFigures& out = gReal[prefix];
    for (auto _ : state) {
      out = measure_real(config);
      if (!out.ok) state.SkipWithError("the phone clip did not run through the backend");
    }
    state.counters["holes"] = out.holes;
    state.counters["hint_box_iou"] = out.hint_box_iou;
  })->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void print_figures() {
  std::printf("quality.frames: %d\n", static_cast<int>(gClips.size()) * kFramesPerClip);
  for (const auto& [prefix, f] : gTruth) {
    if (!f.ok) continue;
    std::printf("quality.%s.iou: %.4f\n", prefix.c_str(), f.iou);
    std::printf("quality.%s.mad: %.4f\n", prefix.c_str(), f.mad);
    if (prefix == "fast" || prefix == "fine") std::printf("quality.%s.ms_per_frame: %.1f\n", prefix.c_str(), f.ms_per_frame);
    if (prefix == "neural.box") std::printf("quality.neural.ms_per_frame: %.1f\n", f.ms_per_frame);
    if (prefix.find("hint") != std::string::npos) std::printf("quality.%s.min_clip_iou: %.4f\n", prefix.c_str(), f.min_clip_iou);
  }
  if (gTruth["fine"].ok) {
    std::printf("quality.box.iou: %.4f\n", gTruth["fine"].iou);
    std::printf("quality.box.mad: %.4f\n", gTruth["fine"].mad);
  }
  for (const auto& [prefix, f] : gReal) {
    if (!f.ok) continue;
    std::printf("quality.%s.holes: %d\n", prefix.c_str(), f.holes);
    std::printf("quality.%s.hint_box_iou: %.4f\n", prefix.c_str(), f.hint_box_iou);
  }
}

}  // namespace

int main(int argc, char** argv) {
  gMedia = TREVANE_MEDIA_DIR;
  std::vector<char*> rest;
  std::vector<std::string> neural_args;
  bool held_out = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--media" && i + 1 < argc) {
      gMedia = argv[++i];
    } else if (arg == "--write-mattes" && i + 1 < argc) {
      gMatteDir = argv[++i];
    } else if (arg == "--held-out") {
      held_out = true;
    } else if ((arg.rfind("--model", 0) == 0 || arg == "--keyframe-spacing") && i + 1 < argc) {
      neural_args.push_back(arg);
      neural_args.push_back(argv[++i]);
    } else {
      rest.push_back(argv[i]);
    }
  }
  const bool has_model_arg = std::find(neural_args.begin(), neural_args.end(), "--model") != neural_args.end();
  const fs::path cached = kesto::backend::cached_model_path();
  std::error_code ec;
  if (!has_model_arg && !cached.empty() && fs::is_regular_file(cached, ec)) {
    neural_args.insert(neural_args.end(), {"--model", cached.string()});
  }
  const bool neural = std::find(neural_args.begin(), neural_args.end(), "--model") != neural_args.end();
  kesto::backend::BackendConfig neural_config;
  if (neural) {
    neural_args.insert(neural_args.begin(), {"--engine", "neural"});
    const kesto::backend::ParsedArgs parsed = kesto::backend::parse_args(neural_args);
    if (parsed.action != kesto::backend::ParsedArgs::Action::Run) {
      std::fprintf(stderr, "bench_matte_quality: %s\n", parsed.message.c_str());
      return 2;
    }
    neural_config = parsed.config;
  }
  kesto::backend::BackendConfig classical;
  classical.engine = "classical";
  if (!build_clips(held_out)) {
    std::fprintf(stderr, "bench_matte_quality: test media missing in %s; run scripts/fetch-media --cache %s\n",
                 gMedia.c_str(), gMedia.c_str());
    return 1;
  }
  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  register_truth("fast", classical, "fast", false);
  register_truth("fine", classical, "fine", false);
  register_truth("hint", classical, "fine", true);
  register_real("real", classical);
  if (neural) {
    register_truth("neural.box", neural_config, "fine", false);
    register_truth("neural.hint", neural_config, "fine", true);
    register_real("neural.real", neural_config);
  } else {
    std::fprintf(stderr, "bench_matte_quality: no model given or cached; the neural engine's figures are skipped\n");
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gTruth.empty() && gReal.empty()) return 1;
  print_figures();
  return 0;
}
