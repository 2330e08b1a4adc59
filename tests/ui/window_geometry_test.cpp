#include "ui/window_geometry.h"

#include <gtest/gtest.h>

#include <vector>

namespace ldr {
namespace {

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
  struct Case {
    long double value;
    int32_t expected;
  };
  const Case cases[] = {
      {0.5L, 0},    {1.5L, 2},    {2.5L, 2},   {-0.5L, 0}, {-1.5L, -2},
      {2.4999L, 2}, {2.5001L, 3}, {-2.6L, -3}, {7.0L, 7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RoundHalfEven(c.value), c.expected) << static_cast<double>(c.value);
  }
}

TEST(MainWindowRect, WorkedScreens) {
  const WindowRect rect = MainWindowRect(1032, 776);
  EXPECT_EQ(rect.width, 516);
  EXPECT_EQ(rect.height, 116);
  EXPECT_EQ(rect.left, 258);
  EXPECT_EQ(rect.top, 330);

  // 512.5 and 256.5 both go to the even neighbour.
  const WindowRect odd = MainWindowRect(1025, 776);
  EXPECT_EQ(odd.width, 512);
  EXPECT_EQ(odd.left, 256);
}

// The height decides between extended and double precision: 190 x 0.15L and
// 750 x 0.15L lie just above the half, 30 x 0.15L and 110 x 0.15L exactly on
// it. In double precision 190 and 750 would give 28 and 112.
TEST(MainWindowRect, HeightsNearTheHalf) {
  struct Case {
    int32_t maximized_height;
    int32_t height;
  };
  const Case cases[] = {{190, 29}, {750, 113}, {30, 4}, {110, 16}, {776, 116}, {0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(MainWindowRect(1032, c.maximized_height).height, c.height) << c.maximized_height;
  }
}

TEST(MainWindowRect, QueriesTheMetricsForEachFormula) {
  // A screen that changes between the queries: each formula sees the value
  // current at its own query, in the order width, height, left, top.
  std::vector<int32_t> widths{1000, 2000};
  std::vector<int32_t> heights{100, 1000};
  std::vector<char> order;
  size_t w = 0;
  size_t h = 0;
  const WindowRect rect = MainWindowRect(
      [&] {
        order.push_back('x');
        return widths.at(w++);
      },
      [&] {
        order.push_back('y');
        return heights.at(h++);
      });
  EXPECT_EQ(order, (std::vector<char>{'x', 'y', 'x', 'y'}));
  EXPECT_EQ(rect.width, 500);
  EXPECT_EQ(rect.height, 15);
  EXPECT_EQ(rect.left, 750);  // 2000 x 0.5 - 500 x 0.5
  EXPECT_EQ(rect.top, 492);   // rnd(1000 x 0.5 - 15 x 0.5) = rnd(492.5)
}

TEST(ProgressBarAndPicture, SharedVerticalCentre) {
  struct Case {
    int32_t client_height;
    int32_t bar_top;
    int32_t picture_top;
  };
  // 36.5 and 30.5 go to the even neighbours.
  const Case cases[] = {{93, 36, 30}, {94, 37, 31}, {95, 38, 32}, {20, 0, -6}};
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressBarRect(500, c.client_height).top, c.bar_top) << c.client_height;
    EXPECT_EQ(PictureTop(c.client_height), c.picture_top) << c.client_height;
  }
}

TEST(ProgressBarAndPicture, BarFillsTheWidthBetweenPictureAndMargin) {
  for (int32_t width : {514, 100, 62, 10}) {
    const WindowRect bar = ProgressBarRect(width, 80);
    EXPECT_EQ(bar.left, 52);
    EXPECT_EQ(bar.left + bar.width, width - 10) << width;
    EXPECT_EQ(bar.height, 20);
  }
}

}  // namespace
}  // namespace ldr
