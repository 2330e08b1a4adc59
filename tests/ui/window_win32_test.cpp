// The real Win32 window under Wine: classes, styles, geometry, the bar's
// settings and the picture's pixels, read back from the window handles.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/errors.h"
#include "ui/loader_window_win32.h"
#include "ui/system_window.h"
#include "ui/window_geometry.h"

namespace ldr {
namespace {

constexpr uint32_t kShowNormal = SW_SHOWNORMAL;
constexpr uint32_t kHide = SW_HIDE;

// The splash picture as the build drew it, read from the generated .bmp.
struct Picture {
  COLORREF pixels[32][32];  // [y][x], top-down
};

uint32_t Le(const std::vector<unsigned char>& b, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(b.at(at + i)) << (8 * i);
  return value;
}

Picture ReadSplashBmp() {
  std::ifstream file(LOADERKIT_SPLASH_BMP, std::ios::binary);
  const std::vector<unsigned char> b((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
  Picture picture{};
  EXPECT_GT(b.size(), 54u) << LOADERKIT_SPLASH_BMP;
  if (b.size() <= 54) return picture;
  EXPECT_EQ(Le(b, 18, 4), 32u);  // width
  EXPECT_EQ(Le(b, 22, 4), 32u);  // height, positive: bottom-up
  EXPECT_EQ(Le(b, 28, 2), 4u);   // bits per pixel
  EXPECT_EQ(Le(b, 30, 4), 0u);   // BI_RGB
  const size_t palette = 14 + Le(b, 14, 4);
  const size_t bits = Le(b, 10, 4);
  for (size_t y = 0; y < 32; ++y) {
    for (size_t x = 0; x < 32; ++x) {
      const unsigned char pair = b.at(bits + (31 - y) * 16 + x / 2);
      const size_t index = x % 2 == 0 ? pair >> 4 : pair & 0x0F;
      const size_t entry = palette + 4 * index;  // blue, green, red, 0
      picture.pixels[y][x] = RGB(b.at(entry + 2), b.at(entry + 1), b.at(entry));
    }
  }
  return picture;
}

RECT ClientRectOf(HWND window) {
  RECT rect;
  GetClientRect(window, &rect);
  return rect;
}

// The child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child) {
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

class Win32WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitializeCommonControls(); }

  void TearDown() override {
    while (HWND left = FindWindowA(kMainWindowClass, nullptr)) DestroyWindow(left);
    UnregisterClassA(kMainWindowClass, instance_);
    // DestroyWindow posted WM_QUIT; it must not end a later test's message box.
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  // The start-up order up to the created, hidden window.
  void Create(Win32LoaderWindow& window) {
    ASSERT_TRUE(window.LoadSplashBitmap());
    ASSERT_TRUE(window.RegisterMainWindowClass());
    ASSERT_TRUE(window.CreateMainWindow());
  }

  HINSTANCE instance_ = GetModuleHandleA(nullptr);
};

TEST_F(Win32WindowTest, ClassAndMainWindow) {
  Win32LoaderWindow window(instance_, kShowNormal);
  Create(window);
  HWND main = Win32LoaderWindow::MainWindow();
  ASSERT_NE(main, nullptr);

  EXPECT_EQ(ClassOf(main), "Setup");
  EXPECT_EQ(GetClassLongPtrA(main, GCL_STYLE), static_cast<ULONG_PTR>(CS_VREDRAW | CS_HREDRAW));
  EXPECT_EQ(GetClassLongPtrA(main, GCLP_HBRBACKGROUND), 5u);
  EXPECT_NE(GetClassLongPtrA(main, GCLP_HICON), 0u);
  EXPECT_EQ(GetClassLongPtrA(main, GCLP_HCURSOR),
            reinterpret_cast<ULONG_PTR>(LoadCursorA(nullptr, IDC_ARROW)));
  EXPECT_EQ(GetClassLongPtrA(main, GCL_CBCLSEXTRA), 0u);
  EXPECT_EQ(GetClassLongPtrA(main, GCL_CBWNDEXTRA), 0u);
  EXPECT_EQ(GetClassLongPtrA(main, GCLP_MENUNAME), 0u);

  char title[64] = {};
  GetWindowTextA(main, title, sizeof title);
  EXPECT_STREQ(title, "Initializing...");
  // Created as WS_BORDER alone; the system makes a top-level window a
  // captioned, sibling-clipping one.
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(main, GWL_STYLE)), WS_CAPTION | WS_CLIPSIBLINGS);
  EXPECT_EQ(GetWindowLongA(main, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
  EXPECT_FALSE(IsWindowVisible(main));

  const WindowRect expected =
      MainWindowRect(GetSystemMetrics(SM_CXMAXIMIZED), GetSystemMetrics(SM_CYMAXIMIZED));
  RECT actual;
  GetWindowRect(main, &actual);
  EXPECT_EQ(actual.left, expected.left);
  EXPECT_EQ(actual.top, expected.top);
  EXPECT_EQ(actual.right - actual.left, expected.width);
  EXPECT_EQ(actual.bottom - actual.top, expected.height);

  window.ShowMainWindow();
  EXPECT_TRUE(IsWindowVisible(main));
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(main, GWL_STYLE)),
            WS_CAPTION | WS_CLIPSIBLINGS | WS_VISIBLE);
}

TEST_F(Win32WindowTest, ProgressBar) {
  Win32LoaderWindow window(instance_, kShowNormal);
  Create(window);
  HWND main = Win32LoaderWindow::MainWindow();
  HWND bar = Win32LoaderWindow::ProgressBar();
  ASSERT_NE(bar, nullptr);

  EXPECT_EQ(ClassOf(bar), "msctls_progress32");
  EXPECT_EQ(GetParent(bar), main);
  EXPECT_EQ(GetDlgCtrlID(bar), 0);
  // Shown with the start-up command while its parent is still hidden.
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(bar, GWL_STYLE)), 0x44000000u | WS_VISIBLE);
  EXPECT_FALSE(IsWindowVisible(bar));

  const RECT client = ClientRectOf(main);
  const WindowRect expected = ProgressBarRect(client.right, client.bottom);
  const RECT actual = ChildRect(bar);
  EXPECT_EQ(actual.left, 52);
  EXPECT_EQ(actual.top, expected.top);
  EXPECT_EQ(actual.right, client.right - 10);
  EXPECT_EQ(actual.bottom - actual.top, 20);

  PBRANGE range{-1, -1};
  SendMessageA(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 100);
  EXPECT_EQ(SendMessageA(bar, PBM_SETSTEP, 10, 0), 10);  // gives the step it replaces
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 0);

  window.ShowMainWindow();
  EXPECT_TRUE(IsWindowVisible(bar));
  for (int32_t percent : {0, 50, 100}) {
    window.SetProgressPosition(percent);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), percent);
  }
}

