#include "ui/console_window_posix.h"

#include <unistd.h>

#include <cerrno>

#include "base/text_rules.h"

#include "ui/system_window.h"

namespace ldr {

namespace {

constexpr int32_t kBarCells = 30;

}  // namespace

ConsoleWindow::ConsoleWindow(int fd) : ConsoleWindow(fd, isatty(fd) == 1) {}

ConsoleWindow::ConsoleWindow(int fd, bool draw_progress) : fd_(fd), draw_progress_(draw_progress) {}

ConsoleWindow::~ConsoleWindow() { ClearLine(); }

void ConsoleWindow::ShowMainWindow() {
  shown_ = true;
  Draw();
}

// The progress line goes; nothing is drawn again.
void ConsoleWindow::HideMainWindow() {
  ClearLine();
  shown_ = false;
}

void ConsoleWindow::SetProgressPosition(int32_t percent) {
  // Extraction calls this after every 4 KiB block: redraw only on a change.
  const int32_t clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
  if (clamped == percent_) return;
  percent_ = clamped;
  if (shown_) Draw();
}

void ConsoleWindow::ShowError(const char* message) {
  ClearLine();
  shown_ = false;
  Write(kErrorCaption);
  Write("\n");
  Write(message);
  Write("\n");
}

void ConsoleWindow::ShowNotice(const char* text) {
  const std::string_view shown(text);
  for (size_t done = 0; done < shown.size();) {
    const ssize_t n = ::write(1, shown.data() + done, shown.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
  if (::write(1, "\n", 1) < 0) return;
}

void ConsoleWindow::Draw() {
  if (!draw_progress_) return;
  const int32_t filled = percent_ * kBarCells / 100;
  Text<64> line("\rInitializing... [");
  for (int32_t cell = 0; cell < kBarCells; ++cell) line.Append(cell < filled ? '#' : ' ');
  line.Append("] ");
  const DecimalDigits number = DecimalText(percent_);
  for (size_t pad = number.size(); pad < 3; ++pad) line.Append(' ');
  line.Append(number);
  line.Append('%');
  line_width_ = line.size() - 1;
  line_drawn_ = true;
  Write(line);
}

void ConsoleWindow::ClearLine() {
  if (!line_drawn_) return;
  line_drawn_ = false;
  Text<64> blank("\r");
  for (size_t i = 0; i < line_width_; ++i) blank.Append(' ');
  blank.Append('\r');
  Write(blank);
}

void ConsoleWindow::Write(std::string_view text) const {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report to
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

SystemWindow MakeSystemWindow() { return ConsoleWindow(STDERR_FILENO); }

void InitializeCommonControls() {}

}  // namespace ldr
