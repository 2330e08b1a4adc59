#pragma once
// The steps of a kit's run (loader/run.h) that every kit takes: the
// container, the working folder, the installer's start.

#include <string_view>

#include "archive/entry_table.h"
#include "base/progress_sink.h"
#include "format/records.h"
#include "platform/platform.h"

namespace ldr {

// Makes a fresh folder in temp_folder (ending in its separator) named
// after a new unique temporary file ("ldx...") without its extension; the
// temporary folder itself when that folder cannot be made. The empty
// temporary file stays behind. Where other users share the temporary
// folder (POSIX /tmp) the folder is "ldx" and random characters instead,
// with no fallback; a temporary folder others could rename things in is
// refused. `temp_file`, when given, receives the
// temporary file it made (the empty text when it made none). The folder
// given back is one this run made unless it is temp_folder itself (the
// fallback when none can be made).
PathText MakeWorkingFolderIn(Platform& platform, const PathText& temp_folder, PathText* temp_file);

// The container of the archive: the loader's own file when the trailer is
// self-extracting, else setup.1 beside the loader, open for reading. Raises
// the messages of a missing or unreadable container.
struct Container {
  PathText path;
  int32_t archive_start = 0;
  OpenFile file;
};
void OpenContainer(Platform& platform, const ArchiveTrailer& trailer,
                   std::string_view loader_folder, Container* container);

// What the installer's command line is built from.
struct HandOff {
  PathText installer_path;
  PathText loader_folder;  // without a trailing separator
  ShortText loader_name;   // the loader's own file name
  bool to_disk = false;    // the switch was given (filled in by the caller)
  bool self_extracting = false;
  bool batch_through_cmd = false;  // the platform runs a batch installer through cmd.exe
  // More arguments for the installer (a deployment run's, after "--");
  // none when null.
  const ArgumentList* more_arguments = nullptr;
  // Filled in: how much of the command line the loader's own arguments take.
  size_t own_line = 0;
};

// Steps 7 and 8 of the main sequence: the installer's path in the working
// folder, its presence, its arguments (with those after "--" that a
// deployment run's hand_off names; none when more_arguments is 0), and the
// checks before it is started (lengths, and that it is still the file
// written, whose id is `written`). The rest of hand_off is filled in here.
//
// The arguments come in one of three forms, and the same as one command
// line, whole, however long:
//   INSTALLER *TODISK LOADERNAME LOADERFOLDER
//   INSTALLER *SELFEXTRACT LOADERNAME LOADERFOLDER
//   INSTALLER LOADERFOLDER
// On the line, a text holding a blank or one of &|<>^(),;= is put in double
// quotes, so that neither the system nor cmd.exe splits it or acts on it;
// other texts stay as they are. Where the platform runs a batch file (.bat,
// .cmd) through cmd.exe (batch_through_cmd), such an installer cannot be
// handed a %, ! or " safely: that raises LoaderError.
// The line's buffer holds the longest line Windows starts a program with;
// since every part is a path or name of bounded length, no line the loader
// builds comes near it (a longer one would raise LoaderError, never be cut).
void PrepareInstallerStart(Platform& platform, const EntryTable& table,
                           std::string_view working_folder, std::string_view own_path,
                           std::string_view loader_folder, const ArchiveTrailer& trailer,
                           const FileId& written, HandOff* hand_off, ProcessStart* start);

}  // namespace ldr
