#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "tests/platform/host_files.h"

namespace ldr::testing {

const char* const kChildProgramName = "platform_child.exe";

std::string MakeScratchFolder() {
  char temp[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof temp, temp) == 0) throw std::runtime_error("no temp folder");
  for (unsigned i = 0; i < 1000; ++i) {
    std::string folder = std::string(temp) + "ldrtest" + std::to_string(GetCurrentProcessId()) +
                         "_" + std::to_string(GetTickCount() + i);
    if (CreateDirectoryA(folder.c_str(), nullptr)) return folder + "\\";
  }
  throw std::runtime_error("no scratch folder");
}

void RemoveTree(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

bool SetFileYear(const std::string& path, int year) {
  SYSTEMTIME local = {};
  local.wYear = static_cast<WORD>(year);
  local.wMonth = 7;
  local.wDay = 1;
  local.wHour = 12;
  FILETIME local_time;
  FILETIME utc_time;
  if (!SystemTimeToFileTime(&local, &local_time) ||
      !LocalFileTimeToFileTime(&local_time, &utc_time))
    return false;
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = SetFileTime(file, nullptr, nullptr, &utc_time);
  CloseHandle(file);
  return ok != 0;
}

}  // namespace ldr::testing
