#include "format/text_width.h"

#include <gtest/gtest.h>

#include <string>

#include "format/shown_name.h"
#include "format/utf8.h"

namespace ldr {
namespace {

TEST(CodePointColumns, WideFullwidthAndZeroWidth) {
  const struct {
    uint32_t cp;
    int columns;
  } cases[] = {
      {'a', 1},     {0xE9, 1},     {0x0301, 0},  // combining acute
      {0x200D, 0},                               // zero-width joiner
      {0x4E2D, 2},                               // 中
      {0x3042, 2},                               // あ
      {0x30A2, 2},                               // ア
      {0xFF71, 1},                               // halfwidth ｱ
      {0xFF21, 2},                               // fullwidth Ａ
      {0x3000, 2},                               // ideographic space
      {0xD55C, 2},                               // 한
      {0x4DC0, 1},                               // a hexagram, between two wide blocks
      {0xA4D0, 1},  {0x1F600, 2},  {0x1F321, 1}, {0x20000, 2}, {0x3FFFD, 2},
      {0x3FFFE, 1}, {0x10FFFF, 1}, {0x115F, 2},  {0x1160, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(CodePointColumns(c.cp), c.columns) << std::hex << c.cp;
}

TEST(Utf8Columns, NamesAsATerminalShowsThem) {
  EXPECT_EQ(Utf8Columns(""), 0u);
  EXPECT_EQ(Utf8Columns("readme.txt"), 10u);
  EXPECT_EQ(Utf8Columns("Größe.txt"), 9u);
  EXPECT_EQ(Utf8Columns("e\xCC\x81"), 1u);  // e and a combining accent
  EXPECT_EQ(Utf8Columns("日本語.txt"), 10u);
  EXPECT_EQ(Utf8Columns("说明\\文档.txt"), 13u);
  EXPECT_EQ(Utf8Columns("\xF0\x9F\x98\x80"), 2u);  // U+1F600, four bytes
  // The list's columns: padded to the same width whatever the script.
  EXPECT_EQ(PadRight("データ", 8), "データ  ");
  EXPECT_EQ(PadRight("data", 8), "data    ");
  EXPECT_EQ(DisplayWidth(PadRight("説明書.pdf", 20)), 20u);
  // Not UTF-8 (a legacy code page): a column a byte.
  EXPECT_EQ(DisplayWidth("\x93\xfa\x96\x7b"), 4u);
}

}  // namespace
}  // namespace ldr
