#pragma once
// The pieces of a kit's run (loader/run.h) that its files share: the run's
// state, what it made, and the /EXTRACT run.

#include <cstdint>
#include <string_view>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "format/deployment_record.h"
#include "loader/digested_reads.h"
#include "loader/main_sequence.h"
#include "loader/run.h"
#include "loader/run_log.h"
#include "loader/switches.h"
#include "platform/platform.h"
#include "ui/loader_window.h"

namespace ldr {

// What MakeWorkingFolderIn made, for a run that removes it again.
struct WorkingFolder {
  PathText path;       // where the files go
  PathText temp_file;  // the empty temporary file, when one was made
  bool made = false;   // path is a folder this run made (not the fallback)
};

// What a run made in its working folder: the files its entries became
// where none was there before, the temporary file and the folder. It logs
// each entry as it is created (the observer of ExtractAll) and removes
// exactly those, and nothing else.
class MadeFiles final : public ExtractionObserver {
 public:
  MadeFiles(Platform& platform, RunLog& log) : platform_(platform), log_(log) {}

  // From now on what is made in this folder is noted.
  void Track(const WorkingFolder& folder);
  // The kit entries are read from, for the message of a damaged one; a
  // file whose digest the record holds is not the one built when an entry
  // of it is damaged, and is named so.
  void ReadingFrom(std::string_view kit_path, int64_t archive_start, bool digest_known) {
    kit_path_ = kit_path;
    archive_start_ = archive_start;
    digest_known_ = digest_known;
  }
  void Creating(int32_t index, std::string_view path, const ArchiveEntry& entry) override;
  // Raises the damaged-entry message when the stream did not end whole or
  // gave another size than its record claims.
  void Extracted(const ArchiveEntry& entry, const EntryEnd& end) override;
  // Removes what was made, logging each; forgets it all. With
  // with_what_is_left (once the installer has ended) the working folder goes
  // with whatever the installer left in it, never through a link.
  void RemoveAll(bool with_what_is_left = false);

 private:
  Platform& platform_;
  RunLog& log_;
  bool tracking_ = false;
  std::string_view kit_path_;
  int64_t archive_start_ = 0;
  bool digest_known_ = false;
  WorkingFolder folder_;
  ShortText made_[kMaxFiles];  // names of files made in the folder; empty: none
};

// A run of a kit. `record` is null for a kit without the deployment
// record: then no switch was read and every step that only the record asks
// for is left out.
struct KitRun {
  KitRun(Platform& p, LoaderWindow& w, const DeploymentRecord* r, const Switches& s)
      : platform(p), window(w), record(r), switches(s), log(p), made(p, log), setup1(p) {}

  Platform& platform;
  LoaderWindow& window;  // the real one, or none at all with /S
  const DeploymentRecord* record;
  const Switches& switches;
  RunLog log;
  MadeFiles made;
  // setup.1's reads, when the record holds its digest.
  DigestedReads setup1;
  // The installer's arguments after "--", as the loader received them.
  ArgumentList more;
  PathText own_path;
  std::string_view loader_folder;  // in own_path
  int exit_code = 0;
  // Started and not yet ended: nothing is removed.
  bool installer_running = false;
  // /EXTRACT's folder once it is taken, and the first folder the run made
  // on its way (empty when the folder was there).
  PathText extract_folder;
  PathText extract_made;
  // Failures end with DeploymentExit codes, not 1.
  bool switches_given = false;
  // Files opened from here on are closed by a failure (Platform::FilesOpened).
  uint32_t files_mark = 0;
};

// The file the first archive is read through: setup.1's digested reads
// when they are taken, else the container itself.
File& ArchiveOf(KitRun& run, Container& container);
// Once setup.1's archive is unpacked: raises the changed-file message
// unless the bytes unpacked were setup.1 as built.
void CheckSetup1Used(KitRun& run, const Container& container);

// setup.2 of an external kit whose record holds its digest: as long as it
// was built and the very file, else the changed-file message. It stays open in *held, which nobody
// may write to meanwhile (Windows), until the installer has started. The installer is told the
// digest in its environment, to check setup.2 as it reads it; in a run of any other kit that
// variable is removed.
void CheckSetup2(KitRun& run, OpenFile* held);
// Raises the incomplete-file message unless setup.2 is as long as the record
// says; leaves the file at its start.
void CheckSetup2Length(KitRun& run, File& setup2, std::string_view path);

// Makes every folder of path that is missing, from the first missing one
// down, each as the platform makes a folder (POSIX: readable by this user
// alone). *first_made, when given, receives the first it made (empty when
// none). A folder that cannot be made is left to the caller's own check.
void MakeMissingFolders(KitRun& run, std::string_view path, PathText* first_made);

// The sum of the unpacked sizes the entries claim (negative ones as 0).
uint64_t UnpackedBytes(const EntryTable& table);

// Raises the free-space message when the volume of folder has less room
// than `needed`; says in the log what it found. A volume whose free space
// cannot be had is not held up.
void CheckFreeSpace(KitRun& run, std::string_view folder, uint64_t needed);

// /EXTRACT=DIR: the loader's archive into DIR, the second archive's files
// below DIR/payload with their folders. DIR is made when missing and must
// be empty. Starts nothing.
void ExtractKit(KitRun& run, Container& container, const EntryTable& table,
                const ArchiveTrailer& trailer);

}  // namespace ldr
