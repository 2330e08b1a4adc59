// kitpack: builds, lists, verifies and extracts installer kits.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "format/utf8.h"
#include "kitpack/kit.h"
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

// A one-line bar on stderr, redrawn at most ten times a second.
class ProgressBar {
 public:
  void Update(uint64_t done, uint64_t total) {
    kitpack::Locked lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    int percent = total ? static_cast<int>(done * 100 / total) : 100;
    int filled = percent * 30 / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%  %llu/%llu MiB", std::string(filled, '#').c_str(),
                 std::string(30 - filled, ' ').c_str(), percent,
                 static_cast<unsigned long long>(done >> 20),
                 static_cast<unsigned long long>(total >> 20));
    if (done >= total) std::fputc('\n', stderr);
  }

 private:
  kitpack::Mutex mutex_;
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
  const bool utf8 = ldr::IsValidUtf8(s);
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || (c >= 0x80 && !utf8)) {
      // A name that is not UTF-8 (from an older packer, in a legacy code
      // page): every byte above ASCII is escaped as its own code point so
      // that the output stays valid JSON. UTF-8 passes through as it is.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
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
    std::printf("  %5zu  %-40s %12d %12lld  %-14s %s\n", i, Shown(e.stored_name).c_str(),
                e.record.unpacked_size, static_cast<long long>(e.packed_size),
                e.version.empty() ? "-" : Shown(e.version).c_str(),
                DateText(e.record.file_time).c_str());
  }
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
  std::printf("\"archives\": [");
  bool first_archive = true;
  for (const kitpack::ArchiveInfo* a : {&kit.first, &kit.second}) {
    std::printf(
        "%s\n  {\"label\": %s, \"file\": %s, \"start\": %lld, \"end\": %lld, \"entries\": [",
        first_archive ? "" : ",", JsonString(a->label).c_str(), JsonString(a->path).c_str(),
        static_cast<long long>(a->start), static_cast<long long>(a->end));
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

  std::string kit_path, dest;
  bool json = false, second = false;
  auto* l = app.add_subcommand("list", "Show both archives of a kit");
  l->add_option("KIT", kit_path, "Kit file, setup.1, or folder holding setup.1/setup.2")
      ->required();
  l->add_flag("--json", json, "Machine-readable output");
  auto* v = app.add_subcommand("verify", "Check every record, chain, offset and stream of a kit");
  v->add_option("KIT", kit_path, "Kit file, setup.1, or folder holding setup.1/setup.2")
      ->required();
  auto* x = app.add_subcommand("extract", "Unpack one archive of a kit into a folder");
  x->add_option("KIT", kit_path, "Kit file, setup.1, or folder holding setup.1/setup.2")
      ->required();
  x->add_flag("--second", second, "Extract the second (payload) archive");
  x->add_option("-C", dest, "Destination folder")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  try {
    if (b->parsed()) {
      build.threads = threads;
      if (build.loader.empty())
        build.loader = kitpack::FindInstalledLoader(
            kitpack::OwnExecutablePath(),
            posix ? kitpack::kPosixLoaderName : kitpack::kWindowsLoaderName);
      build.first.push_back(ParseInput(installer, prefix));
      for (const auto& f : files) build.first.push_back(ParseInput(f, prefix));
      build.second = kitpack::ExpandPayload(payloads);
      build.fixed_time = SourceDateEpoch();
      build.notice = [](const std::string& text) { std::printf("note: %s\n", text.c_str()); };
      if (!level.empty()) build.execution_level = ldr::ParseExecutionLevel(level);
      ProgressBar bar;
      if (kitpack::StderrIsTerminal())
        build.progress = [&bar](uint64_t done, uint64_t total) { bar.Update(done, total); };
      kitpack::BuildKit(build);
      std::printf("wrote %s: %zu loader file(s), %zu payload file(s)\n", build.output.c_str(),
                  build.first.size(), build.second.size());
    } else if (l->parsed()) {
      kitpack::KitInfo kit = kitpack::ReadKit(kit_path, false);
      if (json) {
        PrintJson(kit);
      } else {
        PrintTable(kit.first);
        PrintTable(kit.second);
      }
    } else if (v->parsed()) {
      kitpack::KitInfo kit = kitpack::ReadKit(kit_path, true);
      size_t n = kitpack::VerifyStreams(kit);
      for (const kitpack::ArchiveInfo* a : {&kit.first, &kit.second})
        for (const std::string& warning : a->warnings)
          std::fprintf(stderr, "kitpack: warning: %s\n", warning.c_str());
      for (const std::string& warning : kitpack::LegacyNameWarnings(kit))
        std::fprintf(stderr, "kitpack: warning: %s\n", warning.c_str());
      std::printf("%s: OK, %zu + %zu entries, %zu streams inflated and checked\n", kit_path.c_str(),
                  kit.first.entries.size(), kit.second.entries.size(), n);
      std::printf("%s\n", SignatureText(kit).c_str());
    } else if (x->parsed()) {
      kitpack::KitInfo kit = kitpack::ReadKit(kit_path, true);
      size_t n = kitpack::ExtractArchive(kit, second, dest);
      std::printf("extracted %zu file(s) into %s\n", n, dest.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kitpack: error: %s\n", e.what());
    return 1;
  }
  return 0;
}
