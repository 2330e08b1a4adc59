#pragma once
// GoogleTest's Notification is built on std::mutex, which the win32 thread
// model of the mingw-w64 cross compiler lacks. This stand-in, force-included
// into GoogleTest and the Windows test programs, is used only when GoogleTest
// starts threads of its own (its self-tests); a spin on an atomic flag is
// enough there.

#include <atomic>

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true); }
  void WaitForNotification() {
    while (!notified_.load()) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
