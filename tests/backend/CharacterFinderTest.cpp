#include "backend/matting/CharacterFinder.h"
#include "backend/matting/CandidateSources.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace kesto::backend {
namespace {

TEST(HintWords, ReadsPlacesColoursAndKindsIgnoringTheRestAndMeasuresColourShareInABox) {
  struct Case {
    const char* hint;
    std::vector<Place> places;
    std::vector<std::string> colours;
    Kind kind;
  };
  const Case cases[] = {
      {"person in the foreground on the LEFT", {Place::Front, Place::Left}, {}, Kind::Person},
      {"grey-haired woman, blue scarf, centre", {Place::Middle}, {"grey", "blue"}, Kind::Person},
      {"the small cat at the top right", {Place::Back, Place::Top, Place::Right}, {}, Kind::Cat},
      {"white dog", {}, {"white"}, Kind::Thing},
      {"the man with the dog", {}, {}, Kind::Person},  // the first kind named
      {"reddish leftward thingamajig", {}, {}, Kind::Unknown},  // whole words only
      {"", {}, {}, Kind::Unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hint);
    const HintWords words = parse_hint(c.hint);
    EXPECT_EQ(words.places, c.places);
    EXPECT_EQ(words.colours, c.colours);
    EXPECT_EQ(words.kind, c.kind);
  }
  cv::Mat image(100, 200, CV_8UC3, cv::Scalar(128, 128, 128));
  image(cv::Rect(0, 0, 100, 100)).setTo(cv::Scalar(0, 0, 220));    // red half (BGR)
  image(cv::Rect(100, 0, 100, 100)).setTo(cv::Scalar(220, 60, 0));  // blue half
  EXPECT_NEAR(colour_share(image, cv::Rect(0, 0, 100, 100), "red"), 1.0, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(0, 0, 200, 100), "red"), 0.5, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(100, 0, 100, 100), "blue"), 1.0, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(100, 0, 100, 100), "red"), 0.0, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(300, 0, 10, 10), "red"), 0.0, 1e-9);  // outside
  // White is the picture's own white: a dim grey is white among darker greys.
  cv::Mat dim(10, 20, CV_8UC3, cv::Scalar(60, 60, 60));
  dim(cv::Rect(0, 0, 10, 10)).setTo(cv::Scalar(150, 155, 160));
  EXPECT_NEAR(colour_share(dim, cv::Rect(0, 0, 10, 10), "white"), 1.0, 1e-9);
  EXPECT_NEAR(colour_share(dim, cv::Rect(10, 0, 10, 10), "white"), 0.0, 1e-9);
}

TEST(CharacterFinder, ScoresEveryCandidateAgainstEveryWord) {
  // The largest region, moving, on the left; a smaller pedestrian on the right; a cat face at the top in the
  // middle; a still salient region at the bottom in the middle. Colour shares are for the one colour each hint names.
  // Each: box, source, area, x, y, motion, salience, person, cat, colour shares.
  const auto scene = [](std::vector<double> shares) {
    const auto share = [&](std::size_t i) { return shares.empty() ? std::vector<double>{} : std::vector<double>{shares[i]}; };
    return std::vector<CharacterCandidate>{
        {{}, Source::Moving, 0.6, 0.25, 0.5, 0.5, 0.3, false, false, share(0)},
        {{}, Source::People, 0.35, 0.85, 0.55, 0.6, 0.4, true, false, share(1)},
        {{}, Source::CatFace, 0.45, 0.5, 0.1, 0.2, 0.3, false, true, share(2)},
        {{}, Source::Salient, 0.5, 0.55, 0.85, 0.0, 0.5, false, false, share(3)},
    };
  };
  struct Case {
    const char* hint;
    std::vector<double> shares;
    std::optional<std::size_t> winner;
  };
  const Case cases[] = {
      {"", {}, 0},                                   // the prior: large and moving
      {"flibbertigibbet wobble", {}, 0},             // unknown words change nothing
      {"the one on the right", {}, 1},
      {"the small one in the back", {}, 1},
      {"the big one at the front", {}, 0},
      {"at the top", {}, 2},
      {"the cat", {}, 2},
      {"the person on the right", {}, 1},
      {"the thing at the bottom", {}, 3},
      {"the red one", {0.0, 0.7, 0.01, 0.02}, 1},  // only the pedestrian shows red
      {"the red one on the left", {0.0, 0.7, 0.01, 0.02}, 1},  // a place cannot make up for a missing colour
      {"in green", {0.3, 0.0, 0.0, 0.35}, 0},
      {"the purple one", {0.0, 0.01, 0.02, 0.0}, std::nullopt},  // nothing shows purple
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hint);
    const HintWords words = parse_hint(c.hint);
    EXPECT_EQ(best_candidate(scene(c.shares), words), c.winner);
  }
  EXPECT_EQ(describe({{}, Source::Salient, 1, 0.2, 0.5, 0, 1, false, false, {0.5}}, parse_hint("the big red one on the left")),
            "the largest red salient region on the left");
}

