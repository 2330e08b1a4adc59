#include "loader/main_sequence.h"

#include <cstdint>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "base/errors.h"
#include "base/messages.h"
#include "base/text_rules.h"
#include "format/hand_off.h"
#include "format/stored_names.h"

namespace ldr {
namespace {

// A blank splits an argument; cmd.exe, which runs batch files and reads the
// line again, also acts on these (a second command after "&", a redirection
// after ">"). Inside double quotes they are plain characters.
constexpr char kCmdSpecials[] = "&|<>^(),;=";

// An empty argument is a pair of quotes.
bool NeedsQuotes(std::string_view text) {
  if (text.empty()) return true;
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= 32) return true;
    if (std::string_view(kCmdSpecials).find(c) != std::string_view::npos) return true;
  }
  return false;
}

// cmd.exe expands "%" (and "!" with delayed expansion) even inside quotes,
// and a double quote ends the quoted run: no form of the line protects them.
bool HoldsBatchUnsafe(std::string_view text) {
  return text.find_first_of("%!\"") != std::string_view::npos;
}

bool IsBatchFile(std::string_view installer_path, const PathStyle& host) {
  return IsBatchFileName(NamePart(installer_path, host));
}

}  // namespace

void OpenContainer(Platform& platform, const ArchiveTrailer& trailer,
                   std::string_view loader_folder, Container* container) {
  const PathStyle host = platform.HostPathStyle();
  if (IsSelfExtracting(trailer)) {
    container->path = platform.OwnFilePath();
    if (!platform.FileExists(container->path)) {
      RaiseLoaderError(msg::kContainerMissing, container->path);
    }
    container->archive_start = trailer.archive_start;
  } else {
    container->path = WithTrailingSeparator(loader_folder, host);
    container->path.Append("setup.1");
    if (!platform.FileExists(container->path)) {
      RaiseLoaderError(msg::kSetup1Missing, loader_folder);
    }
  }
  container->file = platform.OpenForReading(container->path);
  if (!container->file) {
    RaiseLoaderError(msg::kFilePrefix, container->path, msg::kNotReadableTail);
  }
}

PathText MakeWorkingFolderIn(Platform& platform, const PathText& temp_folder, PathText* temp_file) {
  switch (platform.TempFolderSharing(temp_folder)) {
    case FolderSharing::kMissing:
      RaiseLoaderError(msg::kNoTempFolder);
    case FolderSharing::kUnsafe:
      RaiseFormatted(msg::kUnsafeTempFolder, {temp_folder});
    case FolderSharing::kShared: {
      // Others may add names here: a name they could foresee could be taken
      // or planted first, so the folder gets one they cannot, and there is
      // no falling back into the shared folder itself.
      PathText folder = platform.MakeUniqueFolder(temp_folder, kWorkingFolderPrefix);
      if (folder.empty()) RaiseFormatted(msg::kNoWorkingFolder, {temp_folder});
      return folder;
    }
    case FolderSharing::kPrivate:
      break;
  }
  const PathText made_file = platform.MakeTempFileName(temp_folder, kWorkingFolderPrefix);
  if (temp_file != nullptr) *temp_file = made_file;
  const PathText candidate(StripExtension(made_file, platform.HostPathStyle()));
  if (TrimText(candidate).empty()) RaiseLoaderError(msg::kNoTempFolder);
  // A folder that cannot be made is no error: the files go straight into
  // the temporary folder, which nobody else can change.
  return platform.MakeFolder(candidate) ? candidate : temp_folder;
}

namespace {

// The start for the three arguments of every run, and for those a
// deployment run adds after "--" too: each reaches the program as it was
// given, by the rules its start-up code splits its line with. A batch file's
// line is read by cmd.exe instead, which knows no escapes: there an argument
// is quoted when it needs it and handed over as it is.
void ComposeStart(HandOff& hand_off, const PathStyle& host, ProcessStart* start) {
  start->program = hand_off.installer_path;
  start->arguments.Clear();
  start->command_line.Clear();
  const bool batch = hand_off.batch_through_cmd && IsBatchFile(hand_off.installer_path, host);
  bool fits = true;
  size_t length = 0;  // of the whole line, should the buffer ever be short
  auto add = [&](std::string_view argument) {
    if (batch && HoldsBatchUnsafe(argument)) {
      RaiseFormatted(msg::kBatchUnsafeText, {hand_off.installer_path, argument});
    }
    fits = start->arguments.Add(argument) && fits;
    const bool quoted = NeedsQuotes(argument);
    length += (length > 0 ? 1 : 0) + argument.size() + (quoted ? 2 : 0);
    if (!batch) {
      fits = AppendProgramArgument(&start->command_line, argument, kCmdSpecials) && fits;
      return;
    }
    if (!start->command_line.empty()) start->command_line.Append(' ');
    if (quoted) start->command_line.Append('"');
    start->command_line.Append(argument);
    if (quoted) start->command_line.Append('"');
    fits = !start->command_line.cut() && fits;
  };
  add(hand_off.installer_path);
  if (hand_off.to_disk || hand_off.self_extracting) {
    add(hand_off.to_disk ? "*TODISK" : "*SELFEXTRACT");
    add(hand_off.loader_name);
  }
  add(WithoutTrailingSeparator(hand_off.loader_folder, host));
  hand_off.own_line = start->command_line.size();
  const char* more = nullptr;
  for (size_t pos = 0;
       hand_off.more_arguments != nullptr && hand_off.more_arguments->Next(&pos, &more);)
    add(more);
  if (!fits) {
    RaiseFormatted(msg::kCommandLineTooLong, {CountDigits(length), CountDigits(kMaxCommandLine)});
  }
}

}  // namespace

void PrepareInstallerStart(Platform& platform, const EntryTable& table,
                           std::string_view working_folder, std::string_view own_path,
                           std::string_view loader_folder, const ArchiveTrailer& trailer,
                           const FileId& written, HandOff* hand_off, ProcessStart* start) {
  const PathStyle host = platform.HostPathStyle();
  hand_off->installer_path = WithTrailingSeparator(working_folder, host);
  hand_off->installer_path.Append(
      NamePart(StoredNameText(table.entries[0]), platform.StoredNameStyle()));
  if (!platform.FileExists(hand_off->installer_path)) {
    RaiseFormatted(msg::kNoInstaller, {hand_off->installer_path});
  }
  platform.MarkExecutable(hand_off->installer_path);
  hand_off->loader_folder = loader_folder;
  hand_off->loader_name = NamePart(own_path, host);
  hand_off->self_extracting = IsSelfExtracting(trailer);
  hand_off->batch_through_cmd = platform.StartsBatchFilesThroughCmd();

  ComposeStart(*hand_off, host, start);
  start->program_id = written;
  const size_t longest_path = platform.LongestProgramPath();
  if (start->program.size() > longest_path) {
    RaiseFormatted(msg::kProgramPathTooLong,
                   {start->program, CountDigits(start->program.size()), CountDigits(longest_path)});
  }
  const size_t longest = platform.LongestCommandLine();
  if (start->command_line.size() > longest) {
    RaiseFormatted(msg::kCommandLineTooLong,
                   {CountDigits(start->command_line.size()), CountDigits(longest)});
  }
  // The file run must be the one just written under that name (the last
  // entry of that name, should several share it), not one put in its place.
  // Checked here for the message; StartProcess checks the file it starts.
  if (platform.IdentifyFile(hand_off->installer_path) != written) {
    RaiseFormatted(msg::kInstallerReplaced, {hand_off->installer_path});
  }
}

}  // namespace ldr
