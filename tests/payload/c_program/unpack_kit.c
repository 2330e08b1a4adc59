/* unpack_kit FOLDER HANDOFF...: lists the payload the hand-off line names,
   one "name size" line per entry, then unpacks it into FOLDER. Exits with
   the library's status code. */
#include <loaderkit/payload.h>
#include <stdio.h>

int main(int argc, char** argv) {
  loaderkit_payload* kit = NULL;
  int status;
  int32_t i;
  if (argc < 3) return 100;
  status = loaderkit_payload_open_command_line(argc - 2, (const char* const*)(argv + 2), &kit);
  for (i = 0; status == LOADERKIT_OK && i < loaderkit_payload_count(kit); ++i) {
    loaderkit_entry entry;
    loaderkit_payload_entry(kit, i, &entry);
    printf("%s %lld\n", entry.name, (long long)entry.size);
  }
  if (status == LOADERKIT_OK)
    status = loaderkit_payload_unpack(kit, argv[1], NULL, 0, 0, NULL, NULL);
  if (status != LOADERKIT_OK) fprintf(stderr, "unpack_kit: %s\n", loaderkit_payload_error(kit));
  loaderkit_payload_close(kit);
  return status;
}
