#include "kitpack/kit/zstream.h"

#include "kitpack/host/threads.h"
#include "kitpack/kit_error.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace kitpack {

namespace {
constexpr size_t kWindow = 32768;
}

std::vector<Piece> PlanPieces(size_t size) {
  std::vector<Piece> pieces;
  if (size <= kSplitThreshold) {
    pieces.push_back({0, size, true});
    return pieces;
  }
  for (size_t offset = 0; offset < size; offset += kPieceSize) {
    size_t length = std::min(kPieceSize, size - offset);
    pieces.push_back({offset, length, offset + length == size});
  }
  return pieces;
}

DeflatedPiece DeflatePiece(const unsigned char* data, const Piece& piece, int level) {
  size_t dict = std::min(kWindow, piece.offset);
  return DeflateRaw(data + piece.offset - dict, dict, data + piece.offset, piece.length, piece.last,
                    level);
}

DeflatedPiece DeflateRaw(const unsigned char* before, size_t before_length,
                         const unsigned char* data, size_t length, bool last, int level) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw KitError("zlib could not start a deflate stream");
  struct Ender {
    z_stream* s;
    ~Ender() { deflateEnd(s); }
  } ender{&s};

  if (before_length > 0) {
    size_t dict = std::min(kWindow, before_length);
    if (deflateSetDictionary(&s, before + before_length - dict, static_cast<uInt>(dict)) != Z_OK)
      throw KitError("zlib refused the dictionary");
  }

  DeflatedPiece out;
  out.length = length;
  out.bytes.resize(deflateBound(&s, length) + 64);
  const unsigned char* in = data;
  size_t in_left = length;
  size_t produced = 0;
  const int final_flush = last ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    // zlib counts in uInt; feed very large pieces in slices.
    uInt slice = static_cast<uInt>(std::min<size_t>(in_left, 1u << 30));
    s.next_in = const_cast<unsigned char*>(in);
    s.avail_in = slice;
    bool final_slice = slice == in_left;
    int flush = final_slice ? final_flush : Z_NO_FLUSH;
    for (;;) {
      if (produced == out.bytes.size()) out.bytes.resize(out.bytes.size() * 2);
      s.next_out = out.bytes.data() + produced;
      s.avail_out = static_cast<uInt>(std::min<size_t>(out.bytes.size() - produced, 1u << 30));
      uInt before = s.avail_out;
      int rc = deflate(&s, flush);
      produced += before - s.avail_out;
      if (rc == Z_STREAM_ERROR) throw KitError("zlib deflate failed");
      if (rc == Z_STREAM_END) break;
      // The flush is complete once deflate leaves output space unused.
      if (s.avail_in == 0 && s.avail_out > 0) break;
    }
    in += slice;
    in_left -= slice;
    if (final_slice) break;
  }
  out.bytes.resize(produced);
  out.bytes.shrink_to_fit();
  out.adler = static_cast<uint32_t>(adler32_z(1, data, length));
  return out;
}

void ZlibHeader(int level, unsigned char out[2]) {
  // The same header zlib writes: 32 KiB window, deflate, and the level class.
  unsigned flevel = level == Z_DEFAULT_COMPRESSION ? 2
                    : level < 2                    ? 0
                    : level < 6                    ? 1
                    : level == 6                   ? 2
                                                   : 3;
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
  std::vector<DeflatedPiece> done(plan.size());
  ParallelFor(plan.size(), threads,
              [&](size_t i) { done[i] = DeflatePiece(data, plan[i], level); });
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
