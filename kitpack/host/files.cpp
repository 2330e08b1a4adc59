// What kitpack's files do the same way on every host, on the calls of
// files_posix.cpp and files_win32.cpp.

#include "kitpack/host/files.h"

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

}  // namespace kitpack
