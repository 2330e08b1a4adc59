#include "loader/run.h"

#include "archive/extract.h"
#include "base/errors.h"
#include "base/failure.h"
#include "base/messages.h"
#include "format/hand_off.h"
#include "loader/main_sequence.h"
#include "loader/run_steps.h"
#include "loader/startup.h"

namespace ldr {

int FailureExitCode(FailureKind kind, bool switches_given, const PathStyle& host) {
  // By FailureKind, in its order.
  static constexpr DeploymentExit kCodes[] = {
      kExitOther,     kExitCommandLine, kExitLog,           kExitKitDamaged, kExitNoSpace,
      kExitUnpacking, kExitStart,       kExitExtractFolder, kExitTempFolder, kExitWait,
  };
  if (!switches_given) return 1;
  const auto index = static_cast<size_t>(kind);
  const int code = index < sizeof kCodes / sizeof kCodes[0] ? kCodes[index] : kExitOther;
  return host.trailing == '/' ? code - 2160 : code;
}

namespace {

// /S: no window, no box, ever.
class SilentWindow final : public LoaderWindow {
 public:
  bool LoadSplashBitmap() override { return true; }
  bool RegisterMainWindowClass() override { return true; }
  bool CreateMainWindow() override { return true; }
  void ShowMainWindow() override {}
  void HideMainWindow() override {}
  void SetProgressPosition(int32_t) override {}
  void ShowError(const char*) override {}
  void ShowNotice(const char*) override {}
};

// A self-extracting kit whose trailer is not where the record put it was
// cut short (or damaged): that, and not a missing setup.1, is what to say.
void CheckKitWhole(const KitRun& run, const ArchiveTrailer& trailer, const TrailerFound& found) {
  const DeploymentRecord& record = *run.record;
  if (IsSelfExtracting(trailer) && found.offset == record.trailer_offset) return;
  RaiseFormatted(msg::kKitCutShort,
                 {run.own_path, CountDigits(record.kit_length),
                  CountDigits(static_cast<uint64_t>(found.file_size < 0 ? 0 : found.file_size))});
}

// setup.1 of an external kit must be as long as it was built and, where the
// record holds its SHA-256, the very file: the record lies in the loader's
// image, which a signature covers, so a signed loader is no launcher for
// whatever setup.1 is put beside it. The digest is taken of the bytes as
// they are unpacked (loader/digested_reads.h) and checked before anything
// starts.
void CheckSetup1Whole(KitRun& run, const Container& container) {
  const DeploymentRecord& record = *run.record;
  const int64_t size = container.file->Seek(0, File::Origin::End);
  if (size != static_cast<int64_t>(record.setup1_length))
    RaiseFormatted(msg::kSetup1CutShort, {container.path, CountDigits(record.setup1_length),
                                          CountDigits(static_cast<uint64_t>(size < 0 ? 0 : size))});
  container.file->Seek(0, File::Origin::Begin);
  if ((record.flags & kDeploymentSetup1Digest) != 0) run.setup1.Attach(*container.file);
}

// The arguments after "--", all of them as they came: false when they do
// not fit the longest command line with room left for the loader's own
// arguments in front of them (checked before anything is unpacked).
bool TakeInstallerArguments(KitRun& run) {
  bool fits = run.platform.ArgumentsAfterSeparator(run.switches.installer_arguments, &run.more);
  CommandLineText line;
  const char* argument = nullptr;
  for (size_t pos = 0; fits && run.more.Next(&pos, &argument);)
    fits = AppendProgramArgument(&line, argument);
  const size_t longest = run.platform.LongestCommandLine();
  const size_t room = longest < kMaxCommandLine ? longest : kMaxCommandLine;
  return fits && line.size() + 3 * kMaxPath + 32 <= room;
}

// What the switches ask before the kit is touched: the log, the switches
// refused, the help text. False when the run ends here (/?).
bool BeforeTheKit(KitRun& run, bool parsed) {
  const Switches& switches = run.switches;
  Platform& platform = run.platform;
  const bool more = switches.installer_arguments != 0;
  const bool taken = !more || TakeInstallerArguments(run);
  if (!switches.log.empty()) {
    // What follows "--" may hold licence keys and passwords: only how many
    // arguments there were reaches the log.
    const std::string_view line = platform.CommandLine();
    const DecimalDigits count = CountDigits(static_cast<uint64_t>(run.more.count()));
    // A log in a folder that is not there yet (a fresh machine): its
    // folders are made, as /EXTRACT's are.
    MakeMissingFolders(run, DirectoryPart(switches.log, platform.HostPathStyle()), nullptr);
    run.log.Open(switches.log,
                 {"loader ", platform.OwnFilePath(), ", command line ",
                  line.substr(0, more ? switches.installer_arguments : line.size()),
                  more ? " and " : "", more ? count.view() : std::string_view(),
                  more ? " arguments for the installation program (not logged)" : ""});
    run.files_mark = platform.FilesOpened();
  }
  if (!parsed) RaiseFormatted(msg::kBadSwitch, {switches.refused});
  if (!taken) RaiseLoaderError(msg::kTooManyArguments);
  if (!switches.help) return true;
  run.window.ShowNotice(msg::kHelp);
  return false;
}

// The folder the files go to: a new one in the temporary folder (or
// /TEMP's). In a run with the record, what it makes there is noted, to be
// removed again.
PathText MakeRunFolder(KitRun& run) {
  PathText temp_folder;
  if (!run.switches.temp.empty()) {
    temp_folder = WithTrailingSeparator(run.switches.temp, run.platform.HostPathStyle());
  } else if (!run.platform.GetTempFolder(&temp_folder)) {
    RaiseLoaderError(msg::kNoTempFolder);
  }
  WorkingFolder folder;
  folder.path = MakeWorkingFolderIn(run.platform, temp_folder, &folder.temp_file);
  if (run.record == nullptr) return folder.path;
  folder.made = folder.path.view() != temp_folder.view();
  run.made.Track(folder);
  // A folder of the administrator's choice is no place to unpack into
  // directly: only a folder the run made is.
  if (!folder.made && !run.switches.temp.empty())
    RaiseFormatted(msg::kNoWorkingFolder, {temp_folder});
  run.log.Line({"working folder ", folder.path});
  return folder.path;
}

// The installer started; with /WAIT waited for, and what was unpacked
// removed once it has ended.
void StartInstaller(KitRun& run, Container& container, const EntryTable& table,
                    const ArchiveTrailer& trailer, const PathText& folder, const FileId& written) {
  OpenFile setup2;
  if (run.record != nullptr) {
    CheckSetup1Used(run, container);
    CheckSetup2(run, &setup2);
  }
  HandOff hand_off;
  hand_off.to_disk = run.switches.to_disk;
  if (run.switches.installer_arguments != 0) hand_off.more_arguments = &run.more;
  WaitableProcess installer;
  ProcessStart start;
  if (run.switches.waits()) start.waitable = &installer;
  PrepareInstallerStart(run.platform, table, folder, run.own_path, run.loader_folder, trailer,
                        written, &hand_off, &start);
  if (run.record != nullptr) {
    // The arguments after "--" are not logged (they may hold secrets).
    const bool more = hand_off.more_arguments != nullptr;
    run.log.Line({"starting ", start.command_line.view().substr(0, hand_off.own_line),
                  more ? " and the arguments after --" : ""});
    // Only a waiting loader cleans up after the installer: a value inherited
    // from another kit's run (an installer that runs a kit) must not reach it.
    run.platform.SetEnvironment(kLoaderWaitsVariable, start.waitable != nullptr ? "1" : "");
  }
  const uint32_t started = run.platform.StartProcess(start);
  if (started < 32) RaiseLoaderError(msg::kRunFailed, DecimalText(static_cast<int32_t>(started)));
  // The kit's files close once the installer has started.
  container.file.reset();
  setup2.reset();
  if (start.waitable == nullptr) {
    run.log.Line({"the installer runs on; the loader ends"});
    return;
  }
  // From here on the installer may use every file: none is removed before
  // it has ended. Its window is the one to follow now.
  run.installer_running = true;
  run.window.HideMainWindow();
  uint32_t code = 0;
  if (!run.platform.WaitForProcess(&installer, &code)) RaiseLoaderError(msg::kNoWait);
  run.log.Line({"the installer ended with exit code ", ExitCodeText(code)});
  run.exit_code = static_cast<int>(code);
  run.installer_running = false;
  if (run.switches.keep) {
    run.log.Line({"kept ", folder, " (/KEEP)"});
  } else {
    run.made.RemoveAll(true);
  }
}

// The one sequence of every kit.
void RunSequence(KitRun& run) {
  const DeploymentRecord* record = run.record;
  PrepareWindow(run.window);
  TrailerFound found;
  const ArchiveTrailer trailer = ReadTrailer(run.platform, &found);
  run.window.ShowMainWindow();
  const PathStyle host = run.platform.HostPathStyle();
  run.own_path = run.platform.OwnFilePath();
  run.loader_folder = WithoutTrailingSeparator(DirectoryPart(run.own_path, host), host);
  if (record != nullptr && record->self_extracting()) CheckKitWhole(run, trailer, found);
  Container container;
  OpenContainer(run.platform, trailer, run.loader_folder, &container);
  if (record != nullptr) {
    if (!record->self_extracting()) CheckSetup1Whole(run, container);
    run.made.ReadingFrom(container.path, container.archive_start, run.setup1.attached());
    run.log.Line({"container ", container.path, ", archive at byte ",
                  CountDigits(static_cast<uint64_t>(container.archive_start))});
  }
  const bool extract = !run.switches.extract.empty();
  const PathText folder = extract ? PathText() : MakeRunFolder(run);
  EntryTable table;
  ReadEntryTable(ArchiveOf(run, container), container.archive_start, &table);
  if (run.setup1.attached()) run.setup1.StartExtraction();
  if (table.count == 0) RaiseLoaderError(msg::kNoFiles);
  if (record != nullptr) {
    run.log.Line({CountDigits(static_cast<uint64_t>(table.count)), " entries, ",
                  CountDigits(UnpackedBytes(table)), " bytes unpacked"});
  }
  if (extract) {
    ExtractKit(run, container, table, trailer);
    return;
  }
  if (record != nullptr) {
    CheckFreeSpace(run, DirectoryPart(folder, host), UnpackedBytes(table));
  }
  FileId written;
  ExtractAll(run.platform, ArchiveOf(run, container), container.path, container.archive_start,
             folder, table, run.window, &written, record != nullptr ? &run.made : nullptr);
  StartInstaller(run, container, table, trailer, folder, written);
}

// The run's one handler: what the scoped clean-ups close (the log stays
// open), what this run made, the log line, then the box.
class RunFailure final : public FailureHandler {
 public:
  explicit RunFailure(KitRun& run) : run_(run) {}
  int Handle(const Failure& failure) override {
    KitRun& run = run_;
    run.platform.CloseFilesOpenedSince(run.files_mark);
    if (!run.installer_running) run.made.RemoveAll();
    if (!run.extract_folder.empty()) {
      const bool made = !run.extract_made.empty();
      const bool gone =
          run.platform.RemoveTree(made ? run.extract_made : run.extract_folder, !made);
      run.log.Line({gone ? "removed what was unpacked into " : "could not remove all of ",
                    run.extract_folder});
    }
    const int code =
        FailureExitCode(failure.kind, run.switches_given, run.platform.HostPathStyle());
    run.log.Line({"failed with exit code ", CountDigits(static_cast<uint64_t>(code)),
                  " (the loader's own failure): ", failure.text});
    return ReportFailure(run.window, failure.text, code);
  }

