#include "format/stored_names.h"

#include <gtest/gtest.h>

#include "format/stored_paths.h"

namespace ldr {
namespace {

TEST(StoredNames, StoredNamePartTakesTextAfterLastBackslashOrColon) {
  EXPECT_EQ(StoredNamePart("C:\\KIT\\setup.exe"), "setup.exe");
  EXPECT_EQ(StoredNamePart("C:setup.exe"), "setup.exe");
  EXPECT_EQ(StoredNamePart("setup.exe"), "setup.exe");
  EXPECT_EQ(StoredNamePart("C:\\KIT\\"), "");
  EXPECT_EQ(StoredNamePart("a/b"), "a/b");  // "/" is an ordinary character to the loader
}

// With a double-byte code page, a "\\" that is the second byte of a
// character does not separate (0x95 0x5C is one character in code page 932).
TEST(StoredNames, StoredNamePartHonoursLeadBytes) {
  LeadByteTest cp932 = [](unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
  };
  EXPECT_EQ(StoredNamePart("dir\\\x95\\x.exe", cp932), "\x95\\x.exe");
  EXPECT_EQ(StoredNamePart("dir\\\x95\\x.exe"), "x.exe");
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

TEST(StoredNames, StoredPathsLoseTheirDriveAndLeadingSeparatorsOnly) {
  using Parts = std::vector<std::string>;
  EXPECT_EQ(SplitStoredPath("C:\\Second\\readme.txt").parts, (Parts{"Second", "readme.txt"}));
  EXPECT_EQ(SplitStoredPath("d:readme.txt").parts, (Parts{"readme.txt"}));
  EXPECT_EQ(SplitStoredPath("\\\\server\\share\\a").parts, (Parts{"server", "share", "a"}));
  EXPECT_EQ(SplitStoredPath("docs/guide.txt").parts, (Parts{"docs", "guide.txt"}));
  for (const char* escape : {"C:\\..\\x", "C:..\\x", "\\..\\x", "C:\\a\\..\\..\\x", "C:\\a:stream",
                             "1:\\x", "C:", "C:\\", "C:\\NUL\\x"}) {
    EXPECT_NE(SplitStoredPath(escape).refused, "") << escape;
    EXPECT_TRUE(SplitStoredPath(escape).parts.empty()) << escape;
  }
}

TEST(StoredNames, RefusesEveryEscapeAndDevice) {
  const char* hostile[] = {
      "",        "..\\evil.txt", "a\\..\\..\\evil", "\\abs.txt", "/etc/passwd",  "C:\\x.txt",
      "C:x.txt", "a\\\\b",       "a\\.\\b",         "a\\",       "docs/../x",    "NUL",
      "con.txt", "Com1",         "lpt9.log",        "aux\\x",    "file.txt:ads", "trail.",
      "trail ",  "a\x01b",       "what?",           "a*b",       "CONOUT$",      "..",
  };
  for (const char* name : hostile)
    EXPECT_NE(SplitRelativeName(name).refused, "") << '"' << name << '"';
}

TEST(IsSafeEntryName, RefusesNamesThatLeaveOrReplaceTheFolder) {
  struct Case {
    const char* name;
    bool posix_ok;
    bool windows_ok;
  };
  const Case cases[] = {
      {"setup.exe", true, true}, {"readme", true, true},      {"..x", true, true},
      {"a..", true, true},       {"CONSOLE.txt", true, true}, {"COM10", true, true},
      {"LPT", true, true},       {"xNUL", true, true},        {"", false, false},
      {".", false, false},       {"..", false, false},        {"a/b", false, false},
      {"../x", false, false},    {"...", true, false},        {". .", true, false},
      {".. ", true, false},      {"CON", true, false},        {"con", true, false},
      {"Prn.txt", true, false},  {"aux.tar.gz", true, false}, {"NUL ", true, false},
      {"nul .txt", true, false}, {"COM1", true, false},       {"com9.log", true, false},
      {"LPT1", true, false},     {"lpt0", true, false},       {"COM\xB9", true, false},
      {"conout$", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSafeEntryName(c.name, NameHost::kPosix), c.posix_ok) << "posix: '" << c.name << "'";
    EXPECT_EQ(IsSafeEntryName(c.name, NameHost::kWindows), c.windows_ok)
        << "windows: '" << c.name << "'";
  }
  EXPECT_FALSE(IsSafeEntryName(std::string("a\0b", 3), NameHost::kPosix));
}

// The device rule on the name as the system reads it (UTF-16): what a
// double-byte code page makes of the bytes is what counts.
TEST(StoredNames, ConvertedNamesAreCheckedLikeTheirBytes) {
  for (std::u16string_view device : {u"NUL", u"nul.txt", u"COM1", u"com\u00B9.log", u"CON  .x"}) {
    EXPECT_NE(UnsafeConvertedNameReason(device), nullptr);
  }
  EXPECT_NE(UnsafeConvertedNameReason(std::u16string_view(u"a\0b", 3)), nullptr);
  EXPECT_NE(UnsafeConvertedNameReason(u"a|b"), nullptr);
  // A character above 255 matches no part of any rule.
  for (std::u16string_view name :
       {u"NUL\u3042", u"CO\u004E\u3042", u"\u3042\u3044.exe", u"COM\uFF11", u"setup.exe"}) {
    EXPECT_EQ(UnsafeConvertedNameReason(name), nullptr);
  }
}

// A converted name is checked in a buffer of 255 characters, the longest
// name part; a longer one is refused whole, never checked cut.
TEST(StoredNames, ConvertedNamesLongerThanANamePartAreRefused) {
  const std::u16string longest(255, u'a');
  EXPECT_EQ(UnsafeConvertedNameReason(longest), nullptr);
  EXPECT_NE(UnsafeConvertedNameReason(longest + u"a"), nullptr);
  // A device name hidden past the 255th unit is not missed.
  EXPECT_NE(UnsafeConvertedNameReason(std::u16string(u"CON") + std::u16string(300, u' ')), nullptr);
}

}  // namespace
}  // namespace ldr
