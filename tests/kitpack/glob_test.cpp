// The --exclude patterns.

#include "kitpack/kit/glob.h"

#include <gtest/gtest.h>

namespace kitpack {
namespace {

TEST(Glob, Patterns) {
  const struct {
    const char* pattern;
    const char* text;
    bool matches;
  } cases[] = {
      {"*.log", "debug.log", true},
      {"*.log", "debug.log.1", false},
      {"*.log", "a/b.log", false},
      {"?.txt", "a.txt", true},
      {"?.txt", "ab.txt", false},
      {"[abc]x", "bx", true},
      {"[!abc]x", "bx", false},
      {"[a-c]x", "cx", true},
      {"[a-c]x", "dx", false},
      {"[x", "[x", true},
      {"*", "", true},
      {"a*b*c", "aXbYbc", true},
      {"a*b*c", "aXbYbd", false},
      {"Cache", "cache", false},
      {"docs/*.tmp", "docs/x.tmp", true},
      {"docs/*.tmp", "docs/a/x.tmp", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GlobMatches(c.pattern, c.text), c.matches) << c.pattern << " / " << c.text;
  // A long run of stars against a long text stays quick.
  EXPECT_FALSE(GlobMatches(std::string(50, '*') + "b", std::string(5000, 'a')));
}

TEST(Glob, ExcludedBy) {
  EXPECT_TRUE(ExcludedBy("*.log", "docs/deep/trace.log"));
  EXPECT_TRUE(ExcludedBy("cache", "cache/a.bin"));
  EXPECT_TRUE(ExcludedBy("cache", "x/cache/a.bin"));
  EXPECT_FALSE(ExcludedBy("cache", "cached/a.bin"));
  EXPECT_TRUE(ExcludedBy("docs/deep", "docs/deep/trace.log"));
  EXPECT_FALSE(ExcludedBy("docs/deep", "other/docs/deep/x"));
  EXPECT_TRUE(ExcludedBy("docs/*.tmp", "docs/x.tmp"));
}

}  // namespace
}  // namespace kitpack
