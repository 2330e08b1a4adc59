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

RelativeName SplitRelativeName(std::string_view name) {
  RelativeName out;
  if (const char* reason = RelativeNameRefusal(name)) {
    out.refused = reason;
    return out;
  }
  size_t start = 0;
  for (;;) {
    const size_t end = name.find_first_of("\\/", start);
    out.parts.emplace_back(name.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

RelativeName SplitStoredPath(std::string_view name) {
  std::string_view relative;
  StoredPathRefusal(name, &relative);
  return SplitRelativeName(relative);
}

}  // namespace ldr
