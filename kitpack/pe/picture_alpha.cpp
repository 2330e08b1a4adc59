#include "kitpack/pe/picture_alpha.h"

#include "format/bytes.h"
#include "format/pe/layout.h"
#include "kitpack/kit_error.h"

namespace kitpack {

namespace {

constexpr uint32_t kSide = 32;  // BitmapResource takes 32x32 pictures only
constexpr uint32_t kBitfields = 3;
constexpr size_t kInfoHeader = 40;

struct Masks {
  uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

// The channel of `pixel` that `mask` selects, scaled to 0..255.
uint32_t Channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  uint32_t shift = 0;
  while (!(mask >> shift & 1)) ++shift;
  const uint64_t most = mask >> shift;
  return static_cast<uint32_t>(uint64_t{(pixel & mask) >> shift} * 255 / most);
}

// Where the masks of a checked bitmap are: after a 40-byte header, or inside
// a longer one (the alpha mask from 56 bytes on).
Masks MasksOf(const std::vector<unsigned char>& b, uint32_t header_size, uint32_t compression) {
  Masks m;
  if (compression != kBitfields) {
    m = {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u};
    return m;
  }
  m.red = ldr::GetU32(&b[40]);
  m.green = ldr::GetU32(&b[44]);
  m.blue = ldr::GetU32(&b[48]);
  if (header_size >= 56) m.alpha = ldr::GetU32(&b[52]);
  return m;
}

std::string TwentyFourBitAdvice(const std::string& path) {
  return path +
         " has an alpha channel the loader cannot show; write it as a 24-bit BMP, e.g. "
         "convert in.png -background \"rgb(240,240,240)\" -flatten BMP3:" +
         path;
}

}  // namespace

std::vector<unsigned char> WithoutAlpha(const std::vector<unsigned char>& bitmap,
                                        const std::string& path, Rgb background) {
  const uint32_t header_size = ldr::GetU32(&bitmap[0]);
  const int32_t height = static_cast<int32_t>(ldr::GetU32(&bitmap[8]));
  const uint32_t bits = ldr::GetU16(&bitmap[14]);
  const uint32_t compression = ldr::GetU32(&bitmap[16]);
  const uint32_t colours = ldr::GetU32(&bitmap[32]);
  if (bits == 16 && compression == kBitfields && header_size >= 56 && ldr::GetU32(&bitmap[52]) != 0)
    throw KitError(TwentyFourBitAdvice(path));
  if (bits != 32) return bitmap;
  const size_t masks = compression == kBitfields && header_size == kInfoHeader ? 12 : 0;
  const size_t pixels_at = header_size + masks + size_t{colours} * 4;
  Masks m = MasksOf(bitmap, header_size, compression);
  if (compression != kBitfields) {
    // Without masks the fourth byte is alpha only when some pixel sets it.
    bool any = false;
    for (size_t i = 0; i < size_t{kSide} * kSide && !any; ++i)
      any = bitmap[pixels_at + i * 4 + 3] != 0;
    if (!any) return bitmap;
  }
  if (m.alpha == 0) return bitmap;

  const size_t stride = (kSide * 3 + 3) & ~size_t{3};
  std::vector<unsigned char> out(kInfoHeader + stride * kSide, 0);
  ldr::PutU32(&out[0], kInfoHeader);
  ldr::PutU32(&out[4], kSide);
  ldr::PutU32(&out[8], kSide);  // bottom-up
  ldr::PutU16(&out[12], 1);
  ldr::PutU16(&out[14], 24);
  ldr::PutU32(&out[20], static_cast<uint32_t>(stride * kSide));
  for (uint32_t row = 0; row < kSide; ++row) {
    // Row 0 of the output is the picture's bottom row.
    const uint32_t from = height < 0 ? kSide - 1 - row : row;
    for (uint32_t x = 0; x < kSide; ++x) {
      const uint32_t pixel = ldr::GetU32(&bitmap[pixels_at + (size_t{from} * kSide + x) * 4]);
      const uint32_t a = Channel(pixel, m.alpha);
      const auto blend = [a](uint32_t colour, uint8_t under) {
        return static_cast<unsigned char>((colour * a + under * (255 - a) + 127) / 255);
      };
      unsigned char* to = &out[kInfoHeader + size_t{row} * stride + size_t{x} * 3];
      to[0] = blend(Channel(pixel, m.blue), background.blue);
      to[1] = blend(Channel(pixel, m.green), background.green);
      to[2] = blend(Channel(pixel, m.red), background.red);
    }
  }
  return out;
}

}  // namespace kitpack
