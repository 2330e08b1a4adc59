#include "payload/host.h"

namespace ldr::payload {

// Open() and Release() are each system's own (host_posix.cpp, host_win32.cpp).
NewFileBelow::NewFileBelow(const std::string& root, const std::vector<std::string>& parts,
                           bool replace) {
  try {
    Open(root, parts, replace);
  } catch (...) {
    Release();
    throw;
  }
}

NewFileBelow::~NewFileBelow() { Release(); }

}  // namespace ldr::payload
