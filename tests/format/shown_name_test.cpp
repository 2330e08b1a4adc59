#include "format/shown_name.h"

#include <gtest/gtest.h>

#include <string>

#include "format/utf8.h"

namespace ldr {
namespace {

// Names a hostile kit could carry, and how every message shows them.
const struct {
  std::string name;
  std::string shown;
  const char* what;
} kHostileNames[] = {
    {"setup.exe", "setup.exe", "plain ASCII"},
    {"C:\\KIT\\x1.txt", "C:\\KIT\\x1.txt", "backslashes stay"},
    {"evil\x1b[2K\rREADME.txt", "evil\\x1B[2K\\x0DREADME.txt", "ESC [ erases the line"},
    {"bell\x07.txt", "bell\\x07.txt", "BEL"},
    {"a\nb\tc", "a\\x0Ab\\x09c", "line feed and tab"},
    {std::string("nul\0x", 5), "nul\\x00x", "a zero byte"},
    {"del\x7f", "del\\x7F", "DEL"},
    {"csi\x9b"
     "31m",
     "csi\\x9B31m", "CSI as a raw byte"},
    {"csi\xc2\x9b"
     "31m",
     "csi\\xC2\\x9B31m", "CSI as U+009B"},
    {"\xc2\x80\xc2\x9f", "\\xC2\\x80\\xC2\\x9F", "the ends of the C1 range"},
    {"nbsp\xc2\xa0", "nbsp\xc2\xa0", "U+00A0 is past C1"},
    {"\xc3\x9b", "\xc3\x9b", "0x9B as a continuation byte of U+00DB"},
    {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt",
     "Japanese"},
    {"\xe6\x95\xb0\xe6\x8d\xae\xc2\x9b", "\xe6\x95\xb0\xe6\x8d\xae\\xC2\\x9B", "Chinese, then CSI"},
    {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80", "a four-byte character"},
    {"\xc0\x9b", "\\xC0\\x9B", "CSI written overlong in two bytes"},
    {"\xe0\x80\x9b", "\\xE0\\x80\\x9B", "CSI written overlong in three bytes"},
    {"\xc0\xaf", "\\xC0\\xAF", "overlong /"},
    {"\x80"
     "abc\xbf",
     "\\x80abc\\xBF", "lone continuation bytes"},
    {"\xe6\x97", "\\xE6\\x97", "a sequence cut short"},
    {"\xe6\x1b[m", "\\xE6\\x1B[m", "ESC where a continuation byte belongs"},
    {"\xed\xa0\x80", "\\xED\\xA0\\x80", "a surrogate"},
    {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", "above U+10FFFF"},
    {"\xfe\xff", "\\xFE\\xFF", "bytes that never occur in UTF-8"},
    {"caf\xe9.txt", "caf\\xE9.txt", "code page 1252"},
    {"R\xc9SUM\xc9 \xe6\x97\xa5", "R\\xC9SUM\\xC9 \xe6\x97\xa5", "legacy bytes beside a letter"},
};

TEST(ShownName, HostileNames) {
  for (const auto& c : kHostileNames) EXPECT_EQ(ShownName(c.name), c.shown) << c.what;
}

// What a terminal receives: well-formed UTF-8 without a control character,
// and the same again when shown twice (a message may quote a shown name).
TEST(ShownName, NothingATerminalObeysGetsThrough) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  std::string inputs[] = {every_byte, std::string(255, '\x1b'), "\xc2\x9b\xc2\x9b\x9b"};
  for (const std::string& in : inputs) {
    const std::string shown = ShownName(in);
    ASSERT_TRUE(IsValidUtf8(shown));
    for (size_t i = 0; i < shown.size();) {
      const Utf8Char c = DecodeUtf8(shown, i);
      EXPECT_FALSE(c.code_point < 0x20 || (c.code_point >= 0x7F && c.code_point < 0xA0))
          << "U+" << std::hex << static_cast<unsigned>(c.code_point) << " at " << std::dec << i;
      i += c.length;
    }
    EXPECT_EQ(ShownName(shown), shown);
  }
  std::string long_shown;
  for (int i = 0; i < 255; ++i) long_shown += "\\x1B";
  EXPECT_EQ(ShownName(std::string(255, '\x1b')), long_shown);
}

TEST(ShownName, Utf16Names) {
  EXPECT_EQ(ShownName(u"MAINICON"), "MAINICON");
  EXPECT_EQ(ShownName(u"\u00dcber\u001b[2J\u009b"),
            "\xc3\x9c"
            "ber\\x1B[2J\\xC2\\x9B");
  EXPECT_EQ(ShownName(std::u16string(1, u'\xd800')), "\xef\xbf\xbd");  // unpaired: U+FFFD
}

TEST(DisplayWidth, CharactersOfUtf8AndBytesOfOtherText) {
  EXPECT_EQ(DisplayWidth("abc"), 3u);
  EXPECT_EQ(DisplayWidth("\xc3\x9c"
                         "ber"),
            4u);
  EXPECT_EQ(DisplayWidth("caf\xe9"), 4u);
  EXPECT_EQ(PadRight("\xc3\x9c", 3), "\xc3\x9c  ");
  EXPECT_EQ(PadRight("longer", 3), "longer");
}

}  // namespace
}  // namespace ldr
