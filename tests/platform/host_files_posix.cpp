#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "tests/platform/host_files.h"

namespace ldr::testing {

const char* const kChildProgramName = "platform_child";

std::string MakeScratchFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/ldrtest.XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern + "/";
}

void RemoveTree(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

bool SetFileYear(const std::string& path, int year) {
  struct tm when = {};
  when.tm_year = year - 1900;
  when.tm_mon = 6;
  when.tm_mday = 1;
  when.tm_hour = 12;
  when.tm_isdst = -1;
  time_t stamp = std::mktime(&when);
  struct utimbuf times = {stamp, stamp};
  return ::utime(path.c_str(), &times) == 0;
}

}  // namespace ldr::testing
