// A stand-in installation executable for the end-to-end tests.
//
// It records what the loader handed it and exits 0 at once. The record goes
// to the file named by the environment variable PROBE_RECORD (nothing is
// written when it is unset or empty). Its own folder is no place for it: that
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

int main(int argc, char** argv) {
  const char* record = std::getenv("PROBE_RECORD");
  if (record == nullptr || record[0] == '\0') return 0;

  const std::string part = std::string(record) + ".part";
  FILE* out = std::fopen(part.c_str(), "wb");
  if (out == nullptr) return 0;

  char path[4096];
  own_path(path, sizeof path);
  fprintf(out, "path=%s\n", path);
#ifdef _WIN32
  fprintf(out, "cmdline=%s\n", GetCommandLineA());
#endif
  fprintf(out, "argc=%d\n", argc);
  for (int i = 0; i < argc; ++i) fprintf(out, "arg=%s\n", argv[i]);
  fprintf(out, "end=1\n");
  fclose(out);

#ifdef _WIN32
  MoveFileExA(part.c_str(), record, MOVEFILE_REPLACE_EXISTING);
#else
  std::rename(part.c_str(), record);
#endif
  return 0;
}
