/* loaderkit payload library: what an installer started by a kit's loader
   uses to read the kit's payload (its second archive) and unpack it.

   A plain C interface, so that C, C++, Rust and C# (P/Invoke) can call it:
   one opaque handle, fixed-width integers, UTF-8 texts owned by the handle,
   every failure a status code plus a text. Nothing is thrown across it.
   Every path and text in and out is UTF-8, on Windows too: the library
   uses the system's wide calls inside, so an installer needs no UTF-8
   code page of its own for names outside its ANSI code page.

   Linking: the static library (libloaderkit_payload.a; CMake:
   loaderkit::payload; pkg-config: loaderkit-payload) holds zlib's inflate
   and needs the C++ runtime, which CMake and pkg-config name; for Windows
   they link everything statically (-static), so that an installer imports
   only Windows' own DLLs. The Windows packages also carry
   loaderkit_payload.dll (no dependencies but Windows' own) and its import
   library loaderkit_payload.lib, for programs that load it at run time
   (C#: [DllImport("loaderkit_payload.dll", CallingConvention = Cdecl)],
   texts marshalled as UTF-8).

     loaderkit_payload* kit = NULL;
     int status = loaderkit_payload_open_main(argc, (const char* const*)argv, 1, &kit);
     if (status == LOADERKIT_OK)
       status = loaderkit_payload_unpack(kit, "C:\\Program Files\\Product", NULL, 0, 0, NULL, NULL);
     if (status != LOADERKIT_OK) fprintf(stderr, "%s\n", loaderkit_payload_error(kit));
     loaderkit_payload_remove_working_folder(kit, NULL);
     loaderkit_payload_close(kit);

   A handle is used by one thread at a time. Memory stays bounded whatever
   the kit holds: entries are inflated through a window of 32 KiB, read in
   blocks of 64 KiB, straight into their files. */
#ifndef LOADERKIT_PAYLOAD_H
#define LOADERKIT_PAYLOAD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct loaderkit_payload loaderkit_payload;

/* Status codes. Every function that can fail returns one; the handle's
   error text (loaderkit_payload_error) says what exactly failed. */
enum {
  LOADERKIT_OK = 0,
  LOADERKIT_E_USAGE = 1,       /* a null or bad argument; a command line naming no kit */
  LOADERKIT_E_OPEN = 2,        /* the kit file could not be opened or read */
  LOADERKIT_E_NOT_A_KIT = 3,   /* the file holds no payload archive */
  LOADERKIT_E_DAMAGED = 4,     /* a record, range or stream is damaged, or the kit is cut short */
  LOADERKIT_E_UNSAFE_NAME = 5, /* a stored name would land outside the folder, or on a device */
  LOADERKIT_E_WRITE = 6,       /* a folder or file could not be made or written */
  LOADERKIT_E_EXISTS = 7,      /* the name is taken, and not by a file that may be replaced */
  LOADERKIT_E_CANCELLED = 8,   /* the progress callback asked to stop */
  LOADERKIT_E_MEMORY = 9       /* out of memory */
};

/* One entry of the payload. The texts belong to the handle and live until
   it is closed. */
typedef struct loaderkit_entry {
  const char* name;    /* as stored, "\" between parts: "docs\guide.txt" */
  const char* path;    /* where it lands below the folder, with this system's separator */
  int64_t size;        /* bytes once unpacked */
  int64_t packed_size; /* bytes of its compressed stream in the kit */
  int64_t time;        /* its file's modification time, seconds since 1970-01-01 UTC */
} loaderkit_entry;

/* Called as bytes are unpacked. `entry` is the index of the entry being
   written (its place in the payload, as loaderkit_payload_entry takes it,
   not its place in the list asked for); `done` counts the bytes written so
   far of every entry asked for, `total` is their sum (unpacked sizes). It
   is called after every block of up to 64 KiB, and once more when the
   entry's file is complete: that call repeats the last one's numbers (and
   is the only call for an empty entry). The last call of an unpack that
   succeeds has done == total. Return 0 to go on, anything else to stop:
   the unpack then ends with LOADERKIT_E_CANCELLED and removes the file it
   was writing; files already complete stay. */
typedef int (*loaderkit_progress_fn)(void* context, int32_t entry, int64_t done, int64_t total);

/* Unpack flags. */
#define LOADERKIT_REPLACE 1 /* replace an existing regular file (a new file is renamed over it) */

/* Opens the payload of the kit the installer's command line names. argv
   holds the arguments the loader handed over, without the program's own
   name (main's argc - 1 and argv + 1, once the installer has taken its own
   options off the front):
     *SELFEXTRACT LOADERNAME LOADERFOLDER   the payload is appended to the loader
     *TODISK LOADERNAME LOADERFOLDER        the same; or an external kit's copy
     LOADERFOLDER                           an external kit: setup.2 in that folder
   A kit whose trailer carries no self-extracting mark is external: its
   setup.2 is read. Signed kits are read like any other. Arguments a loader
   split at blanks are joined again. Every entry and every stored name is
   checked here, before anything can be unpacked.
   An external kit's setup.2, when the loader that started this program
   handed on its SHA-256 (LOADERKIT_SETUP2_SHA256, set by a loader whose
   kit records it), is held to it: opened so that nobody may write it
   (Windows), and read whole, front to back, every byte hashed as it is
   read, here and again by each unpack; another file fails with
   LOADERKIT_E_DAMAGED.
   Today's loader quotes each hand-off argument, so they are the first
   three (or one) exactly; whatever follows them (what a user gave the kit
   after "--") is the installer's: loaderkit_payload_extra_argument.
   *out is set even when opening fails (to NULL only when memory ran out),
   so that the error text can be read; close it in every case. */
