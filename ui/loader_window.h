#pragma once
// The loader's window as the start-up order drives it. The Win32 build shows
// the real window; the POSIX port draws a console view on standard error.
// Exists as an interface so the start-up order and the error handler can be
// tested with a fake.

#include "base/messages.h"
#include "base/progress_sink.h"

namespace ldr {

class LoaderWindow : public ProgressSink {
 public:
  // Loads "BITMAP1". False when it cannot be loaded.
  virtual bool LoadSplashBitmap() = 0;
  // Registers the window class "Setup". False on failure.
  virtual bool RegisterMainWindowClass() = 0;
  // Creates the hidden main window and its progress bar. False when the main
  // window is not made; raises LoaderError "LOADER: Could not create the
  // progress bar" when the bar is not made. Only after it returns true is the
  // main window known (and the owner of the error box).
  virtual bool CreateMainWindow() = 0;
  // ShowWindow and UpdateWindow with the start-up show command. A failure
  // while painting is raised from here as a LoaderError.
  virtual void ShowMainWindow() = 0;
  // Takes the window off the screen (ShowWindow with SW_HIDE): once a run
  // that waits for the installer has started it, the installer's own window
  // is what the user follows.
  virtual void HideMainWindow() = 0;
  // The error box: owner the main window once known (none before), the fixed
  // caption, one OK button and the stop icon. Returns when it is dismissed.
  virtual void ShowError(const char* message) = 0;
  // A notice for the user that is no failure (the deployment switches' /?):
  // a box with one OK button and the information icon. Returns when it is
  // dismissed.
  virtual void ShowNotice(const char* text) = 0;
};

// The caption of every error report.
inline constexpr const char* kErrorCaption = msg::kErrorCaption;

}  // namespace ldr
