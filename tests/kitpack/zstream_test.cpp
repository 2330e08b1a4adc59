#include "kitpack/kit/zstream.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <random>
#include <set>
#include <string>

#include "kitpack/kit_error.h"

namespace kitpack {
namespace {

enum class Kind { Random, Text, Zeros };

std::vector<unsigned char> Make(size_t size, Kind kind, unsigned seed = 7) {
  std::vector<unsigned char> v(size);
  std::mt19937 rng(seed);
  static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "installer ", "kit "};
  size_t i = 0;
  while (i < size) {
    if (kind == Kind::Zeros) {
      v[i++] = 0;
    } else if (kind == Kind::Random) {
      v[i++] = static_cast<unsigned char>(rng());
    } else {
      for (const char* w = words[rng() % 6]; *w && i < size; ++w)
        v[i++] = static_cast<unsigned char>(*w);
    }
  }
  return v;
}

std::vector<unsigned char> Inflate(const std::vector<unsigned char>& z, size_t expected) {
  std::vector<unsigned char> out(expected + 1);
  uLongf len = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &len, z.data(), static_cast<uLong>(z.size())), Z_OK);
  out.resize(len);
  return out;
}

struct Case {
  size_t size;
  Kind kind;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kinds[] = {"Random", "Text", "Zeros"};
  return std::to_string(info.param.size) + "Bytes" + kinds[static_cast<int>(info.param.kind)];
}

class ZstreamTest : public ::testing::TestWithParam<Case> {};

