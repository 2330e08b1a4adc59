#pragma once
// The Win32 loader window: class "Setup", a hidden WS_BORDER main window with
// the splash picture and a progress bar, shown only when the start-up order
// says so. There is no message loop: the picture is painted inside the
// ShowWindow/UpdateWindow calls and the bar repaints itself when its position
// is set.
//
// The manifest makes the process DPI-aware per monitor, so the window scales
// itself: it is laid out for its monitor's DPI when it is made (see
// window_geometry.h) and again on WM_DPICHANGED, at the rectangle the system
// suggests.
//
// Failures while painting. MainWindowProc is called by the system, and no C++
// exception may unwind through the system's frames. So a paint failure is
// caught inside the procedure and recorded (the first one wins; later ones
// are dropped), and it is raised as a LoaderError when the ShowWindow,
// UpdateWindow or SendMessageA call that led to it returns to us, from
// CreateMainWindow, ShowMainWindow or SetProgressPosition. The run then ends
// through the one error handler with the same message and owner as if the
// error had come straight out of the procedure.
//
// A paint failure while the error box is up (its modal loop repaints the main
// window) has no caller of ours to return to: it is dropped. The box stays up
// with the error it was opened for and the process still exits with code 1
// once it is dismissed. The failed paint's region is validated so that the
// box's loop does not spin on an endless WM_PAINT.

#include <windows.h>

#include <cstdint>

#include "ui/loader_window.h"

namespace ldr {

inline constexpr const char* kMainWindowClass = "Setup";
inline constexpr const char* kMainWindowTitle = "Initializing...";
inline constexpr const char* kProgressBarClass = "msctls_progress32";

// The window procedure of class "Setup".
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

class Win32LoaderWindow : public LoaderWindow {
 public:
  // instance: the module holding "BITMAP1" and "MAINICON". show_command: the
  // wShowWindow of the start-up information, used unchanged. progress_class
  // exists so tests can make the bar's creation fail.
  Win32LoaderWindow(HINSTANCE instance, uint32_t show_command,
                    const char* progress_class = kProgressBarClass);

  bool LoadSplashBitmap() override;
  bool RegisterMainWindowClass() override;
  bool CreateMainWindow() override;
  void ShowMainWindow() override;
  void HideMainWindow() override;
  void SetProgressPosition(int32_t percent) override;
  void ShowError(const char* message) override;
  void ShowNotice(const char* text) override;

  // The process-wide handles: null until made (the main window until
  // CreateMainWindow has returned true).
  static HWND MainWindow();
  static HWND ProgressBar();
  static HBITMAP SplashBitmap();
  // The DPI the window is laid out for: the system's until the main window
  // exists, then its monitor's, updated by WM_DPICHANGED.
  static uint32_t Dpi();

 private:
  HWND CreateProgressBar(HWND parent);

  HINSTANCE instance_;
  uint32_t show_command_;
  const char* progress_class_;
};

}  // namespace ldr
