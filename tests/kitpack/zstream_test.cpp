#include "kitpack/kit/zstream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

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

class ZstreamTest : public ::testing::TestWithParam<Case> {};

// The stream must be one valid zlib stream, identical for any thread count.
TEST_P(ZstreamTest, RoundTripsAndIgnoresThreadCount) {
  const Case c = GetParam();
  std::vector<unsigned char> data = Make(c.size, c.kind);
  std::vector<unsigned char> one = CompressZlib(data.data(), data.size(), 9, 1);
  std::vector<unsigned char> many = CompressZlib(data.data(), data.size(), 9, 5);
  EXPECT_EQ(one, many);
  EXPECT_EQ(Inflate(one, data.size()), data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZstreamTest,
                         ::testing::Values(Case{0, Kind::Zeros}, Case{1, Kind::Random},
                                           Case{32768, Kind::Text},
                                           Case{kSplitThreshold, Kind::Text},
                                           Case{kSplitThreshold + 1, Kind::Random},
                                           Case{kSplitThreshold + kPieceSize + 12345, Kind::Text},
                                           Case{9 * kPieceSize, Kind::Zeros}));

// Below the split threshold the result is exactly what zlib's own one-shot
// compressor makes, so small entries look like any other producer's.
TEST(Zstream, SmallEntryMatchesCompress2) {
  for (int level : {0, 1, 6, 9}) {
    std::vector<unsigned char> data = Make(100000, Kind::Text);
    std::vector<unsigned char> ref(compressBound(static_cast<uLong>(data.size())));
    uLongf len = static_cast<uLongf>(ref.size());
    ASSERT_EQ(compress2(ref.data(), &len, data.data(), static_cast<uLong>(data.size()), level),
              Z_OK);
    ref.resize(len);
    EXPECT_EQ(CompressZlib(data.data(), data.size(), level, 2), ref) << "level " << level;
  }
}

// A 20 MiB entry split across threads; pieces rely on the dictionary, so
// repeated text far across a piece boundary must still inflate correctly.
TEST(Zstream, SplitEntryOfTwentyMiBInflatesWithPlainZlib) {
  std::vector<unsigned char> data = Make(20u << 20, Kind::Text, 11);
  std::vector<unsigned char> z = CompressZlib(data.data(), data.size(), 9, 4);
  EXPECT_EQ(z[0], 0x78);
  EXPECT_EQ(z[1], 0xDA);
  EXPECT_EQ(Inflate(z, data.size()), data);
  // Splitting costs very little against one unsplit stream.
  std::vector<unsigned char> ref(compressBound(static_cast<uLong>(data.size())));
  uLongf len = static_cast<uLongf>(ref.size());
  ASSERT_EQ(compress2(ref.data(), &len, data.data(), static_cast<uLong>(data.size()), 9), Z_OK);
  EXPECT_LT(static_cast<double>(z.size()), static_cast<double>(len) * 1.005);
}

TEST(Zstream, HeaderPassesTheZlibCheckForEveryLevel) {
  for (int level = 0; level <= 9; ++level) {
    unsigned char h[2];
    ZlibHeader(level, h);
    EXPECT_EQ((h[0] * 256 + h[1]) % 31, 0) << level;
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
