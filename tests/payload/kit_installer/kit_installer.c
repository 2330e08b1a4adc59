/* An installer as a kit author writes it, on <loaderkit/payload.h> alone:
   it opens the kit its loader names, unpacks the payload into
   $KIT_TEST_DEST, writes what it saw to result.txt there (the kit's file,
   the arguments given after "--", the number of progress calls), and
   removes the loader's working folder. Valid C89 and C++98 alike. */
#include <loaderkit/payload.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int count_calls(void* context, int32_t entry, int64_t done, int64_t total) {
  long* calls = (long*)context;
  (void)entry;
  (void)done;
  (void)total;
  ++*calls;
  return 0;
}

int main(int argc, char** argv) {
  loaderkit_payload* kit = NULL;
  const char* dest = getenv("KIT_TEST_DEST");
  const char* removed = "";
  char path[4096];
  FILE* out;
  int32_t i;
  long calls = 0;
  int status, cleanup;

  if (!dest || strlen(dest) > sizeof path - 16) return 100;
  status = loaderkit_payload_open_main(argc, (const char* const*)argv, 1, &kit);
  if (status == LOADERKIT_OK)
    status = loaderkit_payload_unpack(kit, dest, NULL, 0, LOADERKIT_REPLACE, count_calls, &calls);
  cleanup = loaderkit_payload_remove_working_folder(kit, &removed);

  strcpy(path, dest);
  strcat(path, "/result.txt");
  out = fopen(path, "w");
  if (!out) return 101;
  fprintf(out, "status %d\n", status);
  fprintf(out, "error %s\n", loaderkit_payload_error(kit));
  fprintf(out, "file %s\n", loaderkit_payload_file(kit));
  for (i = 0; i < loaderkit_payload_extra_count(kit); ++i)
    fprintf(out, "extra %s\n", loaderkit_payload_extra_argument(kit, i));
  fprintf(out, "progress %ld\n", calls);
  fprintf(out, "cleanup %d %s\n", cleanup, removed);
  fclose(out);
  loaderkit_payload_close(kit);
  return status;
}
