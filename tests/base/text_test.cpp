#include "base/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/errors.h"
#include "base/text_rules.h"

namespace ldr {
namespace {

// Lead bytes 0x81..0x9F, as in code page 932; any byte may follow one.
bool TestLeadByte(unsigned char c) { return c >= 0x81 && c <= 0x9F; }

TEST(Text, CapacityEdges) {
  Text<4> empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_STREQ(empty.c_str(), "");
  EXPECT_EQ(empty.capacity(), 4u);

  Text<4> full;
  EXPECT_TRUE(full.Append("abcd"));  // exactly full
  EXPECT_FALSE(full.cut());
  EXPECT_EQ(full, "abcd");
  EXPECT_STREQ(full.c_str(), "abcd");
  EXPECT_TRUE(full.Append(""));  // nothing more is still nothing lost
  EXPECT_FALSE(full.cut());
  EXPECT_FALSE(full.Append('e'));  // one over
  EXPECT_TRUE(full.cut());
  EXPECT_EQ(full, "abcd");

  Text<4> over;
  EXPECT_FALSE(over.Append("abcde"));  // one over in one piece
  EXPECT_TRUE(over.cut());
  EXPECT_EQ(over, "abcd");
  EXPECT_EQ(over.size(), 4u);
  EXPECT_EQ(over.c_str()[4], '\0');

  Text<4> pieces("ab");
  EXPECT_FALSE(pieces.Append("cdef"));  // keeps what fits of the second piece
  EXPECT_EQ(pieces, "abcd");

  Text<0> none;
  EXPECT_TRUE(none.Append(""));
  EXPECT_FALSE(none.Append("x"));
  EXPECT_TRUE(none.cut());
  EXPECT_STREQ(none.c_str(), "");
}

TEST(Text, TheCutMarkStaysUntilClearOrAssign) {
  Text<3> text("abcdef");
  EXPECT_TRUE(text.cut());
  text.Truncate(1);
  EXPECT_TRUE(text.cut());  // shortening does not undo the loss
  EXPECT_TRUE(text.Append("x"));
  EXPECT_EQ(text, "ax");
  EXPECT_TRUE(text.cut());
  EXPECT_TRUE(text.Assign("xyz"));
  EXPECT_FALSE(text.cut());
  text.Clear();
  EXPECT_TRUE(text.empty());
  EXPECT_FALSE(text.cut());
  EXPECT_STREQ(text.c_str(), "");
}

TEST(Text, EmbeddedZeroBytesAreCounted) {
  Text<8> text(std::string("a\0b", 3));
  EXPECT_EQ(text.size(), 3u);
  EXPECT_EQ(text.view(), std::string_view("a\0b", 3));
  EXPECT_STREQ(text.c_str(), "a");  // what a system call would see
  EXPECT_NE(text, "a");
  text.Append('\0');
  EXPECT_EQ(text.size(), 4u);
  EXPECT_EQ(text.back(), '\0');
  std::string copy = text;
  EXPECT_EQ(copy, std::string("a\0b\0", 4));
}

TEST(Text, LeadBytesAtTheCut) {
  // "ab", then a two-byte character: only its first byte would fit.
  Text<3> split("ab");
  EXPECT_FALSE(split.AppendCharacters("\x81\x40", &TestLeadByte));
  EXPECT_EQ(split, "ab");
  EXPECT_TRUE(split.cut());

  // Trail bytes that are lead bytes themselves: the walk starts where the
  // characters start, so three bytes keep one whole character and a byte.
  Text<3> pairs;
  EXPECT_FALSE(
      pairs.AppendCharacters("\x81\x81"
                             "a\x81\x81",
                             &TestLeadByte));
  EXPECT_EQ(pairs,
            "\x81\x81"
            "a");
  Text<3> odd;
  EXPECT_FALSE(odd.AppendCharacters("a\x81\x81\x81\x81", &TestLeadByte));
  EXPECT_EQ(odd, "a\x81\x81");

  // A character that fits whole, and a text that fits whole, lone lead
  // byte at its end included: nothing is dropped then.
  Text<4> whole("ab");
  EXPECT_TRUE(whole.AppendCharacters("\x81\x40", &TestLeadByte));
  EXPECT_EQ(whole, "ab\x81\x40");
  Text<4> lone;
  EXPECT_TRUE(lone.AppendCharacters("abc\x81", &TestLeadByte));
  EXPECT_EQ(lone, "abc\x81");

  // Without a test (single-byte code page) the cut falls at the capacity.
  Text<3> bytes("ab");
  EXPECT_FALSE(bytes.AppendCharacters("\x81\x40", nullptr));
  EXPECT_EQ(bytes, "ab\x81");
}

TEST(Text, CopiesAreIndependentAndKeepTheMark) {
  Text<4> original("abcdef");
  Text<4> copy(original);
  EXPECT_EQ(copy, "abcd");
  EXPECT_TRUE(copy.cut());
  copy.Assign("x");
  EXPECT_EQ(original, "abcd");
  EXPECT_EQ(copy, "x");
  original = copy;
  EXPECT_EQ(original, "x");
  EXPECT_FALSE(original.cut());
  original.Append("yz");
  EXPECT_EQ(copy, "x");
  EXPECT_STREQ(original.c_str(), "xyz");
}

TEST(Text, ConcatenationKeepsTheCapacity) {
  const Text<5> base("abc");
  const Text<5> joined = base + "de";
  EXPECT_EQ(joined, "abcde");
  EXPECT_FALSE(joined.cut());
  const Text<5> longer = base + "def";
  EXPECT_EQ(longer, "abcde");
  EXPECT_TRUE(longer.cut());
}

TEST(LoaderError, CarriesItsTextInItsOwnBuffer) {
  const LoaderError joined(FailureKind::kOther, "LOADER: Could not open the file, ", "C:\\k",
                           ".exe");
  EXPECT_STREQ(joined.what(), "LOADER: Could not open the file, C:\\k.exe");

  // The longest text FormatText makes fits whole, and so does the longest
  // path beside a message; beyond the capacity, what fits is kept.
  const std::string formatted(kMaxFormattedText, 'x');
  EXPECT_EQ(LoaderError(formatted).text(), formatted);
  const std::string path(kMaxPath, 'p');
  EXPECT_EQ(
      LoaderError(FailureKind::kOther, "LOADER: Could not create the following file, ", path, "")
          .text(),
      "LOADER: Could not create the following file, " + path);
  const std::string exact(LoaderError::kCapacity, 'x');
  EXPECT_EQ(LoaderError(exact).text(), exact);
  const LoaderError over(FailureKind::kOther, exact, "y", "");
  EXPECT_EQ(over.text(), exact);
  EXPECT_EQ(std::strlen(over.what()), LoaderError::kCapacity);

  // Thrown and caught, the text is the same.
  try {
    throw LoaderError(FailureKind::kOther, "LOADER: a", std::string(300, 'p'), "");
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "LOADER: a" + std::string(300, 'p'));
  }
}

TEST(TextRules, CapacitiesHoldWhatTheLoaderComposes) {
  // A path from the system, its separator and the longest name part.
  const std::string folder(kMaxSystemPath, 'f');
  PathText path = WithTrailingSeparator(folder);
  EXPECT_TRUE(path.Append(std::string(kMaxShortText, 'n')));
  EXPECT_EQ(path.size(), kMaxPath);
  EXPECT_FALSE(path.cut());
  // A text that cannot take the separator any more is marked cut.
  EXPECT_TRUE(WithTrailingSeparator(std::string(kMaxPath, 'f')).cut());
  EXPECT_FALSE(WithTrailingSeparator(std::string(kMaxPath - 1, 'f')).cut());

  // Any argument of the longest line the system starts a program with is
  // kept whole; only beyond that would one be cut.
  const std::string longest(kMaxCommandLine - 2, 'a');
  EXPECT_EQ(ArgumentText("s " + longest, 1), longest);
  EXPECT_FALSE(ArgumentText("s " + longest, 1).cut());
  EXPECT_TRUE(ArgumentText("s " + std::string(kMaxCommandLine + 1, 'a'), 1).cut());
}

TEST(TextRules, ReadArgumentCutsInItsBufferButReadsOnWhole) {
  const std::string line = "setup.exe \"*TODISK and more\" next";
  size_t pos = 0;
  Text<8> argument;
  ASSERT_TRUE(ReadArgument(line, &pos, &argument));
  EXPECT_EQ(argument, "setup.ex");
  EXPECT_TRUE(argument.cut());
  argument.Clear();
  ASSERT_TRUE(ReadArgument(line, &pos, &argument));
  EXPECT_EQ(argument, "*TODISK ");
  EXPECT_TRUE(argument.cut());
  argument.Clear();
  ASSERT_TRUE(ReadArgument(line, &pos, &argument));  // the next one is found whole
  EXPECT_EQ(argument, "next");
  EXPECT_FALSE(argument.cut());
  EXPECT_FALSE(ReadArgument(line, &pos, &argument));
  // An unclosed quote at the end is no argument.
  pos = 0;
  argument.Clear();
  EXPECT_TRUE(ReadArgument("a \"", &pos, &argument));
  EXPECT_FALSE(ReadArgument("a \"", &pos, &argument));
}

TEST(TextRules, FormattedAndDecimalTextsAtTheirCapacity) {
  EXPECT_EQ(FormatText("%s", {std::string(kMaxFormattedText, 'x')}).size(), kMaxFormattedText);
  EXPECT_THROW(FormatText("%s%s", {std::string(kMaxFormattedText, 'x'), "y"}), LoaderError);
  try {
    FormatText("%s", {std::string(kMaxFormattedText + 1, 'x')});
    FAIL() << "no failure";
  } catch (const LoaderError& e) {
    EXPECT_STREQ(e.what(), "LOADER: A message text would be longer than 4096 characters");
  }
  EXPECT_FALSE(DecimalText(-2147483647 - 1).cut());
  EXPECT_EQ(DecimalText(-2147483647 - 1).size(), DecimalDigits::kCapacity);
}

}  // namespace
}  // namespace ldr
