#include "payload/entries.h"

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

}  // namespace

std::vector<Entry> ReadEntries(PayloadReader& file, const PayloadPlace& place) {
  const int64_t size = place.end - place.start + 1;
  if (size < static_cast<int64_t>(kHeaderSize))
    Fail(Fault::kDamaged, "the payload in " + place.file + " has " + Num(size) +
                              " bytes, too few for its 5-byte header");
  unsigned char header[kHeaderSize];
  file.Read(static_cast<uint64_t>(place.start), header, sizeof header, "the payload's header");
  const int32_t count = DecodeHeader(header).file_count;
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
