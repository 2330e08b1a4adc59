#include "kitpack/stored_names.h"

#include <cctype>

namespace kitpack {

std::string LoaderNamePart(std::string_view stored_name) {
  size_t cut = stored_name.find_last_of("\\:");
  return std::string(cut == std::string_view::npos ? stored_name : stored_name.substr(cut + 1));
}

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool IsDeviceName(std::string_view part) {
  // Windows reserves these with any extension: "nul.txt" is the device too.
  std::string stem = Upper(part.substr(0, part.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* d : kDevices)
    if (stem == d) return true;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '0' && stem[3] <= '9')
    return true;
  return false;
}

}  // namespace

std::string UnsafePartReason(std::string_view part) {
  if (part.empty()) return "an empty path part";
  if (part == "." || part == "..") return "a \"" + std::string(part) + "\" part";
  for (char c : part) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32) return "a control character";
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
      return std::string("the character '") + c + "'";
  }
  if (part.back() == '.' || part.back() == ' ') return "a part ending in a dot or a space";
  if (IsDeviceName(part)) return "the device name \"" + std::string(part) + "\"";
  return "";
}

RelativeName SplitRelativeName(std::string_view name) {
  RelativeName out;
  if (name.empty()) {
    out.refused = "an empty name";
    return out;
  }
  if (name.front() == '\\' || name.front() == '/') {
    out.refused = "an absolute path";
    return out;
  }
  if (name.find(':') != std::string_view::npos) {
    out.refused = "a drive or stream name (\":\")";
    return out;
  }
  size_t start = 0;
  for (;;) {
    size_t end = name.find_first_of("\\/", start);
    std::string_view part = name.substr(start, end == std::string_view::npos ? end : end - start);
    std::string reason = UnsafePartReason(part);
    if (!reason.empty()) {
      out.parts.clear();
      out.refused = reason;
      return out;
    }
    out.parts.emplace_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace kitpack