TEST_F(Win32WindowTest, PicturePaintedAtItsPlace) {
  const Picture picture = ReadSplashBmp();
  Win32LoaderWindow window(instance_, kShowNormal);
  Create(window);
  HWND main = Win32LoaderWindow::MainWindow();
  window.ShowMainWindow();
  window.SetProgressPosition(50);

  const int32_t top = PictureTop(ClientRectOf(main).bottom);
  HDC dc = GetDC(main);
  int wrong = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const COLORREF seen = GetPixel(dc, 10 + x, top + y);
      if (seen != picture.pixels[y][x] && ++wrong <= 5) {
        ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << seen
                      << " != " << picture.pixels[y][x];
      }
    }
  }
  EXPECT_EQ(wrong, 0);
  // Around the picture the class brush, the menu colour, shows.
  const COLORREF menu = GetSysColor(COLOR_MENU);
  EXPECT_EQ(GetPixel(dc, 9, top), menu);
  EXPECT_EQ(GetPixel(dc, 42, top + 31), menu);
  EXPECT_EQ(GetPixel(dc, 10, top - 1), menu);
  ReleaseDC(main, dc);
}

TEST_F(Win32WindowTest, HiddenStartShowsNothing) {
  Win32LoaderWindow window(instance_, kHide);
  Create(window);
  HWND main = Win32LoaderWindow::MainWindow();
  HWND bar = Win32LoaderWindow::ProgressBar();
  window.ShowMainWindow();
  window.SetProgressPosition(50);
  EXPECT_FALSE(IsWindowVisible(main));
  EXPECT_EQ(GetWindowLongA(bar, GWL_STYLE) & WS_VISIBLE, 0);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 50);
}

