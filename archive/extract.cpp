#include "archive/extract.h"

#include <zlib.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "base/errors.h"
#include "base/messages.h"
#include "base/text_rules.h"
#include "format/stored_names.h"

namespace ldr {
namespace {

// The percentage must be computed with a 64-bit mantissa: in double precision
// 23 of 40 bytes would show 57 instead of 58.
static_assert(LDBL_MANT_DIG == 64, "long double must be the 80-bit extended type");

[[noreturn]] void ThrowReadFailure(const std::string& archive_path) {
  throw LoaderError(msg::kCannotRead + archive_path);
}

// Ends the stream on every path, the error path included.
class InflateStream {
 public:
  InflateStream() {
    std::memset(&stream_, 0, sizeof stream_);
    // Default allocation callbacks: the program's ordinary heap.
    stream_.zalloc = Z_NULL;
    stream_.zfree = Z_NULL;
    stream_.opaque = Z_NULL;
    stream_.next_in = Z_NULL;
    stream_.avail_in = 0;
    if (inflateInit(&stream_) < 0) throw EZlibError();
  }
  ~InflateStream() { inflateEnd(&stream_); }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  z_stream* get() { return &stream_; }

 private:
  z_stream stream_;
};

// In a double-byte code page a name can pass on its bytes and still become
// another once the system converts it: the rule is applied again to the
// name as the system reads it, and a name that does not convert cleanly is
// refused.
bool ConvertsToSafeName(Platform& platform, const std::string& name, NameHost host) {
  if (host != NameHost::kWindows) return true;
  std::u16string converted;
  return platform.ConvertName(name, &converted) && UnsafeConvertedNameReason(converted) == nullptr;
}

}  // namespace

int32_t AddWrapped(int32_t a, int32_t b) {
  uint32_t ua;
  uint32_t ub;
  std::memcpy(&ua, &a, sizeof ua);
  std::memcpy(&ub, &b, sizeof ub);
  uint32_t sum = ua + ub;
  int32_t result;
  std::memcpy(&result, &sum, sizeof result);
  return result;
}

int32_t SumUnpackedSizes(const EntryTable& table, int32_t count) {
  int32_t sum = 0;
  for (int32_t i = 0; i < count && i < kMaxFiles; ++i) {
    sum = AddWrapped(sum, table.entries[static_cast<size_t>(i)].unpacked_size);
  }
  return sum;
}

int32_t ProgressPercent(int32_t written_total, int32_t grand_total) {
  if (grand_total == 0) return 0;
  // Each step is rounded to the 64-bit mantissa on its own: the quotient,
  // then its product with 100, then to an integer (the default rounding mode
  // sends halves to the even neighbour).
  long double quotient =
      static_cast<long double>(written_total) / static_cast<long double>(grand_total);
  long double percent = quotient * 100.0L;
  long double rounded = std::nearbyint(percent);
  if (!(rounded >= static_cast<long double>(INT32_MIN) &&
        rounded <= static_cast<long double>(INT32_MAX))) {
    return 0;
  }
  return static_cast<int32_t>(rounded);
}

void ReportProgress(ExtractionTotals& totals, int32_t n, ProgressSink& sink) {
  totals.written_total = AddWrapped(totals.written_total, n);
  sink.SetProgressPosition(ProgressPercent(totals.written_total, totals.grand_total));
}

std::string EntryOutputPath(const Platform& platform, const std::string& working_folder,
                            const ArchiveEntry& entry) {
  return WithTrailingSeparator(working_folder, platform.HostPathStyle()) +
         StoredNamePart(StoredNameText(entry), platform.StoredNameStyle().is_lead_byte);
}

void ExtractEntry(File& archive, const std::string& archive_path, int32_t archive_start,
                  File& output, const std::string& output_path, const ArchiveEntry& entry,
                  ExtractionTotals& totals, ProgressSink& progress) {
  // Offsets in 64 bits: start + DataEnd must not wrap around.
  int64_t position = static_cast<int64_t>(archive_start) + entry.data_start;
  const int64_t last = static_cast<int64_t>(archive_start) + entry.data_end;
  if (position < 0 || archive.Seek(position, File::Origin::Begin) != position) {
    ThrowReadFailure(archive_path);
  }

  const uint32_t area_size = kOutputBlockSize * kBlocksPerInflate;
  std::vector<unsigned char> input(kInputBufferSize);
  std::vector<unsigned char> area(area_size);
  InflateStream inflater;
  z_stream* stream = inflater.get();
  stream->next_in = input.data();
  stream->avail_in = 0;

  // Writes the area's bytes from *done up to end in blocks of 4 KiB (the
  // last one possibly short), each followed by its progress report.
  auto write_blocks = [&](uint32_t* done, uint32_t end) {
    while (*done < end) {
      uint32_t size = end - *done < kOutputBlockSize ? end - *done : kOutputBlockSize;
      int32_t written = output.Write(area.data() + *done, size);
      if (written < 0 || static_cast<uint32_t>(written) != size) {
        throw LoaderError(FormatText(msg::kDiskFull, {output_path}));
      }
      ReportProgress(totals, written, progress);
      *done += size;
    }
  };

  bool stream_ended = false;
  uint32_t produced;
  do {
    stream->next_out = area.data();
    stream->avail_out = area_size;
    uint32_t done = 0;
    // Before a failure is raised, the whole blocks inflated so far are
    // written: only the block the failure interrupted is lost.
    auto write_full_blocks = [&]() {
      uint32_t filled = area_size - stream->avail_out;
      write_blocks(&done, filled - filled % kOutputBlockSize);
    };
    while (stream->avail_out > 0 && !stream_ended) {
      if (stream->avail_in == 0) {
        // Never past the entry's last byte; a range already used up reads
        // nothing and so ends the entry.
        uint32_t size = 0;
        if (position <= last) {
          int64_t remaining = last - position + 1;
          size =
              remaining >= kInputBufferSize ? kInputBufferSize : static_cast<uint32_t>(remaining);
        }
        if (size == 0) break;
        int32_t got = archive.Read(input.data(), size);
        if (got < 0 || static_cast<uint32_t>(got) > size) {
          write_full_blocks();
          ThrowReadFailure(archive_path);
        }
        if (got == 0) break;
        position += got;
        stream->next_in = input.data();
        stream->avail_in = static_cast<uInt>(got);
      }
      int result = inflate(stream, Z_NO_FLUSH);
      // A stream asking for a preset dictionary cannot be inflated here.
      if (result < 0 || result == Z_NEED_DICT) {
        write_full_blocks();
        throw EZlibError();
      }
      // Whatever follows the end of the stream inside the range is ignored.
      if (result == Z_STREAM_END) stream_ended = true;
    }
    produced = area_size - stream->avail_out;
    write_blocks(&done, produced);
  } while (produced > 0 && !stream_ended);
}

void ExtractAll(Platform& platform, File& archive, const std::string& archive_path,
                int32_t archive_start, const std::string& working_folder, const EntryTable& table,
                ProgressSink& progress, std::vector<ExtractedFile>* created) {
  ExtractionTotals totals;
  totals.grand_total = SumUnpackedSizes(table, table.count);
  // Device names are a matter of the host that creates the files.
  const NameHost host =
      platform.HostPathStyle().trailing == '\\' ? NameHost::kWindows : NameHost::kPosix;

  for (int32_t i = 0; i < table.count && i < kMaxFiles; ++i) {
    const ArchiveEntry& entry = table.entries[static_cast<size_t>(i)];
    std::string output_path = EntryOutputPath(platform, working_folder, entry);
    std::string name =
        StoredNamePart(StoredNameText(entry), platform.StoredNameStyle().is_lead_byte);
    std::unique_ptr<File> output;
    if (IsSafeEntryName(name, host) && ConvertsToSafeName(platform, name, host))
      output = platform.CreateForWriting(output_path);
    if (!output) throw LoaderError(msg::kCannotCreate + output_path);
    if (created != nullptr) created->push_back({output_path, output->Id()});
    // The scoped owner closes the output file also when extraction raises.
    ExtractEntry(archive, archive_path, archive_start, *output, output_path, entry, totals,
                 progress);
  }
}

}  // namespace ldr
