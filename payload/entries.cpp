#include "payload/entries.h"

#include <algorithm>

#include "format/archive_bounds.h"
#include "format/kit_time.h"
#include "format/records.h"
#include "format/stored_paths.h"

namespace ldr::payload {

namespace {

std::string Num(int64_t v) { return std::to_string(v); }

Entry CheckedEntry(const ArchiveEntry& r, int64_t size, const std::string& where) {
  Entry e;
  e.name = std::string(StoredNameText(r));
  const std::string named = where + " (" + e.name + ")";
  if (!EntryDataInside(r, size))
    Fail(Fault::kDamaged, named + ": its data range " + Num(r.data_start) + ".." + Num(r.data_end) +
                              " does not lie inside the payload (" + Num(size) + " bytes)");
  if (r.unpacked_size < 0) Fail(Fault::kDamaged, named + ": its unpacked size is negative");
  RelativeName rel = SplitRelativeName(e.name);
  if (!rel.refused.empty()) Fail(Fault::kUnsafeName, "refusing " + named + ": " + rel.refused);
  e.parts = std::move(rel.parts);
  for (const std::string& part : e.parts) {
    e.path += (e.path.empty() ? "" : std::string(1, kHostSeparator)) + part;
  }
  e.size = r.unpacked_size;
  e.time = UnixFromKitTime(r.file_time);
  e.data_start = r.data_start;
  e.packed_size = PackedSize(r);
  return e;
}

// A file that holds no payload, whatever it is: a program of another system
// or a text. Judged by its first bytes, which a payload file begins with
// its entry count in.
bool BeginsAsAnotherFile(PayloadReader& file, const PayloadPlace& place) {
  unsigned char start[4] = {0, 0, 0, 0};
  const int64_t size = place.end - place.start + 1;
  const size_t n = static_cast<size_t>(std::min<int64_t>(size, sizeof start));
  if (!place.guessed || n == 0) return false;
  file.Read(static_cast<uint64_t>(place.start), start, n, "the file's start");
  if (n == 4 && start[0] == 0x7f && start[1] == 'E' && start[2] == 'L' && start[3] == 'F')
    return true;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = start[i];
    if (!((c >= 0x20 && c < 0x7f) || c == '\t' || c == '\r' || c == '\n')) return false;
  }
  return true;
}

[[noreturn]] void NotAKit(const PayloadPlace& place) {
  Fail(Fault::kNotAKit, place.file +
                            " is not a kit: it carries no kit trailer, and it begins as a "
                            "program or a text does, not as a payload file");
}

}  // namespace

std::vector<Entry> ReadEntries(PayloadReader& file, const PayloadPlace& place) {
  const int64_t size = place.end - place.start + 1;
  if (size < static_cast<int64_t>(kHeaderSize) && BeginsAsAnotherFile(file, place)) NotAKit(place);
  if (size < static_cast<int64_t>(kHeaderSize))
    Fail(Fault::kDamaged, "the payload in " + place.file + " has " + Num(size) +
                              " bytes, too few for its 5-byte header");
  unsigned char header[kHeaderSize];
  file.Read(static_cast<uint64_t>(place.start), header, sizeof header, "the payload's header");
  const int32_t count = DecodeHeader(header).file_count;
  if ((count < 0 || count > MaxEntriesIn(size)) && BeginsAsAnotherFile(file, place)) NotAKit(place);
  if (count < 0 || count > MaxEntriesIn(size))
    Fail(Fault::kDamaged, "the payload in " + place.file + " claims " + Num(count) +
                              " entries, which " + Num(size) + " bytes cannot hold");
  std::vector<Entry> entries;
  entries.reserve(static_cast<size_t>(count));
  int64_t at = kHeaderSize;
  for (int32_t i = 0; i < count; ++i) {
    const std::string where = "entry " + Num(i);
    if (!EntryHeaderInside(at, size))
      Fail(Fault::kDamaged, where + ": its header at offset " + Num(at) +
                                " lies outside the payload (" + Num(size) + " bytes)");
    unsigned char bytes[kEntrySize];
    file.Read(static_cast<uint64_t>(place.start + at), bytes, sizeof bytes, where + "'s header");
    const ArchiveEntry record = DecodeEntry(bytes);
    entries.push_back(CheckedEntry(record, size, where));
    at = record.next_header;
  }
  return entries;
}

}  // namespace ldr::payload

namespace ldr::payload {

bool SameWindowsPath(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (WindowsFileKey(a[i]) != WindowsFileKey(b[i])) return false;
  }
  return true;
}

}  // namespace ldr::payload