TEST_F(Win32WindowTest, BarFailureLeavesTheWindowUnknown) {
  Win32LoaderWindow window(instance_, kShowNormal, "NoSuchProgressClass");
  ASSERT_TRUE(window.LoadSplashBitmap());
  ASSERT_TRUE(window.RegisterMainWindowClass());
  try {
    window.CreateMainWindow();
    ADD_FAILURE() << "no error raised";
  } catch (const LoaderError& error) {
    EXPECT_STREQ(error.what(), "LOADER: Could not create the progress bar");
  }
  EXPECT_EQ(Win32LoaderWindow::MainWindow(), nullptr);
  EXPECT_EQ(Win32LoaderWindow::ProgressBar(), nullptr);
  HWND made = FindWindowA(kMainWindowClass, kMainWindowTitle);
  ASSERT_NE(made, nullptr);  // it exists, hidden
  EXPECT_FALSE(IsWindowVisible(made));
}

TEST_F(Win32WindowTest, PaintFailureIsRaisedOnceFromTheShowCall) {
  // Without the picture the paint cannot select it into its memory context.
  Win32LoaderWindow window(instance_, kShowNormal);
  ASSERT_TRUE(window.RegisterMainWindowClass());
  ASSERT_TRUE(window.CreateMainWindow());
  try {
    window.ShowMainWindow();
    ADD_FAILURE() << "no error raised";
  } catch (const LoaderError& error) {
    EXPECT_STREQ(error.what(), "LOADER: Cannot select bitmap into device context");
  }
  // Later paints fail the same way; the first failure was the one reported.
  InvalidateRect(Win32LoaderWindow::MainWindow(), nullptr, TRUE);
  UpdateWindow(Win32LoaderWindow::MainWindow());
  EXPECT_NO_THROW(window.SetProgressPosition(10));
}

