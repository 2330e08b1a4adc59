#include "archive/extract.h"

#include <zlib.h>

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

// What inflate allocates for one stream (its state, about 7 KiB on 64-bit
// systems) comes from a block inside the stream object, handed out in order
// and given back all at once with the stream. A request the block cannot
// meet gets nothing, which inflate reports as a negative result like any
// other lack of memory.
class InflateMemory {
 public:
  static voidpf Allocate(voidpf opaque, uInt items, uInt size) {
    InflateMemory* memory = static_cast<InflateMemory*>(opaque);
    const uint64_t wanted = static_cast<uint64_t>(items) * size;
    const uint64_t rounded = (wanted + kAlign - 1) / kAlign * kAlign;
    if (rounded > sizeof memory->block_ - memory->used_) return Z_NULL;
    void* at = memory->block_ + memory->used_;
    memory->used_ += static_cast<size_t>(rounded);
    std::memset(at, 0, static_cast<size_t>(rounded));  // as zlib's own allocator gives it
    return at;
  }
  static void Free(voidpf, voidpf) {}

 private:
  static constexpr size_t kAlign = alignof(std::max_align_t);
  alignas(std::max_align_t) unsigned char block_[16 * 1024];
  size_t used_ = 0;
};

// The checksum of a zlib stream (RFC 1950): two sums modulo 65521, folded
// at most every 5552 bytes, where the larger one could still not overflow.
uint32_t Adler32(uint32_t adler, const unsigned char* data, size_t size) {
  constexpr uint32_t kBase = 65521;
  constexpr size_t kMostBeforeFold = 5552;
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
  while (size > 0) {
    size_t n = size < kMostBeforeFold ? size : kMostBeforeFold;
    size -= n;
    for (; n >= 8; n -= 8, data += 8) {
      a += data[0], b += a;
      a += data[1], b += a;
      a += data[2], b += a;
      a += data[3], b += a;
      a += data[4], b += a;
      a += data[5], b += a;
      a += data[6], b += a;
      a += data[7], b += a;
    }
    for (; n > 0; --n) a += *data++, b += a;
    a %= kBase;
    b %= kBase;
  }
  return (b << 16) | a;
}

