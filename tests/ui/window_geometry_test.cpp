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

// At another DPI the screen is measured in 96-DPI units, the formulas run
// there, and every length is scaled back, each rounded half to even: at
// 125% the picture's 10-pixel margin is 12.5 and becomes 12.
TEST(WindowGeometry, ScaledAtOtherDpis) {
  struct Case {
    uint32_t dpi;
    int32_t screen_width, screen_height;
    WindowRect window;
    int32_t bar_left, bar_right_margin, bar_height, picture_left, picture_size;
  };
  const Case cases[] = {
      {96, 1032, 776, {258, 330, 516, 116}, 52, 10, 20, 10, 32},
      {0, 1032, 776, {258, 330, 516, 116}, 52, 10, 20, 10, 32},  // unknown: as at 96
      {120, 1290, 970, {322, 412, 645, 145}, 65, 12, 25, 12, 40},
      {144, 1548, 1164, {387, 495, 774, 174}, 78, 15, 30, 15, 48},
      {192, 2064, 1552, {516, 660, 1032, 232}, 104, 20, 40, 20, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dpi);
    const WindowRect window = MainWindowRect(c.screen_width, c.screen_height, c.dpi);
    EXPECT_EQ(window.left, c.window.left);
    EXPECT_EQ(window.top, c.window.top);
    EXPECT_EQ(window.width, c.window.width);
    EXPECT_EQ(window.height, c.window.height);
    const WindowRect bar = ProgressBarRect(600, 150, c.dpi);
    EXPECT_EQ(bar.left, c.bar_left);
    EXPECT_EQ(bar.left + bar.width, 600 - c.bar_right_margin);
    EXPECT_EQ(bar.height, c.bar_height);
    const WindowRect picture = PictureRect(150, c.dpi);
    EXPECT_EQ(picture.left, c.picture_left);
    EXPECT_EQ(picture.width, c.picture_size);
    EXPECT_EQ(picture.height, c.picture_size);
    EXPECT_EQ(ScaleFromDpi(ScaleToDpi(516, c.dpi), c.dpi), 516);
  }
}

}  // namespace
}  // namespace ldr
