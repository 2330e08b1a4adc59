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

TEST(IsValidUtf8, WhatWindowsWouldReplace) {
  const struct {
    std::string text;
    const char* what;
  } cases[] = {
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
  for (const auto& c : cases) EXPECT_FALSE(IsValidUtf8(c.text)) << c.what;
}

}  // namespace
}  // namespace ldr
