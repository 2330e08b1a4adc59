#include "kitpack/cli/report.h"

#include <cmath>
#include <cstdio>

#include "format/shown_name.h"
#include "format/utf8.h"
#include "kitpack/kit/deployment.h"
#include "kitpack/kit_error.h"

namespace kitpack::cli {
namespace {

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
  // own code point, so that the output stays valid JSON either way. Control
  // characters, C1 (U+0080..U+009F) included, are escaped in both, so that
  // JSON read on a terminal cannot steer it either.
  const bool utf8 = ldr::IsValidUtf8(s);
  std::string out = "\"";
  auto escape = [&out](unsigned code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", code);
    out += buf;
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
      escape(c);
    } else if (utf8 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
      escape(static_cast<unsigned char>(s[++i]));  // valid UTF-8: a byte follows C2
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

std::string AuthenticodeText(const kitpack::SignatureInfo& s) {
  if (!s.authenticode) return "";
  return "; Authenticode digest (" + s.authenticode->algorithm + ") " +
         (s.authenticode->matches ? "matches" : "does NOT match") +
         "; the certificate chain is not checked";
}

}  // namespace

void PrintTable(const kitpack::ArchiveInfo& a) {
  std::printf("%s (%s, %d entries)\n", a.label.c_str(), ldr::ShownName(a.path).c_str(),
              a.file_count);
  std::printf("  %5s  %-40s %12s %12s  %-14s %s\n", "index", "stored name", "unpacked", "packed",
              "version", "time (UTC)");
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const auto& e = a.entries[i];
    // Padded by characters, not bytes, so that UTF-8 names line up.
    std::printf("  %5zu  %s %12d %12lld  %-14s %s\n", i,
                ldr::PadRight(ldr::ShownName(e.stored_name), 40).c_str(), e.record.unpacked_size,
                static_cast<long long>(e.packed_size),
                e.version.empty() ? "-" : ldr::ShownName(e.version).c_str(),
                DateText(e.record.file_time).c_str());
  }
  const Totals t = TotalsOf(a);
  std::printf("  %5s  %s %12lld %12lld  packed to %s\n", "total",
              ldr::PadRight(std::to_string(t.entries) + " entries", 40).c_str(), t.unpacked,
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
         std::to_string(s.table_offset - 1) + " but the PE checksum and the security entry)" +
         AuthenticodeText(s);
}

void PrintDeployment(const kitpack::KitInfo& kit, bool checked) {
  const kitpack::KitDeployment found = kitpack::ReadKitDeployment(kit);
  const std::vector<std::string> lines = kitpack::DescribeDeploymentRecord(found.record);
  for (size_t i = 0; i < lines.size(); ++i)
    std::printf("%s%s\n", lines[i].c_str(),
                i == 0 && checked && found.record ? " (matches the kit)" : "");
  if (!checked) return;
  for (const kitpack::LoaderCopy& copy : found.copies)
    if (copy.record) std::printf("  checked in     %s\n", ldr::ShownName(copy.file).c_str());
}

namespace {

// The record of every loader copy that holds one against the kit; throws
// naming the copies that disagree.
void CheckRecords(const kitpack::KitInfo& kit, const kitpack::KitDeployment& found) {
  std::vector<std::pair<std::string, ldr::DeploymentRecord>> records;
  if (!kit.external && found.record) records.emplace_back(found.file, *found.record);
  for (const kitpack::LoaderCopy& copy : found.copies)
    if (copy.record) records.emplace_back(copy.file, *copy.record);
  std::string failed;
  for (const auto& [file, record] : records) {
    const std::vector<std::string> wrong = kitpack::DeploymentMismatches(kit, record);
    if (wrong.empty()) continue;
    if (records.size() > 1) std::fprintf(stderr, "  %s:\n", ldr::ShownName(file).c_str());
    for (const std::string& w : wrong) std::fprintf(stderr, "  %s\n", w.c_str());
    failed += (failed.empty() ? "" : ", ") + ldr::ShownName(file);
  }
  if (!failed.empty())
    throw kitpack::KitError("the deployment record in " + failed +
                            " does not match the kit (listed above): the kit was changed after "
                            "it was built, or is incomplete");
}

}  // namespace

void CheckDeployment(const kitpack::KitInfo& kit) {
  const kitpack::KitDeployment found = kitpack::ReadKitDeployment(kit);
  const std::vector<std::string> faults = kitpack::LoaderCopyFaults(found);
  for (const std::string& f : faults) std::fprintf(stderr, "  %s\n", f.c_str());
  if (!faults.empty())
    throw kitpack::KitError(ldr::ShownName(kit.path) +
                            ": the loader beside setup.1 cannot be trusted to check the kit "
                            "(listed above)");
  CheckRecords(kit, found);
  for (const kitpack::LoaderCopy& copy : found.copies)
    if (copy.signed_ && copy.record && !copy.record->has_setup2_digest())
      std::fprintf(stderr,
                   "kitpack: warning: %s is signed, but its deployment record (version %u) holds "
                   "no digest of setup.2: a replaced setup.2 cannot be told from the one built "
                   "(build the kit with a current loader)\n",
                   ldr::ShownName(copy.file).c_str(), copy.record->version);
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

}  // namespace kitpack::cli
