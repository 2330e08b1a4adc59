#include "archive/extract.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>

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
  RaiseLoaderError(msg::kCannotRead, archive_path);
}

// One entry being inflated: its input, read from the archive piece by piece
// and never past the entry's last byte, and its output, written in blocks of
// 4 KiB, each followed by its progress report. A short last block waits
// until the stream is known not to be damaged, so that a damaged stream
// loses only the block it interrupted.
class EntryInflation {
 public:
  EntryInflation(File& archive, int64_t position, int64_t last, File& output,
                 ExtractionTotals& totals, ProgressSink& progress)
      : archive_(archive),
        position_(position),
        last_(last),
        output_(output),
        totals_(totals),
        progress_(progress) {}

  int32_t Read(unsigned char* into, uint32_t size) {
    if (position_ > last_) return 0;
    const int64_t remaining = last_ - position_ + 1;
    const uint32_t n = remaining >= size ? size : static_cast<uint32_t>(remaining);
    const int32_t got = archive_.Read(into, n);
    if (got < 0 || static_cast<uint32_t>(got) > n) return -1;
    position_ += got;
    return got;
  }

  bool Write(const unsigned char* bytes, uint32_t size) {
    uint32_t done = 0;
    while (size - done >= kOutputBlockSize) {
      if (!WriteBlock(bytes + done, kOutputBlockSize)) return false;
      done += kOutputBlockSize;
    }
    held_ = bytes + done;  // stays in the inflater's window until its next run
    held_size_ = size - done;
    return true;
  }

  // Writes the last, short block once the stream has not turned out damaged.
  void WriteRest() {
    if (held_size_ > 0) WriteBlock(held_, held_size_);
    held_size_ = 0;
  }

  bool write_failed() const { return write_failed_; }
  uint64_t written() const { return written_; }

 private:
  bool WriteBlock(const unsigned char* bytes, uint32_t size) {
    const int32_t written = output_.Write(bytes, size);
    if (written < 0 || static_cast<uint32_t>(written) != size) {
      write_failed_ = true;  // stops the stream; the caller reports the disk
      return false;
    }
    written_ += static_cast<uint32_t>(written);
    ReportProgress(totals_, written, progress_);
    return true;
  }

  File& archive_;
  int64_t position_;
  const int64_t last_;
  File& output_;
  ExtractionTotals& totals_;
  ProgressSink& progress_;
  bool write_failed_ = false;
  uint64_t written_ = 0;
  const unsigned char* held_ = nullptr;
  uint32_t held_size_ = 0;
};

// In a double-byte code page a name can pass on its bytes and still become
// another once the system converts it: the rule is applied again to the
// name as the system reads it, and a name that does not convert cleanly is
// refused.
bool ConvertsToSafeName(Platform& platform, std::string_view name, NameHost host) {
  if (host != NameHost::kWindows) return true;
  WideName converted;
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

PathText EntryOutputPath(const Platform& platform, std::string_view working_folder,
                         const ArchiveEntry& entry) {
  PathText path = WithTrailingSeparator(working_folder, platform.HostPathStyle());
  path.Append(StoredNamePart(StoredNameText(entry), platform.StoredNameStyle().is_lead_byte));
  return path;
}

void ExtractEntry(File& archive, std::string_view archive_path, int32_t archive_start, File& output,
                  std::string_view output_path, const ArchiveEntry& entry, ExtractionTotals& totals,
                  ProgressSink& progress, EntryEnd* end) {
  // Offsets in 64 bits: start + DataEnd must not wrap around.
  int64_t position = static_cast<int64_t>(archive_start) + entry.data_start;
  const int64_t last = static_cast<int64_t>(archive_start) + entry.data_end;
  if (position < 0 || archive.Seek(position, File::Origin::Begin) != position) {
    ThrowReadFailure(archive_path);
  }

  EntryInflation inflation(archive, position, last, output, totals, progress);
  ZlibInflater inflater;
  const StreamEnd result = inflater.Run(inflation);
  if (inflation.write_failed()) RaiseFormatted(msg::kDiskFull, {output_path});
  if (result == StreamEnd::kReadFailed) ThrowReadFailure(archive_path);
  const bool damaged = result == StreamEnd::kDamaged;
  if (damaged && end == nullptr) RaiseZlibError();
  if (!damaged) inflation.WriteRest();
  if (inflation.write_failed()) RaiseFormatted(msg::kDiskFull, {output_path});
  if (end != nullptr) *end = EntryEnd{result == StreamEnd::kWhole, inflation.written()};
}

bool MayCreateEntryName(Platform& platform, std::string_view name) {
  // Device names are a matter of the host that creates the files.
  const NameHost host =
      platform.HostPathStyle().trailing == '\\' ? NameHost::kWindows : NameHost::kPosix;
  return IsSafeEntryName(name, host) && ConvertsToSafeName(platform, name, host);
}

void ExtractAll(Platform& platform, File& archive, std::string_view archive_path,
                int32_t archive_start, std::string_view working_folder, const EntryTable& table,
                ProgressSink& progress, FileId* installer_file, ExtractionObserver* observer) {
  ExtractionTotals totals;
  totals.grand_total = SumUnpackedSizes(table, table.count);
  PathText installer_path;

  for (int32_t i = 0; i < table.count && i < kMaxFiles; ++i) {
    const ArchiveEntry& entry = table.entries[static_cast<size_t>(i)];
    const PathText output_path = EntryOutputPath(platform, working_folder, entry);
    const std::string_view name =
        StoredNamePart(StoredNameText(entry), platform.StoredNameStyle().is_lead_byte);
    OpenFile output;
    if (observer != nullptr) observer->Creating(i, output_path, entry);
    if (MayCreateEntryName(platform, name)) output = platform.CreateForWriting(output_path);
    if (!output) RaiseLoaderError(msg::kCannotCreate, output_path);
    // The installer's file is the one made last under the first entry's name.
    if (installer_file != nullptr && (i == 0 || output_path == installer_path))
      *installer_file = output->Id();
    if (i == 0) installer_path = output_path;
    // The scoped owner closes the output file also when extraction raises.
    EntryEnd end;
    ExtractEntry(archive, archive_path, archive_start, *output, output_path, entry, totals,
                 progress, observer != nullptr ? &end : nullptr);
    if (observer != nullptr) observer->Extracted(entry, end);
  }
}

}  // namespace ldr
