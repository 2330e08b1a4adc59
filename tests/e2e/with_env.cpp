// Sets environment variables inside the Windows process tree, then runs a
// program and passes its exit code on. Wine fills TMP and TEMP from its
// registry, whatever the Linux environment says, so a test that wants the
// loader to see its own temporary folder sets it here.
//
//   with_env NAME=VALUE... -- PROGRAM [ARG...]
//
// Standard handles are inherited, so the program's output reaches the
// caller. Arguments are quoted by the C runtime's rules, so each one reaches
// PROGRAM exactly as given, double quotes included.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kitpack/host/command_line.h"

int main(int argc, char** argv) {
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const char* equals = std::strchr(argv[i], '=');
    if (equals == nullptr) {
      std::fprintf(stderr, "with_env: expected NAME=VALUE, got %s\n", argv[i]);
      return 125;
    }
    std::string name(argv[i], static_cast<size_t>(equals - argv[i]));
    SetEnvironmentVariableA(name.c_str(), equals + 1);
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "usage: with_env NAME=VALUE... -- PROGRAM [ARG...]\n");
    return 125;
  }
  std::string line;
  for (int k = i + 1; k < argc; ++k) {
    if (!line.empty()) line += ' ';
    line += kitpack::QuoteArgument(argv[k]);
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "with_env: could not start %s (error %lu)\n", argv[i + 1],
                 static_cast<unsigned long>(GetLastError()));
    return 125;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 125;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
