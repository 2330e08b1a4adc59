#include "tests/support/archive_builder.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace ldr::testing {
namespace {

// A fault of the test itself, not of the loader: in the build without
// exceptions the test program stops there.
[[noreturn]] void TestFault(const char* what) {
#if __cpp_exceptions
  throw std::runtime_error(what);
#else
  std::fprintf(stderr, "%s\n", what);
  std::abort();
#endif
}

}  // namespace

std::string ZlibStream(const std::string& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                level) != Z_OK) {
    TestFault("compress2 failed");
  }
  out.resize(size);
  return out;
}

std::string ZlibStreamWithDictionary(const std::string& data, const std::string& dictionary) {
  z_stream s;
  std::memset(&s, 0, sizeof s);
  if (deflateInit(&s, 9) != Z_OK) TestFault("deflateInit failed");
  deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dictionary.data()),
                       static_cast<uInt>(dictionary.size()));
  std::string out(deflateBound(&s, static_cast<uLong>(data.size())) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) TestFault("deflate failed");
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
  TestFault("no data gives a stream of that size");
}

TestEntry FileEntry(const std::string& stored_name, const std::string& data) {
  return {stored_name, ZlibStream(data, 9), static_cast<int32_t>(data.size())};
}

ArchiveEntry MakeEntry(const std::string& stored_name, int32_t unpacked_size) {
  ArchiveEntry e;
  e.file_time = 36018.5;
  if (!SetShortString(e.stored_name, stored_name)) TestFault("name too long");
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

std::string BuildSelfExtracting(const std::string& image, const std::string& archive,
                                const std::string& second_archive) {
  const int32_t start = static_cast<int32_t>(image.size());
  const int32_t end = start + static_cast<int32_t>(archive.size()) - 1;
  const int32_t second_end = end + static_cast<int32_t>(second_archive.size());
  unsigned char trailer[kTrailerSize];
  EncodeTrailer(MakeSelfExtractingTrailer(start, end, end + 1, second_end), trailer);
  return image + archive + second_archive +
         std::string(reinterpret_cast<const char*>(trailer), kTrailerSize);
}

LiteralResult LiteralExtract(const std::string& range) {
  LiteralResult result;
  z_stream s;
  std::memset(&s, 0, sizeof s);
  if (inflateInit(&s) != Z_OK) TestFault("inflateInit failed");
  unsigned char block[4096];
  size_t position = 0;
  uint32_t produced;
  bool ended = false;
  do {
    s.next_out = block;
    s.avail_out = sizeof block;
    while (s.avail_out > 0 && !ended) {
      if (s.avail_in == 0) {
        size_t size = range.size() - position < 65536 ? range.size() - position : 65536;
        if (size == 0) break;
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(range.data() + position));
        s.avail_in = static_cast<uInt>(size);
        position += size;
      }
      int r = inflate(&s, Z_NO_FLUSH);
      if (r < 0 || r == Z_NEED_DICT) {
        result.zlib_error = true;
        inflateEnd(&s);
        return result;
      }
      ended = r == Z_STREAM_END;
    }
    produced = static_cast<uint32_t>(sizeof block - s.avail_out);
    if (produced > 0) {
      result.writes.push_back(produced);
      result.output.append(reinterpret_cast<char*>(block), produced);
    }
  } while (produced > 0 && !ended);
  result.ended = ended;
  inflateEnd(&s);
  return result;
}

}  // namespace ldr::testing
