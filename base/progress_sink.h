#pragma once
#include <cstdint>

namespace ldr {

// The one way extraction reaches the window: SetProgressPosition sends the
// percentage to the progress bar synchronously and returns when the bar has
// taken it. The value is passed on unchanged (not clamped).
class ProgressSink {
 public:
  ProgressSink() = default;
  virtual ~ProgressSink() = default;
  ProgressSink(const ProgressSink&) = delete;
  ProgressSink& operator=(const ProgressSink&) = delete;
  virtual void SetProgressPosition(int32_t percent) = 0;
};

}  // namespace ldr
