#pragma once
// The loader draws its picture as it is, alpha ignored: a 32-bit picture's
// transparent pixels show their colour, black in most files (ImageMagick
// writes BMPs with alpha by default). kitpack blends such a picture over the
// window's background at build time instead.

#include <cstdint>
#include <string>
#include <vector>

namespace kitpack {

// The grey the loader's window is painted with behind the picture: the
// system's menu colour (COLOR_MENU), whose value on Windows 10 and 11, unless
// the user chose another, is this.
struct Rgb {
  uint8_t red, green, blue;
};
inline constexpr Rgb kWindowBackground{240, 240, 240};

// A bitmap resource as BitmapResource (branding.h) makes it, checked: the
// same when its pixels carry no alpha, else a 24-bit bottom-up bitmap of the
// picture blended over `background`. A 32-bit picture carries alpha by an
// alpha mask, or, without masks, when any pixel's fourth byte is not zero.
// Raises KitError naming `path` for a 16-bit picture with an alpha mask,
// with the command that writes one without.
std::vector<unsigned char> WithoutAlpha(const std::vector<unsigned char>& bitmap,
                                        const std::string& path,
                                        Rgb background = kWindowBackground);

}  // namespace kitpack
