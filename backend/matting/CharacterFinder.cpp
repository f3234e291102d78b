#include "CharacterFinder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

#include "AnchorSegmenter.h"
#include "CandidateSources.h"
#include "NeuralModel.h"
#include "NeuralSegmenter.h"

namespace kesto::backend {

namespace {

// Saliency, motion and colour regions are measured on a copy this wide: enough for whole characters.
constexpr int kAnalysisWidthPx = 320;
// Regions: gaps closed over this fraction of the width; smaller than this fraction of the frame, dropped;
// candidates covering nearly all the frame say nothing.
constexpr double kCloseFraction = 0.02;
constexpr double kMinRegionFraction = 0.004;
constexpr double kMaxCandidateFraction = 0.9;
// Saliency and network maps count a pixel as standing out above these.
constexpr double kSalientSigmas = 1.5;
constexpr float kNetworkForeground = 0.5f;
// A moving share of this much of a box counts fully.
constexpr double kFullMotionShare = 0.25;
// A colour share of this much counts fully (a character's box holds much else); below the minimum the
// candidate does not fit a colour word.
constexpr double kFullColourShare = 0.15;
constexpr double kMinColourShare = 0.05;
// A region holds a detection when this much of the detection's box lies inside and it is not a speck in it.
constexpr double kHeldDetectionShare = 0.6;
constexpr double kHeldDetectionArea = 0.1;
// A region of the hint's colour that neither moves nor stands out this much is background (grass, a wall).
constexpr double kMinColourRegionStandout = 0.5;
// Salient regions this close (a fraction of the width) are also taken together: a character's outline and
// features often stand out apart from each other.
constexpr double kGroupGapFraction = 0.06;
// The weights of the score: the prior (size, counting more as the region moves or stands out), each place
// word, each colour word, the kind word.
constexpr double kPriorWeight = 1.0;
constexpr double kPriorSize = 0.5;
constexpr double kPriorMotion = 0.3;
constexpr double kPriorSalience = 0.3;
constexpr double kPlaceWeight = 1.0;
constexpr double kColourWeight = 1.0;
constexpr double kKindMatch = 1.2;
constexpr double kKindGeneral = 0.4;
constexpr double kThingMatch = 1.0;
// The box handed on is grown by this fraction of the frame on each side, as a drawn box would be.
constexpr double kBoxMarginFraction = 0.04;
// What moves, closed over gaps of this fraction of the width, is a moving character's whole extent: its
// textured parts move while its flat ones (a robe, a bare arm) do not register. A chosen candidate lying at
// least this much within such a region takes the region's extent, with this much more margin on each side
// (the flat parts at its edge).
constexpr double kMotionExtentClose = 0.05;
constexpr double kMotionExtentShare = 0.5;
constexpr double kMotionExtentMargin = 0.015;
// Without a network, a candidate is often part of the character (its moving edges, its face): the box is
// segmented on a copy this wide (finer than the analysis size, so paws and hands survive) and grown where the
// segmentation runs into its edge, this many times, by this fraction of its size.
constexpr int kGrowWidthPx = 480;
constexpr int kGrowRounds = 3;
constexpr double kGrowFraction = 0.3;
constexpr int kGrowIterations = 3;
constexpr int kGrowStarts = 1;
constexpr int kTouchPx = 2;
// A band of the segmentation running off the frame's top edge, narrower than this fraction of its widest row
// and keeping its width within this tolerance over at least this fraction of its height, is a door frame or a
// lit wall behind the character rather than part of it: heads are framed, feet and sides are what frames cut.
constexpr double kBandMaxWidth = 0.6;
constexpr double kBandWidthTolerance = 0.1;
constexpr double kBandMinLength = 0.05;

bool is_detection(Source s) { return s == Source::People || s == Source::Face || s == Source::CatFace; }

const char* noun(Source s) {
  switch (s) {
    case Source::People: return "person";
    case Source::Face: return "face";
    case Source::CatFace: return "cat face";
    case Source::Salient: return "salient region";
    case Source::Moving: return "moving region";
    case Source::Colour: return "region";
    case Source::Network: return "salient region";
  }
  return "region";
}

double mean_in(const cv::Mat& map, const cv::Rect& box) {
  const cv::Rect inside = box & cv::Rect(0, 0, map.cols, map.rows);
  return inside.area() == 0 ? 0.0 : cv::mean(map(inside))[0];
}

cv::Rect scaled(const cv::Rect& r, double s) {
  return {static_cast<int>(std::floor(r.x * s)), static_cast<int>(std::floor(r.y * s)),
          std::max(1, static_cast<int>(std::ceil(r.width * s))), std::max(1, static_cast<int>(std::ceil(r.height * s)))};
}

void add_boxes(std::vector<CharacterCandidate>& out, const std::vector<cv::Rect>& boxes, Source source, double to_frame) {
  for (const cv::Rect& b : boxes) {
    CharacterCandidate c;
    c.box = to_frame == 1.0 ? b : scaled(b, to_frame);
    c.source = source;
    out.push_back(c);
  }
}

// What stands out: pixels well above the map's mean.
cv::Mat salient_pixels(const cv::Mat& saliency) {
  cv::Scalar mean;
  cv::Scalar stddev;
  cv::meanStdDev(saliency, mean, stddev);
  if (stddev[0] <= 1e-6) return cv::Mat::zeros(saliency.size(), CV_8UC1);
  cv::Mat mask = saliency > mean[0] + kSalientSigmas * stddev[0];
  return mask;
}

// Boxes that overlap or lie within `gap` pixels of each other, taken together (only groups of two or more).
std::vector<cv::Rect> grouped(const std::vector<cv::Rect>& boxes, int gap) {
  std::vector<int> group(boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) group[i] = static_cast<int>(i);
  const auto root = [&](int i) {
    while (group[static_cast<std::size_t>(i)] != i) i = group[static_cast<std::size_t>(i)];
    return i;
  };
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const cv::Rect grown(boxes[i].x - gap, boxes[i].y - gap, boxes[i].width + 2 * gap, boxes[i].height + 2 * gap);
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      if ((grown & boxes[j]).area() > 0) group[static_cast<std::size_t>(root(static_cast<int>(j)))] = root(static_cast<int>(i));
    }
  }
  std::vector<cv::Rect> unions(boxes.size());
  std::vector<int> members(boxes.size(), 0);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const auto r = static_cast<std::size_t>(root(static_cast<int>(i)));
    unions[r] = members[r] == 0 ? boxes[i] : (unions[r] | boxes[i]);
    ++members[r];
  }
  std::vector<cv::Rect> out;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    if (members[i] > 1) out.push_back(unions[i]);
  }
  return out;
}

