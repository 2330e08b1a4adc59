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
// literal; only % needs doubling. Windows paths hold no double quote. The
// lead goes in as it is (it may be "%~dp0", for cmd.exe to expand).
std::string BatchQuoted(const std::string& path, const std::string& lead = "") {
  std::string out = "\"" + lead;
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out + "\"";
}

// The system folder by its full path, for the programs the script calls. A
// name alone would be looked up in the script's own folder first, the
// temporary folder, where any program of the user's may plant one (and the
// script may run elevated). Only an ASCII path is written into the script,
// which holds no other text.
std::string SystemFolder() {
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) return "";
  const std::string folder(system, n);
  for (char c : folder) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '%' || c == '"') return "";
  }
  return folder;
}

// The script: it retries once a second (ping to the loopback address is the
// waiting command every Windows has) for at most ten minutes, then deletes
// itself. It names what it removes through its own folder ("%~dp0", which
// cmd.exe expands itself) and the loader's names (ldx and hexadecimal
// digits), so it holds no text outside ASCII whatever the temporary folder
// is called: a script naming a folder outside the ANSI code page is not
// obeyed under Wine, even after chcp 65001.
std::string CleanupScript(const std::string& folder_name, const std::string& temp_file_name,
                          const std::string& system) {
  const std::string f = BatchQuoted(folder_name, "%~dp0");
  std::string text =
      "@echo off\r\n"
      "set /a tries=0\r\n"
      ":again\r\n"
      "rmdir /s /q " +
      f +
      " 2>nul\r\n"
      "if not exist " +
      BatchQuoted(folder_name + "\\", "%~dp0") +
      " goto gone\r\n"
      "set /a tries+=1\r\n"
      "if %tries% geq 600 goto gone\r\n" +
      BatchQuoted(system + "\\ping.exe") +
      " -n 2 127.0.0.1 >nul 2>&1\r\n"
      "goto again\r\n"
      ":gone\r\n";
  if (!temp_file_name.empty()) {
    const std::string t = BatchQuoted(temp_file_name, "%~dp0");
    text += "if exist " + t + " del /f /q " + t + "\r\n";
  }
  return text + "del /f /q \"%~f0\"\r\n";
}

}  // namespace

std::string RemoveWorkingFolder(const std::string& folder, const std::string& temp_file) {
  // This program's file is in use until the process ends, so a script does
  // the removal. It lies in the temporary folder, beside the working folder,
  // and runs without a window, in the system folder.
  const std::string script = folder + "-cleanup.cmd";
  const std::string system = SystemFolder();
  if (system.empty()) return "cannot find the system folder";
  const size_t cut = folder.find_last_of('\\');
  const std::string parent = cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
  // Both lie in the script's own folder (the loader made them there).
  auto name_in_parent = [&parent](const std::string& path) {
    return !parent.empty() && path.compare(0, parent.size(), parent) == 0
               ? path.substr(parent.size())
               : std::string();
  };
  const std::string folder_name = name_in_parent(folder);
  if (folder_name.empty()) return "cannot name " + folder + " from its own folder";
  const std::string text = CleanupScript(folder_name, name_in_parent(temp_file), system);

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

  // cmd.exe from the system folder by its full path, never from a search;
  // /d: no AutoRun commands from the registry.
  const std::string cmd = system + "\\cmd.exe";
  std::string line = "\"" + cmd + "\" /d /q /c \"\"" + script + "\"\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(cmd.c_str(), &line[0], nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | BELOW_NORMAL_PRIORITY_CLASS, nullptr, system.c_str(),
                      &startup, &process)) {
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
