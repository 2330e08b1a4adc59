#pragma once
// A window that logs what the start-up order asks of it and can fail at each
// step, for tests of the order and of the error handler.

#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/messages.h"
#include "ui/loader_window.h"

namespace ldr::testing {

class FakeWindow : public LoaderWindow {
 public:
  bool bitmap_fails = false;
  bool class_fails = false;
  bool window_fails = false;
  bool bar_fails = false;
  std::string paint_failure;  // raised by ShowMainWindow when not empty
  bool show_runs_out_of_memory = false;

  std::vector<std::string> calls;
  std::vector<int32_t> positions;
  bool main_window_known = false;
  bool shown = false;
  struct Box {
    std::string text;
    bool owned;  // owned by the main window
    bool shown;  // the main window was visible
  };
  std::vector<Box> boxes;

  bool LoadSplashBitmap() override {
    calls.push_back("bitmap");
    return !bitmap_fails;
  }
  bool RegisterMainWindowClass() override {
    calls.push_back("class");
    return !class_fails;
  }
  bool CreateMainWindow() override {
    calls.push_back("window");
    if (window_fails) return false;
    if (bar_fails) RaiseLoaderError(msg::kNoProgressBar);
    main_window_known = true;
    return true;
  }
  void ShowMainWindow() override {
    calls.push_back("show");
    shown = true;
#if __cpp_exceptions
    // Only the build that unwinds has an allocation that fails by throwing.
    if (show_runs_out_of_memory) throw std::bad_alloc();
#endif
    if (!paint_failure.empty()) RaiseFailure(FailureKind::kOther, paint_failure);
  }
  void HideMainWindow() override {
    calls.push_back("hide");
    shown = false;
  }
  void SetProgressPosition(int32_t percent) override { positions.push_back(percent); }
  std::vector<std::string> notices;
  void ShowNotice(const char* text) override {
    calls.push_back("notice");
    notices.push_back(text);
  }
  // Runs as the box appears: a test looks at the world the user sees then.
  std::function<void()> at_box;
  void ShowError(const char* message) override {
    calls.push_back("error");
    boxes.push_back({message, main_window_known, shown});
    if (at_box) at_box();
  }
};

}  // namespace ldr::testing
