// "Pull alpha (whole clip)": on the host's thread, check the settings, spool every frame of "Source" into a
// fresh private folder, build the job request, record the clip start, and hand the job to the matte worker.
// A launch that fails says why in a host message, removes its spool folder and frees the busy flag.

#include <cmath>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "plugin/HostSuites.h"
#include "plugin/Job.h"
#include "plugin/JobFolders.h"
#include "plugin/JobRequest.h"
#include "plugin/JobSeams.h"
#include "plugin/LiveInstances.h"
#include "plugin/Params.h"
#include "plugin/PluginPrivate.h"
#include "plugin/SourceFrames.h"
#include "plugin/Spooler.h"

namespace kesto {
namespace {

constexpr double kDefaultFrameRate = 25.0;
constexpr int kJobIdDraws = 8;
constexpr const char *kMessagePrefix = "Orvalis: ";
constexpr const char *kNoBackendUrl = "Orvalis: paste your Backend URL first.";
constexpr const char *kAlreadyPulling = "Orvalis: a matte is already being pulled.";

// The busy flag from the moment the launch claims it. Unless the job is handed to a worker, leaving the
// scope removes the spool folder (if one was made) and frees the flag, on every path out of the launch.
class LaunchClaim {
 public:
  LaunchClaim() = default;
  ~LaunchClaim() {
    if (handedOver_) return;
    if (!spoolDir_.empty()) remove_spool_dir(spoolDir_);
    gBusy.store(false);
  }
  LaunchClaim(const LaunchClaim &) = delete;
  LaunchClaim &operator=(const LaunchClaim &) = delete;

  void ownSpoolDir(const std::string &dir) { spoolDir_ = dir; }
  void handOver() { handedOver_ = true; }

 private:
  std::string spoolDir_;
  bool handedOver_ = false;
};

struct ClipRange {
  double first = 0.0;
  double last = 0.0;
  double fps = kDefaultFrameRate;
};

// The "Source" clip's frame range and rate; what the host does not give (or gives as no number) reads as a
// range of 0 to 0 and a rate of 25.
ClipRange readClipRange(OfxImageEffectHandle effect) {
  ClipRange clip;
  OfxImageClipHandle handle = nullptr;
  OfxPropertySetHandle props = nullptr;
  gEffect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &handle, &props);
  if (props == nullptr) return clip;
  double range[2] = {0.0, 0.0};
  if (gProp->propGetDoubleN(props, kOfxImageEffectPropFrameRange, 2, range) == kOfxStatOK &&
      std::isfinite(range[0]) && std::isfinite(range[1])) {
    clip.first = range[0];
    clip.last = range[1];
  }
  double fps = kDefaultFrameRate;
  if (gProp->propGetDouble(props, kOfxImageEffectPropFrameRate, 0, &fps) == kOfxStatOK && std::isfinite(fps)) {
    clip.fps = fps;
  }
  return clip;
}

// A new spool folder under `root`, or empty when none could be made.
std::string makeSpoolDir(const std::string &root) {
  for (int draw = 0; draw < kJobIdDraws; ++draw) {
    const std::optional<std::string> id = draw_job_id();
    if (!id) return {};
    const std::string dir = root + "upload_" + *id + "/";
    if (make_fresh_private_dir(dir)) return dir;
  }
  return {};
}

std::string buildJobRequest(OfxImageEffectHandle effect, double time, double first, std::int32_t lastIndex) {
  JobSettings settings;
  settings.anchorFrame = anchor_frame(time, first, lastIndex);
  settings.quality = get_int(effect, param::kQuality, 0);
  settings.edgeSoftness = get_double(effect, param::kEdgeSoftness, 0.0);
  settings.textHint = get_string(effect, param::kTextHint);
  settings.bboxJson = get_string(effect, param::kBboxJson);
  settings.brushJson = get_string(effect, param::kBrushJson);
  return job_request_json(settings);
}

void launch(OfxImageEffectHandle effect, double time, const std::string &backendUrl, LaunchClaim &claim) {
  const ClipRange clip = readClipRange(effect);
  const std::int32_t lastIndex = last_frame_index(clip.first, clip.last);
  const std::int32_t frameCount = lastIndex + 1;

  const std::string root = detail::job_root();
  const std::string rootProblem = prepare_job_root(root);
  if (!rootProblem.empty()) {
    showMessage(kMessagePrefix + std::string("not writing frames: ") + rootProblem + ".");
    return;
  }
  const std::string spoolDir = makeSpoolDir(root);
  if (spoolDir.empty()) {
    showMessage(kMessagePrefix + std::string("could not create a spool folder in ") + root + ".");
    return;
  }
  claim.ownSpoolDir(spoolDir);

  set_string(effect, param::kStatus, "grabbing " + std::to_string(frameCount) + " frames...");
  const FrameFetch fetch = [&](std::int32_t index) { return fetch_source_frame(effect, clip.first + index); };
  if (const auto failure = spool_frames(frameCount, fetch, spoolDir, detail::spool_threads())) {
    showMessage(kMessagePrefix + spool_failure_text(*failure, spoolDir));
    return;
  }

  PullAlphaJob job;
  job.effect = effect;
  job.backendUrl = backendUrl;
  job.spoolDir = spoolDir;
  job.frameCount = frameCount;
  job.fps = clip.fps;
  job.jobJson = buildJobRequest(effect, time, clip.first, lastIndex);
  job.instanceTicket = live_instance_ticket(effect);
  set_string(effect, param::kClipStart, clip_start_text(clip.first));
  if (!startMatteWorker(std::move(job))) {
    showMessage(kMessagePrefix + std::string("could not start the matte job."));
    return;
  }
  claim.handOver();
}

}  // namespace

void pullAlpha(OfxImageEffectHandle effect, double time) noexcept {
  try {
    const std::string backendUrl = get_string(effect, param::kBackendUrl);
    if (!looksLikeBackendUrl(backendUrl)) {
      showMessage(kNoBackendUrl);
      return;
    }
    if (gBusy.exchange(true)) {
      showMessage(kAlreadyPulling);
      return;
    }
    LaunchClaim claim;
    try {
      launch(effect, time, backendUrl, claim);
    } catch (const std::bad_alloc &) {
      showMessage(kMessagePrefix + std::string("not enough memory to pull the matte."));
    } catch (const std::exception &error) {
      showMessage(kMessagePrefix + std::string("the matte job could not start: ") + error.what());
    } catch (...) {
      showMessage(kMessagePrefix + std::string("the matte job could not start."));
    }
  } catch (...) {
    // Only reached when even the message above could not be built; the claim has already been released.
  }
}

}  // namespace kesto
