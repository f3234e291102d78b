#include "backend/service/ImageProbe.h"

#include <gtest/gtest.h>

#include "BackendTestSupport.h"

namespace kesto::backend {
namespace {

TEST(ImageProbe, ReadsSizeOfJpegAndPngWithoutDecoding) {
  const cv::Mat frame = test::square_frame(37, 21, 3, 3, 8);
  std::vector<uchar> progressive;
  cv::imencode(".jpg", frame, progressive, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  for (const auto& [bytes, format] : {std::pair{test::encode(frame, ".jpg"), ImageFormat::Jpeg},
                                      std::pair{std::string(progressive.begin(), progressive.end()), ImageFormat::Jpeg},
                                      std::pair{test::encode(frame, ".png"), ImageFormat::Png}}) {
    const auto info = probe_image(bytes);
    ASSERT_TRUE(info.ok()) << info.error().message;
    EXPECT_EQ(info.value().format, format);
    EXPECT_EQ(info.value().width, 37);
    EXPECT_EQ(info.value().height, 21);
  }
}

TEST(ImageProbe, RefusesDamagedOrForeignBytes) {
  const std::string jpeg = test::encode(test::square_frame(16, 16, 2, 2, 4), ".jpg");
  const std::string png = test::encode(test::square_frame(16, 16, 2, 2, 4), ".png");
  EXPECT_EQ(probe_image("").error().http_status, 400);
  for (const std::string& bad : {std::string("GIF89a......"), std::string("\xFF\xD8\xFF", 3), jpeg.substr(0, 20),
                                 png.substr(0, 20), std::string("BM") + std::string(60, '\0'), std::string(100, 'x')}) {
    const auto r = probe_image(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().http_status, 415);
  }
  std::string bad_depth = png;
  bad_depth[24] = 3;  // bit depth 3 does not exist
  EXPECT_EQ(probe_image(bad_depth).error().http_status, 415);
}

TEST(ImageProbe, RefusesHugeAndEmptyDimensions) {
  std::string png = test::encode(test::square_frame(16, 16, 2, 2, 4), ".png");
  std::string huge = png;
  huge[18] = 0x7F;  // width 0x7F0010
  EXPECT_EQ(probe_image(huge).error().http_status, 413);
  std::string empty = png;
  empty[16] = empty[17] = empty[18] = empty[19] = 0;
  EXPECT_EQ(probe_image(empty).error().http_status, 415);
}

}  // namespace
}  // namespace kesto::backend
