#include "inflate/zlib_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>
#include <string>

#include "inflate/exact_stream.h"
#include "tests/support/archive_builder.h"

namespace ldr {
namespace {

using testing::RandomBytes;
using testing::ZlibStream;

// Text with long repeats and random bytes: matches reaching across whole
// windows and stored blocks, 100 KB in all.
std::string Data() {
  std::string data;
  while (data.size() < 60000) data += "entry, stream, window, checksum; ";
  return data + RandomBytes(40000, 29);
}

// A stream of fixed codes only, the tables zlib builds at their first use.
std::string FixedCodes(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_FIXED), Z_OK);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// The input in pieces of at most `piece` bytes; a read fails at `fail_at`.
struct Input {
  Input(std::string bytes, uint32_t piece = 1u << 30) : bytes(std::move(bytes)), piece(piece) {}
  int32_t Read(unsigned char* into, uint32_t size) {
    if (at >= fail_at) return -1;
    const size_t n = std::min<size_t>({size, piece, bytes.size() - at});
    bytes.copy(reinterpret_cast<char*>(into), n, at);
    at += n;
    return static_cast<int32_t>(n);
  }
  std::string bytes;
  uint32_t piece;
  size_t at = 0;
  size_t fail_at = std::string::npos;
};

// Keeps what it is given; refuses once it holds `limit` bytes.
struct Output {
  bool Write(const unsigned char* data, uint32_t size) {
    largest = std::max(largest, size);
    if (got.size() >= limit) return false;
    got.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string got;
  size_t limit = std::string::npos;
  uint32_t largest = 0;
};

struct Result {
  StreamEnd end;
  std::string got;
  uint32_t unused;
};

// The inflater's side of both.
struct Io {
  int32_t Read(unsigned char* into, uint32_t size) { return input.Read(into, size); }
  bool Write(const unsigned char* data, uint32_t size) { return output.Write(data, size); }
  Input& input;
  Output& output;
};

StreamEnd Inflate(ZlibInflater& inflater, Input& input, Output& output) {
  Io io{input, output};
  return inflater.Run(io);
}

Result Inflate(ZlibInflater& inflater, Input input) {
  Output output;
  const StreamEnd end = Inflate(inflater, input, output);
  return {end, output.got, inflater.unused()};
}

TEST(ZlibInflater, InputInAnyPiecesGivesTheSameStreamInWindowsAtMost) {
  const std::string data = Data();
  ZlibInflater inflater;
  for (uint32_t piece : {1u, 2u, 5u, 6u, 4096u, 65536u}) {
    Input input(ZlibStream(data) + "tail", piece);
    Output output;
    EXPECT_EQ(Inflate(inflater, input, output), StreamEnd::kWhole) << piece;
    EXPECT_EQ(output.got, data) << piece;
    EXPECT_LE(output.largest, ZlibInflater::kWindowSize);
    // What the last read brought beyond the stream, never what came after.
    EXPECT_EQ(inflater.unused() + (input.bytes.size() - input.at), 4u) << piece;
  }
}

TEST(ZlibInflater, FixedCodesInflateOnTheFirstAndEveryLaterUse) {
  PrepareInflation();
  ZlibInflater inflater;
  for (int i = 0; i < 2; ++i) {
    const Result run = Inflate(inflater, Input(FixedCodes(Data())));
    EXPECT_EQ(run.end, StreamEnd::kWhole);
    EXPECT_EQ(run.got, Data());
  }
}

TEST(ZlibInflater, AStreamCutAnywhereEndsShortWithAPrefixOfItsBytes) {
  const std::string data = Data().substr(0, 3000);
  const std::string stream = ZlibStream(data);
  ZlibInflater inflater;
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    const Result run = Inflate(inflater, Input(stream.substr(0, cut), 7));
    ASSERT_EQ(run.end, StreamEnd::kCutShort) << cut;
    EXPECT_EQ(data.compare(0, run.got.size(), run.got), 0) << cut;
  }
  // A read that fails where more input is needed is not an end.
  Input failing(stream, 7);
  failing.fail_at = stream.size() - 8;
  Output output;
  EXPECT_EQ(Inflate(inflater, failing, output), StreamEnd::kReadFailed);
}

TEST(ZlibInflater, DamageIsNamedAsInflateNamesIt) {
  const std::string stream = ZlibStream("checked at the end");
  std::string wrong_check = stream;
  wrong_check.back() ^= 1;
  std::string wrong_header = stream;
  wrong_header[1] ^= 1;
  std::string bad_block = stream;
  bad_block[2] = static_cast<char>(0x07);  // block type 3
  const struct {
    std::string stream;
    Damage damage;
    std::string text;
  } cases[] = {
      {wrong_check, Damage::kChecksum, "incorrect data check"},
      {wrong_header, Damage::kHeader, "incorrect header"},
      {bad_block, Damage::kData, "invalid block type"},
      {testing::ZlibStreamWithDictionary("x", "dictionary"), Damage::kDictionary,
       "needs a preset dictionary"},
  };
  ZlibInflater inflater;
  for (const auto& c : cases) {
    EXPECT_EQ(Inflate(inflater, Input(c.stream)).end, StreamEnd::kDamaged) << c.text;
    EXPECT_EQ(inflater.damage(), c.damage) << c.text;
    EXPECT_EQ(inflater.DamageText(), c.text);
  }
  // The next stream owes nothing to the damaged one before it.
  const Result run = Inflate(inflater, Input(ZlibStream(Data())));
  EXPECT_EQ(run.end, StreamEnd::kWhole);
  EXPECT_EQ(inflater.damage(), Damage::kNone);
  EXPECT_EQ(run.got, Data());
}

TEST(ZlibInflater, AnOutputThatRefusesStopsTheStream) {
  ZlibInflater inflater;
  Input input(ZlibStream(Data()));
  Output output;
  output.limit = 1;
  EXPECT_EQ(Inflate(inflater, input, output), StreamEnd::kStopped);
  EXPECT_EQ(output.got, Data().substr(0, ZlibInflater::kWindowSize));
}

// One stream held to its record, with the range read at offsets.
struct Exact {
  ExactEnd end;
  std::string got;
};

Exact InflateExact(ZlibInflater& inflater, const std::string& range, int64_t size) {
  Exact exact;
  exact.end = InflateExactly(
      inflater, static_cast<int64_t>(range.size()), size,
      [&](uint64_t offset, unsigned char* into, size_t n) {
        ASSERT_LE(offset + n, range.size());
        range.copy(reinterpret_cast<char*>(into), n, offset);
      },
      [&](const unsigned char* bytes, size_t n) {
        exact.got.append(reinterpret_cast<const char*>(bytes), n);
      });
  return exact;
}

TEST(InflateExactly, HoldsTheStreamToItsRangeAndSize) {
  const std::string data = Data();
  const int64_t size = static_cast<int64_t>(data.size());
  const std::string stream = ZlibStream(data);
  ZlibInflater inflater;
  using Kind = ExactEnd::Kind;
  EXPECT_EQ(InflateExact(inflater, stream, size).end.kind, Kind::kWhole);
  EXPECT_EQ(InflateExact(inflater, stream.substr(0, stream.size() - 1), size).end.kind,
            Kind::kCutShort);
  // Bytes after the stream, in the piece last read and beyond it.
  for (size_t extra : {size_t{3}, size_t{70000}}) {
    const ExactEnd end = InflateExact(inflater, stream + std::string(extra, 'x'), size).end;
    EXPECT_EQ(end.kind, Kind::kEndsEarly);
    EXPECT_EQ(end.left, static_cast<int64_t>(extra));
  }
  const Exact more = InflateExact(inflater, stream, size + 1);
  EXPECT_EQ(more.end.kind, Kind::kWrongSize);
  EXPECT_EQ(more.end.produced, size);
  // The sink never gets a byte beyond the size.
  const Exact less = InflateExact(inflater, stream, size - 1);
  EXPECT_EQ(less.end.kind, Kind::kTooLong);
  EXPECT_LE(less.got.size(), data.size() - 1);
  EXPECT_EQ(less.got, data.substr(0, less.got.size()));
}

TEST(InflateExactly, WhatReadsAndSinksRaiseReachesTheCaller) {
  const std::string data = RandomBytes(100000, 3);
  const std::string stream = ZlibStream(data);
  ZlibInflater inflater;
  const auto read = [&](uint64_t offset, unsigned char* into, size_t n) {
    if (offset > 0) throw std::runtime_error("read");
    stream.copy(reinterpret_cast<char*>(into), n, offset);
  };
  const int64_t packed = static_cast<int64_t>(stream.size());
  const int64_t size = static_cast<int64_t>(data.size());
  // The first read is 64 KiB of a longer stream.
  ASSERT_GT(stream.size(), ZlibInflater::kInputSize);
  EXPECT_THROW(InflateExactly(inflater, packed, size, read, [](const unsigned char*, size_t) {}),
               std::runtime_error);
  EXPECT_THROW(InflateExactly(inflater, packed, size, read,
                              [](const unsigned char*, size_t) { throw std::logic_error("sink"); }),
               std::logic_error);
  EXPECT_EQ(InflateExact(inflater, stream, size).end.kind, ExactEnd::Kind::kWhole);
}

}  // namespace
}  // namespace ldr