// A textured floor with three flat shapes on it: a large blue one on the left, a small red one on the right and
// a mid-sized yellow one at the top in the middle. The blue one's centre is `blue_y` rows down.
cv::Mat three_shapes(int blue_y = 140) {
  cv::RNG rng(3);
  cv::Mat frame(240, 320, CV_8UC3);
  rng.fill(frame, cv::RNG::UNIFORM, cv::Scalar(110, 120, 120), cv::Scalar(140, 150, 150));
  cv::GaussianBlur(frame, frame, cv::Size(0, 0), 1.5);
  cv::ellipse(frame, cv::Point(70, blue_y), cv::Size(45, 70), 0, 0, 360, cv::Scalar(200, 60, 20), cv::FILLED);
  cv::ellipse(frame, cv::Point(270, 170), cv::Size(16, 26), 0, 0, 360, cv::Scalar(30, 30, 220), cv::FILLED);
  cv::ellipse(frame, cv::Point(170, 50), cv::Size(30, 24), 0, 0, 360, cv::Scalar(30, 210, 230), cv::FILLED);
  return frame;
}

// A textured background that stays still, and a character moving across it: a yellow head with dark eyes and mouth over a body
// textured just like the background (no colour tells them apart, only its motion), cut off by the frame's
// bottom.
cv::Mat moving_character(int shift_px) {
  const auto texture = [](cv::Size size, std::uint64_t seed) {
    cv::Mat cells(size.height / 6 + 1, size.width / 6 + 1, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(cells, cv::RNG::UNIFORM, cv::Scalar(40, 70, 40), cv::Scalar(160, 190, 160));
    cv::Mat t;
    cv::resize(cells, t, cv::Size(cells.cols * 6, cells.rows * 6), 0, 0, cv::INTER_NEAREST);
    return cv::Mat(t(cv::Rect(cv::Point(0, 0), size)));
  };
  cv::Mat frame = texture(cv::Size(320, 240), 7);
  const int x = 70 + shift_px;
  texture(cv::Size(60, 145), 8).copyTo(frame(cv::Rect(x, 95, 60, 145)));
  cv::circle(frame, cv::Point(x + 30, 72), 22, cv::Scalar(40, 220, 240), cv::FILLED);
  for (const cv::Point feature : {cv::Point(22, 66), cv::Point(38, 66), cv::Point(30, 84)}) {
    cv::circle(frame, cv::Point(x, 0) + feature, 4, cv::Scalar(30, 40, 60), cv::FILLED);
  }
  return frame;
}

TEST(CharacterFinder, FindsTheShapeAHintDescribesNothingInAnEmptyFrameAndAMovingCharacterWholeToTheFramesEdge) {
  const cv::Mat shapes = three_shapes();
  const cv::Mat low_shapes = three_shapes(152);  // the blue one ends 18 rows short of the bottom
  const cv::Mat empty(240, 320, CV_8UC3, cv::Scalar(90, 120, 90));
  const cv::Mat tiny(20, 20, CV_8UC3, cv::Scalar(0, 0, 0));
  struct Case {
    const char* hint;
    const cv::Mat& frame;
    std::optional<cv::Point> inside;  // where the found box must lie (it must miss the other shapes' centres)
    bool to_bottom = false;           // a box ending within its margin of the frame's bottom runs down to it
  };
  const Case cases[] = {
      {"the big blue one", shapes, cv::Point(70, 140)},
      {"the big blue one", low_shapes, cv::Point(70, 152), true},
      {"the small one on the right", shapes, cv::Point(270, 170)},
      {"yellow, at the top", shapes, cv::Point(170, 50)},
      {"the purple one", shapes, std::nullopt},
      {"the man", empty, std::nullopt},
      {"man", tiny, std::nullopt},
  };
  for (const Case& c : cases) {
    const cv::Point centres[] = {{70, c.frame.data == low_shapes.data ? 152 : 140}, {270, 170}, {170, 50}};
    SCOPED_TRACE(c.hint);
    std::string error;
    const auto found = find_character(c.frame, {}, c.hint, nullptr, error);
    EXPECT_TRUE(error.empty()) << error;
    ASSERT_EQ(found.has_value(), c.inside.has_value());
    if (!found) continue;
    EXPECT_TRUE(found->box.contains(*c.inside)) << found->box;
    EXPECT_EQ(found->box.br().y == c.frame.rows, c.to_bottom) << found->box;
    for (const cv::Point& other : centres) {
      EXPECT_TRUE(other == *c.inside || !found->box.contains(other)) << found->box << " holds " << other;
    }
    EXPECT_FALSE(found->description.empty());
  }
  // What moves is the textured body and the face's features, closed into one region that keeps its bottom.
  const auto gray = [](int shift_px) {
    cv::Mat g;
    cv::cvtColor(moving_character(shift_px), g, cv::COLOR_BGR2GRAY);
    return g;
  };
  const std::vector<cv::Rect> regions = mask_regions(motion_mask(gray(0), {gray(-8), gray(8)}), 0.05, 0.004, true);
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0], cv::Rect(70, 62, 60, 178));

  std::string error;
  const auto moving = find_character(moving_character(0), {moving_character(-8), moving_character(8)},
                                     "the yellow one on the left", nullptr, error);
  ASSERT_TRUE(moving.has_value()) << error;
  const cv::Rect& box = moving->box;
  for (const cv::Point p : {cv::Point(100, 52), cv::Point(72, 130), cv::Point(128, 200), cv::Point(100, 239)}) {
    EXPECT_TRUE(box.contains(p)) << box << " misses " << p;
  }
  EXPECT_EQ(box.br().y, 240) << box;
  EXPECT_LT(box.br().x, 200) << box;
}

