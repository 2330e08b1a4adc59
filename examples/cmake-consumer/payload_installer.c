/* An installer of this project's own, in C, on loaderkit's payload library:
   the loader of hello-payload-setup starts it once it has unpacked the kit,
   and it unpacks the kit's payload into $HELLO_KIT_DEST (or "installed"
   beside the kit), showing the share done, and writes what it did to
   install.log there. */
#include <loaderkit/payload.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#define SEPARATOR "\\"
#else
#define SEPARATOR "/"
#endif

static int show_progress(void* context, int32_t entry, int64_t done, int64_t total) {
  int* last = (int*)context;
  int percent = total > 0 ? (int)(done * 100 / total) : 100;
  (void)entry;
  if (percent != *last) printf("\rinstalling: %3d%%", percent);
  *last = percent;
  return 0; /* anything else cancels */
}

int main(int argc, char** argv) {
  loaderkit_payload* kit = NULL;
  char dest[4096], log_path[4200];
  const char* chosen = getenv("HELLO_KIT_DEST");
  int last = -1, status;
  int32_t i;
  FILE* log;

  status = loaderkit_payload_open_main(argc, (const char* const*)argv, 1, &kit);
  if (status != LOADERKIT_OK) {
    fprintf(stderr, "setup: %s\n", loaderkit_payload_error(kit));
    loaderkit_payload_close(kit);
    return 1;
  }
  if (chosen && *chosen)
    snprintf(dest, sizeof dest, "%s", chosen);
  else
    snprintf(dest, sizeof dest, "%s" SEPARATOR "installed", loaderkit_payload_loader_folder(kit));

  status = loaderkit_payload_unpack(kit, dest, NULL, 0, LOADERKIT_REPLACE, show_progress, &last);
  printf("\n");
  snprintf(log_path, sizeof log_path, "%s" SEPARATOR "install.log", dest);
  log = fopen(log_path, "w");
  if (status != LOADERKIT_OK) {
    fprintf(stderr, "setup: %s (%s)\n", loaderkit_payload_error(kit), loaderkit_status_text(status));
    if (log) fprintf(log, "failed: %s\n", loaderkit_payload_error(kit));
  } else if (log) {
    for (i = 0; i < loaderkit_payload_count(kit); ++i) {
      loaderkit_entry entry;
      loaderkit_payload_entry(kit, i, &entry);
      fprintf(log, "%s (%lld bytes)\n", entry.path, (long long)entry.size);
    }
    fprintf(log, "installed %d file(s) from %s\n", (int)loaderkit_payload_count(kit),
            loaderkit_payload_file(kit));
  }
  if (log) fclose(log);
  /* The loader's working folder (this program's own) goes last. */
  loaderkit_payload_remove_working_folder(kit, NULL);
  loaderkit_payload_close(kit);
  return status == LOADERKIT_OK ? 0 : 1;
}
