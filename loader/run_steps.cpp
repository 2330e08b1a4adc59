#include "loader/run_steps.h"

#include "base/block_hash.h"
#include "base/errors.h"
#include "base/messages.h"
#include "format/hand_off.h"
#include "format/stored_names.h"

namespace ldr {

void MadeFiles::Track(const WorkingFolder& folder) {
  folder_ = folder;
  tracking_ = true;
}

void MadeFiles::Creating(int32_t index, std::string_view path, const ArchiveEntry& entry) {
  log_.Line({"unpacking ", path, ", ",
             CountDigits(static_cast<uint64_t>(entry.unpacked_size < 0 ? 0 : entry.unpacked_size)),
             " bytes"});
  // A file of that name that is there already (the fallback into the
  // temporary folder itself, or a name two entries share) was not made here.
  if (tracking_ && index >= 0 && index < kMaxFiles && !platform_.IdentifyFile(PathText(path)).known)
    made_[index] = NamePart(path, platform_.HostPathStyle());
}

void MadeFiles::Extracted(const ArchiveEntry& entry, const EntryEnd& end) {
  if (end.whole && entry.unpacked_size >= 0 &&
      end.written == static_cast<uint64_t>(entry.unpacked_size))
    return;
  if (digest_known_) {
    RaiseFormatted(msg::kSetup1Changed, {kit_path_});
  }
  const int64_t at = archive_start_ + entry.data_start;
  RaiseFormatted(msg::kEntryDamaged, {kit_path_, StoredNameText(entry),
                                      CountDigits(static_cast<uint64_t>(at < 0 ? 0 : at))});
}

void MadeFiles::RemoveAll(bool with_what_is_left) {
  if (!tracking_) return;
  tracking_ = false;
  auto remove = [this, with_what_is_left](std::string_view path, bool folder) {
    const PathText name(path);
    const bool gone = !folder             ? platform_.RemoveFile(name)
                      : with_what_is_left ? platform_.RemoveTree(name, false)
                                          : platform_.RemoveEmptyFolder(name);
    log_.Line({gone ? "removed " : "could not remove ", path,
               folder && with_what_is_left ? " with what was left in it" : ""});
  };
  for (ShortText& name : made_) {
    if (name.empty()) continue;
    PathText path = WithTrailingSeparator(folder_.path, platform_.HostPathStyle());
    path.Append(name);
    remove(path, false);
    name.Clear();
  }
  if (folder_.made) remove(folder_.path, true);
  if (!folder_.temp_file.empty()) remove(folder_.temp_file, false);
}

File& ArchiveOf(KitRun& run, Container& container) {
  if (run.setup1.attached()) return run.setup1;
  return *container.file;
}

void CheckSetup1Used(KitRun& run, const Container& container) {
  if (!run.setup1.attached()) return;
  if (!run.setup1.Matches(run.record->setup1_length, run.record->setup1_sha256))
    RaiseFormatted(msg::kSetup1Changed, {container.path});
}

void CheckSetup2Length(KitRun& run, File& setup2, std::string_view path) {
  const int64_t size = setup2.Seek(0, File::Origin::End);
  if (size != static_cast<int64_t>(run.record->setup2_length))
    RaiseFormatted(msg::kSetup1CutShort, {path, CountDigits(run.record->setup2_length),
                                          CountDigits(static_cast<uint64_t>(size < 0 ? 0 : size))});
  setup2.Seek(0, File::Origin::Begin);
}

void CheckSetup2(KitRun& run, OpenFile* held) {
  if (!run.record->external() || !run.record->has_setup2_digest()) {
    run.platform.SetEnvironment(kSetup2DigestVariable, "");
    return;
  }
  const PathStyle host = run.platform.HostPathStyle();
  PathText path = WithTrailingSeparator(run.loader_folder, host);
  path.Append(kSecondArchiveFileName);
  *held = run.platform.OpenForReading(path);
  if (!*held) RaiseLoaderError(msg::kContainerMissing, path);
  CheckSetup2Length(run, **held, path);
  // Nothing of it is used here: the whole file is read only to be hashed.
  DigestedReads whole(run.platform);
  whole.Attach(**held);
  whole.StartExtraction();
  if (!whole.Matches(run.record->setup2_length, run.record->setup2_sha256))
    RaiseFormatted(msg::kSetup1Changed, {path});
  char hex[2 * 32 + 1] = {};
  DigestHexInto(run.record->setup2_sha256.data(), 32, hex);
  run.platform.SetEnvironment(kSetup2DigestVariable, hex);
}

void MakeMissingFolders(KitRun& run, std::string_view path, PathText* first_made) {
  const PathStyle host = run.platform.HostPathStyle();
  if (first_made != nullptr) first_made->Clear();
  const std::string_view folder = WithoutTrailingSeparator(path, host);
  if (folder.empty() || run.platform.InspectFolder(PathText(folder)) != FolderState::kMissing)
    return;
  // The deepest folder on the way that is there, then each one below it.
  const std::string_view parent = WithoutTrailingSeparator(DirectoryPart(folder, host), host);
  if (parent.size() < folder.size()) MakeMissingFolders(run, parent, first_made);
  const PathText made(folder);
  if (!run.platform.MakeFolder(made)) return;
  run.log.Line({"made the folder ", made});
  if (first_made != nullptr && first_made->empty()) *first_made = made;
}

uint64_t UnpackedBytes(const EntryTable& table) {
  uint64_t sum = 0;
  for (int32_t i = 0; i < table.count && i < kMaxFiles; ++i) {
    const int32_t size = table.entries[static_cast<size_t>(i)].unpacked_size;
    if (size > 0) sum += static_cast<uint64_t>(size);
  }
  return sum;
}

void CheckFreeSpace(KitRun& run, std::string_view folder, uint64_t needed) {
  uint64_t free = 0;
  if (!run.platform.FreeSpace(PathText(folder), &free)) {
    run.log.Line({"free space in ", folder, " unknown; ", CountDigits(needed), " bytes needed"});
    return;
  }
  run.log.Line({"free space in ", folder, ": ", MegabyteText(free, false), " MB, ",
                MegabyteText(needed, true), " MB needed"});
  if (free < needed)
    RaiseFormatted(msg::kNoFreeSpace,
                   {folder, MegabyteText(needed, true), MegabyteText(free, false)});
}

}  // namespace ldr
