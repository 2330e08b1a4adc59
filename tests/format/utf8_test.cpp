#include "format/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace ldr {
namespace {

TEST(IsValidUtf8, WellFormedText) {
  for (const char* text :
       {"", "setup.exe", "C:\\KIT\\\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5.txt",
        "\xE6\x95\xB0\xE6\x8D\xAE", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
        "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "caf\xC3\xA9"}) {
    EXPECT_TRUE(IsValidUtf8(text)) << text;
  }
}

// Bytes Windows would replace with U+FFFD: every reader of UTF-8 refuses them.
const struct {
  std::string text;
  const char* what;
} kMalformed[] = {
    {"caf\xE9.txt", "a byte of code page 1252"},
    {"\x80", "a continuation byte alone"},
    {"\xC3", "a sequence cut short"},
    {"\xE6\x95", "a sequence cut short"},
    {"\xC0\xAF", "overlong /"},
    {"\xC1\xBF", "overlong"},
    {"\xE0\x9F\xBF", "overlong three bytes"},
    {"\xF0\x8F\xBF\xBF", "overlong four bytes"},
    {"\xED\xA0\x80", "a surrogate"},
    {"\xF4\x90\x80\x80", "above U+10FFFF"},
    {"\xF5\x80\x80\x80", "lead byte F5"},
    {"\xFF", "byte FF"},
    {"\xC3\x28", "a lead byte followed by ASCII"},
    {std::string("\xE6\x00\xAE", 3), "a zero inside a sequence"},
};

TEST(IsValidUtf8, WhatWindowsWouldReplace) {
  for (const auto& c : kMalformed) EXPECT_FALSE(IsValidUtf8(c.text)) << c.what;
}

TEST(Utf16FromUtf8, RefusesWhatWindowsWouldReplace) {
  for (const auto& c : kMalformed) EXPECT_FALSE(Utf16FromUtf8(c.text)) << c.what;
}

TEST(DecodeUtf8, CodePointAndLength) {
  const std::string text = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xE6\x97";
  const struct {
    size_t at;
    char32_t code_point;
    size_t length;
  } steps[] = {{0, U'a', 1}, {1, 0xE9, 2}, {3, 0x65E5, 3}, {6, 0x1F600, 4},
               {10, 0, 0},   {11, 0, 0},   {2, 0, 0}};
  for (const auto& s : steps) {
    const Utf8Char c = DecodeUtf8(text, s.at);
    EXPECT_EQ(c.length, s.length) << s.at;
    if (s.length) {
      EXPECT_EQ(c.code_point, s.code_point) << s.at;
    }
  }
}

TEST(Utf16Conversions, BothWaysAndUnpairedSurrogates) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } pairs[] = {{"", u""},
               {"setup.exe", u"setup.exe"},
               {"\xC3\x9C"
                "ber",
                u"\u00dcber"},
               {"\xE2\x82\xAC", u"\u20ac"},
               {"\xEF\xBF\xBF", u"\uffff"},
               {"\xF0\x9F\x98\x80", u"\U0001F600"},
               {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}};
  for (const auto& p : pairs) {
    EXPECT_EQ(Utf16FromUtf8(p.utf8), p.utf16) << p.utf8;
    EXPECT_EQ(Utf8FromUtf16(p.utf16), p.utf8) << p.utf8;
  }
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf8FromUtf16(std::u16string{0xD800, u'x'}), replacement + "x");
  EXPECT_EQ(Utf8FromUtf16(std::u16string{u'x', 0xDC00}), "x" + replacement);
  EXPECT_EQ(Utf8FromUtf16(std::u16string{0xDC00, 0xD800}), replacement + replacement);
}

}  // namespace
}  // namespace ldr