// libdeflate's own one-shot zlib stream of `data`.
std::vector<unsigned char> LibdeflateZlib(const std::vector<unsigned char>& data, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  std::vector<unsigned char> out(libdeflate_zlib_compress_bound(c, data.size()));
  out.resize(libdeflate_zlib_compress(c, data.data(), data.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

// The stream must be one valid zlib stream, identical for any thread count.
TEST_P(ZstreamTest, RoundTripsAndIgnoresThreadCount) {
  const Case c = GetParam();
  std::vector<unsigned char> data = Make(c.size, c.kind);
  std::vector<unsigned char> one = CompressZlib(data.data(), data.size(), kDefaultLevel, 1);
  std::vector<unsigned char> many = CompressZlib(data.data(), data.size(), kDefaultLevel, 5);
  EXPECT_EQ(one, many);
  EXPECT_EQ(Inflate(one, data.size()), data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZstreamTest,
                         ::testing::Values(Case{0, Kind::Zeros}, Case{1, Kind::Random},
                                           Case{32768, Kind::Text},
                                           Case{kSplitThreshold, Kind::Text},
                                           Case{kSplitThreshold + 1, Kind::Random},
                                           Case{kSplitThreshold + kPieceSize + 12345, Kind::Text},
                                           Case{9 * kPieceSize, Kind::Zeros}),
                         CaseName);

// Below the split threshold the result is exactly libdeflate's own zlib
// stream: header, deflate data and Adler-32 as any libdeflate user gets them.
TEST(Zstream, SmallEntryMatchesLibdeflatesZlibStream) {
  std::vector<unsigned char> data = Make(100000, Kind::Text);
  for (int level : {0, 1, 6, 9, 12})
    EXPECT_EQ(CompressZlib(data.data(), data.size(), level, 2), LibdeflateZlib(data, level))
        << "level " << level;
}

// A 20 MiB entry split across threads: repeated text far across a piece
// boundary must still inflate correctly, whatever kind of blocks the level
// makes (stored, fast, near-optimal).
TEST(Zstream, SplitEntryOfTwentyMiBInflatesWithPlainZlib) {
  std::vector<unsigned char> data = Make(20u << 20, Kind::Text, 11);
  for (int level : {0, 1, kDefaultLevel}) {
    std::vector<unsigned char> z = CompressZlib(data.data(), data.size(), level, 4);
    const int used = LevelFor(level, true);
    unsigned char header[2];
    ZlibHeader(used, header);
    EXPECT_EQ(z[0], header[0]);
    EXPECT_EQ(z[1], header[1]);
    EXPECT_EQ(Inflate(z, data.size()), data) << "level " << level;
    if (level == kDefaultLevel) {
      // Pieces start without history; that costs little against one stream.
      EXPECT_LT(static_cast<double>(z.size()),
                static_cast<double>(LibdeflateZlib(data, used).size()) * 1.005);
    }
  }
}

// The cut: whole up to the threshold, else the fewest pieces of at most
// kPieceSize, of one length but the last (never more than a byte per piece
// shorter), end to end.
TEST(Zstream, PlanPiecesCutsIntoTheFewestEvenPieces) {
  for (size_t size :
       {size_t{0}, size_t{1}, kSplitThreshold, kSplitThreshold + 1, 2 * kPieceSize,
        2 * kPieceSize + 1, 20 * size_t{1 << 20} + 3, 9 * kPieceSize, 9 * kPieceSize - 7}) {
    const std::vector<Piece> plan = PlanPieces(size);
    const size_t expected = size <= kSplitThreshold ? 1 : (size + kPieceSize - 1) / kPieceSize;
    ASSERT_EQ(plan.size(), expected) << size;
    size_t at = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
      EXPECT_EQ(plan[i].offset, at) << size;
      EXPECT_LE(plan[i].length, kPieceSize) << size;
      EXPECT_LE(plan[0].length - plan[i].length, plan.size()) << size;
      EXPECT_EQ(plan[i].last, i + 1 == plan.size()) << size;
      at += plan[i].length;
    }
    EXPECT_EQ(at, size);
  }
}

// Without --level, an entry compressed whole is libdeflate's own stream at
// kWholeLevel; a split one is compressed at kPieceLevel throughout and says
// so in its header. A level given is used for both.
TEST(Zstream, DefaultLevelFollowsWhetherTheEntryIsSplit) {
  EXPECT_EQ(LevelFor(kDefaultLevel, false), kWholeLevel);
  EXPECT_EQ(LevelFor(kDefaultLevel, true), kPieceLevel);
  for (int level = 0; level <= kMaxLevel; ++level) {
    EXPECT_EQ(LevelFor(level, false), level);
    EXPECT_EQ(LevelFor(level, true), level);
  }
  std::vector<unsigned char> small = Make(100000, Kind::Text);
  EXPECT_EQ(CompressZlib(small.data(), small.size(), kDefaultLevel, 2),
            LibdeflateZlib(small, kWholeLevel));
  std::vector<unsigned char> big = Make(kSplitThreshold + 1, Kind::Zeros);
  const std::vector<unsigned char> by_default =
      CompressZlib(big.data(), big.size(), kDefaultLevel, 2);
  EXPECT_EQ(by_default, CompressZlib(big.data(), big.size(), kPieceLevel, 2));
  EXPECT_EQ(Inflate(by_default, big.size()), big);
}

// Pieces of every length from 0 to 300 bytes and of a few larger sizes end
// their final block at every bit position of their last byte; each is joined
// in front of a final piece, and the whole must inflate. Both ways of ending
// on a byte boundary (the stored block's header in the last byte, or in a
// byte of its own) must occur.
TEST(Zstream, ContinuedPiecesJoinWhereverTheirLastBlockEnds) {
  std::set<size_t> growths;
  for (int level : {0, 1, 6, 12}) {
    Deflater deflater(level);
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 300; ++n) sizes.push_back(n);
    for (size_t n : {4095, 65536, 70001, 300000}) sizes.push_back(n);
    for (size_t n : sizes) {
      for (Kind kind : {Kind::Text, Kind::Random}) {
        std::vector<unsigned char> a = Make(n, kind, static_cast<unsigned>(n));
        std::vector<unsigned char> b = Make(1000, Kind::Text, 3);
        std::vector<DeflatedPiece> pieces{deflater.Deflate(a.data(), a.size(), true),
                                          deflater.Deflate(b.data(), b.size(), true)};
        const size_t whole = pieces[0].bytes.size();
        pieces[0] = deflater.Deflate(a.data(), a.size(), false);
        growths.insert(pieces[0].bytes.size() - whole);
        std::vector<unsigned char> joined = a;
        joined.insert(joined.end(), b.begin(), b.end());
        ASSERT_EQ(Inflate(AssembleZlib(pieces, level), joined.size()), joined)
            << "level " << level << ", " << n << " bytes";
      }
    }
  }
  EXPECT_EQ(growths, (std::set<size_t>{4, 5}));
}

// What is joined must be one complete deflate stream, nothing more or less.
TEST(Zstream, ContinueAfterRefusesWhatIsNotOneCompleteStream) {
  std::vector<unsigned char> data = Make(50000, Kind::Text);
  std::vector<unsigned char> raw = Deflater(9).Deflate(data.data(), data.size(), true).bytes;
  std::vector<unsigned char> cut(raw.begin(), raw.end() - 3);
  std::vector<unsigned char> longer = raw;
  longer.push_back(0);
  std::vector<unsigned char> garbage(100, 0xFF);
  for (std::vector<unsigned char>* bad : {&cut, &longer, &garbage})
    EXPECT_THROW(ContinueAfter(*bad), KitError);
}

TEST(Zstream, HeaderPassesTheZlibCheckForEveryLevel) {
  std::vector<unsigned char> data = Make(1000, Kind::Text);
  for (int level = 0; level <= kMaxLevel; ++level) {
    unsigned char h[2];
    ZlibHeader(level, h);
    EXPECT_EQ((h[0] * 256 + h[1]) % 31, 0) << level;
    const std::vector<unsigned char> own = LibdeflateZlib(data, level);
    EXPECT_EQ(h[0], own[0]) << level;
    EXPECT_EQ(h[1], own[1]) << level;
  }
}

TEST(Zstream, ParallelForRethrowsAWorkerFailure) {
  EXPECT_THROW(ParallelFor(100, 4,
                           [](size_t i) {
                             if (i == 37) throw std::runtime_error("boom");
                           }),
               std::runtime_error);
}

}  // namespace
}  // namespace kitpack
