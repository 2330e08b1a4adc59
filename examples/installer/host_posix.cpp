#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "examples/installer/host.h"

namespace installer {

const char kSeparator = '/';

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st {};
  return errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ShowMessage(const std::string& title, const std::string& text, bool) {
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

}  // namespace installer
