#include "format/stored_paths.h"

namespace ldr {
namespace {

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

}  // namespace

std::string WindowsFileKey(std::string_view name_part) {
  while (!name_part.empty() && (name_part.back() == '.' || name_part.back() == ' ')) {
    name_part.remove_suffix(1);
  }
  std::string key(name_part);
  for (char& c : key) c = FoldAscii(c);
  return key;
}

const char* UnsafePathPartReason(std::string_view part) {
  if (const char* reason = UnsafeNameReason(part, NameHost::kWindows)) return reason;
  if (part.back() == '.' || part.back() == ' ') return "a part ending in a dot or a blank";
  return nullptr;
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
    if (const char* reason = UnsafePathPartReason(part)) {
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

RelativeName SplitStoredPath(std::string_view name) {
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    name.remove_prefix(2);
  }
  while (!name.empty() && (name.front() == '\\' || name.front() == '/')) name.remove_prefix(1);
  return SplitRelativeName(name);
}

}  // namespace ldr
