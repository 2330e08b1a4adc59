#include "archive/entry_table.h"

#include "base/errors.h"
#include "base/messages.h"

namespace ldr {
namespace {

// Reads until size bytes have arrived, the file ends or a read fails. A
// failed read counts as the end: the caller only asks whether all arrived.
bool ReadExactly(File& file, unsigned char* buffer, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    int32_t got = file.Read(buffer + done, size - done);
    if (got <= 0 || static_cast<uint32_t>(got) > size - done) return false;
    done += static_cast<uint32_t>(got);
  }
  return true;
}

// Offsets are summed in 64 bits: a start and a relative offset near the int32
// limits must not wrap around to some other place in the file.
bool SeekTo(File& file, int64_t offset) {
  return offset >= 0 && file.Seek(offset, File::Origin::Begin) == offset;
}

}  // namespace

void ReadEntryTable(File& archive, int32_t archive_start, EntryTable* table) {
  table->count = 0;
  // A start the file cannot be moved to has no count to read either.
  if (!SeekTo(archive, archive_start)) RaiseLoaderError(msg::kNoFileCount);

  unsigned char count_bytes[4];
  if (!ReadExactly(archive, count_bytes, sizeof count_bytes)) RaiseLoaderError(msg::kNoFileCount);
  int32_t file_count = GetInt32(count_bytes);
  // The limit is tested before the flag byte is read.
  if (file_count > kMaxFiles) RaiseLoaderError(msg::kTooManyFiles);

  unsigned char flag;
  if (!ReadExactly(archive, &flag, 1)) RaiseLoaderError(msg::kNoPartitionFlag);

  int64_t next_header = static_cast<int64_t>(archive_start) + static_cast<int64_t>(kHeaderSize);
  if (file_count <= 0) return;

  for (int32_t i = 0; i < file_count; ++i) {
    unsigned char record[kEntrySize];
    if (!SeekTo(archive, next_header) || !ReadExactly(archive, record, kEntrySize)) {
      RaiseLoaderError(msg::kNoFileHeader);
    }
    table->entries[static_cast<size_t>(table->count)] = DecodeEntry(record);
    ++table->count;
    next_header =
        static_cast<int64_t>(archive_start) + table->entries[static_cast<size_t>(i)].next_header;
  }
}

void WalkArchive(File& archive, int64_t archive_start, EntryVisitor& visitor) {
  unsigned char count_bytes[4];
  if (!SeekTo(archive, archive_start) || !ReadExactly(archive, count_bytes, sizeof count_bytes))
    RaiseLoaderError(msg::kNoFileCount);
  const int32_t file_count = GetInt32(count_bytes);
  unsigned char flag;
  if (!ReadExactly(archive, &flag, 1)) RaiseLoaderError(msg::kNoPartitionFlag);
  int64_t header = archive_start + static_cast<int64_t>(kHeaderSize);
  for (int32_t i = 0; i < file_count; ++i) {
    unsigned char record[kEntrySize];
    if (!SeekTo(archive, header) || !ReadExactly(archive, record, kEntrySize))
      RaiseLoaderError(msg::kNoFileHeader);
    const ArchiveEntry entry = DecodeEntry(record);
    visitor.Visit(entry);
    const int64_t next = archive_start + entry.next_header;
    if (next <= header && i + 1 < file_count) RaiseLoaderError(msg::kNoFileHeader);
    header = next;
  }
}

}  // namespace ldr
