// kitpack: builds, lists, verifies and extracts installer kits.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "format/utf8.h"
#include "kitpack/deployment.h"
#include "kitpack/interrupt.h"
#include "kitpack/kit.h"
#include "kitpack/text_utf8.h"
#include "kitpack/threads.h"

namespace {

using kitpack::KitError;

// "SRC=STORED" gives a file its stored name; a plain path gets the prefix
// and its own name. The split is at the first "=".
kitpack::InputFile ParseInput(const std::string& arg, const std::string& prefix) {
  size_t eq = arg.find('=');
  if (eq != std::string::npos) return {arg.substr(0, eq), arg.substr(eq + 1)};
  return {arg, prefix + kitpack::BaseName(arg)};
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

// Progress on stderr: on a terminal a one-line bar redrawn at most ten times
// a second; elsewhere (a CI log) a line every few seconds
// (KITPACK_PROGRESS_INTERVAL, default 5) with the percentage and the bytes.
class Progress {
 public:
  explicit Progress(bool terminal) : terminal_(terminal) {
    const char* text = std::getenv("KITPACK_PROGRESS_INTERVAL");
    double seconds = text && *text ? std::atof(text) : 5.0;
    if (!(seconds > 0.0 && seconds < 86400.0)) seconds = 5.0;
    interval_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    last_ = std::chrono::steady_clock::now();
  }

  void Update(uint64_t done, uint64_t total) {
    kitpack::Locked lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (!terminal_) {
      if (done >= total || now - last_ < interval_) return;
      last_ = now;
      std::fprintf(stderr, "kitpack: %3d%%  %s of %s\n", percent, Bytes(done).c_str(),
                   Bytes(total).c_str());
      std::fflush(stderr);
      return;
    }
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    int filled = percent * 30 / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%  %llu/%llu MiB", std::string(filled, '#').c_str(),
                 std::string(30 - filled, ' ').c_str(), percent,
                 static_cast<unsigned long long>(done >> 20),
                 static_cast<unsigned long long>(total >> 20));
    drawn_ = done < total;
    if (done >= total) std::fputc('\n', stderr);
  }

  // Clears the bar's line, so that another line can be printed on the
  // terminal (kitpack -v); the next update draws the bar again below it.
  void Clear() {
    kitpack::Locked lock(mutex_);
    if (terminal_ && drawn_) std::fprintf(stderr, "\r%60s\r", "");
    drawn_ = false;
  }

  static std::string Bytes(uint64_t n) {
    char buf[48];
    if (n < uint64_t{10} * 1024) {
      std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(n));
    } else if (n < uint64_t{10} * 1024 * 1024) {
      std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024);
    } else {
      std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / (1024 * 1024));
    }
    return buf;
  }

 private:
  bool terminal_;
  bool drawn_ = false;
  kitpack::Mutex mutex_;
  std::chrono::steady_clock::duration interval_{};
  std::chrono::steady_clock::time_point last_{};
};

// "YYYY-MM-DD hh:mm:ss" in UTC, worked out here rather than by the C library,
// so that every host prints the same text.
std::string DateText(double days) {
  // Any double is a valid time stamp to the format; only a plausible one
  // (years 1 to 9999) is shown as a date.
  if (!(days > -693593.0 && days < 2958466.0)) return "?";
  const int64_t t = kitpack::UnixFromKitTime(days);
  int64_t day = t / 86400, second = t % 86400;
  if (second < 0) {
    second += 86400;
    --day;
  }
  // Civil date from a day count (proleptic Gregorian, eras of 400 years).
  const int64_t z = day + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                static_cast<long long>(second / 3600), static_cast<long long>(second / 60 % 60),
                static_cast<long long>(second % 60));
  return buf;
}

// JSON has no NaN or infinity; a time stamp holding one is written as null.
std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", value);
  return buf;
}

