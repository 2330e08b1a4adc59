#include "format/pe/version.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace kitpack {
namespace {

std::vector<unsigned char> Load(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::string Version(const std::vector<unsigned char>& bytes) {
  return ldr::PeFileVersion(bytes.data(), bytes.size());
}

TEST(PeVersion, ReadsFixedFileVersionOfARealPe) {
#ifdef KITPACK_TEST_PE
  std::vector<unsigned char> pe = Load(KITPACK_TEST_PE);
  ASSERT_FALSE(pe.empty());
  // FILEVERSION, not PRODUCTVERSION and not the StringFileInfo text.
  EXPECT_EQ(Version(pe), "2.17.300.65535");
#else
  GTEST_SKIP() << "no mingw-w64 toolchain to make a test PE";
#endif
}

TEST(PeVersion, FilesWithoutVersionGiveEmptyText) {
  EXPECT_EQ(Version({}), "");
  EXPECT_EQ(Version({'M', 'Z'}), "");
  std::vector<unsigned char> text(4096, 'x');
  EXPECT_EQ(Version(text), "");
#ifdef KITPACK_TEST_PE_PLAIN
  EXPECT_EQ(Version(Load(KITPACK_TEST_PE_PLAIN)), "");
#endif
}

// A damaged or hostile file must never crash the reader or read outside it
// (run under the sanitizer build to catch the latter).
TEST(PeVersion, SurvivesTruncationAndCorruption) {
#ifdef KITPACK_TEST_PE
  const std::vector<unsigned char> pe = Load(KITPACK_TEST_PE);
  for (size_t len = 0; len < pe.size(); len += (len < 4096 ? 1 : 509)) {
    std::vector<unsigned char> cut(pe.begin(), pe.begin() + static_cast<std::ptrdiff_t>(len));
    std::string v = Version(cut);
    EXPECT_TRUE(v.empty() || v == "2.17.300.65535");
  }
  std::mt19937 rng(1234);
  for (int round = 0; round < 3000; ++round) {
    std::vector<unsigned char> bad = pe;
    for (int k = 0; k < 4; ++k) {
      // Hit the headers and the resource area most of the time.
      size_t at = rng() % 2 ? rng() % 1024 : rng() % bad.size();
      bad[at] = static_cast<unsigned char>(rng());
    }
    std::string v = Version(bad);
    EXPECT_LE(v.size(), 23u);
  }
#else
  GTEST_SKIP() << "no mingw-w64 toolchain to make a test PE";
#endif
}

}  // namespace
}  // namespace kitpack
