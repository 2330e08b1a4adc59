#include "tests/archive/archive_builder.h"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace ldr::testing {

std::string ZlibStream(const std::string& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                level) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

std::string ZlibStreamWithDictionary(const std::string& data, const std::string& dictionary) {
  z_stream s;
  std::memset(&s, 0, sizeof s);
  if (deflateInit(&s, 9) != Z_OK) throw std::runtime_error("deflateInit failed");
  deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dictionary.data()),
                       static_cast<uInt>(dictionary.size()));
  std::string out(deflateBound(&s, static_cast<uLong>(data.size())) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate failed");
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x & 0xFF);
  }
  return out;
}

std::string DataWithStreamSize(size_t stream_size, std::string* stream) {
  // Stored blocks cost a few bytes each, so the stream grows with the data by
  // one byte at a time except at block boundaries: search downwards.
  std::string pool = RandomBytes(stream_size, 7);
  for (size_t n = stream_size; n-- > 0;) {
    std::string candidate = ZlibStream(pool.substr(0, n), 0);
    if (candidate.size() == stream_size) {
      *stream = candidate;
      return pool.substr(0, n);
    }
    if (candidate.size() < stream_size - 64) break;
  }
  throw std::runtime_error("no data gives a stream of that size");
}

ArchiveEntry MakeEntry(const std::string& stored_name, int32_t unpacked_size) {
  ArchiveEntry e;
  e.file_time = 36018.5;
  if (!SetShortString(e.stored_name, stored_name)) throw std::runtime_error("name too long");
  e.unpacked_size = unpacked_size;
  return e;
}

std::string HeaderBytes(int32_t file_count, uint8_t flag) {
  unsigned char bytes[kHeaderSize];
  PutInt32(bytes, file_count);
  bytes[4] = flag;
  return std::string(reinterpret_cast<char*>(bytes), kHeaderSize);
}

std::string RecordBytes(const ArchiveEntry& entry) {
  unsigned char bytes[kEntrySize];
  EncodeEntry(entry, bytes);
  return std::string(reinterpret_cast<char*>(bytes), kEntrySize);
}

std::string BuildArchive(const std::vector<TestEntry>& entries, int32_t file_count) {
  std::string out = HeaderBytes(file_count);
  for (const TestEntry& t : entries) {
    ArchiveEntry e = MakeEntry(t.stored_name, t.unpacked_size);
    int32_t header_offset = static_cast<int32_t>(out.size());
    e.data_start = header_offset + static_cast<int32_t>(kEntrySize);
    e.data_end = e.data_start + static_cast<int32_t>(t.stream.size()) - 1;
    e.next_header = e.data_end + 1;
    out += RecordBytes(e);
    out += t.stream;
  }
  return out;
}

}  // namespace ldr::testing
