/* A stand-in installation executable for the end-to-end tests.
 *
 * It records what the loader handed it and exits 0 at once. The record goes
 * to the file named by the environment variable PROBE_RECORD (nothing is
 * written when it is unset or empty). Its own folder is no place for it: that
 * is the working folder the loader made, whose name the test cannot know in
 * advance. Wine passes the environment through, so the same variable works
 * for the Windows build; there it must hold a Windows path (Z:\... for a
 * Linux path).
 *
 * Record format, one "key=value" line each:
 *   path=<own executable path>        (GetModuleFileNameA / /proc/self/exe)
 *   cmdline=<GetCommandLineA()>       (Windows only, verbatim)
 *   argc=<n>
 *   arg=<argv[i]>                     (n lines, argv[0] first)
 *   end=1
 *
 * The record is written to PROBE_RECORD with ".part" appended and then
 * renamed, so a reader that sees the file sees all of it.
 */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

static void own_path(char* buffer, size_t size) {
#ifdef _WIN32
  DWORD n = GetModuleFileNameA(NULL, buffer, (DWORD)size);
  if (n >= size) n = (DWORD)(size - 1);
  buffer[n] = '\0';
#else
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) n = 0;
  buffer[n] = '\0';
#endif
}

int main(int argc, char** argv) {
  const char* record = getenv("PROBE_RECORD");
  if (record == NULL || record[0] == '\0') return 0;

  size_t length = strlen(record);
  char* part = malloc(length + 6);
  if (part == NULL) return 0;
  memcpy(part, record, length);
  memcpy(part + length, ".part", 6);

  FILE* out = fopen(part, "wb");
  if (out == NULL) return 0;

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
  MoveFileExA(part, record, MOVEFILE_REPLACE_EXISTING);
#else
  rename(part, record);
#endif
  free(part);
  return 0;
}
