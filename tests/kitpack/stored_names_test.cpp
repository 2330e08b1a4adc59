#include "kitpack/stored_names.h"

#include <gtest/gtest.h>

namespace kitpack {
namespace {

TEST(StoredNames, LoaderNamePartTakesTextAfterLastBackslashOrColon) {
  EXPECT_EQ(LoaderNamePart("C:\\KIT\\setup.exe"), "setup.exe");
  EXPECT_EQ(LoaderNamePart("C:setup.exe"), "setup.exe");
  EXPECT_EQ(LoaderNamePart("setup.exe"), "setup.exe");
  EXPECT_EQ(LoaderNamePart("C:\\KIT\\"), "");
  EXPECT_EQ(LoaderNamePart("a/b"), "a/b");  // "/" is an ordinary character to the loader
}

TEST(StoredNames, AcceptsOrdinaryRelativePaths) {
  RelativeName n = SplitRelativeName("docs\\guide.txt");
  EXPECT_EQ(n.refused, "");
  EXPECT_EQ(n.parts, (std::vector<std::string>{"docs", "guide.txt"}));
  EXPECT_EQ(SplitRelativeName("a/b\\c.d").parts, (std::vector<std::string>{"a", "b", "c.d"}));
  EXPECT_EQ(SplitRelativeName("console.txt").refused, "");
  EXPECT_EQ(SplitRelativeName("com10").refused, "");
  EXPECT_EQ(SplitRelativeName("..a").refused, "");
}

TEST(StoredNames, RefusesEveryEscapeAndDevice) {
  const char* hostile[] = {
      "",           "..\\evil.txt", "a\\..\\..\\evil", "\\abs.txt",  "/etc/passwd", "C:\\x.txt",
      "C:x.txt",    "a\\\\b",       "a\\.\\b",         "a\\",        "docs/../x",   "NUL",
      "con.txt",    "Com1",         "lpt9.log",        "aux\\x",     "file.txt:ads", "trail.",
      "trail ",     "a\x01b",       "what?",           "a*b",        "CONOUT$",     "..",
  };
  for (const char* name : hostile) EXPECT_NE(SplitRelativeName(name).refused, "") << '"' << name << '"';
}

}  // namespace
}  // namespace kitpack
