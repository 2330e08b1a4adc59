#include "archive/extract.h"

#include <zlib.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>

#include "base/errors.h"
#include "base/messages.h"
#include "base/text_rules.h"
#include "format/stored_names.h"

namespace ldr {
namespace {

// The percentage must be computed with a 64-bit mantissa: in double precision
// 23 of 40 bytes would show 57 instead of 58.
static_assert(LDBL_MANT_DIG == 64, "long double must be the 80-bit extended type");

[[noreturn]] void ThrowReadFailure(std::string_view archive_path) {
  throw LoaderError(msg::kCannotRead, archive_path);
}

// What inflate allocates for one stream, its state and its 32 KiB window,
// comes from a block inside the stream object, handed out in order and
// given back all at once with the stream. A request the block cannot meet
// gets nothing, which inflate reports as a negative result like any other
// lack of memory.
class InflateMemory {
 public:
  static voidpf Allocate(voidpf opaque, uInt items, uInt size) {
    InflateMemory* memory = static_cast<InflateMemory*>(opaque);
    const uint64_t wanted = static_cast<uint64_t>(items) * size;
    const uint64_t rounded = (wanted + kAlign - 1) / kAlign * kAlign;
    if (rounded > sizeof memory->block_ - memory->used_) return Z_NULL;
    void* at = memory->block_ + memory->used_;
    memory->used_ += static_cast<size_t>(rounded);
    return at;
  }
  static void Free(voidpf, voidpf) {}

 private:
  static constexpr size_t kAlign = alignof(std::max_align_t);
  // The state (about 7 KiB on 64-bit systems) and the window, with room.
  alignas(std::max_align_t) unsigned char block_[48 * 1024];
  size_t used_ = 0;
};

// Ends the stream on every path, the error path included.
class InflateStream {
 public:
  InflateStream() {
    std::memset(&stream_, 0, sizeof stream_);
    stream_.zalloc = &InflateMemory::Allocate;
    stream_.zfree = &InflateMemory::Free;
    stream_.opaque = &memory_;
    stream_.next_in = Z_NULL;
    stream_.avail_in = 0;
    if (inflateInit(&stream_) < 0) throw EZlibError();
  }
  ~InflateStream() { inflateEnd(&stream_); }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  z_stream* get() { return &stream_; }

 private:
  InflateMemory memory_;
  z_stream stream_;
};

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

PathText EntryOutputPath(const Platform& platform, std::string_view working_folder,
                         const ArchiveEntry& entry) {
  PathText path = WithTrailingSeparator(working_folder, platform.HostPathStyle());
  path.Append(StoredNamePart(StoredNameText(entry), platform.StoredNameStyle().is_lead_byte));
  return path;
}

void ExtractEntry(File& archive, std::string_view archive_path, int32_t archive_start, File& output,
                  std::string_view output_path, const ArchiveEntry& entry, ExtractionTotals& totals,
                  ProgressSink& progress) {
  // Offsets in 64 bits: start + DataEnd must not wrap around.
  int64_t position = static_cast<int64_t>(archive_start) + entry.data_start;
  const int64_t last = static_cast<int64_t>(archive_start) + entry.data_end;
  if (position < 0 || archive.Seek(position, File::Origin::Begin) != position) {
    ThrowReadFailure(archive_path);
  }

  const uint32_t area_size = kOutputBlockSize * kBlocksPerInflate;
  unsigned char input[kInputBufferSize];
  unsigned char area[area_size];
  InflateStream inflater;
  z_stream* stream = inflater.get();
  stream->next_in = input;
  stream->avail_in = 0;

  // Writes the area's bytes from *done up to end in blocks of 4 KiB (the
  // last one possibly short), each followed by its progress report.
  auto write_blocks = [&](uint32_t* done, uint32_t end) {
    while (*done < end) {
      uint32_t size = end - *done < kOutputBlockSize ? end - *done : kOutputBlockSize;
      int32_t written = output.Write(area + *done, size);
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
    stream->next_out = area;
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
        int32_t got = archive.Read(input, size);
        if (got < 0 || static_cast<uint32_t>(got) > size) {
          write_full_blocks();
          ThrowReadFailure(archive_path);
        }
        if (got == 0) break;
        position += got;
        stream->next_in = input;
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

void ExtractAll(Platform& platform, File& archive, std::string_view archive_path,
                int32_t archive_start, std::string_view working_folder, const EntryTable& table,
                ProgressSink& progress) {
  ExtractionTotals totals;
  totals.grand_total = SumUnpackedSizes(table, table.count);
  // Device names are a matter of the host that creates the files.
  const NameHost host =
      platform.HostPathStyle().trailing == '\\' ? NameHost::kWindows : NameHost::kPosix;

  for (int32_t i = 0; i < table.count && i < kMaxFiles; ++i) {
    const ArchiveEntry& entry = table.entries[static_cast<size_t>(i)];
    const PathText output_path = EntryOutputPath(platform, working_folder, entry);
    const std::string_view name =
        StoredNamePart(StoredNameText(entry), platform.StoredNameStyle().is_lead_byte);
    std::unique_ptr<File> output;
    if (IsSafeEntryName(name, host)) output = platform.CreateForWriting(output_path.c_str());
    if (!output) throw LoaderError(msg::kCannotCreate, output_path);
    // The scoped owner closes the output file also when extraction raises.
    ExtractEntry(archive, archive_path, archive_start, *output, output_path, entry, totals,
                 progress);
  }
}

}  // namespace ldr
