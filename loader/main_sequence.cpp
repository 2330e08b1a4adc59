#include "loader/main_sequence.h"

#include <memory>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "base/errors.h"
#include "base/messages.h"
#include "base/text_rules.h"

namespace ldr {
namespace {

bool HoldsBlank(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= 32) return true;
  }
  return false;
}

struct Container {
  std::string path;
  int32_t archive_start = 0;
  std::unique_ptr<File> file;
};

Container OpenContainer(Platform& platform, const ArchiveTrailer& trailer,
                        const std::string& loader_folder) {
  const PathStyle host = platform.HostPathStyle();
  Container container;
  if (IsSelfExtracting(trailer)) {
    container.path = platform.OwnFilePath();
    if (!platform.FileExists(container.path)) {
      throw LoaderError(msg::kContainerMissing + container.path);
    }
    container.archive_start = trailer.archive_start;
  } else {
    container.path = std::string(WithTrailingSeparator(loader_folder, host)) + "setup.1";
    if (!platform.FileExists(container.path)) {
      throw LoaderError(msg::kSetup1Missing + loader_folder);
    }
  }
  container.file = platform.OpenForReading(container.path);
  if (!container.file) {
    throw LoaderError(msg::kFilePrefix + container.path + msg::kNotReadableTail);
  }
  return container;
}

}  // namespace

bool HasToDiskSwitch(std::string_view command_line) {
  if (ArgumentCount(command_line) < 1) return false;
  const std::string first = ArgumentText(command_line, 1);
  if (first.empty() || first[0] != '*') return false;
  return CompareAsciiNoCase(std::string_view(first).substr(1), "TODISK") == 0;
}

std::string MakeWorkingFolder(Platform& platform) {
  std::string temp_folder;
  if (!platform.GetTempFolder(&temp_folder)) throw LoaderError(msg::kNoTempFolder);
  const std::string temp_file = platform.MakeTempFileName(temp_folder, "ldx");
  const std::string candidate(StripExtension(temp_file, platform.HostPathStyle()));
  if (TrimText(candidate).empty()) throw LoaderError(msg::kNoTempFolder);
  // A folder that cannot be made is no error: the files go straight into
  // the temporary folder.
  return platform.MakeFolder(candidate) ? candidate : temp_folder;
}

std::string BuildInstallerCommandLine(const HandOff& hand_off, const PathStyle& host) {
  const std::string installer = HoldsBlank(hand_off.installer_path)
                                    ? "\"" + hand_off.installer_path + "\""
                                    : hand_off.installer_path;
  const std::string folder(WithoutTrailingSeparator(hand_off.loader_folder, host));
  std::string text;
  if (hand_off.to_disk) {
    text = FormatText("%s *%s %s %s", {installer, "TODISK", hand_off.loader_name, folder});
  } else if (hand_off.self_extracting) {
    text = FormatText("%s *%s %s %s", {installer, "SELFEXTRACT", hand_off.loader_name, folder});
  } else {
    text = FormatText("%s %s", {installer, folder});
  }
  char buffer[301];
  CopyToFixedBuffer(buffer, text);
  return buffer;
}

void RunMainSequence(Platform& platform, ProgressSink& progress, const ArchiveTrailer& trailer) {
  const PathStyle host = platform.HostPathStyle();
  const std::string own_path = platform.OwnFilePath();
  const std::string loader_folder(WithoutTrailingSeparator(DirectoryPart(own_path, host), host));

  Container container = OpenContainer(platform, trailer, loader_folder);
  const std::string working_folder = MakeWorkingFolder(platform);

  EntryTable table;
  ReadEntryTable(*container.file, container.archive_start, &table);
  if (table.count == 0) {
    throw LoaderError(msg::kNoFiles);
  }
  ExtractAll(platform, *container.file, container.path, container.archive_start, working_folder,
             table, progress);

  HandOff hand_off;
  hand_off.installer_path =
      std::string(WithTrailingSeparator(working_folder, host)) +
      std::string(NamePart(StoredNameText(table.entries[0]), platform.StoredNameStyle()));
  if (!platform.FileExists(hand_off.installer_path)) {
    throw LoaderError(FormatText(msg::kNoInstaller, {hand_off.installer_path}));
  }
  platform.MarkExecutable(hand_off.installer_path);
  hand_off.loader_folder = loader_folder;
  hand_off.loader_name = NamePart(own_path, host);
  hand_off.to_disk = HasToDiskSwitch(platform.CommandLine());
  hand_off.self_extracting = IsSelfExtracting(trailer);

  const uint32_t started = platform.StartProcess(BuildInstallerCommandLine(hand_off, host));
  if (started < 32) {
    throw LoaderError(msg::kRunFailed, DecimalText(static_cast<int32_t>(started)));
  }
  // The archive file closes here, after the installer has started.
}

}  // namespace ldr
