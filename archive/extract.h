#pragma once
// Inflates every entry of an archive into the working folder and moves the
// progress bar as the bytes are written.

#include <cstdint>
#include <string_view>

#include "archive/entry_table.h"
#include "base/progress_sink.h"
#include "format/records.h"
#include "inflate/zlib_stream.h"
#include "platform/platform.h"

namespace ldr {

// Sizes the extractor works in: archive reads of up to 64 KiB, output written
// and reported in blocks of 4 KiB.
inline constexpr uint32_t kInputBufferSize = ZlibInflater::kInputSize;
inline constexpr uint32_t kOutputBlockSize = 4096;

// Byte counts of one extraction run. Both wrap around as signed 32-bit
// numbers, as the archive's own size fields do.
struct ExtractionTotals {
  int32_t written_total = 0;
  int32_t grand_total = 0;
};

// a + b, wrapped to a signed 32-bit value.
int32_t AddWrapped(int32_t a, int32_t b);

// The signed 32-bit sum of UnpackedSize over the first `count` slots.
int32_t SumUnpackedSizes(const EntryTable& table, int32_t count);

// written ÷ grand × 100 in 80-bit extended precision, rounded to the nearest
// integer with halves going to the even neighbour. 0 when grand is 0 or the
// result does not fit a signed 32-bit integer. Not clamped to 0..100.
int32_t ProgressPercent(int32_t written_total, int32_t grand_total);

// Adds n to the written total and sends the new percentage to the sink,
// whether or not it changed.
void ReportProgress(ExtractionTotals& totals, int32_t n, ProgressSink& sink);

// The file an entry is extracted to: the working folder with its separator,
// then the name part of the stored name.
PathText EntryOutputPath(const Platform& platform, std::string_view working_folder,
                         const ArchiveEntry& entry);

// How an entry's stream ended, for a caller that holds a kit to what its
// records claim.
struct EntryEnd {
  bool whole = false;    // the stream reached its end and its checksum matched
  uint64_t written = 0;  // bytes written
};

// Inflates one entry into output, an open, empty file. archive_path and
// output_path serve the messages only. The entry ends at the end of its
// stream or when its range gives no more bytes. When the stream turns out to
// be damaged, the whole blocks inflated before that are written first; then
// EZlibError is raised, unless `end` is given: there the caller learns how
// the stream ended, damaged or cut short, and decides.
void ExtractEntry(File& archive, std::string_view archive_path, int32_t archive_start, File& output,
                  std::string_view output_path, const ArchiveEntry& entry, ExtractionTotals& totals,
                  ProgressSink& progress, EntryEnd* end = nullptr);

// Told of each entry just before its file is created: a deployment run
// logs it and notes what it will have to remove.
class ExtractionObserver {
 public:
  virtual void Creating(int32_t index, std::string_view path, const ArchiveEntry& entry) = 0;
  // After the entry's stream was inflated, however it ended.
  virtual void Extracted(const ArchiveEntry& entry, const EntryEnd& end) = 0;

 protected:
  ~ExtractionObserver() = default;
};

// Whether a name part may be created on this host: the stored-name rules,
// and on Windows the same rules once more on the name as the system will
// read it.
bool MayCreateEntryName(Platform& platform, std::string_view name);

// Extracts the first table.count entries, in order, each into a file of its
// name part in working_folder. Raises LoaderError when a file cannot be
// created, written or the archive cannot be read, and EZlibError when a stream
// is damaged; with an observer, that observer judges each stream's end
// instead. What was written before a failure stays. When installer_file
// is given, it receives the id the installer's file had while it was
// written: the file made for the first entry, or for the last one after it
// whose name lands on the same file.
void ExtractAll(Platform& platform, File& archive, std::string_view archive_path,
                int32_t archive_start, std::string_view working_folder, const EntryTable& table,
                ProgressSink& progress, FileId* installer_file = nullptr,
                ExtractionObserver* observer = nullptr);

}  // namespace ldr