std::string JsonString(const std::string& s) {
  // UTF-8 passes through as it is; a name that is not UTF-8 (from an older
  // packer, in a legacy code page) has every byte above ASCII escaped as its
  // own code point, so that the output stays valid JSON either way.
  const bool utf8 = ldr::IsValidUtf8(s);
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

struct Totals {
  size_t entries = 0;
  long long unpacked = 0, packed = 0;
};

Totals TotalsOf(const kitpack::ArchiveInfo& a) {
  Totals t;
  for (const auto& e : a.entries) {
    ++t.entries;
    t.unpacked += e.record.unpacked_size;
    t.packed += e.packed_size;
  }
  return t;
}

std::string Percent(long long part, long long whole) {
  if (whole <= 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return buf;
}

// A text from a kit as a terminal may show it: control characters (C0, DEL
// and the C1 range, which some terminals also obey) become \xNN, so that a
// name cannot move the cursor, clear a line or hide another entry. In UTF-8
// text a C1 control is the two bytes C2 80..C2 9F, and every other byte
// from 0x80 up belongs to a character, which stays as it is; in other text
// each byte 0x80..0x9F is one.
std::string Shown(const std::string& s) {
  const bool utf8 = ldr::IsValidUtf8(s);
  std::string out;
  auto escape = [&out](unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const unsigned char next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
    if (utf8 && c == 0xC2 && next >= 0x80 && next < 0xA0) {
      escape(c);
      escape(next);
      ++i;
    } else if (c < 0x20 || c == 0x7F || (!utf8 && c >= 0x80 && c < 0xA0)) {
      escape(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void PrintTable(const kitpack::ArchiveInfo& a) {
  std::printf("%s (%s, %d entries)\n", a.label.c_str(), Shown(a.path).c_str(), a.file_count);
  std::printf("  %5s  %-40s %12s %12s  %-14s %s\n", "index", "stored name", "unpacked", "packed",
              "version", "time (UTC)");
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const auto& e = a.entries[i];
    // Padded by characters, not bytes, so that UTF-8 names line up.
    std::printf("  %5zu  %s %12d %12lld  %-14s %s\n", i,
                kitpack::PadRight(Shown(e.stored_name), 40).c_str(), e.record.unpacked_size,
                static_cast<long long>(e.packed_size),
                e.version.empty() ? "-" : Shown(e.version).c_str(),
                DateText(e.record.file_time).c_str());
  }
  const Totals t = TotalsOf(a);
  std::printf("  %5s  %s %12lld %12lld  packed to %s\n", "total",
              kitpack::PadRight(std::to_string(t.entries) + " entries", 40).c_str(), t.unpacked,
              t.packed, Percent(t.packed, t.unpacked).c_str());
}

// What "verify" says about the signature.
std::string SignatureText(const kitpack::KitInfo& kit) {
  if (kit.external)
    return "signature: none (setup.1 and setup.2 are never signed; the loader may be)";
  if (!kit.signature.present) return "signature: none";
  const kitpack::SignatureInfo& s = kit.signature;
  return "signature: signed, certificate table of " + std::to_string(s.table_size) +
         " bytes at byte " + std::to_string(s.table_offset) + " (after " +
         std::to_string(s.padding) +
         " padding bytes); both archives and the trailer lie in the part the signature covers "
         "(bytes 0.." +
         std::to_string(s.table_offset - 1) + " but the PE checksum and the security entry)";
}

// The deployment record, after the tables (list) or the checks (verify).
void PrintDeployment(const kitpack::KitInfo& kit, bool checked) {
  const kitpack::KitDeployment found = kitpack::ReadKitDeployment(kit);
  const std::vector<std::string> lines = kitpack::DescribeDeploymentRecord(found.record);
  for (size_t i = 0; i < lines.size(); ++i)
    std::printf("%s%s\n", lines[i].c_str(),
                i == 0 && checked && found.record ? " (matches the kit)" : "");
}

// verify: a record that disagrees with the kit fails it.
void CheckDeployment(const kitpack::KitInfo& kit) {
  const kitpack::KitDeployment found = kitpack::ReadKitDeployment(kit);
  if (!found.record) return;
  const std::vector<std::string> wrong = kitpack::DeploymentMismatches(kit, *found.record);
  if (wrong.empty()) return;
  for (const std::string& w : wrong) std::fprintf(stderr, "  %s\n", w.c_str());
  throw KitError("the deployment record in " + found.file +
                 " does not match the kit (listed above): the kit was changed after it was "
                 "built, or is incomplete");
}

void PrintJson(const kitpack::KitInfo& kit) {
  std::printf("{\"path\": %s, \"external\": %s, ", JsonString(kit.path).c_str(),
              kit.external ? "true" : "false");
  if (!kit.external)
    std::printf("\"trailer_offset\": %lld, ", static_cast<long long>(kit.trailer_offset));
  if (kit.signature.present)
    std::printf(
        "\"signature\": {\"table_offset\": %lld, \"table_size\": %lld, \"padding\": %lld}, ",
        static_cast<long long>(kit.signature.table_offset),
        static_cast<long long>(kit.signature.table_size),
        static_cast<long long>(kit.signature.padding));
  else
    std::printf("\"signature\": null, ");
  const kitpack::KitDeployment deployment = kitpack::ReadKitDeployment(kit);
  if (deployment.record)
    std::printf("\"deployment\": {\"version\": %u, \"flags\": %u, \"kit_length\": %u}, ",
                deployment.record->version, deployment.record->flags,
                deployment.record->kit_length);
  else
    std::printf("\"deployment\": null, ");
  std::printf("\"archives\": [");
  bool first_archive = true;
  for (const kitpack::ArchiveInfo* a : {&kit.first, &kit.second}) {
    std::printf(
        "%s\n  {\"label\": %s, \"file\": %s, \"start\": %lld, \"end\": %lld, "
        "\"totals\": {\"entries\": %zu, \"unpacked_size\": %lld, \"packed_size\": %lld}, "
        "\"entries\": [",
        first_archive ? "" : ",", JsonString(a->label).c_str(), JsonString(a->path).c_str(),
        static_cast<long long>(a->start), static_cast<long long>(a->end), TotalsOf(*a).entries,
        TotalsOf(*a).unpacked, TotalsOf(*a).packed);
    first_archive = false;
    for (size_t i = 0; i < a->entries.size(); ++i) {
      const auto& e = a->entries[i];
      std::printf(
          "%s\n    {\"index\": %zu, \"stored_name\": %s, \"unpacked_size\": %d, \"packed_size\": "
          "%lld, "
          "\"data_start\": %d, \"data_end\": %d, \"version\": %s, \"file_time\": %s, \"date\": "
          "%s}",
          i ? "," : "", i, JsonString(e.stored_name).c_str(), e.record.unpacked_size,
          static_cast<long long>(e.packed_size), e.record.data_start, e.record.data_end,
          JsonString(e.version).c_str(), JsonNumber(e.record.file_time).c_str(),
          JsonString(DateText(e.record.file_time)).c_str());
    }
    std::printf("]}");
  }
  std::printf("\n]}\n");
}

void PrintSummary(const kitpack::BuildOptions& build, const kitpack::BuildSummary& done,
                  double seconds) {
  std::printf("wrote %s: %zu loader file(s), %zu payload file(s)\n", build.output.c_str(),
              build.first.size(), build.second.size());
  std::printf("  %-15s%s (%llu bytes)%s\n", "kit", Progress::Bytes(done.size).c_str(),
              static_cast<unsigned long long>(done.size), build.external ? ", in three files" : "");
  std::printf("  %-15s%s%s\n", "loader", Progress::Bytes(done.loader_size).c_str(),
              build.branding.Any() ? ", branded" : "");
  const char* names[2] = {"loader archive", "payload"};
  for (int i = 0; i < 2; ++i)
    std::printf("  %-15s%zu entries, %s packed to %s (%s)\n", names[i], done.entries[i],
                Progress::Bytes(done.unpacked[i]).c_str(),
                Progress::Bytes(done.archive_size[i]).c_str(),
                Percent(static_cast<long long>(done.archive_size[i]),
                        static_cast<long long>(done.unpacked[i]))
                    .c_str());
  std::printf("  %-15s%.1f s\n", "time", seconds);
  for (size_t i = 0; i < done.files.size(); ++i)
    std::printf("  %-15s%s  %s\n", "sha256", done.sha256[i].c_str(), done.files[i].c_str());
}

// Edit distance, for "did you mean".
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// The closest of `names` to `word`, when close enough to be a slip.
std::string Suggestion(const std::string& word, const std::vector<std::string>& names) {
  std::string best;
  size_t best_distance = 3;
  for (const std::string& n : names) {
    const size_t d = Distance(word, n);
    const bool prefix = word.size() >= 4 && n.compare(0, word.size(), word) == 0;
    if (prefix && best.empty()) best = n, best_distance = 1;
    if (d < best_distance) best = n, best_distance = d;
  }
  return best.empty() ? "" : " (did you mean " + best + "?)";
}

std::vector<std::string> OptionNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* o : app.get_options()) {
    for (const std::string& n : o->get_lnames()) names.push_back("--" + n);
    for (const std::string& n : o->get_snames()) names.push_back("-" + n);
  }
  return names;
}

bool LooksLikeNumber(const std::string& w) {
  return w.size() > 1 && w[0] == '-' && std::isdigit(static_cast<unsigned char>(w[1]));
}

// Goes over the command line before it is parsed, so that a word kitpack
// does not know is reported as that, and not as whatever it kept the parser
// from finding ("--out x" is not "--output is required"). Gives the message,
// or "" when every word is known.
std::string UnknownWord(CLI::App& app, int argc, char** argv) {
  std::vector<CLI::App*> commands = app.get_subcommands([](CLI::App*) { return true; });
  std::vector<std::string> command_names;
  for (CLI::App* c : commands) command_names.push_back(c->get_name());
  CLI::App* current = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.size() > 1 && word[0] == '-' && !LooksLikeNumber(word)) {
      const std::string name = word.substr(0, word.find('='));
      const CLI::Option* option = current->get_option_no_throw(name);
      if (!option && current != &app) option = app.get_option_no_throw(name);
      if (!option && name.size() > 2 && name[1] != '-') {
        // A cluster of one-letter flags, "-qv".
        bool all = true;
        for (size_t k = 1; k < name.size(); ++k)
          all = all && current->get_option_no_throw(std::string("-") + name[k]) != nullptr;
        if (all) continue;
      }
      if (!option) {
        std::vector<std::string> known = OptionNames(*current);
        const std::string where = current == &app ? "" : " for kitpack " + current->get_name();
        return "unknown option " + name + where + Suggestion(name, known);
      }
      if (option->get_type_size() != 0 && word.find('=') == std::string::npos) ++i;
      continue;
    }
    if (current != &app) continue;  // a positional argument of the command
    CLI::App* command = nullptr;
    for (CLI::App* c : commands)
      if (c->get_name() == word) command = c;
    if (!command)
      return "unknown command " + word + Suggestion(word, command_names) +
             "; the commands are build, list, verify and extract";
    current = command;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kitpack - builds and inspects self-extracting installer kits"};
  app.set_version_flag("--version", "kitpack " KITPACK_VERSION);
  app.require_subcommand(1);

  kitpack::BuildOptions build;
  std::string installer;
  std::vector<std::string> files, payloads;
  std::string prefix = kitpack::kDefaultStoredPrefix;
  unsigned threads = kitpack::HardwareThreads();
  auto* b =
      app.add_subcommand("build", "Write a kit: loader, its archive, the payload archive, trailer");
  bool posix = false;
  auto* loader_option = b->add_option(
      "--loader", build.loader,
      "The loader executable (default: the loader.exe installed with kitpack, looked for in "
      "../share/loaderkit/ from kitpack's folder, then beside kitpack)");
  b->add_flag("--posix", posix,
              "Without --loader: take the installed POSIX loader (\"loader\") instead")
      ->excludes(loader_option);
  b->add_option("--installer", installer, "The installer, entry 0 (SRC or SRC=STOREDNAME)")
      ->required();
  b->add_option("--file", files, "More files for the loader's archive (SRC or SRC=STOREDNAME)");
  b->add_option("--payload", payloads, "Files or folders for the second archive");
  b->add_option("-o,--output", build.output, "The kit to write (a folder with --external)")
      ->required();
  b->add_flag("--external", build.external,
              "Write setup.1, setup.2 and a copy of the loader into a folder");
  b->add_option("--level", build.level, "zlib level 0-9")
      ->check(CLI::Range(0, 9))
      ->capture_default_str();
  b->add_option("--threads", threads, "Compression threads")
      ->check(CLI::Range(1u, 256u))
      ->capture_default_str();
  b->add_option("--stored-prefix", prefix, "Stored-name prefix for loader-archive files")
      ->capture_default_str();
  b->add_option(
       "--sign-command", build.sign_command,
       "Run CMD on the finished kit before it takes its place, no shell: {} is the kit, "
       "{out} where a tool that writes a signed copy puts it (osslsigncode ... -in {} -out {out}); "
       "the signed kit must read back unchanged")
      ->type_name("CMD");
  std::string level;
  std::vector<std::string> levels;
  for (ldr::ExecutionLevel l : ldr::kExecutionLevels)
    levels.emplace_back(ldr::ExecutionLevelName(l));
  b->add_option("--execution-level", level,
                "Execution level written into the kit's copy of loader.exe; default: as built, "
                "asInvoker")
      ->check(CLI::IsMember(levels));
  std::vector<std::string> excludes;
  bool allow_empty = false;
  b->add_option("--exclude", excludes,
                "Leave out payload files and folders matching GLOB (repeatable): a pattern "
                "with / is matched against the path below the --payload folder, any other "
                "against each name on it")
      ->type_name("GLOB");
  b->add_flag("--allow-empty", allow_empty, "Accept a --payload folder that holds no files");
  b->add_flag("--force", build.force, "Replace an output that is read-only");
  bool no_deployment = false;
  b->add_flag("--no-deployment", no_deployment,
              "Leave the loader's deployment record unfilled: the kit takes no deployment "
              "switches (/S, /WAIT, ...) and behaves exactly as kits did before them");
  bool quiet = false, verbose = false;
  b->add_flag("-q,--quiet", quiet, "Print errors only");
  b->add_flag("-v,--verbose", verbose, "Print each file as it is packed");
  kitpack::Branding& brand = build.branding;
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

  std::string kit_path, dest;
  bool json = false, second = false;
  auto* l = app.add_subcommand("list", "Show both archives of a kit");
  l->add_option("KIT", kit_path, "Kit file, setup.1, or folder holding setup.1/setup.2")
      ->required();
  l->add_flag("--json", json, "Machine-readable output");
  auto* v = app.add_subcommand(
      "verify", "Check every record, chain, offset and stream of a kit, and its digest");
  v->add_option("KIT", kit_path, "Kit file, setup.1, or folder holding setup.1/setup.2")
      ->required();
  std::string against;
  v->add_option("--against", against,
                "A folder the payload must equal, file for file, as --payload DIR stores it");
  auto* x = app.add_subcommand("extract", "Unpack one archive of a kit into a folder");
  x->add_option("KIT", kit_path, "Kit file, setup.1, or folder holding setup.1/setup.2")
      ->required();
  x->add_flag("--second", second, "Extract the second (payload) archive");
  x->add_option("-C", dest, "Destination folder")->required();

  const std::string unknown = UnknownWord(app, argc, argv);
  if (!unknown.empty()) {
    std::fprintf(stderr, "kitpack: error: %s\nRun with --help for more information.\n",
                 unknown.c_str());
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  try {
    if (b->parsed()) {
      kitpack::InstallInterruptHandlers();
      build.threads = threads;
      if (build.loader.empty())
        build.loader = kitpack::FindInstalledLoader(
            kitpack::OwnExecutablePath(),
            posix ? kitpack::kPosixLoaderName : kitpack::kWindowsLoaderName);
      build.first.push_back(ParseInput(installer, prefix));
      for (const auto& f : files) build.first.push_back(ParseInput(f, prefix));
      kitpack::PayloadOptions payload_options;
      payload_options.excludes = excludes;
      payload_options.allow_empty = allow_empty;
      std::vector<std::string> skipped;
      payload_options.skipped = &skipped;
      build.second = kitpack::ExpandPayload(payloads, payload_options);
      if (!quiet)
        for (const std::string& folder : skipped)
          std::printf(
              "note: %s is a symlink to a folder and is not entered (give it as a "
              "--payload of its own to pack what it holds)\n",
              folder.c_str());
      build.fixed_time = SourceDateEpoch();
      if (!quiet)
        build.notice = [](const std::string& text) { std::printf("note: %s\n", text.c_str()); };
      Progress progress(kitpack::StderrIsTerminal());
      if (!quiet)
        build.progress = [&progress](uint64_t done, uint64_t total) {
          progress.Update(done, total);
        };
      if (verbose && !quiet)
        build.entry_done = [&progress](const kitpack::EntryDone& e) {
          progress.Clear();
          std::printf("  %s %zu: %s  %s -> %s\n", e.second ? "payload" : "loader archive", e.index,
                      e.input->stored_name.c_str(), Progress::Bytes(e.unpacked).c_str(),
                      Progress::Bytes(e.packed).c_str());
          std::fflush(stdout);
        };
      if (!level.empty()) build.execution_level = ldr::ParseExecutionLevel(level);
      build.deployment = !no_deployment;
      const auto started = std::chrono::steady_clock::now();
      const kitpack::BuildSummary done = kitpack::BuildKit(build);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      if (!quiet) PrintSummary(build, done, seconds);
    } else if (l->parsed()) {
      kitpack::KitInfo kit = kitpack::ReadKit(kit_path, false);
      if (json) {
        PrintJson(kit);
      } else {
        PrintTable(kit.first);
        PrintTable(kit.second);
        PrintDeployment(kit, false);
      }
    } else if (v->parsed()) {
      kitpack::KitInfo kit = kitpack::ReadKit(kit_path, true);
      size_t n = kitpack::VerifyStreams(kit);
      for (const kitpack::ArchiveInfo* a : {&kit.first, &kit.second})
        for (const std::string& warning : a->warnings)
          std::fprintf(stderr, "kitpack: warning: %s\n", warning.c_str());
      for (const std::string& warning : kitpack::LegacyNameWarnings(kit))
        std::fprintf(stderr, "kitpack: warning: %s\n", warning.c_str());
      const kitpack::DigestCheck digest = kitpack::CheckKitDigest(kit);
      CheckDeployment(kit);
      if (!against.empty()) {
        const std::vector<std::string> differences = kitpack::ComparePayload(kit, against);
        if (!differences.empty()) {
          for (const std::string& d : differences) std::fprintf(stderr, "  %s\n", d.c_str());
          throw KitError("the payload of " + kit_path + " differs from " + against + " in " +
                         std::to_string(differences.size()) + " file(s), listed above");
        }
      }
      std::printf("%s: OK, %zu + %zu entries, %zu streams inflated and checked\n", kit_path.c_str(),
                  kit.first.entries.size(), kit.second.entries.size(), n);
      if (digest == kitpack::DigestCheck::kMatches)
        std::printf("digest: matches (SHA-256 of everything before the trailer)\n");
      else if (!kit.external)
        std::printf("digest: none (a kit written by another tool or an older kitpack)\n");
      if (!against.empty())
        std::printf("payload: the same as %s (%zu files)\n", against.c_str(),
                    kit.second.entries.size());
      std::printf("%s\n", SignatureText(kit).c_str());
      PrintDeployment(kit, true);
    } else if (x->parsed()) {
      kitpack::KitInfo kit = kitpack::ReadKit(kit_path, true);
      size_t n = kitpack::ExtractArchive(kit, second, dest);
      std::printf("extracted %zu file(s) into %s\n", n, dest.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kitpack: error: %s\n", e.what());
    return kitpack::InterruptRequested() ? kitpack::kInterruptedExitCode : 1;
  }
  return 0;
}