// `r` grown by `fraction` of the frame on each side (the box margin unless given), within the frame. With
// `off_edges`, a side short of the frame's edge keeps at least half its gap to the edge: a box on the edge
// leaves the segmentation no background beyond it, and what lies along the edge inside the box (a dark
// doorway above a head) then comes out as character.
cv::Rect with_margin(const cv::Rect& r, cv::Size size, double fraction = kBoxMarginFraction, bool off_edges = false) {
  const int mx = static_cast<int>(std::lround(fraction * size.width));
  const int my = static_cast<int>(std::lround(fraction * size.height));
  const auto margin = [&](int m, int gap) { return off_edges ? std::min(m, gap / 2) : m; };
  const int x0 = r.x - margin(mx, r.x);
  const int y0 = r.y - margin(my, r.y);
  const int x1 = r.br().x + margin(mx, size.width - r.br().x);
  const int y1 = r.br().y + margin(my, size.height - r.br().y);
  return cv::Rect(x0, y0, x1 - x0, y1 - y0) & cv::Rect(0, 0, size.width, size.height);
}

// A character near the frame's bottom is nearly always cut by it, and what the finder sees of it (the moving
// parts, the segmentation of a part) often stops short of its flat lower half: a box ending within one margin
// of the bottom runs down to it, as a user would draw it. The top keeps its gap (a dark doorway above a head).
cv::Rect to_bottom_if_near(cv::Rect box, cv::Size size) {
  const int margin = static_cast<int>(std::lround(kBoxMarginFraction * size.height));
  if (size.height - box.br().y < margin) box.height = size.height - box.y;
  return box;
}

// The bounding box of the segmentation of `box` in `image`, without a band running off the top; empty when
// nothing comes out.
cv::Rect segmented_extent(const cv::Mat& image, const cv::Rect& box) {
  AnchorSeeds seeds;
  seeds.box = box;
  std::string unused;
  const cv::Mat mask = segment_anchor(image, seeds, kGrowIterations, kGrowStarts, unused);
  if (mask.empty()) return {};
  const int band = below_top_band(mask);
  return cv::boundingRect(mask.rowRange(band, mask.rows)) + cv::Point(0, band);
}

