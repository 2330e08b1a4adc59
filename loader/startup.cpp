#include "loader/startup.h"

#include <cstdint>

#include "base/errors.h"
#include "base/failure.h"
#include "base/messages.h"
#include "format/trailer_location.h"

namespace ldr {

namespace {

// The loader's own file as the trailer finder reads it.
class OwnFileBytes final : public ByteSource {
 public:
  explicit OwnFileBytes(File& file) : file_(file) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    if (file_.Seek(static_cast<int64_t>(offset), File::Origin::Begin) !=
        static_cast<int64_t>(offset))
      return false;
    size_t done = 0;
    while (done < size) {
      const uint32_t ask = size - done > 0x10000 ? 0x10000 : static_cast<uint32_t>(size - done);
      const int32_t got = file_.Read(buffer + done, ask);
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    return true;
  }

 private:
  File& file_;
};

}  // namespace

ArchiveTrailer ReadTrailer(Platform& platform, TrailerFound* found) {
  unsigned char bytes[kTrailerSize] = {};
  const PathText path = platform.OwnFilePath();
  if (path.empty()) RaiseLoaderError(msg::kOwnPathTooLong);
  if (!platform.FileExists(path)) {
    RaiseLoaderError(msg::kOwnFileMissing, path);
  }
  OpenFile file = platform.OpenForReading(path);
  if (!file) RaiseLoaderError(msg::kFilePrefix, path, msg::kNotReadableTail);

  const int64_t size = file->Seek(0, File::Origin::End);
  // For a file shorter than the record this seek fails and the position stays
  // at the end, so the read below brings nothing.
  file->Seek(size - static_cast<int64_t>(kTrailerSize), File::Origin::Begin);
  int64_t offset = size - static_cast<int64_t>(kTrailerSize);
  if (file->Read(bytes, kTrailerSize) != static_cast<int32_t>(kTrailerSize)) {
    // A partly read record is never kept.
    for (unsigned char& b : bytes) b = 0;
    offset = -1;
  }

  // A signed kit: the trailer lies before the certificate table that the
  // signing tool appended. The last 56 bytes read above stand otherwise.
  if (size >= 0) {
    OwnFileBytes own(*file);
    const TrailerLocation at = LocateTrailer(own, static_cast<uint64_t>(size));
    if (at.before_certificates) {
      offset = at.offset;
      if (!own.ReadAt(static_cast<uint64_t>(at.offset), bytes, kTrailerSize)) {
        for (unsigned char& b : bytes) b = 0;
        offset = -1;
      }
    }
  }
  if (found != nullptr) {
    found->offset = offset;
    found->file_size = size;
  }
  return DecodeTrailer(bytes);
}

void PrepareWindow(LoaderWindow& window) {
  if (!window.LoadSplashBitmap()) {
    RaiseLoaderError(msg::kNoBitmap);
  }
  if (!window.RegisterMainWindowClass()) RaiseLoaderError(msg::kNoWindowClass);
  if (!window.CreateMainWindow()) RaiseLoaderError(msg::kNoMainWindow);
}

int ReportFailure(LoaderWindow& window, const char* message, int exit_code) {
  // Should the box itself fail, the run still ends with its code.
  class KeepCode final : public FailureHandler {
   public:
    explicit KeepCode(int code) : code_(code) {}
    int Handle(const Failure&) override { return code_; }

   private:
    int code_;
  } keep(exit_code);
  return RunHandled(keep, [&] {
    window.ShowError(message);
    return exit_code;
  });
}

}  // namespace ldr
