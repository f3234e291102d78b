// Build-time tool: draws the plug-in's icon, a cut-out silhouette over a checkerboard, and writes it as PNG.
// Usage: make_icon OUTPUT.png

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSize = 128;

// Inside a head-and-shoulders silhouette, in pixel coordinates with y down.
bool inSilhouette(double x, double y) {
  const double cx = kSize / 2.0;
  const double head = std::hypot(x - cx, y - 44.0) < 22.0;
  const double shoulders = y > 70.0 && std::hypot((x - cx) / 46.0, (y - 120.0) / 50.0) < 1.0;
  return head || shoulders;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon OUTPUT.png\n");
    return 2;
  }
  std::vector<unsigned char> rgba(static_cast<size_t>(kSize) * kSize * 4);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      unsigned char *p = &rgba[(static_cast<size_t>(y) * kSize + x) * 4];
      const bool light = ((x / 16) + (y / 16)) % 2 == 0;
      if (inSilhouette(x + 0.5, y + 0.5)) {
        p[0] = 230; p[1] = 157; p[2] = 39;  // the overlay's box colour
      } else {
        p[0] = p[1] = p[2] = light ? 200 : 150;
      }
      p[3] = 255;
    }
  }
  if (stbi_write_png(argv[1], kSize, kSize, 4, rgba.data(), kSize * 4) == 0) {
    std::fprintf(stderr, "make_icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
