#include "tests/support/archive_builder.h"

#include <zlib.h>

#include <stdexcept>

#include "archive/records.h"

namespace ldr::testing {
namespace {

std::string Compress(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                9) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

}  // namespace

std::string BuildArchive(const std::vector<TestEntry>& entries) {
  std::string archive(kHeaderSize, '\0');
  PutInt32(reinterpret_cast<unsigned char*>(&archive[0]), static_cast<int32_t>(entries.size()));
  for (const TestEntry& e : entries) {
    const std::string stream = Compress(e.data);
    const int32_t header_at = static_cast<int32_t>(archive.size());
    ArchiveEntry record;
    record.data_start = header_at + static_cast<int32_t>(kEntrySize);
    record.data_end = record.data_start + static_cast<int32_t>(stream.size()) - 1;
    record.next_header = record.data_end + 1;
    record.unpacked_size = static_cast<int32_t>(e.data.size());
    if (!SetShortString(record.stored_name, e.stored_name)) throw std::runtime_error("name too long");
    unsigned char bytes[kEntrySize];
    EncodeEntry(record, bytes);
    archive.append(reinterpret_cast<const char*>(bytes), kEntrySize);
    archive += stream;
  }
  return archive;
}

std::string BuildSelfExtracting(const std::string& image, const std::string& archive,
                                const std::string& second_archive) {
  const int32_t start = static_cast<int32_t>(image.size());
  const int32_t end = start + static_cast<int32_t>(archive.size()) - 1;
  const int32_t second_end = end + static_cast<int32_t>(second_archive.size());
  unsigned char trailer[kTrailerSize];
  EncodeTrailer(MakeSelfExtractingTrailer(start, end, end + 1, second_end), trailer);
  return image + archive + second_archive +
         std::string(reinterpret_cast<const char*>(trailer), kTrailerSize);
}

}  // namespace ldr::testing