int loaderkit_payload_open_command_line(int argc, const char* const* argv, loaderkit_payload** out);

/* The same, from main's own argc and argv: the hand-off begins at
   argv[first] (1 when the installer takes no options of its own before
   it). On Windows the arguments are read afresh from the process's UTF-16
   command line (GetCommandLineW), split by the C runtime's rules, so that
   a kit lying in a folder whose name the ANSI code page cannot hold is
   found: main's argv would hold "?" for such characters. The preferred
   opener. */
int loaderkit_payload_open_main(int argc, const char* const* argv, int first,
                                loaderkit_payload** out);

/* The arguments that followed the hand-off, in UTF-8: how many, and each
   (NULL for an index out of range). */
int32_t loaderkit_payload_extra_count(const loaderkit_payload* payload);
const char* loaderkit_payload_extra_argument(const loaderkit_payload* payload, int32_t index);

/* Opens a payload by its file: a self-extracting kit (signed or not), or an
   external kit's setup.2. A file that is neither (a program without a
   payload, any other file) fails with LOADERKIT_E_NOT_A_KIT. *out as
   above. */
int loaderkit_payload_open_file(const char* path, loaderkit_payload** out);

/* The text of the last failure on this handle ("" when there was none).
   NULL handle: the text for running out of memory. */
const char* loaderkit_payload_error(const loaderkit_payload* payload);

/* The generic text of a status code. */
const char* loaderkit_status_text(int status);

/* The file the payload is read from (the kit, or setup.2). */
const char* loaderkit_payload_file(const loaderkit_payload* payload);

/* The loader's folder from the command line ("" when opened by file). */
const char* loaderkit_payload_loader_folder(const loaderkit_payload* payload);

/* The number of entries; 0 for a handle that failed to open. */
int32_t loaderkit_payload_count(const loaderkit_payload* payload);

/* Fills *entry for entries 0 .. count - 1; another index fails with
   LOADERKIT_E_USAGE and says so in the error text. */
int loaderkit_payload_entry(const loaderkit_payload* payload, int32_t index,
                            loaderkit_entry* entry);

/* The index of the entry stored under `name` ("\" or "/" between parts,
   ASCII letters in either case, as Windows matches names), or -1. */
int32_t loaderkit_payload_find(const loaderkit_payload* payload, const char* name);

/* Unpacks entries below `folder`, which is made, with every folder above
   it that is missing, if it does not exist. `indexes` lists the entries
   (count of them); NULL unpacks every entry. Folders are made as the names
   need them, and none is entered that is a link; files are created new,
   never through a link, and an existing name is refused
   (LOADERKIT_E_EXISTS) unless flags hold LOADERKIT_REPLACE and it is a
   regular file. Each file gets its entry's modification time
   (loaderkit_entry.time). Every stream is checked against its record (its
   end, its size, its checksum). progress may be NULL. On failure, files
   written before stay, the one being written is removed. A setup.2 held to
   its loader's digest (above) is unpacked in the order its entries lie in
   the file, each once, and on any failure (the file seen to differ from
   the digest among them) every file this call wrote is removed. Error
   texts show control characters and bytes that are not UTF-8 as \xNN. */
int loaderkit_payload_unpack(loaderkit_payload* payload, const char* folder, const int32_t* indexes,
                             int32_t count, uint32_t flags, loaderkit_progress_fn progress,
                             void* context);

/* Removes the loader's working folder this program runs from, with the
   files the loader unpacked into it, and the empty ".tmp" file of the same
   name beside it: call it last, once the installer is done with its own
   files. Only what the loader made goes: a folder named "ldx" and up to
   four hexadecimal digits (or six letters and digits), directly in the
   user's temporary folder, owned by the current user; everything is
   reached through folders held open, no link or junction is followed (a
   link inside is removed as itself). On POSIX all of it goes at once. On
   Windows the program's own file cannot go while it runs: it is moved over
   the ".tmp" file, and a system program (cmd.exe, no window) deletes that
   file once this process has ended. It also changes the current folder to
   the temporary folder. Nothing is done, with LOADERKIT_OK, when this
   program does not run from such a folder, or when its loader waits for it
   and removes the folder itself (LOADERKIT_LOADER_WAITS=1). *removed (may
   be NULL) is set to the folder removed, "" when none; it lives as long as
   the handle. The handle need not be open (any handle an opener returned). */
int loaderkit_payload_remove_working_folder(loaderkit_payload* payload, const char** removed);

/* Frees the handle; NULL is fine. */
void loaderkit_payload_close(loaderkit_payload* payload);

#ifdef __cplusplus
}
#endif

#endif /* LOADERKIT_PAYLOAD_H */
