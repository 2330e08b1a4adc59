#include "base/text_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/errors.h"
#include "tests/support/argument_list.h"

namespace ldr {
namespace {

struct LineCase {
  std::string line;
  int count;
  std::vector<std::string> arguments;  // ArgumentText(1..)
};

TEST(CommandLine, SplitsByTheLoaderRules) {
  const std::string q = "\"";
  const std::vector<LineCase> cases = {
      {"setup.exe *TODISK", 1, {"*TODISK"}},
      {q + "C:\\My Files\\setup.exe" + q + " " + q + "*TODISK" + q, 1, {"*TODISK"}},
      {"setup.exe " + q + q + " *todisk", 1, {"*todisk"}},
      {"setup.exe ab" + q + "c d" + q + "e f", 2, {"abc de", "f"}},
      {"setup.exe a\\" + q + "b c", 1, {"a\\b c"}},
      {"setup.exe", 0, {}},
      {"setup.exe   \t ", 0, {}},
      {"setup.exe\t*TODISK", 1, {"*TODISK"}},
      {"setup.exe " + q + q, 0, {}},
      {"setup.exe a" + q + q + "b", 1, {"ab"}},
      {"setup.exe one\x01two", 2, {"one", "two"}},
      {std::string("setup.exe a\0b", 13), 1, {"a"}},
      {"setup.exe \xA0x \x7F", 2, {"\xA0x", "\x7F"}},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(ArgumentCount(c.line), c.count);
    for (size_t i = 0; i < c.arguments.size(); ++i) {
      EXPECT_EQ(ArgumentText(c.line, static_cast<int>(i + 1)), c.arguments[i]);
    }
    EXPECT_EQ(ArgumentText(c.line, c.count + 1), "");
    std::vector<std::string> all = SplitArguments(c.line);
    ASSERT_EQ(all.size(), static_cast<size_t>(c.count) + 1);
    for (size_t i = 0; i < c.arguments.size(); ++i) EXPECT_EQ(all[i + 1], c.arguments[i]);
  }
}

// A program's own start-up code splits its line by the C runtime's rules:
// what administrators quote arrives as they meant it.
TEST(CommandLine, ProgramArgumentsByTheRuntimesRules) {
  const struct {
    const char* line;
    std::vector<std::string> arguments;
  } cases[] = {
      {R"(a "" b)", {"a", "", "b"}},
      {R"("he said \"hi\"")", {"he said \"hi\""}},
      {R"(\" next)", {"\"", "next"}},
      {R"("C:\Program Files\My App\\" x)", {"C:\\Program Files\\My App\\", "x"}},
      {R"(a\\b c\\\\"d e")", {"a\\\\b", "c\\\\d e"}},
      {R"("a ""b"" c")", {"a \"b\" c"}},
      {R"(PROP="a b" /quiet)", {"PROP=a b", "/quiet"}},
      {"  \t ", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    size_t pos = 0;
    for (;;) {
      CommandLineText argument;
      if (!ReadProgramArgument(c.line, &pos, &argument)) break;
      got.emplace_back(argument.view());
    }
    EXPECT_EQ(got, c.arguments) << c.line;
  }
}

// Every argument, composed and split again, comes back unchanged.
TEST(CommandLine, ProgramArgumentsRoundTrip) {
  const std::vector<std::string> arguments = {"",          "plain",
                                              "two words", "say \"hi\"",
                                              "\\\"",      "C:\\Program Files\\My App\\",
                                              "tail\\\\",  "a&b",
                                              "\"",        "\\\\server\\share",
                                              "tab\there", "x\\\\\"y"};
  CommandLineText line;
  for (const std::string& argument : arguments)
    ASSERT_TRUE(AppendProgramArgument(&line, argument, "&"));
  EXPECT_NE(line.view().find("\"a&b\""), std::string_view::npos) << line.view();
  size_t pos = 0;
  for (const std::string& expected : arguments) {
    CommandLineText argument;
    ASSERT_TRUE(ReadProgramArgument(line, &pos, &argument)) << expected;
    EXPECT_EQ(argument.view(), expected) << line.view();
  }
  CommandLineText rest;
  EXPECT_FALSE(ReadProgramArgument(line, &pos, &rest));
  // One that does not fit leaves the line as it was.
  Text<12> small("abc");
  EXPECT_FALSE(AppendProgramArgument(&small, "a b c d e f"));
  EXPECT_EQ(small.view(), "abc");
  EXPECT_FALSE(small.cut());
}

TEST(CommandLine, QuotedProgramNameIsOneArgument) {
  std::vector<std::string> all = SplitArguments("\"C:\\Program Files\\setup.exe\" x");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], "C:\\Program Files\\setup.exe");
  EXPECT_EQ(all[1], "x");
}

