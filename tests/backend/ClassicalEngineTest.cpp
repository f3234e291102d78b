// The classical engine on small synthetic clips (a coloured disc moving over a textured background, checked
// against the true mask by intersection over union), and its pieces at known answers: the box in pixels, the
// regions kept, the hole rule, the warp along the flow, edge refinement and the refinement pipeline.

#include "backend/matting/ClassicalEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "BackendTestSupport.h"
#include "backend/matting/AnchorSegmenter.h"
#include "backend/matting/EdgeRefiner.h"
#include "backend/matting/GrabCutRestarts.h"
#include "backend/matting/HoleFiller.h"
#include "backend/matting/MaskPropagator.h"
#include "backend/matting/MotionCue.h"
#include "backend/matting/RefinePipeline.h"

namespace kesto::backend {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 96;

// A textured background with a coloured disc moving right; `truth` receives the disc masks.
std::vector<cv::Mat> moving_disc_clip(int frames, std::vector<cv::Mat>& truth) {
  cv::RNG rng(7);
  cv::Mat background(kHeight, kWidth, CV_8UC3);
  rng.fill(background, cv::RNG::UNIFORM, cv::Scalar(40, 90, 40), cv::Scalar(110, 160, 110));
  cv::GaussianBlur(background, background, cv::Size(0, 0), 2.0);
  for (int i = 0; i < 12; ++i) {
    const cv::Rect bar(rng.uniform(0, kWidth), rng.uniform(0, kHeight), 30, 10);
    cv::rectangle(background, bar, cv::Scalar(60, 60, 140), cv::FILLED);
  }
  std::vector<cv::Mat> clip;
  for (int i = 0; i < frames; ++i) {
    clip.push_back(background.clone());
    const cv::Point centre(kWidth / 4 + i * 3, kHeight / 2 + (i % 4));
    const int radius = kHeight / 5;
    cv::circle(clip.back(), centre, radius, cv::Scalar(20, 40, 230), cv::FILLED, cv::LINE_AA);
    cv::circle(clip.back(), centre + cv::Point(radius / 3, -radius / 3), radius / 4, cv::Scalar(30, 200, 240),
               cv::FILLED);
    truth.push_back(cv::Mat::zeros(kHeight, kWidth, CV_8UC1));
    cv::circle(truth.back(), centre, radius, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
  }
  return clip;
}

JobRequest box_request(int anchor, Quality quality) {
  JobRequest request;
  request.anchor_frame = anchor;
  request.quality = quality;
  request.edge_softness = 0.0;
  // The disc (radius h/5) starts at (w/4, h/2) and moves 3 px per frame.
  const double cx = (kWidth / 4.0 + anchor * 3) / kWidth;
  request.bbox = NormBox{cx - 0.16, 0.22, 0.32, 0.56};
  return request;
}

std::unique_ptr<test::Outcome> run_classical(const JobRequest& request, const std::vector<cv::Mat>& clip,
                                             bool cancel = false) {
  ClassicalEngine engine;
  return test::run_engine(engine, request, clip, cancel);
}

TEST(ClassicalEngine, TracksAMovingCharacterBothWaysFromTheAnchorReportingItsStagesAndTakesDabsOrAHintAlone) {
  std::vector<cv::Mat> truth;
  const auto clip = moving_disc_clip(8, truth);
  for (const Quality quality : {Quality::Fast, Quality::Fine}) {
    const auto out = run_classical(box_request(3, quality), clip);
    ASSERT_FALSE(out->error) << *out->error;
    ASSERT_EQ(out->mattes.size(), clip.size());
    for (int i = 0; i < static_cast<int>(clip.size()); ++i) {
      ASSERT_EQ(out->mattes.at(i).size(), clip[0].size());
      EXPECT_GT(test::iou(out->mattes.at(i), truth[static_cast<std::size_t>(i)]), 0.85) << "frame " << i;
    }
    for (const char* stage : {"segmenting anchor", "propagating 8/8", "refining edges 8/8"}) {
      EXPECT_TRUE(out->saw(stage)) << stage;
    }
  }
  EXPECT_EQ(*run_classical(box_request(0, Quality::Fast), clip, true)->error, "cancelled");
  // Dabs alone select the character; an exclude dab removes what it covers. Two frames are enough.
  const std::vector<cv::Mat> two(clip.begin(), clip.begin() + 2);
  const cv::Point centre(kWidth / 4, kHeight / 2);
  JobRequest dabs;
  dabs.quality = Quality::Fine;
  dabs.strokes = {{0.25, 0.5, 0.05}};
  const auto selected = run_classical(dabs, two);
  ASSERT_FALSE(selected->error) << *selected->error;
  EXPECT_GT(test::iou(selected->mattes.at(0), truth[0]), 0.8);
  JobRequest boxed = box_request(0, Quality::Fine);
  EXPECT_EQ(run_classical(boxed, two)->mattes.at(0).at<uchar>(centre), 255);
  boxed.strokes = {{0.25, 0.5, -0.08}};  // the middle of the disc is not the character
  EXPECT_EQ(run_classical(boxed, two)->mattes.at(0).at<uchar>(centre), 0);
  // A hint alone: which shape it picks is CharacterFinderTest's; here, that the engine segments from what it found.
  std::vector<cv::Mat> squares;
  for (int i = 0; i < 4; ++i) squares.push_back(test::square_frame(kWidth, kHeight, 30 + 3 * i, 30, 30));
  cv::Mat square = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  square(cv::Rect(39, 30, 30, 30)).setTo(255);
  JobRequest request;
  request.anchor_frame = 3;
  request.text_prompt = "the white box";
  const auto found = run_classical(request, squares);
  ASSERT_FALSE(found->error) << *found->error;
  EXPECT_GT(test::iou(found->mattes.at(3), square), 0.8);
  EXPECT_EQ(found->mattes.size(), squares.size());
  request.text_prompt = "the woman in red";  // nothing red there
  const auto missing = run_classical(request, squares);
  ASSERT_TRUE(missing->error);
  EXPECT_NE(missing->error->find("draw a box"), std::string::npos);
  EXPECT_TRUE(missing->mattes.empty());
}

// A character as GrabCut leaves it: a blue figure over a pale floor with dark bars beside it, its mask open at
// its two dark eyes (the colour of the bars) and at the patch of floor its arm encloses.
TEST(HoleFiller, FillsFeaturesUnlikeTheBackgroundAndKeepsGapsExcludedAndCarriedHolesOpen) {
  const cv::Point left_eye{50, 30}, right_eye{70, 30}, gap{94, 66}, chest{60, 70};
  cv::RNG rng(11);
  cv::Mat floor(kHeight, kWidth, CV_8UC3);
  rng.fill(floor, cv::RNG::UNIFORM, cv::Scalar(170, 195, 210), cv::Scalar(190, 215, 230));
  floor(cv::Rect(6, 0, 22, kHeight)).setTo(cv::Scalar(25, 25, 25));
  floor(cv::Rect(114, 0, 22, kHeight)).setTo(cv::Scalar(30, 28, 26));
  cv::Mat frame = floor.clone();
  cv::Mat mask = cv::Mat::zeros(floor.size(), CV_8UC1);
  for (cv::Mat* layer : {&frame, &mask}) {
    const cv::Scalar body = layer == &mask ? cv::Scalar(255) : cv::Scalar(200, 90, 40);
    cv::ellipse(*layer, cv::Point(60, 32), cv::Size(24, 18), 0, 0, 360, body, cv::FILLED);
    cv::rectangle(*layer, cv::Rect(42, 46, 36, 46), body, cv::FILLED);
    cv::circle(*layer, gap, 17, body, cv::FILLED);
  }
  const auto disc = [&](cv::Point centre, int radius) {
    cv::Mat m = cv::Mat::zeros(mask.size(), CV_8UC1);
    cv::circle(m, centre, radius, cv::Scalar(255), cv::FILLED);
    return m;
  };
  floor.copyTo(frame, disc(gap, 9));
  mask.setTo(0, disc(gap, 9));
  for (const cv::Point eye : {left_eye, right_eye}) {
    cv::circle(frame, eye, 6, cv::Scalar(22, 22, 22), cv::FILLED);
    cv::circle(mask, eye, 6, cv::Scalar(0), cv::FILLED);
  }
  const struct {
    const char* name;
    cv::Mat keep_open, was_open;
    bool left_eye, right_eye, gap, chest;  // character (true) or background afterwards
  } cases[] = {
      {"nothing drawn", cv::Mat(), cv::Mat(), true, true, false, true},
      {"an exclude dab inside the right eye", disc(right_eye + cv::Point(1, 0), 2), cv::Mat(), true, false, false, true},
      {"an exclude dab on the chest", disc(chest, 3), cv::Mat(), true, true, false, false},
      {"the left eye open on the last frame", cv::Mat(), disc(left_eye + cv::Point(1, 1), 6), false, true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat filled = fill_enclosed_holes(frame, mask, c.keep_open, c.was_open);
    EXPECT_EQ(filled.at<uchar>(left_eye) == 255, c.left_eye);
    EXPECT_EQ(filled.at<uchar>(right_eye) == 255, c.right_eye);
    EXPECT_EQ(filled.at<uchar>(gap) == 255, c.gap);
    EXPECT_EQ(filled.at<uchar>(chest) == 255, c.chest);
    EXPECT_EQ(cv::countNonZero(filled & ~mask & ~disc(left_eye, 6) & ~disc(right_eye, 6)), 0) << "filled something besides the eyes";
    if (!c.keep_open.empty()) {
      EXPECT_EQ(cv::countNonZero(filled & c.keep_open), 0);
    }
  }
}

// GrabCut's own cut is the least-energy labelling under the models it returns, so any change to it costs more;
// several starts make the anchor's mask the same whatever random state the calling thread is in. Then the box in
// pixels, clamped and two pixels at least, and the regions kept: the largest and the seeded ones.
TEST(AnchorSegmenter, TheEnergyIsLeastAtGrabCutsOwnCutTheMaskDoesNotDependOnTheThreadsRandomStateAndBoxesClamp) {
  std::vector<cv::Mat> truth;
  const cv::Mat frame = moving_disc_clip(1, truth)[0];
  cv::Mat noisy(frame.size(), CV_8UC3);
  cv::randn(noisy, cv::Scalar::all(0), cv::Scalar::all(25));
  cv::add(frame, noisy, noisy);
  const cv::Rect box = box_to_pixels(*box_request(0, Quality::Fine).bbox, kWidth, kHeight);
  cv::Mat labels(frame.size(), CV_8UC1, cv::Scalar(cv::GC_BGD));
  labels(box).setTo(cv::GC_PR_FGD);
  cv::Mat bgd_model;
  cv::Mat fgd_model;
  cv::grabCut(noisy, labels, cv::Rect(), bgd_model, fgd_model, 2, cv::GC_INIT_WITH_MASK);
  const double least = grab_cut_energy(noisy, labels, bgd_model, fgd_model);
  for (const cv::Rect& flipped : {cv::Rect(box.x, box.y, 6, 6), cv::Rect(box.x + box.width / 2 - 2, kHeight / 2 - 2, 4, 4),
                                  cv::Rect(box.x, box.y, box.width, 1)}) {
    cv::Mat changed = labels.clone();
    for (int y = flipped.y; y < flipped.br().y; ++y) {
      for (int x = flipped.x; x < flipped.br().x; ++x) {
        uchar& label = changed.at<uchar>(y, x);
        label = label == cv::GC_PR_FGD ? cv::GC_PR_BGD : cv::GC_PR_FGD;
      }
    }
    EXPECT_GT(grab_cut_energy(noisy, changed, bgd_model, fgd_model), least) << flipped;
  }

  // With definite labels only the cut pairs cost: 50 a straight pair and 50/sqrt(2) a diagonal one inside a flat
  // region, e^(-beta d^2) of that across an edge (16 of the 152 pairs cross it, so beta d^2 = 152 / 32).
  cv::Mat halves(6, 8, CV_8UC3, cv::Scalar::all(0));
  halves.colRange(4, 8).setTo(cv::Scalar::all(255));
  const cv::Mat no_model = cv::Mat::zeros(1, 65, CV_64F);
  cv::Mat along(halves.size(), CV_8UC1, cv::Scalar(cv::GC_BGD));
  along.colRange(4, 8).setTo(cv::GC_FGD);
  cv::Mat inside = along.clone();
  inside.colRange(2, 4).setTo(cv::GC_FGD);
  const double flat_cut = 6 * 50.0 + 10 * 50.0 / std::sqrt(2.0);
  EXPECT_NEAR(grab_cut_energy(halves, inside, no_model, no_model), flat_cut, 1e-6);
  EXPECT_NEAR(grab_cut_energy(halves, along, no_model, no_model), flat_cut * std::exp(-152.0 / 32.0), 1e-6);

  AnchorSeeds seeds;
  seeds.box = box;
  std::string error;
  std::vector<cv::Mat> masks;
  for (const std::uint64_t state : {1ULL, 0xDEADBEEFULL, 12345ULL}) {
    cv::theRNG().state = state;
    masks.push_back(segment_anchor(noisy, seeds, 2, 4, error));
    ASSERT_FALSE(masks.back().empty()) << error;
    EXPECT_EQ(cv::theRNG().state, state);
    EXPECT_EQ(cv::countNonZero(masks.back() != masks.front()), 0) << state;
  }
  EXPECT_GT(test::iou(masks.front(), truth[0]), 0.85);
  EXPECT_EQ(box_to_pixels(NormBox{0.25, 0.5, 0.5, 0.25}, 100, 40), cv::Rect(25, 20, 50, 10));
  EXPECT_EQ(box_to_pixels(NormBox{0.999, 0.999, 0.0001, 0.0001}, 100, 40), cv::Rect(98, 38, 2, 2));
  EXPECT_EQ(box_to_pixels(NormBox{0.0, 0.0, 1.0, 1.0}, 100, 40), cv::Rect(0, 0, 100, 40));
  cv::Mat regions = cv::Mat::zeros(50, 50, CV_8UC1);
  regions(cv::Rect(2, 2, 20, 20)).setTo(255);
  regions(cv::Rect(30, 30, 5, 5)).setTo(255);
  regions(cv::Rect(40, 5, 3, 3)).setTo(255);
  cv::Mat seeded = cv::Mat::zeros(50, 50, CV_8UC1);
  seeded.at<uchar>(31, 31) = 255;
  const cv::Mat kept = keep_largest_region(regions, seeded);
  EXPECT_EQ(cv::countNonZero(kept), 20 * 20 + 5 * 5);
  EXPECT_EQ(kept.at<uchar>(32, 32), 255);
}

// A red poster on a still green wall beside a red ball that moves: by colour alone GrabCut takes the poster into
// the character, by motion it is background. A ball that stands still gives no cue.
TEST(MotionCue, StillBackgroundGrabCutKeepsForItsColoursIsTakenOutAndAStillCharacterGivesNoCue) {
  cv::RNG rng(5);
  const auto texture = [&](cv::Scalar low, cv::Scalar high) {
    cv::Mat t(kHeight / 4, kWidth / 4, CV_8UC3);
    rng.fill(t, cv::RNG::UNIFORM, low, high);
    cv::resize(t, t, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_CUBIC);
    return t;
  };
  const cv::Mat wall = texture(cv::Scalar(20, 90, 20), cv::Scalar(90, 200, 90));
  const cv::Mat red = texture(cv::Scalar(10, 10, 120), cv::Scalar(70, 70, 250));
  const cv::Rect poster(70, 26, 30, 44);
  const cv::Rect box(30, 20, 72, 56);  // drawn close around the ball and the poster, as a user would
  cv::Mat ball = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  cv::circle(ball, cv::Point(58, 48), 27, cv::Scalar(255), cv::FILLED);
  // The anchor, and what `moves` covers `shift` px further right (the rest of the ball stays where it was).
  const auto anchor_and_next = [&](const cv::Mat& moves, int shift, cv::Mat (&frames)[2], cv::Mat (&grays)[2]) {
    for (int i = 0; i < 2; ++i) {
      frames[i] = wall.clone();
      red(poster).copyTo(frames[i](poster));
      red.copyTo(frames[i], ball);
      const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, shift * i, 0, 1, 0);
      cv::Mat moved_part;
      cv::Mat moved_red;
      cv::warpAffine(moves, moved_part, move, moves.size());
      cv::warpAffine(red, moved_red, move, red.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
      moved_red.copyTo(frames[i], moved_part);
      cv::cvtColor(frames[i], grays[i], cv::COLOR_BGR2GRAY);
    }
  };
  cv::Mat frames[2];
  cv::Mat grays[2];
  anchor_and_next(ball, 6, frames, grays);
  cv::Mat poster_mask = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  poster_mask(poster).setTo(255);
  cv::Mat near_ball;
  cv::dilate(ball, near_ball, cv::Mat(), cv::Point(-1, -1), 3);
  poster_mask.setTo(0, near_ball);
  cv::erode(ball, ball, cv::Mat(), cv::Point(-1, -1), 3);  // the rim is neither: half poster, half ball

  AnchorSeeds seeds;
  seeds.box = box;
  std::string error;
  const cv::Mat by_colour = segment_anchor(frames[0], seeds, 3, 2, error);
  ASSERT_FALSE(by_colour.empty()) << error;
  const int poster_area = cv::countNonZero(poster_mask);
  EXPECT_GT(cv::countNonZero(by_colour & poster_mask), poster_area / 2) << "no poster for the cue to take out";

  seeds.motion = motion_cue(grays[0], grays[1], box);
  ASSERT_FALSE(seeds.motion.still.empty());
  EXPECT_GT(cv::countNonZero(seeds.motion.still & poster_mask), poster_area / 2);
  EXPECT_LT(cv::countNonZero(seeds.motion.still & ball), cv::countNonZero(ball) / 50);
  EXPECT_GT(cv::countNonZero(seeds.motion.moving & ball), cv::countNonZero(ball) / 2);
  for (const double second_cut_scale : {1.0, 0.5}) {
    const cv::Mat by_motion = segment_anchor(frames[0], seeds, 3, 2, error, second_cut_scale);
    ASSERT_FALSE(by_motion.empty()) << error;
    EXPECT_LT(cv::countNonZero(by_motion & poster_mask), poster_area / 10) << second_cut_scale;
    EXPECT_GT(cv::countNonZero(by_motion & ball), cv::countNonZero(ball) * 95 / 100) << second_cut_scale;
  }

  EXPECT_TRUE(motion_cue(grays[0], grays[0], box).still.empty());
  // Only its top moves (a head turning), or all of it but within the flow's error: what stays still may be
  // the character's as well.
  cv::Mat head = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  cv::circle(head, cv::Point(58, 36), 16, cv::Scalar(255), cv::FILLED);
  for (const auto& [moves, shift] : {std::pair<const cv::Mat&, int>{head, 6}, {ball, 2}}) {
    anchor_and_next(moves, shift, frames, grays);
    EXPECT_TRUE(motion_cue(grays[0], grays[1], box).still.empty()) << shift;
  }
}

TEST(MaskPropagator, WarpsTheLastMaskAlongTheFlowFromTheNewFrame) {
  cv::Mat prev = cv::Mat::zeros(20, 30, CV_8UC1);
  prev(cv::Rect(10, 5, 6, 4)).setTo(255);
  // Each pixel of the new frame was 3 px to the right and 1 px below in the last one: the mask moved up-left.
  const cv::Mat flow(20, 30, CV_32FC2, cv::Scalar(3.0f, 1.0f));
  cv::Mat expected = cv::Mat::zeros(20, 30, CV_8UC1);
  expected(cv::Rect(7, 4, 6, 4)).setTo(255);
  EXPECT_EQ(cv::norm(warp_mask(prev, flow), expected, cv::NORM_INF), 0.0);
}

// Number of pixels along the middle row that are neither fully in nor fully out.
int soft_pixels(const cv::Mat& alpha) {
  const cv::Mat row = alpha.row(alpha.rows / 2);
  return cv::countNonZero((row > 5) & (row < 250));
}

TEST(EdgeRefiner, GivesAnEightBitMatteAtTheFramesSizeFeatheredBySoftnessAndFineSnapsToThePicture) {
  cv::Mat frame(100, 800, CV_8UC3, cv::Scalar(20, 20, 20));
  frame(cv::Rect(200, 0, 400, 100)).setTo(cv::Scalar(230, 230, 230));
  cv::Mat half = cv::Mat::zeros(50, 400, CV_8UC1);
  half(cv::Rect(100, 0, 200, 50)).setTo(255);
  const cv::Mat alpha = refine_edges(frame, half, Quality::Fine, 0.5);  // a mask at half the frame's size
  EXPECT_EQ(alpha.type(), CV_8UC1);
  EXPECT_EQ(alpha.size(), frame.size());
  EXPECT_EQ(alpha.at<uchar>(50, 400), 255);
  EXPECT_EQ(alpha.at<uchar>(50, 2), 0);
  cv::Mat mask = cv::Mat::zeros(100, 800, CV_8UC1);
  mask(cv::Rect(197, 0, 406, 100)).setTo(255);  // 3 px outside the picture's edge
  const int widths[] = {soft_pixels(refine_edges(frame, mask, Quality::Fast, 0.0)),
                        soft_pixels(refine_edges(frame, mask, Quality::Fast, 0.5)),
                        soft_pixels(refine_edges(frame, mask, Quality::Fast, 1.0))};
  EXPECT_EQ(widths[0], 0);
  EXPECT_GT(widths[1], widths[0]);
  EXPECT_GT(widths[2], widths[1]);
  EXPECT_EQ(soft_pixels(refine_edges(frame, mask, Quality::Fast, 4.0)), widths[2]);  // softness stops at 1
  // The guided filter pulls the edge back to the picture's.
  EXPECT_EQ(refine_edges(frame, mask, Quality::Fast, 0.0).at<uchar>(50, 198), 255);
  EXPECT_LT(refine_edges(frame, mask, Quality::Fine, 0.0).at<uchar>(50, 198), 255);
}

TEST(RefinePipeline, RefinesEveryItemOnAtLeastOneWorkerAndStopsAtTheFirstFailure) {
  std::atomic<int> done{0};
  RefinePipeline none_asked(0, 8, [&](const RefineItem&) -> std::optional<std::string> {
    ++done;
    return std::nullopt;
  });
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(none_asked.push(RefineItem{i, cv::Mat(), cv::Mat()}));
  EXPECT_EQ(none_asked.finish(), std::nullopt);
  EXPECT_EQ(done.load(), 5);
  EXPECT_FALSE(none_asked.push(RefineItem{}));  // finished

  RefinePipeline failing(2, 1, [](const RefineItem& item) -> std::optional<std::string> {
    if (item.index == 2) throw std::runtime_error("disk gone");
    return std::nullopt;
  });
  bool refused = false;
  for (int i = 0; i < 10000 && !refused; ++i) refused = !failing.push(RefineItem{i, cv::Mat(), cv::Mat()});
  EXPECT_TRUE(refused);
  EXPECT_EQ(failing.finish(), std::optional<std::string>("internal error: disk gone"));
}

}  // namespace
}  // namespace kesto::backend
