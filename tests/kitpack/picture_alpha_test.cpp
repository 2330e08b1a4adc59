#include "kitpack/pe/picture_alpha.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kitpack/kit_error.h"
#include "kitpack/pe/branding.h"

namespace kitpack {
namespace {

struct Rgba {
  uint8_t r, g, b, a;
};
using Pixels = std::function<Rgba(uint32_t x, uint32_t y)>;  // y from the top

void Put(std::vector<unsigned char>& b, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A 32x32 .bmp file as ImageMagick writes one with alpha (a 124-byte header,
// bit fields, an alpha mask), or with a 40-byte header and no masks
// (`header` 40), bottom-up or top-down.
std::vector<unsigned char> BmpFile(const Pixels& pixel, uint32_t header, bool top_down = false,
                                   uint32_t bits = 32) {
  const uint32_t stride = (32 * bits / 8 + 3) & ~3u;
  const uint32_t at = 14 + header;
  std::vector<unsigned char> f(at + stride * 32, 0);
  f[0] = 'B', f[1] = 'M';
  Put(f, 2, static_cast<uint32_t>(f.size()), 4);
  Put(f, 10, at, 4);
  Put(f, 14, header, 4);
  Put(f, 18, 32, 4);
  Put(f, 22, top_down ? static_cast<uint32_t>(-32) : 32u, 4);
  Put(f, 26, 1, 2);
  Put(f, 28, bits, 2);
  if (header > 40) {
    Put(f, 30, 3, 4);  // bit fields
    const bool b16 = bits == 16;
    Put(f, 54, b16 ? 0x0F00 : 0x00FF0000, 4);
    Put(f, 58, b16 ? 0x00F0 : 0x0000FF00, 4);
    Put(f, 62, b16 ? 0x000F : 0x000000FF, 4);
    Put(f, 66, b16 ? 0xF000 : 0xFF000000, 4);
  }
  for (uint32_t y = 0; y < 32; ++y) {
    const uint32_t row = top_down ? y : 31 - y;
    for (uint32_t x = 0; x < 32; ++x) {
      const Rgba p = pixel(x, y);
      if (bits == 32)
        Put(f, at + row * stride + x * 4,
            uint32_t{p.a} << 24 | uint32_t{p.r} << 16 | uint32_t{p.g} << 8 | p.b, 4);
      else
        Put(f, at + row * stride + x * 2, uint32_t{p.a} >> 4 << 12 | uint32_t{p.r} >> 4 << 8, 2);
    }
  }
  return f;
}

// A red disc on transparent black, its edge half covered, below a green top
// row.
Rgba Disc(uint32_t x, uint32_t y) {
  if (y == 0) return {0, 255, 0, 255};
  const int dx = static_cast<int>(x) - 16, dy = static_cast<int>(y) - 16;
  const int d = dx * dx + dy * dy;
  if (d < 100) return {200, 20, 10, 255};
  if (d < 144) return {200, 20, 10, 128};
  return {0, 0, 0, 0};
}

// The colour of pixel (x, y) (from the top) of a 24-bit bottom-up bitmap.
Rgba At24(const std::vector<unsigned char>& b, uint32_t x, uint32_t y) {
  const size_t at = 40 + (31 - y) * 96 + x * 3;
  return {b[at + 2], b[at + 1], b[at], 255};
}

std::vector<unsigned char> Flattened(const std::vector<unsigned char>& file) {
  return WithoutAlpha(BitmapResource(file, "pic.bmp"), "pic.bmp");
}

TEST(WithoutAlpha, TransparentPixelsTakeTheWindowsGrey) {
  for (bool top_down : {false, true}) {
    const std::vector<unsigned char> out = Flattened(BmpFile(Disc, 124, top_down));
    ASSERT_EQ(out.size(), 40u + 96 * 32);
    EXPECT_EQ(out[14], 24);                   // bits per pixel
    EXPECT_EQ(out[8], 32);                    // bottom-up
    EXPECT_EQ(out[16] | out[17] << 8, 0);     // BI_RGB
    EXPECT_EQ(out[20] | out[21] << 8, 3072);  // image size
    const Rgba corner = At24(out, 0, 31), centre = At24(out, 16, 16), edge = At24(out, 27, 16);
    EXPECT_EQ((std::vector<int>{corner.r, corner.g, corner.b}), (std::vector<int>{240, 240, 240}));
    EXPECT_EQ((std::vector<int>{centre.r, centre.g, centre.b}), (std::vector<int>{200, 20, 10}));
    // Half of each: (200 * 128 + 240 * 127) / 255, rounded.
    EXPECT_EQ((std::vector<int>{edge.r, edge.g, edge.b}), (std::vector<int>{220, 130, 125}));
    // The picture keeps its way up.
    EXPECT_EQ(At24(out, 5, 0).g, 255);
    EXPECT_EQ(At24(out, 5, 31).g, 240);
  }
}

TEST(WithoutAlpha, PicturesWithoutAlphaStayAsTheyAre) {
  const auto opaque = [](uint32_t x, uint32_t y) {
    return Rgba{static_cast<uint8_t>(x * 8), static_cast<uint8_t>(y * 8), 7, 0};
  };
  // A 40-byte header and no masks: a fourth byte that is zero everywhere is
  // padding, not alpha.
  const std::vector<unsigned char> plain = BitmapResource(BmpFile(opaque, 40), "pic.bmp");
  EXPECT_EQ(WithoutAlpha(plain, "pic.bmp"), plain);
  // ... and alpha once any pixel sets it.
  EXPECT_EQ(Flattened(BmpFile(Disc, 40)), Flattened(BmpFile(Disc, 124)));
}

TEST(WithoutAlpha, SixteenBitAlphaIsRefusedWithTheWayOut) {
  try {
    Flattened(BmpFile(Disc, 124, false, 16));
    FAIL() << "taken";
  } catch (const KitError& e) {
    EXPECT_EQ(std::string(e.what()),
              "pic.bmp has an alpha channel the loader cannot show; write it as a 24-bit BMP, "
              "e.g. convert in.png -background \"rgb(240,240,240)\" -flatten BMP3:pic.bmp");
  }
}

}  // namespace
}  // namespace kitpack
