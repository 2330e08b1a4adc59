#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "format/pe/manifest.h"
#include "format/shown_name.h"
#include "kitpack/cli/commands.h"
#include "kitpack/cli/report.h"
#include "kitpack/host/interrupt.h"
#include "kitpack/host/threads.h"

namespace kitpack::cli {
namespace {

// "SRC=STORED" gives a file its stored name; a plain path gets the prefix
// and its own name. The split is at the first "=".
InputFile ParseInput(const std::string& arg, const std::string& prefix) {
  size_t eq = arg.find('=');
  if (eq != std::string::npos) return {arg.substr(0, eq), arg.substr(eq + 1)};
  return {arg, prefix + BaseName(arg)};
}

std::optional<int64_t> SourceDateEpoch() {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 0)
    throw KitError(std::string("SOURCE_DATE_EPOCH is not a number of seconds: ") + text);
  return static_cast<int64_t>(v);
}

}  // namespace

BuildCommand::BuildCommand(CLI::App& app)
    : command_(app.add_subcommand(
          "build", "Write a kit: loader, its archive, the payload archive, trailer")),
      threads_(HardwareThreads()) {
  AddInputOptions();
  AddOutputOptions();
  AddBrandingOptions();
}

void BuildCommand::AddInputOptions() {
  CLI::App* b = command_;
  auto* loader_option = b->add_option(
      "--loader", build_.loader,
      "The loader executable (default: the loader.exe installed with kitpack, looked for in "
      "../share/loaderkit/ from kitpack's folder, then beside kitpack)");
  b->add_flag("--posix", posix_,
              "Without --loader: take the installed POSIX loader (\"loader\") instead")
      ->excludes(loader_option);
  b->add_option("--installer", installer_, "The installer, entry 0 (SRC or SRC=STOREDNAME)")
      ->required();
  b->add_option("--file", files_, "More files for the loader's archive (SRC or SRC=STOREDNAME)");
  b->add_option("--payload", payloads_,
                "Files or folders for the second archive; FILE=STOREDNAME stores one file "
                "under that relative name (a name that is not UTF-8 goes in this way)");
  b->add_option("--stored-prefix", prefix_, "Stored-name prefix for loader-archive files")
      ->capture_default_str();
  b->add_option("--exclude", excludes_,
                "Leave out payload files and folders matching GLOB (repeatable): a pattern "
                "with / is matched against the path below the --payload folder, any other "
                "against each name on it")
      ->type_name("GLOB");
  b->add_flag("--allow-empty", allow_empty_, "Accept a --payload folder that holds no files");
  b->add_flag("--allow-imports", build_.allow_imports,
              "Pack a Windows installer that imports DLLs which are neither Windows system DLLs "
              "nor in the first archive (by default refused: it would not start on a machine "
              "without them)");
}

void BuildCommand::AddOutputOptions() {
  CLI::App* b = command_;
  b->add_option("-o,--output", build_.output, "The kit to write (a folder with --external)")
      ->required();
  b->add_flag("--external", build_.external,
              "Write setup.1, setup.2 and a copy of the loader into a folder");
  b->add_option("--level", build_.level,
                "Compression level 0-12 (libdeflate's scale): 12 smallest, 0 stored; by default "
                "11 for entries up to 8 MiB, 10 for larger ones, which are split")
      ->check(CLI::Range(0, kMaxLevel));
  b->add_option("--threads", threads_, "Compression threads")
      ->check(CLI::Range(1u, 256u))
      ->capture_default_str();
  b->add_option(
       "--sign-command", build_.sign_command,
       "Run CMD on the finished kit before it takes its place, no shell: {} is the kit, "
       "{out} where a tool that writes a signed copy puts it (osslsigncode ... -in {} -out {out}); "
       "the signed kit must read back unchanged")
      ->type_name("CMD");
  std::vector<std::string> levels;
  for (ldr::ExecutionLevel l : ldr::kExecutionLevels)
    levels.emplace_back(ldr::ExecutionLevelName(l));
  b->add_option("--execution-level", level_,
                "Execution level written into the kit's copy of loader.exe; default: as built, "
                "asInvoker")
      ->check(CLI::IsMember(levels));
  b->add_flag("--force", build_.force, "Replace an output that is read-only");
  b->add_flag("--no-deployment", no_deployment_,
              "Leave the loader's deployment record unfilled: the kit takes no deployment "
              "switches (/S, /WAIT, ...) and behaves exactly as kits did before them");
  b->add_flag("-q,--quiet", quiet_, "Print errors only");
  b->add_flag("-v,--verbose", verbose_, "Print each file as it is packed");
}