// One entry being inflated: its input, read from the archive piece by piece
// and never past the entry's last byte, and its output, written in blocks of
// 4 KiB, each followed by its progress report.
//
// The deflate data in between goes through inflateBack, which decodes into
// the 32 KiB window given here and hands each full window over; the zlib
// wrapper around it (the two header bytes, the checksum at the end) is read
// here, with the results inflate itself would give: a damaged header, a
// preset dictionary or a wrong checksum is a negative result, a stream that
// its range or the file cuts short simply ends.
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

  // What became of the stream.
  enum class Result { kEnded, kDamaged, kReadFailed };

  Result Run() {
    // Never a byte of earlier memory in the output, whatever the stream.
    std::memset(window_, 0, sizeof window_);
    unsigned char header[2];
    if (!Take(header, 2)) return InputEnd();
    const uint32_t cmf = header[0];
    const uint32_t flags = header[1];
    const bool valid =
        (cmf * 256 + flags) % 31 == 0 && (cmf & 0x0F) == Z_DEFLATED && (cmf >> 4) + 8 <= MAX_WBITS;
    if (!valid) return Result::kDamaged;
    if ((flags & 0x20) != 0) {
      // A preset dictionary: damaged once its identifier has arrived.
      unsigned char dictionary_id[4];
      return Take(dictionary_id, 4) ? Result::kDamaged : InputEnd();
    }

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    stream.zalloc = &InflateMemory::Allocate;
    stream.zfree = &InflateMemory::Free;
    stream.opaque = &memory_;
    if (inflateBackInit(&stream, MAX_WBITS, window_) != Z_OK) return Result::kDamaged;
    // Every input byte goes through Pull; none is handed over at the start.
    stream.next_in = Z_NULL;
    stream.avail_in = 0;
    const int result =
        inflateBack(&stream, &EntryInflation::Pull, this, &EntryInflation::Push, this);
    // What inflateBack did not use is the end of the last piece Pull gave,
    // and the rest of the input buffer follows it.
    if (stream.next_in != Z_NULL) {
      next_ = stream.next_in;
      have_ += stream.avail_in;
    }
    inflateBackEnd(&stream);
    if (failure_ != Result::kEnded) return failure_;  // raised while writing
    if (result == Z_BUF_ERROR) return InputEnd();     // the input ran out
    if (result != Z_STREAM_END) return Result::kDamaged;

    unsigned char check[4];
    if (!Take(check, 4)) return InputEnd();
    const uint32_t expected = static_cast<uint32_t>(check[0]) << 24 |
                              static_cast<uint32_t>(check[1]) << 16 |
                              static_cast<uint32_t>(check[2]) << 8 | check[3];
    complete_ = expected == adler_;
    return complete_ ? Result::kEnded : Result::kDamaged;
  }

  // Writes the last, short block once the stream has ended well.
  void WriteRest() {
    if (held_size_ > 0) WriteBlock(held_, held_size_);
    held_size_ = 0;
  }

  bool write_failed() const { return write_failed_; }
  bool complete() const { return complete_; }
  uint64_t written() const { return written_; }

 private:
  // The input ends short of the stream: an end, unless a read failed.
  Result InputEnd() const { return read_failed_ ? Result::kReadFailed : Result::kEnded; }

  // The next piece of the entry's range into the input buffer; false when
  // the range is used up, the file ends or a read fails.
  bool Fill() {
    if (position_ > last_) return false;
    const int64_t remaining = last_ - position_ + 1;
    const uint32_t size =
        remaining >= kInputBufferSize ? kInputBufferSize : static_cast<uint32_t>(remaining);
    const int32_t got = archive_.Read(input_, size);
    if (got < 0 || static_cast<uint32_t>(got) > size) {
      read_failed_ = true;
      return false;
    }
    if (got == 0) return false;
    position_ += got;
    next_ = input_;
    have_ = static_cast<uint32_t>(got);
    return true;
  }

  // Exactly size bytes of input, or false when the input ends before.
  bool Take(unsigned char* bytes, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
      if (have_ == 0 && !Fill()) return false;
      bytes[i] = *next_++;
      --have_;
    }
    return true;
  }

  // The input for inflateBack. Until its first full window has gone out,
  // in pieces of at most 5 bytes: with fewer than 6 bytes at hand it decodes
  // step by step, where a distance reaching back before the stream's start
  // is refused, as inflate refuses it. Its fast loop, which it takes with
  // more input, lets such a distance pass in this zlib while the window is
  // not yet full, and copies from window bytes nothing has written. Once
  // the window is full every distance the format allows is valid, and the
  // input goes over in whole pieces.
  static unsigned Pull(void* self, z_const unsigned char** bytes) {
    EntryInflation& e = *static_cast<EntryInflation*>(self);
    if (e.have_ == 0 && !e.Fill()) return 0;
    constexpr uint32_t kStepByStep = 5;
    const uint32_t n = e.window_full_ || e.have_ < kStepByStep ? e.have_ : kStepByStep;
    *bytes = e.next_;
    e.next_ += n;
    e.have_ -= n;
    return n;
  }

  // A full window, or what is left at the end. Whole blocks are written at
  // once; a short last one waits until the stream is known to be whole, so
  // that a damaged stream loses only the block it interrupted.
  static int Push(void* self, unsigned char* bytes, unsigned size) {
    EntryInflation& e = *static_cast<EntryInflation*>(self);
    if (size == sizeof e.window_) e.window_full_ = true;
    e.adler_ = Adler32(e.adler_, bytes, size);
    uint32_t done = 0;
    while (size - done >= kOutputBlockSize) {
      if (!e.WriteBlock(bytes + done, kOutputBlockSize)) return 1;
      done += kOutputBlockSize;
    }
    e.held_ = bytes + done;  // stays in the window until inflateBack returns
    e.held_size_ = size - done;
    return 0;
  }

  bool WriteBlock(const unsigned char* bytes, uint32_t size) {
    const int32_t written = output_.Write(bytes, size);
    if (written < 0 || static_cast<uint32_t>(written) != size) {
      write_failed_ = true;
      failure_ = Result::kDamaged;  // stops inflateBack; the caller reports the disk
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

  unsigned char* next_ = nullptr;  // input not yet taken
  uint32_t have_ = 0;
  bool read_failed_ = false;
  bool write_failed_ = false;
  bool window_full_ = false;  // inflateBack has handed over a whole window
  bool complete_ = false;     // the checksum arrived and matched
  uint64_t written_ = 0;
  Result failure_ = Result::kEnded;
  uint32_t adler_ = 1;
  const unsigned char* held_ = nullptr;  // the short last block, in the window
  uint32_t held_size_ = 0;

  InflateMemory memory_;
  unsigned char input_[kInputBufferSize];
  unsigned char window_[1u << MAX_WBITS];
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
  const EntryInflation::Result result = inflation.Run();
  if (inflation.write_failed()) RaiseFormatted(msg::kDiskFull, {output_path});
  if (result == EntryInflation::Result::kReadFailed) ThrowReadFailure(archive_path);
  if (result == EntryInflation::Result::kDamaged && end == nullptr) RaiseZlibError();
  if (result != EntryInflation::Result::kDamaged) inflation.WriteRest();
  if (inflation.write_failed()) RaiseFormatted(msg::kDiskFull, {output_path});
  if (end != nullptr) *end = EntryEnd{inflation.complete(), inflation.written()};
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
