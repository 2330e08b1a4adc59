// A stand-in installation executable for the end-to-end tests.
//
// It records what the loader handed it and exits. The record goes to the
// file named by the environment variable PROBE_RECORD (nothing is written
// when it is unset or empty). The loader's command line to an installer is
// fixed, so what a test asks of the probe comes through the environment
// too: PROBE_DELAY_MS (wait that long after the record is written, then
// make the file PROBE_RECORD with ".ended" appended) and PROBE_EXIT_CODE
// (the exit code, 0 when unset): a deployment run waits for both. Under
// Windows PROBE_BROADCAST (not empty) has it send WM_SETTINGCHANGE to every
// top-level window first; PROBE_LEAVE (not empty) has it leave files of
// its own beside it, in a folder it makes, as installers do (a log, a
// cache). Its own folder is no place for the record: that
// is the working folder the loader made, whose name the test cannot know in
// advance. Wine passes the environment through, so the same variable works
// for the Windows build; there it must hold a Windows path (Z:\... for a
// Linux path).
//
// Record format, one "key=value" line each:
//   path=<own executable path>        (GetModuleFileNameA / /proc/self/exe)
//   cmdline=<GetCommandLineA()>       (Windows only, verbatim)
//   argc=<n>
//   arg=<argv[i]>                     (n lines, argv[0] first)
//   waits=<LOADERKIT_LOADER_WAITS>    (empty when unset)
//   end=1
//
// The record is written to PROBE_RECORD with ".part" appended and then
// renamed, so a reader that sees the file sees all of it.
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

static void own_path(char* buffer, size_t size) {
#ifdef _WIN32
  DWORD n = GetModuleFileNameA(nullptr, buffer, (DWORD)size);
  if (n >= size) n = (DWORD)(size - 1);
  buffer[n] = '\0';
#else
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) n = 0;
  buffer[n] = '\0';
#endif
}

static const char* variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

static void sleep_ms(long ms) {
#ifdef _WIN32
  // A loader that does not wait gives the program it started, as WinExec
  // does, up to 30 seconds to be ready for input. A real installer's
  // window is soon waiting for messages; so the probe waits for its
  // delay.
  const UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(ms), nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) {
  }
  KillTimer(nullptr, timer);
#else
  struct timespec pause = {ms / 1000, ms % 1000 * 1000000L};
  nanosleep(&pause, nullptr);
#endif
}

static void write_record(const char* record, int argc, char** argv) {
  const std::string part = std::string(record) + ".part";
  FILE* out = std::fopen(part.c_str(), "wb");
  if (out == nullptr) return;

  char path[4096];
  own_path(path, sizeof path);
  fprintf(out, "path=%s\n", path);
#ifdef _WIN32
  fprintf(out, "cmdline=%s\n", GetCommandLineA());
#endif
  fprintf(out, "argc=%d\n", argc);
  for (int i = 0; i < argc; ++i) fprintf(out, "arg=%s\n", argv[i]);
  fprintf(out, "waits=%s\n", variable("LOADERKIT_LOADER_WAITS"));
  fprintf(out, "end=1\n");
  fclose(out);

#ifdef _WIN32
  MoveFileExA(part.c_str(), record, MOVEFILE_REPLACE_EXISTING);
#else
  std::rename(part.c_str(), record);
#endif
}

int main(int argc, char** argv) {
  const char* record = variable("PROBE_RECORD");
  if (record[0] == '\0') return 0;
  write_record(record, argc, argv);
#ifdef _WIN32
  // What installers do after changing the environment: every top-level
  // window, the loader's included, must answer before this returns.
  if (variable("PROBE_BROADCAST")[0] != '\0')
    SendMessageA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"));
#endif
  if (variable("PROBE_LEAVE")[0] != '\0') {
    std::string own = argv[0];
    const size_t cut = own.find_last_of("/\\");
    const std::string folder = cut == std::string::npos ? "." : own.substr(0, cut);
    const char separator = cut == std::string::npos ? '/' : own[cut];
#ifdef _WIN32
    CreateDirectoryA((folder + separator + "cache").c_str(), nullptr);
#else
    mkdir((folder + separator + "cache").c_str(), 0700);
#endif
    for (const char* name : {"install.log", "cache/data.bin"}) {
      std::string path = folder + separator + name;
      for (char& c : path)
        if (c == '/') c = separator;
      FILE* left = std::fopen(path.c_str(), "wb");
      if (left != nullptr) {
        std::fputs("left by the installer\n", left);
        fclose(left);
      }
    }
  }
  const long delay = std::strtol(variable("PROBE_DELAY_MS"), nullptr, 10);
  if (delay > 0) {
    sleep_ms(delay);
    FILE* ended = std::fopen((std::string(record) + ".ended").c_str(), "wb");
    if (ended != nullptr) fclose(ended);
  }
  return static_cast<int>(std::strtol(variable("PROBE_EXIT_CODE"), nullptr, 10));
}
