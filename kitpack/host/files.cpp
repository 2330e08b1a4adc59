// What kitpack's files do the same way on every host, on the calls of
// files_posix.cpp and files_win32.cpp.

#include "kitpack/host/files.h"

#include <algorithm>

#include "payload/host.h"

namespace kitpack {

std::vector<unsigned char> ReadableFile::Range(uint64_t offset, size_t length) const {
  std::vector<unsigned char> data(length);
  RangeInto(offset, data.data(), length);
  return data;
}

void ReadableFile::RangeInto(uint64_t offset, unsigned char* data, size_t length) const {
  size_t done = 0;
  while (done < length) {
    size_t n = ReadSome(offset + done, data + done, length - done);
    if (n == 0) throw KitError(path_ + " ended early (it changed while being read?)");
    done += n;
  }
}

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
  FileInfo info = StatRegularFile(path);
  ReadableFile file(path);
  return file.Range(0, static_cast<size_t>(info.size));
}

void PendingOutput::InsertZeros(uint64_t offset, uint64_t count) {
  if (count == 0) return;
  // From the end backwards, so that nothing is overwritten before it moved.
  std::vector<unsigned char> buffer;
  uint64_t end = position_;
  while (end > offset) {
    const uint64_t begin = end - std::min<uint64_t>(end - offset, uint64_t{1} << 20);
    buffer.resize(static_cast<size_t>(end - begin));
    if (!ldr::payload::ReadFullyAt(handle_, begin, buffer.data(), buffer.size()))
      throw KitError("cannot read " + temp_path_ + ": " + ldr::payload::LastSystemErrorText());
    WriteAt(begin + count, buffer.data(), buffer.size());
    end = begin;
  }
  buffer.assign(static_cast<size_t>(count), 0);
  WriteAt(offset, buffer.data(), buffer.size());
  position_ += count;
}

}  // namespace kitpack