TEST(CommandLine, LongArgumentIsKeptWhole) {
  std::string long_argument(300, 'a');
  EXPECT_EQ(ArgumentText("setup.exe " + long_argument, 1), long_argument);
}

struct PathCase {
  std::string path;
  std::string directory;
  std::string name;
  std::string stripped;
};

TEST(Paths, SplitAtBackslashAndColon) {
  const std::vector<PathCase> cases = {
      {"C:\\Downloads\\setup.exe", "C:\\Downloads\\", "setup.exe", "C:\\Downloads\\setup"},
      {"C:setup.exe", "C:", "setup.exe", "C:setup"},
      {"setup.exe", "", "setup.exe", "setup"},
      {"C:\\Downloads\\", "C:\\Downloads\\", "", "C:\\Downloads\\"},
      {"C:\\Temp\\ldx1A2B.tmp", "C:\\Temp\\", "ldx1A2B.tmp", "C:\\Temp\\ldx1A2B"},
      {"C:\\a.b\\name", "C:\\a.b\\", "name", "C:\\a.b\\name"},
      {"name.", "", "name.", "name"},
      {"x.tar.gz", "", "x.tar.gz", "x.tar"},
      {".tmp", "", ".tmp", ""},
      {"a/b\\c/d", "a/b\\", "c/d", "a/b\\c/d"},
      {"", "", "", ""},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DirectoryPart(c.path), c.directory);
    EXPECT_EQ(NamePart(c.path), c.name);
    EXPECT_EQ(StripExtension(c.path), c.stripped);
  }
}

TEST(Paths, NamePartKeepsAtMost255Characters) {
  std::string name(300, 'n');
  EXPECT_EQ(NamePart("C:\\dir\\" + name), name.substr(0, 255));
}

TEST(Paths, PosixStyleSplitsAtSlashOnly) {
  EXPECT_EQ(DirectoryPart("/home/a:b/setup", kPosixPaths), "/home/a:b/");
  EXPECT_EQ(NamePart("/home/a\\b", kPosixPaths), "a\\b");
  EXPECT_EQ(StripExtension("/tmp/ldx1A2B.tmp", kPosixPaths), "/tmp/ldx1A2B");
  EXPECT_EQ(WithTrailingSeparator("/tmp", kPosixPaths), "/tmp/");
  // The root folder stays a folder.
  EXPECT_EQ(WithoutTrailingSeparator(DirectoryPart("/setup", kPosixPaths), kPosixPaths), "/");
  EXPECT_EQ(WithoutTrailingSeparator("/home/", kPosixPaths), "/home");
}

// A double-byte code page in which 0x81..0x9F begin two-byte characters; the
// trail byte 0x5C has the code of "\".
bool TestLeadByte(unsigned char c) { return c >= 0x81 && c <= 0x9F; }

TEST(Paths, TwoByteCharactersAreNeverSplit) {
  const PathStyle dbcs{"\\:", '\\', &TestLeadByte, false};
  const std::string kanji = "\x95\x5C";  // a two-byte character ending in 0x5C
  const std::string path = "C:\\dir\\a" + kanji + ".x";
  EXPECT_EQ(DirectoryPart(path, dbcs), "C:\\dir\\");
  EXPECT_EQ(NamePart(path, dbcs), "a" + kanji + ".x");
  EXPECT_EQ(StripExtension(path, dbcs), "C:\\dir\\a" + kanji);
  EXPECT_EQ(StripExtension("C:\\d" + kanji + "\\n.e", dbcs), "C:\\d" + kanji + "\\n");
  // A dot inside a two-byte character is not an extension mark.
  EXPECT_EQ(StripExtension("a\x81.", dbcs), "a\x81.");
  // The trailing-backslash rules look at the last byte alone.
  EXPECT_EQ(WithTrailingSeparator("C:\\" + kanji, dbcs), "C:\\" + kanji);
  EXPECT_EQ(WithoutTrailingSeparator("C:\\" + kanji, dbcs), "C:\\\x95");
  // Without the lead-byte test the same bytes split.
  EXPECT_EQ(NamePart(path), ".x");
}