// The moving region holding most of `box` (both in the motion mask's pixels); nothing when none does.
std::optional<cv::Rect> motion_extent(const cv::Mat& moving, const cv::Rect& box) {
  std::optional<cv::Rect> best;
  int best_overlap = 0;
  for (const cv::Rect& region : mask_regions(moving, kMotionExtentClose, kMinRegionFraction, true)) {
    const int overlap = (region & box).area();
    if (overlap > best_overlap) {
      best_overlap = overlap;
      best = region;
    }
  }
  if (best_overlap < kMotionExtentShare * box.area()) return std::nullopt;
  return best;
}

// The character's extent from a box around part of it (both in `image`'s pixels): GrabCut inside the box,
// the box grown on every side the segmentation reaches, again, then the segmentation's bounding box.
cv::Rect grow_to_character(const cv::Mat& image, cv::Rect box) {
  const cv::Rect whole(0, 0, image.cols, image.rows);
  cv::Rect extent = box;
  for (int round = 0; round <= kGrowRounds; ++round) {
    const cv::Rect found = segmented_extent(image, box);
    if (found.area() == 0) return extent;
    extent = found;
    if (round == kGrowRounds) break;
    const int dx = static_cast<int>(std::lround(kGrowFraction * box.width));
    const int dy = static_cast<int>(std::lround(kGrowFraction * box.height));
    cv::Rect grown = box;
    if (extent.x - box.x <= kTouchPx && box.x > 0) grown.x -= dx, grown.width += dx;
    if (box.br().x - extent.br().x <= kTouchPx && box.br().x < image.cols) grown.width += dx;
    if (extent.y - box.y <= kTouchPx && box.y > 0) grown.y -= dy, grown.height += dy;
    if (box.br().y - extent.br().y <= kTouchPx && box.br().y < image.rows) grown.height += dy;
    grown &= whole;
    if (grown == box) break;
    box = grown;
  }
  return extent;
}

}  // namespace

int below_top_band(const cv::Mat& mask) {
  const cv::Rect extent = cv::boundingRect(mask);
  if (extent.area() == 0 || extent.y != 0) return 0;
  std::vector<int> widths(static_cast<std::size_t>(extent.height));
  for (int y = 0; y < extent.height; ++y) widths[static_cast<std::size_t>(y)] = cv::countNonZero(mask.row(y));
  const int top = widths.front();
  if (top > kBandMaxWidth * *std::max_element(widths.begin(), widths.end())) return 0;
  int y = 1;
  while (y < extent.height && std::abs(widths[static_cast<std::size_t>(y)] - top) <= kBandWidthTolerance * top) ++y;
  return y >= kBandMinLength * extent.height ? y : 0;
}

CandidateSpan span_of(const std::vector<CharacterCandidate>& candidates) {
  CandidateSpan span;
  if (candidates.empty()) return span;
  span = {1.0, 0.0, 1.0, 0.0, 1e300, 0.0};
  for (const CharacterCandidate& c : candidates) {
    span.x_lo = std::min(span.x_lo, c.x);
    span.x_hi = std::max(span.x_hi, c.x);
    span.y_lo = std::min(span.y_lo, c.y);
    span.y_hi = std::max(span.y_hi, c.y);
    span.area_lo = std::min(span.area_lo, c.area);
    span.area_hi = std::max(span.area_hi, c.area);
  }
  return span;
}

