#include "kitpack/kit/glob.h"

namespace kitpack {

namespace {

// Matches a set at pattern[p] (just past "["): sets `end` past its "]".
// A set without its "]" is no set: the "[" then stands for itself.
bool SetMatches(const std::string& pattern, size_t p, char c, size_t& end, bool& valid) {
  bool negate = p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^');
  if (negate) ++p;
  bool found = false;
  bool first = true;
  for (; p < pattern.size(); ++p) {
    if (pattern[p] == ']' && !first) {
      end = p + 1;
      valid = true;
      return found != negate && c != '/';
    }
    first = false;
    if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']') {
      if (pattern[p] <= c && c <= pattern[p + 2]) found = true;
      p += 2;
    } else if (pattern[p] == c) {
      found = true;
    }
  }
  valid = false;
  return false;
}

}  // namespace

bool GlobMatches(const std::string& pattern, const std::string& text) {
  // Iterative matching with one back-track point for the last "*": linear
  // in practice, never exponential.
  size_t p = 0, t = 0, star = std::string::npos, star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = ++p;
      star_t = t;
      continue;
    }
    if (p < pattern.size()) {
      bool matched = false;
      size_t next = p + 1;
      if (pattern[p] == '?') {
        matched = text[t] != '/';
      } else if (pattern[p] == '[') {
        bool valid = false;
        matched = SetMatches(pattern, p + 1, text[t], next, valid);
        if (!valid) {
          matched = text[t] == '[';
          next = p + 1;
        }
      } else {
        matched = pattern[p] == text[t];
      }
      if (matched) {
        p = next;
        ++t;
        continue;
      }
    }
    // Let the last "*" take one more character, unless that is a "/".
    if (star == std::string::npos || text[star_t] == '/') return false;
    p = star;
    t = ++star_t;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool ExcludedBy(const std::string& pattern, const std::string& relative_path) {
  if (pattern.find('/') != std::string::npos) {
    // "docs/*" also drops what lies deeper: the pattern is matched against
    // the path and against each folder on the way.
    for (size_t cut = relative_path.find('/'); cut != std::string::npos;
         cut = relative_path.find('/', cut + 1))
      if (GlobMatches(pattern, relative_path.substr(0, cut))) return true;
    return GlobMatches(pattern, relative_path);
  }
  size_t start = 0;
  for (;;) {
    const size_t cut = relative_path.find('/', start);
    if (GlobMatches(pattern, relative_path.substr(start, cut - start))) return true;
    if (cut == std::string::npos) return false;
    start = cut + 1;
  }
}

}  // namespace kitpack