// At whatever DPI the display has: the window laid out for its DPI, the bar
// and the picture scaled, every pixel of the picture one of the bitmap's.
// The runs at 144 and 192 DPI set LOADERKIT_EXPECT_DPI (a prefix of their
// own with that LogPixels), so a DPI that did not take effect fails.
TEST_F(Win32WindowTest, LaidOutForTheDisplayDpi) {
  const Picture picture = ReadSplashBmp();
  Win32LoaderWindow window(instance_, kShowNormal);
  Create(window);
  HWND main = Win32LoaderWindow::MainWindow();
  const uint32_t dpi = Win32LoaderWindow::Dpi();
  if (const char* expected = std::getenv("LOADERKIT_EXPECT_DPI")) {
    EXPECT_EQ(dpi, static_cast<uint32_t>(std::atoi(expected)));
  }
  const int32_t cx = GetSystemMetrics(SM_CXMAXIMIZED);
  const int32_t cy = GetSystemMetrics(SM_CYMAXIMIZED);
  RECT actual;
  GetWindowRect(main, &actual);
  const WindowRect expected = MainWindowRect(cx, cy, dpi);
  EXPECT_EQ(actual.left, expected.left);
  EXPECT_EQ(actual.top, expected.top);
  EXPECT_EQ(actual.right - actual.left, expected.width);
  EXPECT_EQ(actual.bottom - actual.top, expected.height);
  // The look of the same screen at 96 DPI, scaled: within 2 pixels.
  const WindowRect look = MainWindowRect(ScaleFromDpi(cx, dpi), ScaleFromDpi(cy, dpi));
  const double scale = dpi / 96.0;
  EXPECT_NEAR(actual.right - actual.left, look.width * scale, 2.0);
  EXPECT_NEAR(actual.bottom - actual.top, look.height * scale, 2.0);
  EXPECT_NEAR(actual.left, look.left * scale, 2.0);
  EXPECT_NEAR(actual.top, look.top * scale, 2.0);

  const RECT client = ClientRectOf(main);
  const RECT bar = ChildRect(Win32LoaderWindow::ProgressBar());
  EXPECT_EQ(bar.left, ScaleToDpi(52, dpi));
  EXPECT_EQ(client.right - bar.right, ScaleToDpi(10, dpi));
  EXPECT_EQ(bar.bottom - bar.top, ScaleToDpi(20, dpi));
  EXPECT_EQ(bar.top, ProgressBarRect(client.right, client.bottom, dpi).top);

  window.ShowMainWindow();
  window.SetProgressPosition(50);
  const WindowRect place = PictureRect(client.bottom, dpi);
  EXPECT_EQ(place.left, ScaleToDpi(10, dpi));
  EXPECT_EQ(place.width, ScaleToDpi(32, dpi));
  HDC dc = GetDC(main);
  int wrong = 0;
  // A pixel of the scaled picture covers a part of one or two of the
  // bitmap's pixels in each direction; it must show one of them.
  auto sources = [&](int at) {
    return std::pair<int, int>{at * 32 / place.width, ((at + 1) * 32 - 1) / place.width};
  };
  for (int y = 0; y < place.height; ++y) {
    for (int x = 0; x < place.width; ++x) {
      const COLORREF seen = GetPixel(dc, place.left + x, place.top + y);
      const auto [x0, x1] = sources(x);
      const auto [y0, y1] = sources(y);
      const bool found = seen == picture.pixels[y0][x0] || seen == picture.pixels[y0][x1] ||
                         seen == picture.pixels[y1][x0] || seen == picture.pixels[y1][x1];
      if (!found && ++wrong <= 5) {
        ADD_FAILURE() << "pixel " << x << "," << y << " at " << dpi << " DPI: " << std::hex << seen;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
  // Around the scaled picture the menu colour shows.
  const COLORREF menu = GetSysColor(COLOR_MENU);
  EXPECT_EQ(GetPixel(dc, place.left - 1, place.top), menu);
  EXPECT_EQ(GetPixel(dc, place.left + place.width, place.top), menu);
  EXPECT_EQ(GetPixel(dc, place.left, place.top + place.height), menu);
  ReleaseDC(main, dc);
  std::printf(
      "window at %u DPI: %ldx%ld at %ld,%ld; client %ldx%ld; bar %ldx%ld at %ld,%ld; "
      "picture %dx%d at %d,%d\n",
      dpi, actual.right - actual.left, actual.bottom - actual.top, actual.left, actual.top,
      client.right, client.bottom, bar.right - bar.left, bar.bottom - bar.top, bar.left, bar.top,
      place.width, place.height, place.left, place.top);
}

// WM_DPICHANGED: the window takes the suggested rectangle and lays out its
// bar and picture at the new DPI.
TEST_F(Win32WindowTest, DpiChangeRelaysTheWindow) {
  Win32LoaderWindow window(instance_, kShowNormal);
  Create(window);
  HWND main = Win32LoaderWindow::MainWindow();
  window.ShowMainWindow();
  RECT suggested = {100, 80, 100 + 700, 80 + 190};
  SendMessageA(main, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(Win32LoaderWindow::Dpi(), 192u);
  RECT actual;
  GetWindowRect(main, &actual);
  EXPECT_EQ(actual.left, 100);
  EXPECT_EQ(actual.top, 80);
  EXPECT_EQ(actual.right - actual.left, 700);
  EXPECT_EQ(actual.bottom - actual.top, 190);
  const RECT client = ClientRectOf(main);
  const RECT bar = ChildRect(Win32LoaderWindow::ProgressBar());
  const WindowRect expected = ProgressBarRect(client.right, client.bottom, 192);
  EXPECT_EQ(bar.left, 104);
  EXPECT_EQ(bar.top, expected.top);
  EXPECT_EQ(bar.right - bar.left, expected.width);
  EXPECT_EQ(bar.bottom - bar.top, 40);
  EXPECT_NO_THROW(window.SetProgressPosition(30));
}

std::string VersionString(const std::vector<char>& info, const char* name) {
  char* value = nullptr;
  UINT size = 0;
  const std::string path = std::string("\\StringFileInfo\\040904E4\\") + name;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &size))
    return "";
  return std::string(value);
}

TEST_F(Win32WindowTest, ResourcesOfTheExecutable) {
  HBITMAP splash = LoadBitmapA(instance_, "BITMAP1");
  ASSERT_NE(splash, nullptr);
  BITMAP bitmap{};
  GetObjectA(splash, sizeof bitmap, &bitmap);
  EXPECT_EQ(bitmap.bmWidth, 32);
  EXPECT_EQ(bitmap.bmHeight, 32);
  DeleteObject(splash);

  HICON icon = LoadIconA(instance_, "MAINICON");
  ASSERT_NE(icon, nullptr);
  ICONINFO parts{};
  ASSERT_TRUE(GetIconInfo(icon, &parts));
  BITMAP colour{};
  GetObjectA(parts.hbmColor, sizeof colour, &colour);
  EXPECT_EQ(colour.bmWidth, 32);
  EXPECT_EQ(colour.bmHeight, 32);
  DeleteObject(parts.hbmColor);
  DeleteObject(parts.hbmMask);

  char own[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, own, sizeof own);
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeA(own, &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoA(own, 0, static_cast<DWORD>(info.size()), info.data()));
  EXPECT_EQ(VersionString(info, "ProductName"), "Loader Kit");
  EXPECT_EQ(VersionString(info, "FileDescription"), "Installation loader");
  EXPECT_EQ(VersionString(info, "FileVersion"), LOADERKIT_VERSION);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &size));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

// The error box, seen from a hook on this thread: its owner, text and
// caption; the hook dismisses it as soon as it is activated.
struct SeenBox {
  bool seen = false;
  bool paint_in_box = false;  // paint the main window while the box is up
  HWND owner = nullptr;
  std::string text;
  std::string caption;
};
SeenBox g_box;
HHOOK g_hook = nullptr;

LRESULT CALLBACK WatchBox(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE && !g_box.seen) {
    HWND box = reinterpret_cast<HWND>(wparam);
    g_box.seen = true;
    g_box.owner = GetWindow(box, GW_OWNER);
    char text[512] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the static text of a message box
    g_box.text = text;
    GetWindowTextA(box, text, sizeof text);
    g_box.caption = text;
    if (g_box.paint_in_box) {
      HWND main = GetWindow(box, GW_OWNER);
      ShowWindow(main, SW_SHOWNORMAL);
      UpdateWindow(main);  // the paint fails here, inside the box
    }
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  }
  return CallNextHookEx(g_hook, code, wparam, lparam);
}

