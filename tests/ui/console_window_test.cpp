#include "ui/console_window_posix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace ldr {
namespace {

// Collects what the view writes through a pipe (never a terminal).
class Capture {
 public:
  Capture() { EXPECT_EQ(pipe(fds_), 0); }
  ~Capture() {
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  int fd() const { return fds_[1]; }
  // Everything written so far; ends the writing side.
  std::string Take() {
    close(fds_[1]);
    fds_[1] = -1;
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds_[0], buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<size_t>(n));
    return text;
  }

 private:
  int fds_[2] = {-1, -1};
};

const std::string kCaptionLine = std::string(kErrorCaption) + "\n";

std::string Line(int filled, const char* percent) {
  return "\rInitializing... [" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(30 - filled), ' ') + "] " + percent;
}
const std::string kClear = "\r" + std::string(Line(0, "  0%").size() - 1, ' ') + "\r";

TEST(ConsoleWindow, NotATerminalWritesNothingButTheError) {
  Capture quiet;
  {
    ConsoleWindow view(quiet.fd());  // a pipe: isatty is false
    EXPECT_TRUE(view.LoadSplashBitmap());
    EXPECT_TRUE(view.RegisterMainWindowClass());
    EXPECT_TRUE(view.CreateMainWindow());
    view.ShowMainWindow();
    for (int32_t p : {0, 10, 50, 100}) view.SetProgressPosition(p);
  }
  EXPECT_EQ(quiet.Take(), "");

  Capture failing;
  {
    ConsoleWindow view(failing.fd());
    view.ShowMainWindow();
    view.SetProgressPosition(40);
    view.ShowError("LOADER: Could not find the executable, /opt/x y/loader");
  }
  EXPECT_EQ(failing.Take(),
            kCaptionLine + "LOADER: Could not find the executable, /opt/x y/loader\n");
}

TEST(ConsoleWindow, TerminalRedrawsOnlyWhenThePercentageChanges) {
  Capture out;
  {
    ConsoleWindow view(out.fd(), true);
    view.SetProgressPosition(20);  // hidden yet: remembered, not drawn
    view.ShowMainWindow();
    view.SetProgressPosition(20);
    view.SetProgressPosition(50);
    view.SetProgressPosition(50);
    view.SetProgressPosition(250);  // drawn as 100
    view.SetProgressPosition(100);  // unchanged on screen
    view.SetProgressPosition(-3);   // drawn as 0
  }
  EXPECT_EQ(out.Take(),
            Line(6, " 20%") + Line(15, " 50%") + Line(30, "100%") + Line(0, "  0%") + kClear);
}

TEST(ConsoleWindow, ErrorClearsTheProgressLineFirst) {
  Capture out;
  {
    ConsoleWindow view(out.fd(), true);
    view.ShowMainWindow();
    view.ShowError("error");
    view.SetProgressPosition(70);  // nothing more after the report
  }
  EXPECT_EQ(out.Take(), Line(0, "  0%") + kClear + kCaptionLine + "error\n");
}

// A notice (the loader's help) goes to standard output whole, whatever the
// view's own stream is, and ends in a new line.
TEST(ConsoleWindow, NoticeGoesToStandardOutput) {
  Capture errors;
  Capture out;
  const int saved = dup(1);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(dup2(out.fd(), 1), 1);
  {
    ConsoleWindow view(errors.fd(), true);
    view.ShowNotice("usage: loader [*TODISK]\n  unpacks the kit");
  }
  ASSERT_EQ(dup2(saved, 1), 1);
  close(saved);
  EXPECT_EQ(out.Take(), "usage: loader [*TODISK]\n  unpacks the kit\n");
  EXPECT_EQ(errors.Take(), "");
}

// A stream that takes nothing (closed, or never writable) loses the text;
// the view neither waits nor fails.
TEST(ConsoleWindow, UnwritableStreamsAreLeftQuietly) {
  Capture own_stream;
  int read_end[2];
  ASSERT_EQ(pipe(read_end), 0);
  close(read_end[1]);
  {
    ConsoleWindow view(read_end[0], true);  // the reading end: every write fails
    view.ShowMainWindow();
    view.SetProgressPosition(50);
    view.ShowError("error");
  }
  close(read_end[0]);

  const int saved = dup(1);
  ASSERT_GE(saved, 0);
  close(1);
  ConsoleWindow(own_stream.fd(), false).ShowNotice("help");
  ASSERT_EQ(dup2(saved, 1), 1);
  close(saved);
  EXPECT_EQ(own_stream.Take(), "");
}

}  // namespace
}  // namespace ldr
