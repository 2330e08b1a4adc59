// Shows the loader window as a run shows it halfway through extraction and
// keeps it up for a while, so that it can be looked at or captured. Prints
// the window's screen rectangle ("left top width height") once it is drawn.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "ui/loader_window_win32.h"
#include "ui/system_window.h"

int main(int argc, char** argv) {
  const int percent = argc > 1 ? std::atoi(argv[1]) : 50;
  const DWORD hold_ms = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 10000;

  ldr::InitializeCommonControls();
  ldr::Win32LoaderWindow window(GetModuleHandleA(nullptr), SW_SHOWNORMAL);
  if (!window.LoadSplashBitmap() || !window.RegisterMainWindowClass() ||
      !window.CreateMainWindow()) {
    std::fprintf(stderr, "window not made\n");
    return 1;
  }
  window.ShowMainWindow();
  window.SetProgressPosition(percent);

  RECT rect;
  GetWindowRect(ldr::Win32LoaderWindow::MainWindow(), &rect);
  std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  std::fflush(stdout);

  // Unlike the loader, keep serving paints so the capture sees a whole window.
  const DWORD end = GetTickCount() + hold_ms;
  while (static_cast<int32_t>(end - GetTickCount()) > 0) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(20);
  }
  return 0;
}
