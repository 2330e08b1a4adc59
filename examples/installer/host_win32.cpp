#include <direct.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "examples/installer/host.h"

namespace installer {

const char kSeparator = '\\';

bool MakeFolder(const std::string& path) {
  if (_mkdir(path.c_str()) == 0) return true;
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ShowMessage(const std::string& title, const std::string& text, bool failed) {
  MessageBoxA(nullptr, text.c_str(), title.c_str(),
              MB_OK | (failed ? MB_ICONHAND : MB_ICONINFORMATION));
}

}  // namespace installer
