// Times Windows programs from inside one Windows process, so that starting
// Wine itself (about a second) stays out of the figures.
//
//   wintime RUNS BASE NAME COMMAND [NAME COMMAND]...
//
// Runs every COMMAND (a whole command line) once untimed, then RUNS rounds in
// which each runs once, in turn. Every run gets a fresh, empty folder
// BASE\NAME-<round> as its TMP and TEMP. Prints one line per timed run:
// "NAME ROUND SECONDS EXITCODE". Exit code 0, or 1 when a program could not
// be started.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Program {
  std::string name;
  std::string command;
};

bool RunOnce(const Program& program, const std::string& temp, double* seconds, DWORD* code) {
  if (!CreateDirectoryA(temp.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    std::fprintf(stderr, "wintime: cannot make %s\n", temp.c_str());
    return false;
  }
  SetEnvironmentVariableA("TMP", temp.c_str());
  SetEnvironmentVariableA("TEMP", temp.c_str());
  std::vector<char> line(program.command.begin(), program.command.end());
  line.push_back('\0');
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "wintime: cannot start %s (error %lu)\n", program.command.c_str(),
                 GetLastError());
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  GetExitCodeProcess(process.hProcess, code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  *seconds =
      static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 3) % 2 != 0) {
    std::fprintf(stderr, "usage: wintime RUNS BASE NAME COMMAND [NAME COMMAND]...\n");
    return 2;
  }
  int runs = std::atoi(argv[1]);
  std::string base = argv[2];
  std::vector<Program> programs;
  for (int i = 3; i + 1 < argc; i += 2) programs.push_back({argv[i], argv[i + 1]});
  CreateDirectoryA(base.c_str(), nullptr);
  for (int round = 0; round <= runs; ++round) {
    for (const Program& program : programs) {
      std::string temp = base + "\\" + program.name + "-" + std::to_string(round);
      double seconds = 0;
      DWORD code = 0;
      if (!RunOnce(program, temp, &seconds, &code)) return 1;
      // Round 0 warms the caches and is not reported.
      if (round > 0) {
        std::printf("%s %d %.6f %lu\n", program.name.c_str(), round, seconds, code);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