SeenBox ShowErrorAndWatch(Win32LoaderWindow& window, const std::string& message,
                          bool paint_in_box = false) {
  g_box = SeenBox{};
  g_box.paint_in_box = paint_in_box;
  g_hook = SetWindowsHookExA(WH_CBT, WatchBox, nullptr, GetCurrentThreadId());
  window.ShowError(message.c_str());
  UnhookWindowsHookEx(g_hook);
  return g_box;
}

TEST_F(Win32WindowTest, ErrorBoxOwnedByTheMainWindowOnceKnown) {
  Win32LoaderWindow early(instance_, kShowNormal, "NoSuchProgressClass");
  ASSERT_TRUE(early.RegisterMainWindowClass());
  EXPECT_THROW(early.CreateMainWindow(), LoaderError);
  const SeenBox unowned = ShowErrorAndWatch(early, "LOADER: Could not create the progress bar");
  ASSERT_TRUE(unowned.seen);
  EXPECT_EQ(unowned.owner, nullptr);
  EXPECT_EQ(unowned.text, "LOADER: Could not create the progress bar");
  EXPECT_EQ(unowned.caption, kErrorCaption);
  TearDown();

  Win32LoaderWindow known(instance_, kShowNormal);
  Create(known);
  known.ShowMainWindow();
  const SeenBox owned = ShowErrorAndWatch(known, "error");
  ASSERT_TRUE(owned.seen);
  EXPECT_EQ(owned.owner, Win32LoaderWindow::MainWindow());
  EXPECT_EQ(owned.text, "error");
}

TEST_F(Win32WindowTest, PaintFailureWhileTheBoxIsUpIsDropped) {
  // Hidden start and no picture: the first paint happens inside the box.
  Win32LoaderWindow window(instance_, kHide);
  ASSERT_TRUE(window.RegisterMainWindowClass());
  ASSERT_TRUE(window.CreateMainWindow());
  window.ShowMainWindow();
  HWND main = Win32LoaderWindow::MainWindow();
  const SeenBox box = ShowErrorAndWatch(window, "LOADER: first failure", true);
  ASSERT_TRUE(box.seen);
  EXPECT_EQ(box.text, "LOADER: first failure");
  EXPECT_TRUE(IsWindowVisible(main));
  // The failed paint left nothing to repaint, so no WM_PAINT comes back.
  RECT dirty;
  EXPECT_FALSE(GetUpdateRect(main, &dirty, FALSE));
  EXPECT_NO_THROW(window.SetProgressPosition(5));
}

}  // namespace
}  // namespace ldr
