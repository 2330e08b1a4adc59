#include "kitpack/kit/zstream.h"

#include "kitpack/host/threads.h"
#include "kitpack/kit_error.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <string>

namespace kitpack {

int LevelFor(int chosen, bool split) {
  if (chosen != kDefaultLevel) return chosen;
  return split ? kPieceLevel : kWholeLevel;
}

std::vector<Piece> PlanPieces(size_t size) {
  std::vector<Piece> pieces;
  if (size <= kSplitThreshold) {
    pieces.push_back({0, size, true});
    return pieces;
  }
  // Pieces of one length keep the cores evenly loaded to the entry's end.
  const size_t count = (size + kPieceSize - 1) / kPieceSize;
  const size_t each = (size + count - 1) / count;
  for (size_t offset = 0; offset < size; offset += each) {
    size_t length = std::min(each, size - offset);
    pieces.push_back({offset, length, offset + length == size});
  }
  return pieces;
}

Deflater::Deflater(int level) : compressor_(libdeflate_alloc_compressor(level)) {
  if (!compressor_)
    throw KitError("libdeflate could not make a compressor at level " + std::to_string(level));
}

Deflater::~Deflater() { libdeflate_free_compressor(compressor_); }

DeflatedPiece Deflater::Deflate(const unsigned char* in, size_t length, bool last) {
  DeflatedPiece out;
  out.length = length;
  // Room for the stored block a continued piece gets.
  out.bytes.resize(libdeflate_deflate_compress_bound(compressor_, length) + 8);
  const size_t produced =
      libdeflate_deflate_compress(compressor_, in, length, out.bytes.data(), out.bytes.size());
  if (produced == 0) throw KitError("libdeflate found no room for a compressed piece");
  out.bytes.resize(produced);
  if (!last) ContinueAfter(out.bytes);
  out.bytes.shrink_to_fit();
  out.adler = libdeflate_adler32(1, in, length);
  return out;
}

namespace {

// Bit offsets (from the start, least significant bit first, as deflate
// counts) of the final block's header and of the end of its last code.
struct FinalBlock {
  uint64_t header = 0;
  uint64_t end = 0;
};

// Walks the stream block by block with zlib's inflate, which stops at each
// block boundary and tells how many bits of the last byte it read are left.
FinalBlock FindFinalBlock(const std::vector<unsigned char>& raw) {
  if (raw.size() > (size_t{1} << 30)) throw KitError("a compressed piece is too large to join");
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) throw KitError("zlib could not start an inflate stream");
  struct Ender {
    z_stream* s;
    ~Ender() { inflateEnd(s); }
  } ender{&s};
  s.next_in = const_cast<unsigned char*>(raw.data());
  s.avail_in = static_cast<uInt>(raw.size());
  std::vector<unsigned char> sink(size_t{64} << 10);
  FinalBlock block;
  for (;;) {
    s.next_out = sink.data();
    s.avail_out = static_cast<uInt>(sink.size());
    const int rc = inflate(&s, Z_BLOCK);
    if (rc != Z_OK) throw KitError("a compressed piece is not one complete deflate stream");
    // Bit 7: stopped between blocks, with fewer than 8 bits left over;
    // bit 6: the block just ended was the final one.
    if (s.data_type & 128) {
      const uint64_t at = uint64_t{s.total_in} * 8 - static_cast<unsigned>(s.data_type & 7);
      if (s.data_type & 64) {
        block.end = at;
        break;
      }
      block.header = at;
    }
  }
  if ((block.end + 7) / 8 != raw.size())
    throw KitError("a compressed piece has bytes after its final block");
  return block;
}

}  // namespace

void ContinueAfter(std::vector<unsigned char>& raw) {
  const FinalBlock block = FindFinalBlock(raw);
  raw[block.header / 8] &= static_cast<unsigned char>(~(1u << (block.header % 8)));
  // The stored block's three header bits (not final, type 0) are zero, as
  // are the bits that pad the last byte: they fit there when at least three
  // are free; otherwise they take a byte of their own. Then the aligned
  // length 0 and its complement.
  const unsigned used = static_cast<unsigned>(block.end % 8);
  if (used == 0 || used > 5) raw.push_back(0);
  for (unsigned char b : {0x00, 0x00, 0xFF, 0xFF}) raw.push_back(b);
}

void ZlibHeader(int level, unsigned char out[2]) {
  // 32 KiB window, deflate, and the level class as libdeflate gives it.
  const unsigned flevel = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
  unsigned cmf = 0x78;
  unsigned flg = flevel << 6;
  flg += 31 - (cmf * 256 + flg) % 31;
  out[0] = static_cast<unsigned char>(cmf);
  out[1] = static_cast<unsigned char>(flg);
}

std::vector<unsigned char> AssembleZlib(const std::vector<DeflatedPiece>& pieces, int level) {
  size_t total = 6;
  for (const auto& p : pieces) total += p.bytes.size();
  std::vector<unsigned char> out(total);
  ZlibHeader(level, out.data());
  size_t at = 2;
  uLong adler = 1;
  for (const auto& p : pieces) {
    if (!p.bytes.empty()) std::memcpy(out.data() + at, p.bytes.data(), p.bytes.size());
    at += p.bytes.size();
    adler = adler32_combine(adler, p.adler, static_cast<z_off_t>(p.length));
  }
  for (int shift = 24; shift >= 0; shift -= 8)
    out[at++] = static_cast<unsigned char>(adler >> shift);
  return out;
}

std::vector<unsigned char> CompressZlib(const unsigned char* data, size_t size, int level,
                                        unsigned threads) {
  std::vector<Piece> plan = PlanPieces(size);
  level = LevelFor(level, plan.size() > 1);
  std::vector<DeflatedPiece> done(plan.size());
  ParallelFor(plan.size(), threads, [&](size_t i) {
    done[i] = Deflater(level).Deflate(data + plan[i].offset, plan[i].length, plan[i].last);
  });
  return AssembleZlib(done, level);
}

void ParallelFor(size_t count, unsigned threads, const std::function<void(size_t)>& fn) {
  if (threads < 1) threads = 1;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  Mutex error_mutex;
  auto worker = [&] {
    for (;;) {
      size_t i = next.fetch_add(1);
      if (i >= count || failed.load()) return;
      try {
        fn(i);
      } catch (...) {
        Locked lock(error_mutex);
        if (!first_error) first_error = std::current_exception();
        failed = true;
        return;
      }
    }
  };
  size_t n = std::min<size_t>(threads, count);
  ThreadGroup pool;
  for (size_t t = 1; t < n; ++t) pool.Start(worker);
  worker();
  pool.JoinAll();
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace kitpack