double score_candidate(const CharacterCandidate& c, const HintWords& words, const CandidateSpan& span) {
  // Across and down the frame, and the size among the candidates' sizes.
  const double across = c.x;
  const double down = c.y;
  const double size = span.area_hi - span.area_lo < 1e-9 ? 1.0 : (c.area - span.area_lo) / (span.area_hi - span.area_lo);
  double score = kPriorWeight * (c.area * (kPriorSize + std::max(c.motion, c.salience)) + kPriorMotion * c.motion +
                                 kPriorSalience * c.salience);
  for (const Place place : words.places) {
    double match = 0.0;
    switch (place) {
      case Place::Left: match = 1.0 - across; break;
      case Place::Right: match = across; break;
      case Place::Middle: match = 1.0 - 2.0 * std::fabs(c.x - 0.5); break;
      case Place::Top: match = 1.0 - down; break;
      case Place::Bottom: match = down; break;
      case Place::Front: match = size; break;
      case Place::Back: match = 1.0 - size; break;
    }
    score += kPlaceWeight * match;
  }
  for (const double share : c.colour_shares) score += kColourWeight * std::min(1.0, share / kFullColourShare);
  const bool general = !is_detection(c.source);
  switch (words.kind) {
    case Kind::Person: score += c.person ? kKindMatch : (general ? kKindGeneral : 0.0); break;
    case Kind::Cat: score += c.cat ? kKindMatch : (general ? kKindGeneral : 0.0); break;
    case Kind::Thing: score += general ? kThingMatch : 0.0; break;
    case Kind::Unknown: break;
  }
  return score;
}

bool fits(const CharacterCandidate& c, const HintWords& words) {
  if (c.colour_shares.size() < words.colours.size()) return words.colours.empty();
  return std::all_of(c.colour_shares.begin(), c.colour_shares.end(), [](double s) { return s >= kMinColourShare; });
}

std::optional<std::size_t> best_candidate(const std::vector<CharacterCandidate>& candidates, const HintWords& words) {
  std::optional<std::size_t> best;
  double best_score = 0.0;
  std::vector<CharacterCandidate> fitting;
  for (const CharacterCandidate& c : candidates) {
    if (fits(c, words)) fitting.push_back(c);
  }
  const CandidateSpan span = span_of(fitting);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!fits(candidates[i], words)) continue;
    const double score = score_candidate(candidates[i], words, span);
    if (!best || score > best_score) {
      best = i;
      best_score = score;
    }
  }
  return best;
}

std::string describe(const CharacterCandidate& c, const HintWords& words) {
  const bool front = std::find(words.places.begin(), words.places.end(), Place::Front) != words.places.end();
  const bool back = std::find(words.places.begin(), words.places.end(), Place::Back) != words.places.end();
  std::string text = front ? "the largest" : (back ? "the smallest" : "the");
  for (std::size_t i = 0; i < words.colours.size() && i < c.colour_shares.size(); ++i) text += " " + words.colours[i];
  text += std::string(" ") + noun(c.source);
  bool first = true;
  for (const Place place : words.places) {
    if (place == Place::Front || place == Place::Back) continue;
    text += (first ? " " : " and ") + std::string(place_phrase(place));
    first = false;
  }
  return text;
}

