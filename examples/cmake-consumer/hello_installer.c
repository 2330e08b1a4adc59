/* The installer of the POSIX hello kit: the loader starts it once it has
   unpacked the kit. It writes the command line it was given to hello.log in
   $HELLO_KIT_LOG_DIR (or the current folder) and exits. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  const char* dir = getenv("HELLO_KIT_LOG_DIR");
  char path[4096];
  snprintf(path, sizeof path, "%s/hello.log", dir && *dir ? dir : ".");
  FILE* log = fopen(path, "w");
  if (!log) {
    perror(path);
    return 1;
  }
  fprintf(log, "hello from the kit's installer:");
  for (int i = 1; i < argc; ++i) fprintf(log, " %s", argv[i]);
  fprintf(log, "\n");
  return fclose(log) == 0 ? 0 : 1;
}
