#pragma once
// The POSIX stand-in for the loader window: a one-line progress display on a
// terminal and the error report as two plain lines.
//
// On a terminal ShowMainWindow draws "Initializing... [bar] NN%", each change
// of the percentage redraws it in place through "\r", and the destructor
// clears it. When the stream is not a terminal (a pipe, a log file) the view
// draws nothing at all, so logs carry only the error report.

#include <cstdint>
#include <string_view>

#include "ui/loader_window.h"

namespace ldr {

class ConsoleWindow : public LoaderWindow {
 public:
  // Writes to fd; draws the progress line only when fd is a terminal.
  explicit ConsoleWindow(int fd);
  // As above, with the terminal test decided by the caller.
  ConsoleWindow(int fd, bool draw_progress);
  ~ConsoleWindow() override;

  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  bool LoadSplashBitmap() override { return true; }
  bool RegisterMainWindowClass() override { return true; }
  bool CreateMainWindow() override { return true; }
  void ShowMainWindow() override;
  void HideMainWindow() override;
  void SetProgressPosition(int32_t percent) override;
  // Clears the progress line, then writes the caption and the message, each
  // on a line of its own.
  void ShowError(const char* message) override;
  // On standard output, where a program's help goes.
  void ShowNotice(const char* text) override;

 private:
  void Draw();
  void ClearLine();
  void Write(std::string_view text) const;

  int fd_;
  bool draw_progress_;
  bool shown_ = false;
  bool line_drawn_ = false;
  int32_t percent_ = 0;    // as drawn, clamped to 0..100
  size_t line_width_ = 0;  // characters on screen, for clearing
};

}  // namespace ldr
