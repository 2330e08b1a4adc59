#pragma once
// The fuzz targets' property check: names the broken property before
// stopping, so that a finding reads plainly.

#include <cstdio>
#include <cstdlib>

namespace ldr::fuzz {

inline void CheckAt(bool condition, const char* what, int line) {
  if (condition) return;
  std::fprintf(stderr, "property failed at line %d: %s\n", line, what);
  std::abort();
}

}  // namespace ldr::fuzz

#define Check(condition) ::ldr::fuzz::CheckAt((condition), #condition, __LINE__)
