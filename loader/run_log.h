#pragma once
// The log of a deployment run (/LOG=FILE): plain UTF-8 lines appended to
// the file, each led by the local time. A run without /LOG keeps no log and
// every line goes nowhere.

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "platform/platform.h"

namespace ldr {

class RunLog {
 public:
  explicit RunLog(Platform& platform) : platform_(platform) {}
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Opens the file for appending and writes the first line; raises
  // LoaderError when it cannot be opened or written.
  void Open(std::string_view path, std::initializer_list<std::string_view> first_line);
  // One line of the pieces given, one after the other; false when it could
  // not be written whole (the run goes on without it).
  bool Line(std::initializer_list<std::string_view> pieces);

 private:
  Platform& platform_;
  OpenFile file_;
};

// A byte count in whole megabytes, rounded up or down, for messages.
DecimalDigits MegabyteText(uint64_t bytes, bool round_up);
// An exit code as the system gives it, unsigned 32-bit; from 0x80000000 on
// (an NTSTATUS such as 0xC0000135) with its hexadecimal form after it.
Text<24> ExitCodeText(uint32_t code);

}  // namespace ldr