void BuildCommand::AddBrandingOptions() {
  CLI::App* b = command_;
  Branding& brand = build_.branding;
  b->add_option("--icon", brand.icon, "An .ico file: the kit's icon (replaces MAINICON)");
  b->add_option("--picture", brand.picture,
                "A 32x32 .bmp file: the picture in the loader's window (replaces BITMAP1)");
  b->add_option("--product-name", brand.product_name, "Version resource: ProductName");
  b->add_option("--company", brand.company, "Version resource: CompanyName");
  b->add_option("--description", brand.description, "Version resource: FileDescription");
  b->add_option("--product-version", brand.product_version,
                "Version resource: ProductVersion, text and fixed info (e.g. 2.1.0)");
  b->add_option("--file-version", brand.file_version,
                "Version resource: FileVersion, text and fixed info (e.g. 2.1.0.7)");
  b->add_option("--copyright", brand.copyright, "Version resource: LegalCopyright");
  b->add_option("--original-filename", brand.original_filename,
                "Version resource: OriginalFilename (e.g. setup.exe)");
}

// The loader, both archives' inputs, the time stamp and the level from what
// was typed (and what is installed beside kitpack).
void BuildCommand::ExpandInputs() {
  build_.threads = threads_;
  if (build_.loader.empty())
    build_.loader =
        FindInstalledLoader(OwnExecutablePath(), posix_ ? kPosixLoaderName : kWindowsLoaderName);
  build_.first.push_back(ParseInput(installer_, prefix_));
  for (const auto& f : files_) build_.first.push_back(ParseInput(f, prefix_));
  PayloadOptions payload_options;
  payload_options.excludes = excludes_;
  payload_options.allow_empty = allow_empty_;
  std::vector<std::string> skipped;
  payload_options.skipped = &skipped;
  build_.second = ExpandPayload(payloads_, payload_options);
  if (!quiet_)
    for (const std::string& folder : skipped)
      std::printf(
          "note: %s is a symlink to a folder and is not entered (give it as a "
          "--payload of its own to pack what it holds)\n",
          ldr::ShownName(folder).c_str());
  build_.fixed_time = SourceDateEpoch();
  if (!level_.empty()) build_.execution_level = ldr::ParseExecutionLevel(level_);
  build_.deployment = !no_deployment_;
}

// Notes, the progress bar and, with -v, a line per file; nothing with -q.
void BuildCommand::AttachReports(Progress& progress) {
  if (quiet_) return;
  build_.notice = [](const std::string& text) { std::printf("note: %s\n", text.c_str()); };
  build_.progress = [&progress](uint64_t done, uint64_t total) { progress.Update(done, total); };
  if (!verbose_) return;
  build_.entry_done = [&progress](const EntryDone& e) {
    progress.Clear();
    std::printf("  %s %zu: %s  %s -> %s\n", e.second ? "payload" : "loader archive", e.index,
                ldr::ShownName(e.input->stored_name).c_str(), Progress::Bytes(e.unpacked).c_str(),
                Progress::Bytes(e.packed).c_str());
    std::fflush(stdout);
  };
}

void BuildCommand::Run() {
  InstallInterruptHandlers();
  ExpandInputs();
  Progress progress(StderrIsTerminal());
  AttachReports(progress);
  const auto started = std::chrono::steady_clock::now();
  const BuildSummary done = BuildKit(build_);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!quiet_) PrintSummary(build_, done, seconds);
}

}  // namespace kitpack::cli
