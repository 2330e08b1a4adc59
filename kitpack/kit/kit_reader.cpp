#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "format/archive_bounds.h"
#include "format/pe/layout.h"
#include "format/shown_name.h"
#include "format/stored_names.h"
#include "format/stored_paths.h"
#include "format/utf8.h"
#include "inflate/exact_stream.h"
#include "kitpack/kit/kit_digest.h"
#include "kitpack/kit/reader.h"
#include "kitpack/pe/signing.h"

namespace kitpack {

namespace {

int64_t FileSize(const ReadableFile& f) { return static_cast<int64_t>(f.Size()); }

std::string EntryName(const ArchiveInfo& a, size_t i, const std::string& stored) {
  return a.label + ": entry " + std::to_string(i) + " (" + ldr::ShownName(stored) + ")";
}

std::string Num(int64_t v) { return std::to_string(v); }

// Walks one archive's entry chain. Bounds are always checked, since reading
// depends on them; `check` adds the rules a well-formed archive follows.
void ReadArchive(const ReadableFile& f, ArchiveInfo& a, bool first, bool check) {
  const int64_t size = a.end - a.start + 1;
  if (size < static_cast<int64_t>(ldr::kHeaderSize))
    throw KitError(a.label + ": " + Num(size) + " bytes cannot hold the 5-byte header");
  const std::vector<unsigned char> raw_header =
      f.Range(static_cast<uint64_t>(a.start), ldr::kHeaderSize);
  unsigned char header[ldr::kHeaderSize];
  std::memcpy(header, raw_header.data(), sizeof header);
  a.file_count = ldr::DecodeHeader(header).file_count;
  if (a.file_count < 0) throw KitError(a.label + ": negative file count " + Num(a.file_count));
  if (first && a.file_count > ldr::kMaxFiles)
    throw KitError(a.label + ": " + Num(a.file_count) + " entries; the loader reads at most " +
                   Num(ldr::kMaxFiles));
  if (check && first && a.file_count == 0)
    throw KitError(a.label + ": no entries; the loader needs the installer as entry 0");
  // Every entry needs a header of its own inside the archive; a count beyond
  // that would only make the walk below loop and grow without end.
  if (a.file_count > ldr::MaxEntriesIn(size))
    throw KitError(a.label + ": " + Num(a.file_count) + " entries cannot fit in " + Num(size) +
                   " bytes");

  int64_t h = ldr::kHeaderSize;
  for (int32_t i = 0; i < a.file_count; ++i) {
    const std::string where = a.label + ": entry " + Num(i);
    if (!ldr::EntryHeaderInside(h, size))
      throw KitError(where + ": header at offset " + Num(h) + " lies outside the archive (" +
                     Num(size) + " bytes)");
    std::vector<unsigned char> raw = f.Range(static_cast<uint64_t>(a.start + h), ldr::kEntrySize);
    unsigned char bytes[ldr::kEntrySize];
    std::memcpy(bytes, raw.data(), sizeof bytes);
    EntryInfo e;
    e.header_offset = h;
    e.record = ldr::DecodeEntry(bytes);
    e.stored_name = ldr::StoredNameText(e.record);
    e.version = ldr::FileVersionText(e.record);
    const ldr::ArchiveEntry& r = e.record;
    const std::string name = EntryName(a, static_cast<size_t>(i), e.stored_name);
    if (!ldr::EntryDataInside(r, size))
      throw KitError(name + ": data range " + Num(r.data_start) + ".." + Num(r.data_end) +
                     " does not lie inside the archive (" + Num(size) + " bytes)");
    if (r.unpacked_size < 0) throw KitError(name + ": negative unpacked size");
    e.packed_size = ldr::PackedSize(r);
    if (check) {
      if (r.stored_name[0] > ldr::kStoredNameCapacity)
        throw KitError(name + ": stored-name length byte " + Num(r.stored_name[0]) +
                       " exceeds its field");
      if (r.file_version[0] > ldr::kFileVersionCapacity)
        throw KitError(name + ": version length byte " + Num(r.file_version[0]) +
                       " exceeds its field");
      if (r.data_start != h + static_cast<int64_t>(ldr::kEntrySize))
        throw KitError(name + ": DataStart is " + Num(r.data_start) + ", expected " +
                       Num(h + static_cast<int64_t>(ldr::kEntrySize)) +
                       " (right after its header)");
      if (r.next_header != int64_t{r.data_end} + 1)
        throw KitError(name + ": NextHeader is " + Num(r.next_header) + ", expected " +
                       Num(int64_t{r.data_end} + 1) + " (right after its data)");
      if (first) {
        if (const char* reason =
                ldr::UnsafeNameReason(ldr::StoredNamePart(e.stored_name), ldr::NameHost::kWindows))
          throw KitError(name + ": unusable file name for the loader: " + reason);
      } else {
        // A name that escapes wherever it is unpacked ("..", a stream, a
        // device) is an error. The installer's own rule is stricter than the
        // format (no drive, no absolute path): a name only it would refuse
        // is worth a warning, and the kit is still well formed.
        ldr::RelativeName path = ldr::SplitStoredPath(e.stored_name);
        if (!path.refused.empty()) throw KitError(name + ": unsafe stored name: " + path.refused);
        ldr::RelativeName rel = ldr::SplitRelativeName(e.stored_name);
        if (!rel.refused.empty())
          a.warnings.push_back(name +
                               ": the reference installer would refuse this name: " + rel.refused);
      }
    }
    h = r.next_header;
    a.entries.push_back(std::move(e));
  }
  if (check && h != size)
    throw KitError(a.label + ": the entry chain ends at offset " + Num(h) +
                   ", but the archive is " + Num(size) + " bytes long");
}

std::string Sibling(const std::string& path, const char* name) { return FolderPart(path) + name; }

// A kit cut short has lost its trailer; what is left is a PE image with an
// archive right behind it (after at most 7 zero bytes). Raises, saying so,
// when the file looks like that.
void CheckNotTruncated(ReadableFile& f, const std::string& path) {
  const uint64_t size = f.Size();
  const std::optional<ldr::PeLayout> layout = ldr::ReadPeLayout(f, std::min<uint64_t>(size, 65536));
  if (!layout) return;
  uint64_t image_end = 0;
  for (const ldr::PeSection& s : layout->sections)
    if (s.raw_size != 0)
      image_end = std::max<uint64_t>(image_end, uint64_t{s.raw_offset} + s.raw_size);
  for (uint64_t at = image_end; at < image_end + 8; ++at) {
    if (at + ldr::kHeaderSize + ldr::kEntrySize > size) return;
    const std::vector<unsigned char> h = f.Range(at, ldr::kHeaderSize + ldr::kEntrySize);
    unsigned char header[ldr::kHeaderSize];
    unsigned char bytes[ldr::kEntrySize];
    std::memcpy(header, h.data(), sizeof header);
    std::memcpy(bytes, h.data() + ldr::kHeaderSize, sizeof bytes);
    const int32_t count = ldr::DecodeHeader(header).file_count;
    const ldr::ArchiveEntry first = ldr::DecodeEntry(bytes);
    if (count >= 1 && count <= ldr::kMaxFiles && first.reserved_one == 1 &&
        first.data_start == static_cast<int32_t>(ldr::kHeaderSize + ldr::kEntrySize))
      throw KitError(path + " is truncated: a kit's archive follows its loader at byte " +
                     Num(static_cast<int64_t>(at)) + ", but the file ends (at " +
                     Num(static_cast<int64_t>(size)) +
                     " bytes) without the 56-byte trailer: it was cut short");
    if (h[0] != 0) return;
  }
}

}  // namespace

KitInfo ReadKit(const std::string& path, bool check) {
  KitInfo kit;
  kit.path = path;
  kit.checked = check;
  kit.first.label = "first archive";
  kit.second.label = "second archive";
  const std::string base = BaseName(path);
  if (IsDirectory(path) || base == kFirstArchiveFile) {
    kit.external = true;
    kit.first.path = IsDirectory(path) ? JoinPath(path, kFirstArchiveFile) : path;
    kit.second.path = Sibling(kit.first.path, kSecondArchiveFile);
    ReadableFile f1(kit.first.path);
    kit.first.end = FileSize(f1) - 1;
    ReadArchive(f1, kit.first, true, check);
    ReadableFile f2(kit.second.path);
    kit.second.end = FileSize(f2) - 1;
    ReadArchive(f2, kit.second, false, check);
    return kit;
  }

  ReadableFile f(path);
  kit.file_size = static_cast<int64_t>(f.Size());
  if (kit.file_size < static_cast<int64_t>(ldr::kTrailerSize))
    throw KitError(path + " is not a kit: it is shorter than the 56-byte trailer");
  const ldr::TrailerLocation at = ldr::LocateTrailer(f, static_cast<uint64_t>(kit.file_size));
  const std::string which =
      at.before_certificates ? "the 56 bytes before its certificate table" : "its last 56 bytes";
  kit.trailer_offset = at.offset;
  std::vector<unsigned char> raw = f.Range(static_cast<uint64_t>(at.offset), ldr::kTrailerSize);
  unsigned char bytes56[ldr::kTrailerSize];
  std::memcpy(bytes56, raw.data(), sizeof bytes56);
  kit.trailer = ldr::DecodeTrailer(bytes56);
  if (!ldr::IsSelfExtracting(kit.trailer)) {
    CheckNotTruncated(f, path);
    throw KitError(path + " is not a kit: " + which + " do not carry the SELFEXTRACTING mark");
  }
  if (at.before_certificates) {
    kit.signature.present = true;
    kit.signature.table_offset = static_cast<int64_t>(at.certificate_offset);
    kit.signature.table_size = static_cast<int64_t>(at.certificate_size);
    kit.signature.padding = static_cast<int64_t>(at.padding);
    kit.signature.entry = ldr::ReadPeSecurityEntry(f, static_cast<uint64_t>(kit.file_size));
  }
  const ldr::ArchiveTrailer& t = kit.trailer;
  const int64_t last = at.offset - 1;  // the byte before the trailer
  if (!ldr::RangeBeforeTrailer(t.archive_start, t.archive_end, at.offset))
    throw KitError("trailer: archive " + Num(t.archive_start) + ".." + Num(t.archive_end) +
                   " does not lie before the trailer");
  if (check && t.second_archive_start != int64_t{t.archive_end} + 1)
    throw KitError("trailer: SecondArchiveStart is " + Num(t.second_archive_start) + ", expected " +
                   Num(int64_t{t.archive_end} + 1));
  if (check && t.second_archive_end != last)
    throw KitError(
        "trailer: SecondArchiveEnd is " + Num(t.second_archive_end) + ", expected " + Num(last) +
        (at.before_certificates ? " (the byte before the trailer)" : " (file size - 57)"));
  if (!ldr::RangeBeforeTrailer(t.second_archive_start, t.second_archive_end, at.offset))
    throw KitError("trailer: second archive " + Num(t.second_archive_start) + ".." +
                   Num(t.second_archive_end) + " does not lie before the trailer");
  if (check && kit.signature.present) {
    const std::string fault = UncoveredRange(
        kit.signature.entry,
        {{"the first archive", t.archive_start, t.archive_end},
         {"the second archive", t.second_archive_start, t.second_archive_end},
         {"the trailer", at.offset, at.offset + static_cast<int64_t>(ldr::kTrailerSize) - 1}});
    if (!fault.empty()) throw KitError("signature: " + fault);
  }
  kit.first.path = kit.second.path = path;
  kit.first.start = t.archive_start;
  kit.first.end = t.archive_end;
  kit.second.start = t.second_archive_start;
  kit.second.end = t.second_archive_end;
  ReadArchive(f, kit.first, true, check);
  ReadArchive(f, kit.second, false, check);
  return kit;
}

void InflateEntryTo(const ArchiveInfo& a, const EntryInfo& e,
                    const std::function<void(const unsigned char*, size_t)>& sink) {
  const std::string name = EntryName(a, static_cast<size_t>(&e - a.entries.data()), e.stored_name);
  ReadableFile f(a.path);
  const uint64_t start = static_cast<uint64_t>(a.start + e.record.data_start);
  const auto inflater = std::make_unique<ldr::ZlibInflater>();
  const ldr::ExactEnd end = ldr::InflateExactly(
      *inflater, e.packed_size, e.record.unpacked_size,
      [&](uint64_t offset, unsigned char* into, size_t size) {
        f.RangeInto(start + offset, into, size);
      },
      sink);
  switch (end.kind) {
    case ldr::ExactEnd::Kind::kWhole:
      return;
    case ldr::ExactEnd::Kind::kCutShort:
      throw KitError(name + ": the data range ends before its zlib stream does");
    case ldr::ExactEnd::Kind::kDamaged:
      throw KitError(name + ": corrupt zlib stream (" + inflater->DamageText() + ")");
    case ldr::ExactEnd::Kind::kTooLong:
      throw KitError(name + ": inflates to more than its unpacked size of " +
                     Num(e.record.unpacked_size) + " bytes");
    case ldr::ExactEnd::Kind::kEndsEarly:
      throw KitError(name + ": the zlib stream ends " + Num(end.left) +
                     " bytes before its data range does");
    case ldr::ExactEnd::Kind::kWrongSize:
      throw KitError(name + ": inflates to " + Num(end.produced) +
                     " bytes, but its unpacked size says " + Num(e.record.unpacked_size));
  }
}

std::vector<unsigned char> InflateEntry(const ArchiveInfo& a, const EntryInfo& e) {
  std::vector<unsigned char> data;
  InflateEntryTo(a, e, [&data](const unsigned char* bytes, size_t size) {
    data.insert(data.end(), bytes, bytes + size);
  });
  return data;
}

size_t VerifyStreams(const KitInfo& kit) {
  size_t n = 0;
  for (const ArchiveInfo* a : {&kit.first, &kit.second})
    for (const EntryInfo& e : a->entries) {
      InflateEntryTo(*a, e, [](const unsigned char*, size_t) {});
      ++n;
    }
  return n;
}

std::vector<std::string> LegacyNameWarnings(const KitInfo& kit) {
  std::vector<std::string> warnings;
  for (const ArchiveInfo* a : {&kit.first, &kit.second}) {
    for (size_t i = 0; i < a->entries.size(); ++i) {
      const std::string& name = a->entries[i].stored_name;
      if (ldr::IsValidUtf8(name)) continue;
      warnings.push_back(a->label + ": entry " + std::to_string(i) + ": stored name \"" +
                         ldr::ShownName(name) +
                         "\" is not UTF-8 (written in a legacy code page?); the loader reads names "
                         "as UTF-8, so on Windows 10 1903 and later each such byte becomes U+FFFD "
                         "in the file's name");
    }
  }
  return warnings;
}

size_t ExtractArchive(const KitInfo& kit, bool second, const std::string& dest) {
  // Whatever verify refuses is refused here too, before anything is written:
  // the layout (so no two headers share a stream), every name and every
  // stream.
  if (!kit.checked) throw KitError("internal: extraction needs a kit read with its checks");
  VerifyStreams(kit);
  const ArchiveInfo& a = second ? kit.second : kit.first;
  MakeFolders(dest);
  std::vector<std::vector<std::string>> targets;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const EntryInfo& e = a.entries[i];
    if (second) {
      ldr::RelativeName rel = ldr::SplitStoredPath(e.stored_name);
      if (!rel.refused.empty())
        throw KitError(EntryName(a, i, e.stored_name) + ": unsafe stored name: " + rel.refused);
      targets.push_back(rel.parts);
    } else {
      std::string part(ldr::StoredNamePart(e.stored_name));
      if (const char* reason = ldr::UnsafeNameReason(part, ldr::NameHost::kWindows))
        throw KitError(EntryName(a, i, e.stored_name) + ": unusable file name: " + reason);
      targets.push_back({part});
    }
  }
  for (size_t i = 0; i < a.entries.size(); ++i) {
    NewFileBelow out(dest, targets[i]);
    InflateEntryTo(a, a.entries[i],
                   [&out](const unsigned char* bytes, size_t size) { out.Write(bytes, size); });
    out.Finish();
  }
  return a.entries.size();
}

}  // namespace kitpack

