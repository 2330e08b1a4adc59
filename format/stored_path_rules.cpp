// The second archive's name rules that need no heap: the loader's
// /EXTRACT calls them, kitpack and the reference installer through
// stored_paths.cpp.
#include "format/stored_paths.h"

namespace ldr {

const char* RelativeNameRefusal(std::string_view name) {
  if (name.empty()) return "an empty name";
  if (name.front() == '\\' || name.front() == '/') return "an absolute path";
  if (name.find(':') != std::string_view::npos) return "a drive or stream name (\":\")";
  size_t start = 0;
  for (;;) {
    const size_t end = name.find_first_of("\\/", start);
    const std::string_view part =
        name.substr(start, end == std::string_view::npos ? end : end - start);
    if (const char* reason = UnsafePathPartReason(part)) return reason;
    if (end == std::string_view::npos) return nullptr;
    start = end + 1;
  }
}

const char* UnsafePathPartReason(std::string_view part) {
  if (const char* reason = UnsafeNameReason(part, NameHost::kWindows)) return reason;
  if (part.back() == '.' || part.back() == ' ') return "a part ending in a dot or a blank";
  return nullptr;
}

const char* StoredPathRefusal(std::string_view name, std::string_view* relative) {
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    name.remove_prefix(2);
  }
  while (!name.empty() && (name.front() == '\\' || name.front() == '/')) name.remove_prefix(1);
  *relative = name;
  return RelativeNameRefusal(name);
}

}  // namespace ldr
