#include <gtest/gtest.h>

#include <climits>

#include "archive/extract.h"
#include "tests/support/archive_builder.h"

namespace ldr {
namespace {

TEST(ProgressPercent, RoundsInExtendedPrecisionHalvesToEven) {
  struct Case {
    int32_t written, grand, percent;
  };
  const Case cases[] = {
      {1, 8, 12},     // 12.5
      {3, 8, 38},     // 37.5
      {23, 40, 58},   // 57.5, which double precision would make 57
      {59, 200, 29},  // 29.5, which double precision would make 30
      {1, 200, 0},    // 0.5
      {3, 200, 2},    // 1.5
      {1, 3, 33},
      {2, 3, 67},
      {8, 8, 100},
      {0, 8, 0},
      {24, 8, 300},  // not clamped
      {-1, 8, -12},  // -12.5
      {1, -8, -12},
      {21474836, 1, 2147483600},
      {-21474836, 1, -2147483600},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressPercent(c.written, c.grand), c.percent) << c.written << "/" << c.grand;
  }
}

TEST(ProgressPercent, ZeroTotalOrResultBeyondInt32GivesZero) {
  EXPECT_EQ(ProgressPercent(0, 0), 0);
  EXPECT_EQ(ProgressPercent(4096, 0), 0);
  EXPECT_EQ(ProgressPercent(21474837, 1), 0);
  EXPECT_EQ(ProgressPercent(-21474837, 1), 0);
  EXPECT_EQ(ProgressPercent(INT32_MAX, 1), 0);
  EXPECT_EQ(ProgressPercent(INT32_MIN, -1), 0);
  EXPECT_EQ(ProgressPercent(INT32_MIN, 1), 0);
}

TEST(Totals, WrapAroundAsSigned32Bit) {
  EXPECT_EQ(AddWrapped(INT32_MAX, 1), INT32_MIN);
  EXPECT_EQ(AddWrapped(INT32_MIN, -1), INT32_MAX);
  EXPECT_EQ(AddWrapped(-5, 3), -2);

  EntryTable table;
  table.entries[0].unpacked_size = INT32_MAX;
  table.entries[1].unpacked_size = 2;
  table.entries[2].unpacked_size = 1000;  // beyond the count: not summed
  table.count = 2;
  EXPECT_EQ(SumUnpackedSizes(table, table.count), INT32_MIN + 1);

  testing::RecordingSink sink;
  ExtractionTotals totals;
  totals.grand_total = 10;
  totals.written_total = INT32_MAX - 10;
  ReportProgress(totals, 4096, sink);
  EXPECT_EQ(totals.written_total, INT32_MIN + 4085);
  ASSERT_EQ(sink.positions.size(), 1u);
  EXPECT_EQ(sink.positions[0], 0);  // far beyond int32 as a percentage
  ReportProgress(totals, 0, sink);  // sent even when unchanged
  EXPECT_EQ(sink.positions.size(), 2u);
}

}  // namespace
}  // namespace ldr
