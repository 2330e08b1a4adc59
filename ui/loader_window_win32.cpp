#include "ui/loader_window_win32.h"

#include <commctrl.h>

#include <cstring>

#include "base/errors.h"
#include "base/messages.h"
#include "base/text_rules.h"
#include "ui/system_window.h"
#include "ui/window_geometry.h"

namespace ldr {

namespace {

// Process-wide, written once during start-up and never released. Tests that
// make several windows in one process start afresh with each new object.
struct WindowState {
  HBITMAP splash = nullptr;
  HWND main = nullptr;
  HWND bar = nullptr;
  uint32_t dpi = kBaseDpi;  // of the main window, from its creation on
  bool failed = false;      // a failure inside MainWindowProc is recorded
  bool raised = false;      // ... and has been raised to the caller
  bool reporting = false;   // the error box is up: failures are dropped
  // The failure's text. The paint failures are short fixed texts; anything
  // longer keeps its first 255 characters.
  Text<kMaxShortText> failure;
};

WindowState g_state;

void RecordFailure(const char* message) {
  if (g_state.failed || g_state.reporting) return;
  g_state.failure.Assign(message);
  g_state.failed = true;
}

// Called right after every system call that may have run MainWindowProc.
void RaisePendingFailure() {
  if (!g_state.failed || g_state.raised) return;
  g_state.raised = true;
  RaiseFailure(FailureKind::kOther, g_state.failure);
}

class PaintScope {
 public:
  PaintScope(HWND window, PAINTSTRUCT* paint) : window_(window), paint_(paint) {}
  ~PaintScope() { EndPaint(window_, paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;

 private:
  HWND window_;
  PAINTSTRUCT* paint_;
};

class MemoryDcScope {
 public:
  explicit MemoryDcScope(HDC dc) : dc_(dc) {}
  ~MemoryDcScope() { DeleteDC(dc_); }
  MemoryDcScope(const MemoryDcScope&) = delete;
  MemoryDcScope& operator=(const MemoryDcScope&) = delete;

 private:
  HDC dc_;
};

// The DPI of the primary screen (the system DPI). A program that is not
// DPI-aware is told 96 here, so this is 96 wherever the window is not scaled.
uint32_t SystemDpi() {
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return kBaseDpi;
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<uint32_t>(dpi) : kBaseDpi;
}

// The DPI of the monitor the window is on. GetDpiForWindow (Windows 10 1607
// and later) is looked up at run time; older systems have one DPI for all
// monitors, the system's.
uint32_t WindowDpi(HWND window, uint32_t otherwise) {
  using GetDpi = UINT(WINAPI*)(HWND);
  HMODULE user = GetModuleHandleA("user32.dll");
  FARPROC get = user != nullptr ? GetProcAddress(user, "GetDpiForWindow") : nullptr;
  if (get == nullptr) return otherwise;
  const UINT dpi = reinterpret_cast<GetDpi>(reinterpret_cast<void*>(get))(window);
  return dpi != 0 ? dpi : otherwise;
}

WindowRect MainWindowRectAt(uint32_t dpi) {
  return MainWindowRect([] { return GetSystemMetrics(SM_CXMAXIMIZED); },
                        [] { return GetSystemMetrics(SM_CYMAXIMIZED); }, dpi);
}

// Puts the bar where the main window's client area and DPI say.
void LayOutBar(HWND window) {
  if (g_state.bar == nullptr) return;
  RECT client;
  GetClientRect(window, &client);
  const WindowRect rect =
      ProgressBarRect(client.right - client.left, client.bottom - client.top, g_state.dpi);
  MoveWindow(g_state.bar, rect.left, rect.top, rect.width, rect.height, TRUE);
}

// WM_DPICHANGED: the window moved to a monitor of another DPI (or that
// monitor's scale changed). It takes the rectangle the system suggests and
// lays out its content at the new DPI.
void ChangeDpi(HWND window, uint32_t dpi, const RECT& suggested) {
  g_state.dpi = dpi != 0 ? dpi : kBaseDpi;
  SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  LayOutBar(window);
  InvalidateRect(window, nullptr, TRUE);
}

// Paints the picture; gives the failure's text, or null. A failure here is
// not raised: it comes from inside MainWindowProc, and is recorded for the
// loader's next step to raise.
const char* PaintSplash(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return msg::kNoPaintDc;
  PaintScope paint_scope(window, &paint);

  RECT client;
  GetClientRect(window, &client);
  const WindowRect picture = PictureRect(client.bottom - client.top, g_state.dpi);

  HDC memory = CreateCompatibleDC(nullptr);
  if (memory == nullptr) return msg::kNoMemoryDc;
  MemoryDcScope memory_scope(memory);

  HGDIOBJ previous = SelectObject(memory, g_state.splash);
  if (previous == HGDI_ERROR || previous == nullptr) return msg::kNoSelectBitmap;
  // Each pixel of the picture becomes a block of whole pixels (at 96 DPI
  // this is a plain copy): the picture stays crisp at every scale.
  SetStretchBltMode(dc, COLORONCOLOR);
  if (!StretchBlt(dc, picture.left, picture.top, picture.width, picture.height, memory, 0, 0,
                  kPictureSize, kPictureSize, SRCCOPY)) {
    return msg::kNoDrawBitmap;
  }
  return nullptr;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_PAINT:
      if (const char* failure = PaintSplash(window)) {
        RecordFailure(failure);
        ValidateRect(window, nullptr);
        return 0;
      }
      break;
    case WM_DPICHANGED:
      ChangeDpi(window, LOWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

Win32LoaderWindow::Win32LoaderWindow(HINSTANCE instance, uint32_t show_command,
                                     const char* progress_class)
    : instance_(instance), show_command_(show_command), progress_class_(progress_class) {
  g_state = WindowState{};
}

bool Win32LoaderWindow::LoadSplashBitmap() {
  g_state.splash = LoadBitmapA(instance_, "BITMAP1");
  return g_state.splash != nullptr;
}

bool Win32LoaderWindow::RegisterMainWindowClass() {
  WNDCLASSA window_class;
  window_class.style = CS_VREDRAW | CS_HREDRAW;
  window_class.lpfnWndProc = MainWindowProc;
  window_class.cbClsExtra = 0;
  window_class.cbWndExtra = 0;
  window_class.hInstance = instance_;
  window_class.hIcon = LoadIconA(instance_, "MAINICON");
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  // The menu colour (COLOR_MENU + 1), not the window colour.
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
  window_class.lpszMenuName = nullptr;
  window_class.lpszClassName = kMainWindowClass;
  return RegisterClassA(&window_class) != 0;
}

bool Win32LoaderWindow::CreateMainWindow() {
  g_state.dpi = SystemDpi();
  const WindowRect rect = MainWindowRectAt(g_state.dpi);
  // WS_BORDER alone: hidden, no system menu, no sizing frame. Being a
  // top-level overlapped window it still gets a caption with the title.
  HWND window =
      CreateWindowExA(0, kMainWindowClass, kMainWindowTitle, WS_BORDER, rect.left, rect.top,
                      rect.width, rect.height, nullptr, nullptr, instance_, nullptr);
  RaisePendingFailure();
  if (window == nullptr) return false;
  // Its monitor may have a DPI other than the system's (its scale was
  // changed after the user logged on): lay it out again at that DPI.
  const uint32_t dpi = WindowDpi(window, g_state.dpi);
  if (dpi != g_state.dpi) {
    g_state.dpi = dpi;
    const WindowRect again = MainWindowRectAt(dpi);
    SetWindowPos(window, nullptr, again.left, again.top, again.width, again.height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    RaisePendingFailure();
  }

  g_state.bar = CreateProgressBar(window);
  if (g_state.bar == nullptr) RaiseLoaderError(msg::kNoProgressBar);
  g_state.main = window;
  return true;
}

HWND Win32LoaderWindow::CreateProgressBar(HWND parent) {
  RECT client;
  GetClientRect(parent, &client);
  const WindowRect rect =
      ProgressBarRect(client.right - client.left, client.bottom - client.top, g_state.dpi);
  HWND bar =
      CreateWindowExA(0, progress_class_, nullptr, WS_CHILD | WS_CLIPSIBLINGS, rect.left, rect.top,
                      rect.width, rect.height, parent, nullptr, instance_, nullptr);
  RaisePendingFailure();
  if (bar == nullptr) return nullptr;
  SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  RaisePendingFailure();
  SendMessageA(bar, PBM_SETSTEP, 10, 0);
  RaisePendingFailure();
  ShowWindow(bar, static_cast<int>(show_command_));
  RaisePendingFailure();
  UpdateWindow(bar);
  RaisePendingFailure();
  return bar;
}

void Win32LoaderWindow::ShowMainWindow() {
  ShowWindow(g_state.main, static_cast<int>(show_command_));
  RaisePendingFailure();
  UpdateWindow(g_state.main);
  RaisePendingFailure();
}

void Win32LoaderWindow::HideMainWindow() { ShowWindow(g_state.main, SW_HIDE); }

void Win32LoaderWindow::SetProgressPosition(int32_t percent) {
  SendMessageA(g_state.bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
  RaisePendingFailure();
}

void Win32LoaderWindow::ShowError(const char* message) {
  g_state.reporting = true;
  MessageBoxA(g_state.main, message, kErrorCaption, MB_OK | MB_ICONHAND);
}

void Win32LoaderWindow::ShowNotice(const char* text) {
  MessageBoxA(g_state.main, text, kMainWindowClass, MB_OK | MB_ICONINFORMATION);
}

HWND Win32LoaderWindow::MainWindow() { return g_state.main; }
HWND Win32LoaderWindow::ProgressBar() { return g_state.bar; }
HBITMAP Win32LoaderWindow::SplashBitmap() { return g_state.splash; }
uint32_t Win32LoaderWindow::Dpi() { return g_state.dpi; }

SystemWindow MakeSystemWindow() {
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  GetStartupInfoA(&startup);
  // wShowWindow is taken as it is, whatever STARTF_USESHOWWINDOW says.
  return Win32LoaderWindow(GetModuleHandleA(nullptr), startup.wShowWindow);
}

// comctl32 is not one of the system's known DLLs, so a static import would be
// looked for in the loader's own folder first: a planted copy beside a
// downloaded loader would run with the user's rights. It is loaded by its full
// path in the system folder, which no search order can redirect, nor a
// manifest beside the loader ("setup.exe.manifest") through the activation
// context, as a name alone could be. Version 6,
// which the manifest asks for, is not this file: the system loads it from its
// side-by-side store when the bar's class is first used, so the bar still
// gets the current visual style. When comctl32 cannot be loaded the progress
// bar cannot be made, and that failure is reported where the bar is created.
void InitializeCommonControls() {
  char path[MAX_PATH + 16];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  std::memcpy(path + length, "\\comctl32.dll", sizeof "\\comctl32.dll");
  HMODULE library = LoadLibraryA(path);
  if (library == nullptr) return;
  using InitFunction = void(WINAPI*)();
  FARPROC init = GetProcAddress(library, "InitCommonControls");
  if (init != nullptr) reinterpret_cast<InitFunction>(reinterpret_cast<void*>(init))();
}

}  // namespace ldr
