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

std::FILE* CreateForWriting(const std::string& path) { return std::fopen(path.c_str(), "wb"); }

std::string OwnExecutablePath() {
  char buffer[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

std::string TempFolder() {
  char buffer[MAX_PATH * 4];
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  std::string folder = n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

namespace {

// A path inside double quotes in a batch file: quotes keep & | < > ^ ( )
// literal; only % needs doubling. Windows paths hold no double quote.
std::string BatchQuoted(const std::string& path) {
  std::string out = "\"";
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out + "\"";
}

}  // namespace

std::string RemoveWorkingFolder(const std::string& folder, const std::string& temp_file) {
  // This program's file is in use until the process ends, so a script does
  // the removal: it retries once a second (ping to the loopback address is
  // the waiting command every Windows has) for at most ten minutes, then
  // deletes itself. It lies in the temporary folder, beside the working
  // folder, and runs without a window. chcp 65001: the paths are UTF-8.
  const std::string script = folder + "-cleanup.cmd";
  // The script works in the folder that holds the working folder (the
  // temporary folder) and names what it removes relative to it. Those names
  // are the loader's own (ldx and hexadecimal digits), so the script holds
  // no text outside ASCII, whatever the temporary folder is called: a script
  // naming a folder outside the ANSI code page, even after chcp 65001, does
  // not remove it under Wine.
  const size_t cut = folder.find_last_of('\\');
  const std::string parent = cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
  auto relative = [&parent](const std::string& path) {
    return !parent.empty() && path.compare(0, parent.size(), parent) == 0
               ? path.substr(parent.size())
               : path;
  };
  const std::string f = BatchQuoted(relative(folder));
  std::string text =
      "@echo off\r\n"
      "chcp 65001 >nul\r\n"
      "set /a tries=0\r\n"
      ":again\r\n"
      "rmdir /s /q " +
      f +
      " 2>nul\r\n"
      "if not exist " +
      BatchQuoted(relative(folder) + "\\") +
      " goto gone\r\n"
      "set /a tries+=1\r\n"
      "if %tries% geq 600 goto gone\r\n"
      "ping -n 2 127.0.0.1 >nul 2>&1\r\n"
      "goto again\r\n"
      ":gone\r\n";
  if (!temp_file.empty()) {
    const std::string t = BatchQuoted(relative(temp_file));
    text += "if exist " + t + " del /f /q " + t + "\r\n";
  }
  text += "del /f /q \"%~f0\"\r\n";

  HANDLE file = CreateFileA(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "cannot create " + script;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size();
  CloseHandle(file);
  if (!ok) {
    DeleteFileA(script.c_str());
    return "cannot write " + script;
  }

  // cmd.exe from the system folder by its full path, never from a search.
  char system[MAX_PATH];
  UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) return "cannot find the system folder";
  const std::string cmd = std::string(system) + "\\cmd.exe";
  std::string line = "\"" + cmd + "\" /d /q /c \"\"" + script + "\"\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(cmd.c_str(), &line[0], nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | BELOW_NORMAL_PRIORITY_CLASS, nullptr,
                      parent.empty() ? system : parent.c_str(), &startup, &process)) {
    DeleteFileA(script.c_str());
    return "cannot start " + cmd;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return "";
}

void ShowMessage(const std::string& title, const std::string& text, bool failed) {
  MessageBoxA(nullptr, text.c_str(), title.c_str(),
              MB_OK | (failed ? MB_ICONHAND : MB_ICONINFORMATION));
}

}  // namespace installer
