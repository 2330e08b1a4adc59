// /EXTRACT=DIR: both archives unpacked, nothing started.

#include "base/errors.h"
#include "base/messages.h"
#include "format/hand_off.h"
#include "format/stored_names.h"
#include "format/stored_paths.h"
#include "loader/run_steps.h"

namespace ldr {
namespace {

// The folder to unpack into: made when missing, else it must be an empty
// folder. Either way nobody else may change it, under the rules of a
// temporary folder, since everything is written into it by name. From here
// on a failure removes what the run put in it, and the folder if it made it.
void PrepareFolder(KitRun& run, const PathText& folder) {
  PathText made;  // the first folder the run made on the way, when it made any
  switch (run.platform.InspectFolder(folder)) {
    case FolderState::kMissing:
      MakeMissingFolders(run, folder, &made);
      if (run.platform.InspectFolder(folder) != FolderState::kEmpty) {
        if (!made.empty()) run.platform.RemoveTree(made, false);
        RaiseLoaderError(msg::kExtractNoFolder, folder);
      }
      break;
    case FolderState::kNotAFolder:
      RaiseLoaderError(msg::kExtractNoFolder, folder);
    case FolderState::kNotEmpty:
      RaiseFormatted(msg::kExtractNotEmpty, {folder});
    case FolderState::kEmpty:
      break;
  }
  if (run.platform.TempFolderSharing(folder) != FolderSharing::kPrivate) {
    if (!made.empty()) run.platform.RemoveTree(made, false);
    RaiseFormatted(msg::kExtractNotPrivate, {folder});
  }
  run.extract_folder = folder;
  run.extract_made = made;
}

class SizeSum final : public EntryVisitor {
 public:
  void Visit(const ArchiveEntry& entry) override {
    if (entry.unpacked_size > 0) bytes += static_cast<uint64_t>(entry.unpacked_size);
  }
  uint64_t bytes = 0;
};

// Each second-archive entry to its place below the payload folder, its
// folders made on the way, every part under the rules of a created name.
class PayloadWriter final : public EntryVisitor {
 public:
  PayloadWriter(KitRun& run, File& archive, std::string_view archive_path, int64_t archive_start,
                const PathText& root, uint64_t total)
      : run_(run),
        archive_(archive),
        archive_path_(archive_path),
        archive_start_(archive_start),
        root_(root) {
    totals_.grand_total = static_cast<int32_t>(total > INT32_MAX ? INT32_MAX : total);
  }

  void Visit(const ArchiveEntry& entry) override {
    // The payload library's rule: a kit it would refuse is refused here too.
    const std::string_view relative = StoredNameText(entry);
    if (RelativeNameRefusal(relative) != nullptr)
      RaiseFormatted(msg::kUnsafePayloadName, {relative});
    const char separator = run_.platform.HostPathStyle().trailing;
    PathText path = root_;
    for (size_t start = 0;;) {
      const size_t end = relative.find_first_of("\\/", start);
      const std::string_view part = relative.substr(start, end - start);
      if (!MayCreateEntryName(run_.platform, part))
        RaiseFormatted(msg::kUnsafePayloadName, {relative});
      path.Append(separator);
      path.Append(part);
      if (path.cut()) RaiseLoaderError(msg::kCannotCreate, path);
      if (end == std::string_view::npos) break;
      const FolderState state = run_.platform.InspectFolder(path);
      if (state != FolderState::kEmpty && state != FolderState::kNotEmpty &&
          !run_.platform.MakeFolder(path))
        RaiseLoaderError(msg::kCannotCreate, path);
      start = end + 1;
    }
    run_.log.Line(
        {"unpacking ", path, ", ",
         CountDigits(static_cast<uint64_t>(entry.unpacked_size < 0 ? 0 : entry.unpacked_size)),
         " bytes"});
    OpenFile output = run_.platform.CreateForWriting(path);
    if (!output) RaiseLoaderError(msg::kCannotCreate, path);
    EntryEnd end;
    ExtractEntry(archive_, archive_path_, static_cast<int32_t>(archive_start_), *output, path,
                 entry, totals_, run_.window, &end);
    run_.made.Extracted(entry, end);
  }

 private:
  KitRun& run_;
  File& archive_;
  std::string_view archive_path_;
  int64_t archive_start_;
  const PathText& root_;
  ExtractionTotals totals_;
};

}  // namespace

void ExtractKit(KitRun& run, Container& container, const EntryTable& table,
                const ArchiveTrailer& trailer) {
  const PathStyle host = run.platform.HostPathStyle();
  // The second archive follows the first in a self-extracting kit, and is
  // setup.2 beside an external one.
  Container second;
  if (IsSelfExtracting(trailer)) {
    second.path = container.path;
    second.archive_start = trailer.second_archive_start;
  } else {
    second.path = WithTrailingSeparator(run.loader_folder, host);
    second.path.Append(kSecondArchiveFileName);
    second.file = run.platform.OpenForReading(second.path);
    if (!second.file) RaiseLoaderError(msg::kContainerMissing, second.path);
    if (run.record->has_setup2_digest()) CheckSetup2Length(run, *second.file, second.path);
  }
  File& second_file = second.file ? *second.file : *container.file;
  SizeSum payload;
  WalkArchive(second_file, second.archive_start, payload);

  const PathText folder(WithoutTrailingSeparator(run.switches.extract, host));
  PrepareFolder(run, folder);
  CheckFreeSpace(run, folder, UnpackedBytes(table) + payload.bytes);
  ExtractAll(run.platform, ArchiveOf(run, container), container.path, container.archive_start,
             folder, table, run.window, nullptr, &run.made);
  CheckSetup1Used(run, container);
  PathText root = WithTrailingSeparator(folder, host);
  root.Append("payload");
  if (!run.platform.MakeFolder(root)) RaiseLoaderError(msg::kCannotCreate, root);
  // setup.2, when the record holds its digest, is checked on the bytes
  // unpacked: the walk reads every record and stream once, in order.
  DigestedReads setup2(run.platform);
  const bool digest = second.file && run.record->has_setup2_digest();
  if (digest) {
    second.file->Seek(0, File::Origin::Begin);
    setup2.Attach(*second.file);
    setup2.StartExtraction();
  }
  File& payload_file = digest ? setup2 : second_file;
  run.made.ReadingFrom(second.path, second.archive_start, digest);
  PayloadWriter writer(run, payload_file, second.path, second.archive_start, root, payload.bytes);
  WalkArchive(payload_file, second.archive_start, writer);
  if (digest && !setup2.Matches(run.record->setup2_length, run.record->setup2_sha256)) {
    RaiseFormatted(msg::kSetup1Changed, {second.path});
  }
  run.log.Line({"unpacked into ", folder, "; nothing was started (/EXTRACT)"});
}

}  // namespace ldr
