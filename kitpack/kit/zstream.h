#pragma once
// zlib streams (RFC 1950) compressed on several threads at once.
//
// A large entry is cut into pieces of a fixed size. Each piece is deflated
// raw, primed with the 32 KiB before it as its dictionary, and ended with a
// sync flush (the last with a finish), so the pieces simply concatenate into
// one deflate stream; the zlib header goes in front and the Adler-32 of the
// whole, combined from the pieces' checksums, behind. The cut depends only on
// the entry's size, never on the number of threads, so the output is the same
// byte for byte however many threads ran.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kitpack {

inline constexpr size_t kPieceSize = size_t{1} << 20;
// Entries up to this size are one piece: the split only pays off when there
// is enough data to keep every core busy.
inline constexpr size_t kSplitThreshold = size_t{4} << 20;

struct Piece {
  size_t offset = 0;
  size_t length = 0;
  bool last = false;
};

// Where an entry of `size` bytes is cut. At least one piece, even for 0 bytes.
std::vector<Piece> PlanPieces(size_t size);

struct DeflatedPiece {
  std::vector<unsigned char> bytes;  // raw deflate, byte-aligned at its end
  uint32_t adler = 1;                // Adler-32 of the piece's input alone
  size_t length = 0;                 // input length
};

// Deflates one piece of `data` (the whole entry, so the dictionary can be
// taken from before the piece).
DeflatedPiece DeflatePiece(const unsigned char* data, const Piece& piece, int level);
// The same with the piece's input and the bytes before it (at most 32 KiB
// are used) given separately.
DeflatedPiece DeflateRaw(const unsigned char* before, size_t before_length, const unsigned char* in,
                         size_t length, bool last, int level);

// The two-byte zlib header zlib itself writes for this level.
void ZlibHeader(int level, unsigned char out[2]);

// Joins the pieces of one entry, in order, into a complete zlib stream.
std::vector<unsigned char> AssembleZlib(const std::vector<DeflatedPiece>& pieces, int level);

// Compresses a whole buffer on `threads` threads.
std::vector<unsigned char> CompressZlib(const unsigned char* data, size_t size, int level,
                                        unsigned threads);

// Runs fn(0) .. fn(count - 1) on up to `threads` threads. The first exception
// thrown by any call is rethrown here once every thread has stopped.
void ParallelFor(size_t count, unsigned threads, const std::function<void(size_t)>& fn);

}  // namespace kitpack