TEST(Texts, TrailingBackslash) {
  EXPECT_EQ(WithTrailingSeparator("C:\\Temp"), "C:\\Temp\\");
  EXPECT_EQ(WithTrailingSeparator("C:\\Temp\\"), "C:\\Temp\\");
  EXPECT_EQ(WithTrailingSeparator(""), "");
  EXPECT_EQ(WithoutTrailingSeparator("C:\\"), "C:");
  EXPECT_EQ(WithoutTrailingSeparator("C:\\a\\\\"), "C:\\a\\");
  EXPECT_EQ(WithoutTrailingSeparator(""), "");
  EXPECT_EQ(WithoutTrailingSeparator("\\"), "");
}

TEST(Texts, Trim) {
  EXPECT_EQ(TrimText(" \t  \t"), "");
  EXPECT_EQ(TrimText(" a b "), "a b");
  EXPECT_EQ(TrimText("\xA0x\x01"), "\xA0x");
  EXPECT_EQ(TrimText(std::string("\0a\0", 3)), "a");
  EXPECT_EQ(TrimText(""), "");
}

TEST(Texts, CompareAsciiNoCase) {
  EXPECT_EQ(CompareAsciiNoCase("todisk", "TODISK"), 0);
  EXPECT_EQ(CompareAsciiNoCase("TODISK", "TODISKS"), -1);
  EXPECT_EQ(CompareAsciiNoCase("TODISKS", "todisk"), 1);
  EXPECT_NE(CompareAsciiNoCase("\xE0", "\xC0"), 0);
  EXPECT_EQ(CompareAsciiNoCase("\xE0", "\xC0"), 0xE0 - 0xC0);  // unsigned bytes
  EXPECT_EQ(CompareAsciiNoCase("[", "{"), '[' - '{');          // only a..z fold
  EXPECT_EQ(CompareAsciiNoCase("", ""), 0);
}

TEST(Texts, FormatText) {
  EXPECT_EQ(FormatText("%s %s", {"a", "b"}), "a b");
  EXPECT_EQ(FormatText("LOADER: x %s.", {"C:\\f"}), "LOADER: x C:\\f.");
  EXPECT_EQ(FormatText("100%", {}), "100%");
  std::string exact(4096 - 2, 'x');
  EXPECT_EQ(FormatText("%sab", {exact}).size(), 4096u);
  EXPECT_THROW(FormatText("%sabc", {exact}), LoaderError);
}

TEST(Texts, DecimalText) {
  EXPECT_EQ(DecimalText(-5), "-5");
  EXPECT_EQ(DecimalText(0), "0");
  EXPECT_EQ(DecimalText(2), "2");
  EXPECT_EQ(DecimalText(2147483647), "2147483647");
  EXPECT_EQ(DecimalText(-2147483647 - 1), "-2147483648");
}

TEST(Texts, CopyToFixedBuffer) {
  char buffer[301];
  std::memset(buffer, 'z', sizeof buffer);
  CopyToFixedBuffer(buffer, std::string(300, 'c'));
  EXPECT_EQ(std::string(buffer), std::string(255, 'c'));
  CopyToFixedBuffer(buffer, std::string("ab\0cd", 5));
  EXPECT_EQ(std::string(buffer), "ab");
  CopyToFixedBuffer(buffer, "");
  EXPECT_EQ(buffer[0], '\0');
}

// The loader (a batch installer gets no % ! ") and kitpack (no batch sign
// tool) ask the same question.
TEST(IsBatchFileName, WhatWindowsRunsThroughCmd) {
  struct Case {
    const char* name;
    bool batch;
  };
  for (Case c :
       {Case{"setup.bat", true}, Case{"SETUP.CMD", true}, Case{"a.Bat. . ", true},
        Case{"x.cmd.", true}, Case{"setup.exe", false}, Case{"bat", false}, Case{".cmdx", false},
        Case{"setup.bat.exe", false}, Case{"", false}, Case{"cmd", false}}) {
    EXPECT_EQ(IsBatchFileName(c.name), c.batch) << c.name;
  }
}

}  // namespace
}  // namespace ldr
