#pragma once
// zlib streams (RFC 1950) compressed by libdeflate on several threads at once.
//
// libdeflate compresses a whole buffer at a time: it neither continues a
// stream nor takes a dictionary. A large entry is therefore cut into pieces
// of a fixed size, each compressed on its own. Every piece but the last is
// then made to lead into the next one: its final block's last-block bit is
// cleared and an empty stored block (a sync flush's marker) brings it to a
// byte boundary, so the pieces simply concatenate into one deflate stream;
// the zlib header goes in front and the Adler-32 of the whole, combined from
// the pieces' checksums, behind. The cut depends only on the entry's size,
// never on the number of threads, and libdeflate's output only on its
// version and the level, so the output is the same byte for byte however
// many threads ran and on whichever host.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct libdeflate_compressor;

namespace kitpack {

// libdeflate's scale: 0 stores, 1 is fastest, 12 smallest.
inline constexpr int kMaxLevel = 12;
// No --level given: entries compressed whole at kWholeLevel, the pieces of
// split entries at kPieceLevel (LevelFor). On libraries, 12 makes whole
// entries only 0.02% smaller than 11 for a quarter more CPU time; on the
// pieces of big entries 11 takes as long as pigz -9 on two cores while 10
// is a quarter faster and still 4% smaller than the tar.gz
// (docs/benchmarks.md).
inline constexpr int kDefaultLevel = -1;
inline constexpr int kWholeLevel = 11;
inline constexpr int kPieceLevel = 10;

// The level an entry is compressed at, all its pieces alike: `chosen` when
// one was given, otherwise by whether the entry is split.
int LevelFor(int chosen, bool split);

// Each piece starts with no history, which costs about 0.12% of a big
// entry's size at 2 MiB and 0.02% at 8 MiB; larger pieces would leave one
// core idle for longer at the end of an archive.
inline constexpr size_t kPieceSize = size_t{8} << 20;
// Entries up to this size are one piece; larger ones are cut into the
// fewest pieces of at most kPieceSize, all of one length but the last.
inline constexpr size_t kSplitThreshold = kPieceSize;

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

// One libdeflate compressor at one level; a thread uses its own. Raises
// KitError when libdeflate cannot allocate one.
class Deflater {
 public:
  explicit Deflater(int level);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses one piece's input. A piece that is not the last ends with
  // an empty stored block and no final block, ready for the next piece.
  DeflatedPiece Deflate(const unsigned char* in, size_t length, bool last);

 private:
  libdeflate_compressor* compressor_;
};

// Makes a complete raw deflate stream lead on into whatever follows it: the
// final block's last-block bit is cleared and an empty stored block appended.
// Raises KitError when `raw` is not exactly one complete deflate stream.
void ContinueAfter(std::vector<unsigned char>& raw);

// The two-byte zlib header libdeflate writes for this level (the level
// class in it is a hint that no inflater reads).
void ZlibHeader(int level, unsigned char out[2]);

// Joins the pieces of one entry, in order, into a complete zlib stream.
std::vector<unsigned char> AssembleZlib(const std::vector<DeflatedPiece>& pieces, int level);

// Compresses a whole buffer on `threads` threads at LevelFor(level, ...).
std::vector<unsigned char> CompressZlib(const unsigned char* data, size_t size, int level,
                                        unsigned threads);

// Runs fn(0) .. fn(count - 1) on up to `threads` threads. The first exception
// thrown by any call is rethrown here once every thread has stopped.
void ParallelFor(size_t count, unsigned threads, const std::function<void(size_t)>& fn);

}  // namespace kitpack
