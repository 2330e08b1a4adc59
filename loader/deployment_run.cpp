#include "archive/extract.h"
#include "base/errors.h"
#include "base/failure.h"
#include "base/messages.h"
#include "loader/deployment.h"
#include "loader/deployment_steps.h"
#include "loader/main_sequence.h"
#include "loader/startup.h"

namespace ldr {
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
void CheckKitWhole(const DeploymentRun& run, const ArchiveTrailer& trailer,
                   const TrailerFound& found) {
  const DeploymentRecord& record = run.record;
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
void CheckSetup1Whole(DeploymentRun& run, const Container& container) {
  const int64_t size = container.file->Seek(0, File::Origin::End);
  if (size != static_cast<int64_t>(run.record.setup1_length))
    RaiseFormatted(msg::kSetup1CutShort, {container.path, CountDigits(run.record.setup1_length),
                                          CountDigits(static_cast<uint64_t>(size < 0 ? 0 : size))});
  container.file->Seek(0, File::Origin::Begin);
  if ((run.record.flags & kDeploymentSetup1Digest) != 0) run.setup1.Attach(*container.file);
}

// The kit as far as both kinds of run need it: the window made, the kit
// checked whole, the container open and its entry table read.
void OpenKit(DeploymentRun& run, Container* container, EntryTable* table, ArchiveTrailer* trailer) {
  run.failure = kExitOther;
  PrepareWindow(run.window);
  run.failure = kExitKitDamaged;
  TrailerFound found;
  *trailer = ReadTrailer(run.platform, &found);
  run.window.ShowMainWindow();
  const PathStyle host = run.platform.HostPathStyle();
  run.own_path = run.platform.OwnFilePath();
  run.loader_folder = WithoutTrailingSeparator(DirectoryPart(run.own_path, host), host);
  if (run.record.self_extracting()) CheckKitWhole(run, *trailer, found);
  OpenContainer(run.platform, *trailer, run.loader_folder, container);
  if (!run.record.self_extracting()) CheckSetup1Whole(run, *container);
  run.made.ReadingFrom(container->path, container->archive_start, run.setup1.attached());
  run.log.Line({"container ", container->path, ", archive at byte ",
                CountDigits(static_cast<uint64_t>(container->archive_start))});
  ReadEntryTable(ArchiveOf(run, *container), container->archive_start, table);
  if (run.setup1.attached()) run.setup1.StartExtraction();
  if (table->count == 0) RaiseLoaderError(msg::kNoFiles);
  run.log.Line({CountDigits(static_cast<uint64_t>(table->count)), " entries, ",
                CountDigits(UnpackedBytes(*table)), " bytes unpacked"});
}

// The arguments after "--", all of them as they came: false when they do
// not fit the longest command line with room left for the loader's own
// arguments in front of them (checked before anything is unpacked).
bool TakeInstallerArguments(DeploymentRun& run) {
  bool fits = run.platform.ArgumentsAfterSeparator(run.switches.installer_arguments, &run.more);
  CommandLineText line;
  const char* argument = nullptr;
  for (size_t pos = 0; fits && run.more.Next(&pos, &argument);)
    fits = AppendProgramArgument(&line, argument);
  const size_t longest = run.platform.LongestCommandLine();
  const size_t room = longest < kMaxCommandLine ? longest : kMaxCommandLine;
  return fits && line.size() + 3 * kMaxPath + 32 <= room;
}

// Unpacks into a fresh working folder and starts the installer; with /WAIT
// waits for it and removes what was unpacked.
void Install(DeploymentRun& run, Container& container, const EntryTable& table,
             const ArchiveTrailer& trailer) {
  PathText temp_folder;
  if (!run.switches.temp.empty()) {
    temp_folder = WithTrailingSeparator(run.switches.temp, run.platform.HostPathStyle());
  } else if (!run.platform.GetTempFolder(&temp_folder)) {
    run.failure = kExitTempFolder;
    RaiseLoaderError(msg::kNoTempFolder);
  }
  run.failure = kExitNoSpace;
  CheckFreeSpace(run, temp_folder, UnpackedBytes(table));
  run.failure = kExitTempFolder;
  WorkingFolder folder;
  folder.path = MakeWorkingFolderIn(run.platform, temp_folder, &folder.temp_file);
  folder.made = folder.path.view() != temp_folder.view();
  run.made.Track(folder);
  // A folder of the administrator's choice is no place to unpack into
  // directly: only a folder the run made is.
  if (!folder.made && !run.switches.temp.empty())
    RaiseFormatted(msg::kNoWorkingFolder, {temp_folder});
  run.log.Line({"working folder ", folder.path});
  run.failure = kExitUnpacking;
  FileId written;
  ExtractAll(run.platform, ArchiveOf(run, container), container.path, container.archive_start,
             folder.path, table, run.window, &written, &run.made);
  CheckSetup1Used(run, container);
  OpenFile setup2;
  CheckSetup2(run, &setup2);

  run.failure = kExitStart;
  HandOff hand_off;
  if (run.switches.installer_arguments != 0) hand_off.more_arguments = &run.more;
  ProcessStart start;
  start.wait = run.switches.waits();
  PrepareInstallerStart(run.platform, table, folder.path, run.own_path, run.loader_folder, trailer,
                        written, &hand_off, &start);
  // The arguments after "--" are not logged (they may hold secrets).
  const bool more = hand_off.more_arguments != nullptr;
  run.log.Line({"starting ", start.command_line.view().substr(0, hand_off.own_line),
                more ? " and the arguments after --" : ""});
  // Only a waiting loader cleans up after the installer: a value inherited
  // from another kit's run (an installer that runs a kit) must not reach it.
  run.system.SetEnvironment(kLoaderWaitsVariable, start.wait ? "1" : "");
  const uint32_t started = run.platform.StartProcess(start);
  if (started < 32) RaiseLoaderError(msg::kRunFailed, DecimalText(static_cast<int32_t>(started)));
  container.file.reset();
  setup2.reset();
  if (!start.wait) {
    run.log.Line({"the installer runs on; the loader ends"});
    return;
  }
  // From here on the installer may use every file: none is removed before
  // it has ended. Its window is the one to follow now.
  run.installer_running = true;
  run.window.HideMainWindow();
  run.failure = kExitWait;
  uint32_t code = 0;
  if (!run.system.WaitForProcess(&code)) RaiseLoaderError(msg::kNoWait);
  run.log.Line({"the installer ended with exit code ", ExitCodeText(code)});
  run.exit_code = static_cast<int>(code);
  run.installer_running = false;
  if (run.switches.keep) {
    run.log.Line({"kept ", folder.path, " (/KEEP)"});
  } else {
    run.made.RemoveAll(true);
  }
}

void Deploy(DeploymentRun& run) {
  Container container;
  EntryTable table;
  ArchiveTrailer trailer;
  OpenKit(run, &container, &table, &trailer);
  if (!run.switches.extract.empty()) {
    ExtractKit(run, container, table, trailer);
  } else {
    Install(run, container, table, trailer);
  }
}

// The run's one handler: what the scoped clean-ups close (the log stays
// open), what this run made, the log line, then the box.
class RunFailure final : public FailureHandler {
 public:
  explicit RunFailure(DeploymentRun& run) : run_(run) {}
  int Handle(const char* message) override {
    DeploymentRun& run = run_;
    run.platform.CloseFilesOpenedSince(run.files_mark);
    if (!run.installer_running) run.made.RemoveAll();
    if (!run.extract_folder.empty()) {
      const bool made = !run.extract_made.empty();
      const bool gone = run.system.RemoveTree(made ? run.extract_made : run.extract_folder, !made);
      run.log.Line({gone ? "removed what was unpacked into " : "could not remove all of ",
                    run.extract_folder});
    }
    const int code =
        run.switches_given ? HostExitCode(run.failure, run.platform.HostPathStyle()) : 1;
    run.log.Line({"failed with exit code ", CountDigits(static_cast<uint64_t>(code)),
                  " (the loader's own failure): ", message});
    return ReportFailure(run.window, message, code);
  }

 private:
  DeploymentRun& run_;
};

}  // namespace

int RunDeployment(Platform& platform, DeploymentPlatform& system, LoaderWindow& window,
                  const DeploymentRecord& record) {
  Switches switches;
  const bool parsed = ParseSwitches(platform.CommandLine(), &switches);
  // A deployment tool passes %ProgramData%\... without a shell to expand it.
  for (PathText* value : {&switches.log, &switches.temp, &switches.extract}) {
    PathText expanded;
    if (!value->empty() && system.ExpandVariables(*value, &expanded)) *value = expanded;
  }
  SilentWindow silent;
  DeploymentRun run(platform, system, switches.silent ? silent : window, record, switches);
  run.switches_given = !parsed || switches.any();
  run.files_mark = platform.FilesOpened();
  RunFailure handler(run);
  return RunHandled(handler, [&] {
    const bool more = switches.installer_arguments != 0;
    const bool taken = !more || TakeInstallerArguments(run);
    if (!switches.log.empty()) {
      run.failure = kExitLog;
      // What follows "--" may hold licence keys and passwords: only how
      // many arguments there were reaches the log.
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
    run.failure = kExitCommandLine;
    if (!parsed) RaiseFormatted(msg::kBadSwitch, {switches.refused});
    if (!taken) RaiseLoaderError(msg::kTooManyArguments);
    if (switches.help) {
      run.window.ShowNotice(msg::kHelp);
      return 0;
    }
    Deploy(run);
    run.log.Line(
        {"done, exit code ", ExitCodeText(static_cast<uint32_t>(run.exit_code)),
         run.switches.waits() && run.switches.extract.empty() ? " (the installer's)" : ""});
    return run.exit_code;
  });
}

}  // namespace ldr
