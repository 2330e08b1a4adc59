#include "format/stored_names.h"

namespace ldr {
namespace {

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// The one list of Windows device names. Windows opens a device instead of a
// file for these, whatever the extension and with blanks before it.
// "¹²³" (Latin-1 0xB9, 0xB2, 0xB3) count as digits there too.
bool IsReservedDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static constexpr std::string_view kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view reserved : kPlain) {
    if (EqualsNoCase(base, reserved)) return true;
  }
  if (base.size() != 4) return false;
  std::string_view stem = base.substr(0, 3);
  if (!EqualsNoCase(stem, "COM") && !EqualsNoCase(stem, "LPT")) return false;
  unsigned char digit = static_cast<unsigned char>(base[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace

std::string_view StoredNamePart(std::string_view stored_name, LeadByteTest is_lead_byte) {
  PathStyle style = kWindowsPaths;
  style.is_lead_byte = is_lead_byte;
  return NamePart(stored_name, style);
}

const char* UnsafeNameReason(std::string_view name, NameHost host) {
  if (name.empty()) return "an empty name";
  if (name == ".") return "the name \".\"";
  if (name == "..") return "the name \"..\"";
  if (name.find('/') != std::string_view::npos) return "a \"/\"";
  if (name.find('\0') != std::string_view::npos) return "a zero byte";
  if (host == NameHost::kWindows) {
    for (char c : name) {
      if (static_cast<unsigned char>(c) < 32) return "a control character";
      if (std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
        return "a character Windows does not allow in names (<>\"|?*)";
      }
    }
    if (name.find_first_not_of(". ") == std::string_view::npos) return "only dots and blanks";
    if (IsReservedDeviceName(name)) return "a Windows device name";
  }
  return nullptr;
}

const char* UnsafeConvertedNameReason(std::u16string_view name_part) {
  // No system takes a name part longer than 255 units.
  if (name_part.size() > kMaxShortText) return "a name longer than 255 characters";
  ShortText projected;
  for (char16_t unit : name_part) {
    // 0x80 stands for every character above 255: not a letter, digit, dot,
    // blank or control character, so it can neither make nor hide a match.
    projected.Append(unit < 256 ? static_cast<char>(static_cast<unsigned char>(unit)) : '\x80');
  }
  return UnsafeNameReason(projected, NameHost::kWindows);
}

}  // namespace ldr
