#pragma once
// Builds archives and self-extracting files in memory for the tests: real
// zlib streams and entry records chained the way a packer lays them out.

#include <cstdint>
#include <string>
#include <vector>

#include "base/progress_sink.h"
#include "format/records.h"

namespace ldr::testing {

// data deflated into one zlib stream.
std::string ZlibStream(const std::string& data, int level = 6);
// A zlib stream that needs the given preset dictionary.
std::string ZlibStreamWithDictionary(const std::string& data, const std::string& dictionary);
// Incompressible bytes, the same for the same seed.
std::string RandomBytes(size_t size, uint32_t seed);
// Incompressible data whose stored zlib stream is exactly stream_size bytes.
// Gives the data and sets *stream.
std::string DataWithStreamSize(size_t stream_size, std::string* stream);

struct TestEntry {
  std::string stored_name;
  std::string stream;  // the bytes between DataStart and DataEnd
  int32_t unpacked_size;
};

// An entry holding data as a level-9 stream, with its true unpacked size.
TestEntry FileEntry(const std::string& stored_name, const std::string& data);

// A record for name with the given size; offsets are filled by BuildArchive.
ArchiveEntry MakeEntry(const std::string& stored_name, int32_t unpacked_size);

// Header, then each record directly followed by its stream. file_count is
// written as given (it may differ from entries.size()).
std::string BuildArchive(const std::vector<TestEntry>& entries, int32_t file_count);
inline std::string BuildArchive(const std::vector<TestEntry>& entries) {
  return BuildArchive(entries, static_cast<int32_t>(entries.size()));
}

// A loader image followed by the archive, a second archive and the trailer.
std::string BuildSelfExtracting(const std::string& image, const std::string& archive,
                                const std::string& second_archive = std::string());

// The 5-byte header.
std::string HeaderBytes(int32_t file_count, uint8_t flag = 0);
// One encoded 164-byte record.
std::string RecordBytes(const ArchiveEntry& entry);

// What the extraction loop would make of an entry's range if it asked
// inflate for one 4 KiB block per call, taken literally: the blocks it writes
// and whether the stream failed or ended. The reference the extractor is
// compared with.
struct LiteralResult {
  std::vector<uint32_t> writes;
  std::string output;
  bool zlib_error = false;
  bool ended = false;
};
LiteralResult LiteralExtract(const std::string& range);

class RecordingSink : public ProgressSink {
 public:
  void SetProgressPosition(int32_t percent) override { positions.push_back(percent); }
  std::vector<int32_t> positions;
};

}  // namespace ldr::testing
