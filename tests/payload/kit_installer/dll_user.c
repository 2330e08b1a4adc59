/* A program that uses loaderkit_payload.dll through its import library, as
   one in another language loads it: lists the payload of the file it is
   given, one "name size" line per entry, and prints the texts of an index
   out of range and of a file that is no kit. */
#include <loaderkit/payload.h>
#include <stdio.h>

int main(int argc, char** argv) {
  loaderkit_payload* kit = NULL;
  loaderkit_payload* other = NULL;
  loaderkit_entry entry;
  int32_t i;
  int status;
  if (argc != 3) return 100;
  status = loaderkit_payload_open_file(argv[1], &kit);
  for (i = 0; status == LOADERKIT_OK && i < loaderkit_payload_count(kit); ++i) {
    loaderkit_payload_entry(kit, i, &entry);
    printf("%s %d\n", entry.name, (int)entry.size);
  }
  i = loaderkit_payload_entry(kit, 99, &entry);
  printf("entry 99: %d %s\n", (int)i, loaderkit_payload_error(kit));
  i = loaderkit_payload_open_file(argv[2], &other);
  printf("other: %d %s\n", (int)i, loaderkit_payload_error(other));
  loaderkit_payload_close(other);
  loaderkit_payload_close(kit);
  return status;
}