namespace kitpack {

DigestCheck CheckKitDigest(const KitInfo& kit) {
  if (kit.external) return DigestCheck::kAbsent;
  unsigned char trailer[ldr::kTrailerSize];
  ldr::EncodeTrailer(kit.trailer, trailer);
  if (!HasDigest(trailer)) return DigestCheck::kAbsent;
  ldr::Sha256 prefix;
  ReadableFile file(kit.path);
  HashKitPrefix(file, static_cast<uint64_t>(kit.trailer_offset), prefix);
  if (!DigestMatches(prefix, trailer))
    throw KitError(kit.path +
                   ": the digest in its trailer does not match its bytes: the kit changed after "
                   "kitpack wrote it (a damaged copy, or an edit to its loader, a name, a time "
                   "stamp or a stream)");
  return DigestCheck::kMatches;
}

std::vector<std::string> ComparePayload(const KitInfo& kit, const std::string& folder) {
  if (!IsDirectory(folder)) throw KitError(folder + " is not a folder");
  std::map<std::string, std::string> wanted;  // stored name -> file
  for (const InputFile& in : ExpandPayload({folder})) wanted[in.stored_name] = in.source;
  std::vector<std::string> differences;
  std::set<std::string> seen;
  for (const EntryInfo& e : kit.second.entries) {
    seen.insert(e.stored_name);
    auto it = wanted.find(e.stored_name);
    if (it == wanted.end()) {
      differences.push_back("only in the kit: " + ldr::ShownName(e.stored_name));
      continue;
    }
    if (InflateEntry(kit.second, e) != ReadWholeFile(it->second))
      differences.push_back("differs: " + ldr::ShownName(e.stored_name));
  }
  for (const auto& [name, source] : wanted)
    if (!seen.count(name))
      differences.push_back("only in " + ldr::ShownName(folder) + ": " + ldr::ShownName(name));
  return differences;
}

}  // namespace kitpack