std::optional<FoundCharacter> find_character(const cv::Mat& anchor, const std::vector<cv::Mat>& neighbours,
                                             const std::string& hint, const NeuralModel* model, std::string& error) {
  if (anchor.empty() || anchor.cols < 8 || anchor.rows < 8) return std::nullopt;
  const HintWords words = parse_hint(hint);
  const cv::Rect frame(0, 0, anchor.cols, anchor.rows);
  const double to_small = std::min(1.0, static_cast<double>(kAnalysisWidthPx) / anchor.cols);
  const double to_frame = 1.0 / to_small;
  cv::Mat small;
  cv::resize(anchor, small, cv::Size(), to_small, to_small, cv::INTER_AREA);
  cv::Mat small_gray;
  cv::cvtColor(small, small_gray, cv::COLOR_BGR2GRAY);
  std::vector<cv::Mat> neighbour_grays;
  for (const cv::Mat& n : neighbours) {
    if (n.size() != anchor.size()) continue;
    cv::Mat s;
    cv::resize(n, s, small.size(), 0, 0, cv::INTER_AREA);
    cv::cvtColor(s, s, cv::COLOR_BGR2GRAY);
    neighbour_grays.push_back(s);
  }

  std::vector<CharacterCandidate> candidates;
  add_boxes(candidates, detect_people(anchor), Source::People, 1.0);
  add_boxes(candidates, detect_faces(anchor), Source::Face, 1.0);
  if (words.kind == Kind::Cat) add_boxes(candidates, detect_cat_faces(anchor), Source::CatFace, 1.0);
  cv::Mat saliency = saliency_map(small);
  if (model != nullptr) {
    const cv::Mat probability = predict_region(*model, anchor, frame, error);
    if (probability.empty()) return std::nullopt;
    cv::Mat map;
    cv::resize(probability, map, small.size(), 0, 0, cv::INTER_AREA);
    saliency = map;
    add_boxes(candidates, mask_regions(map > kNetworkForeground, kCloseFraction, kMinRegionFraction), Source::Network,
              to_frame);
  } else {
    const std::vector<cv::Rect> salient = mask_regions(salient_pixels(saliency), kCloseFraction, kMinRegionFraction);
    add_boxes(candidates, salient, Source::Salient, to_frame);
    add_boxes(candidates, grouped(salient, static_cast<int>(std::lround(kGroupGapFraction * small.cols))),
              Source::Salient, to_frame);
  }
  const cv::Mat moving = motion_mask(small_gray, neighbour_grays);
  add_boxes(candidates, mask_regions(moving, kCloseFraction, kMinRegionFraction), Source::Moving, to_frame);
  std::vector<cv::Mat> colour_masks;
  for (const std::string& word : words.colours) {
    colour_masks.push_back(colour_mask(small, word));
    add_boxes(candidates, mask_regions(colour_masks.back(), kCloseFraction, kMinRegionFraction), Source::Colour,
              to_frame);
  }

  for (CharacterCandidate& c : candidates) c.box &= frame;
  candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                  [&](const CharacterCandidate& c) {
                                    return c.box.area() == 0 || c.box.area() > kMaxCandidateFraction * frame.area();
                                  }),
                   candidates.end());
  if (candidates.empty()) return std::nullopt;

  int largest = 0;
  for (const CharacterCandidate& c : candidates) largest = std::max(largest, c.box.area());
  const double frame_salience = cv::mean(saliency)[0];
  for (CharacterCandidate& c : candidates) {
    const cv::Rect in_small = scaled(c.box, to_small);
    c.area = static_cast<double>(c.box.area()) / largest;
    c.x = (c.box.x + c.box.width / 2.0) / anchor.cols;
    c.y = (c.box.y + c.box.height / 2.0) / anchor.rows;
    c.motion = std::min(1.0, mean_in(moving, in_small) / 255.0 / kFullMotionShare);
    const double ratio = frame_salience > 0.0 ? mean_in(saliency, in_small) / frame_salience : 1.0;
    c.salience = std::clamp(2.0 * ratio / (1.0 + ratio) - 1.0, 0.0, 1.0);
    for (const cv::Mat& mask : colour_masks) c.colour_shares.push_back(mean_in(mask, in_small) / 255.0);
    c.person = c.source == Source::People || c.source == Source::Face;
    c.cat = c.source == Source::CatFace;
  }
  candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                  [](const CharacterCandidate& c) {
                                    return c.source == Source::Colour &&
                                           std::max(c.motion, c.salience) < kMinColourRegionStandout;
                                  }),
                   candidates.end());
  // A region holding most of a detection is of the detection's kind.
  for (CharacterCandidate& region : candidates) {
    if (is_detection(region.source)) continue;
    for (const CharacterCandidate& d : candidates) {
      if (!is_detection(d.source)) continue;
      const double inside = static_cast<double>((d.box & region.box).area());
      if (inside >= kHeldDetectionShare * d.box.area() && d.box.area() >= kHeldDetectionArea * region.box.area()) {
        region.person = region.person || d.person;
        region.cat = region.cat || d.cat;
      }
    }
  }

  const std::optional<std::size_t> best = best_candidate(candidates, words);
  if (!best) return std::nullopt;
  const CharacterCandidate& chosen = candidates[*best];
  cv::Rect box = chosen.box;
  if (model == nullptr) {
    if (const std::optional<cv::Rect> moving_extent = motion_extent(moving, scaled(chosen.box, to_small))) {
      box = with_margin(scaled(*moving_extent, to_frame) | chosen.box, anchor.size(), kMotionExtentMargin);
    } else {
      const double to_grow = std::min(1.0, static_cast<double>(kGrowWidthPx) / anchor.cols);
      cv::Mat image;
      cv::resize(anchor, image, cv::Size(), to_grow, to_grow, cv::INTER_AREA);
      const cv::Rect grow_box = with_margin(scaled(chosen.box, to_grow), image.size(), kBoxMarginFraction, true);
      box = scaled(grow_to_character(image, grow_box), 1.0 / to_grow) & frame;
    }
  }
  return FoundCharacter{to_bottom_if_near(with_margin(box, anchor.size()), anchor.size()), describe(chosen, words)};
}

}  // namespace kesto::backend