 private:
  KitRun& run_;
};

}  // namespace

int RunKit(Platform& platform, LoaderWindow& window, const DeploymentRecord* record) {
  Switches switches;
  bool parsed = true;
  if (record == nullptr) {
    // A kit without the record reads its first argument and nothing else.
    switches.to_disk = HasToDiskSwitch(platform.CommandLine());
  } else {
    parsed = ParseSwitches(platform.CommandLine(), &switches);
    // A deployment tool passes %ProgramData%\... without a shell to expand it.
    for (PathText* value : {&switches.log, &switches.temp, &switches.extract}) {
      PathText expanded;
      if (!value->empty() && platform.ExpandVariables(*value, &expanded)) *value = expanded;
    }
  }
  SilentWindow silent;
  KitRun run(platform, switches.silent ? silent : window, record, switches);
  run.switches_given = !parsed || switches.any();
  run.files_mark = platform.FilesOpened();
  RunFailure handler(run);
  return RunHandled(handler, [&] {
    if (record != nullptr && !BeforeTheKit(run, parsed)) return 0;
    RunSequence(run);
    if (record != nullptr) {
      run.log.Line(
          {"done, exit code ", ExitCodeText(static_cast<uint32_t>(run.exit_code)),
           run.switches.waits() && run.switches.extract.empty() ? " (the installer's)" : ""});
    }
    return run.exit_code;
  });
}

}  // namespace ldr