TEST(CharacterFinder, CutsAStraightBandRunningOffTheTopOnly) {
  // A 100 x 100 mask: a body 80 wide from row 30 down, under a strip that starts at the top edge.
  struct Case {
    const char* what;
    cv::Rect strip;  // empty: none
    cv::Rect body;   // empty: none
    int below;
  };
  const Case cases[] = {
      {"a lit door frame above a head", {45, 0, 10, 30}, {10, 30, 80, 60}, 30},
      {"a character cut by the top edge", {}, {10, 0, 80, 90}, 0},
      {"a strip as wide as most of the body", {15, 0, 70, 30}, {10, 30, 80, 60}, 0},
      {"a strip too short to be a band", {45, 0, 10, 3}, {10, 3, 80, 87}, 0},
      {"only the strip", {45, 0, 10, 30}, {}, 0},
      {"nothing at the top edge", {}, {10, 30, 80, 60}, 0},
  };
  for (const Case& c : cases) {
    cv::Mat mask = cv::Mat::zeros(100, 100, CV_8UC1);
    if (c.strip.area() > 0) mask(c.strip).setTo(255);
    if (c.body.area() > 0) mask(c.body).setTo(255);
    EXPECT_EQ(below_top_band(mask), c.below) << c.what;
  }
}

}  // namespace
}  // namespace kesto::backend
