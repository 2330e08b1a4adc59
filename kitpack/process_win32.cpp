#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kitpack/process.h"

namespace kitpack {

namespace {

// One argument as the C runtime's command-line splitting gives it back:
// quoted when it holds a blank or a quote or is empty, a quote escaped with
// a backslash, and backslashes doubled where they come before a quote.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string SystemText(DWORD code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n && text ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
    out.pop_back();
  return out;
}

}  // namespace

std::string RunProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) return "could not be started: no program named";
  std::string line;
  for (const std::string& a : argv) line += (line.empty() ? "" : " ") + Quote(a);
  std::vector<char> command(line.begin(), line.end());
  command.push_back('\0');
  // What kitpack printed so far comes before what the program prints.
  std::fflush(stdout);
  std::fflush(stderr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // No application name: the first word of the command line is looked up
  // as Windows looks up programs, PATH included.
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process))
    return "could not be started: " + SystemText(GetLastError());
  CloseHandle(process.hThread);
  DWORD code = 0;
  const bool waited = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                      GetExitCodeProcess(process.hProcess, &code);
  const DWORD error = GetLastError();
  CloseHandle(process.hProcess);
  if (!waited) return "could not be waited for: " + SystemText(error);
  return code == 0 ? std::string() : "exited with code " + std::to_string(code);
}

}  // namespace kitpack
