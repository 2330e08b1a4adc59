#pragma once
// How a raised failure reaches the run's one handler.
//
// Every build but loader.exe raises LoaderError and EZlibError as
// exceptions: they unwind to the handler, and the scoped clean-ups on the
// way close the files. loader.exe is built without exceptions, which keeps
// the unwinder and the C++ runtime's exception support out of it (about
// 13 KB): there a raise calls the innermost handler where the failure is,
// and the process ends with the exit code that handler gives. A handler
// therefore first closes what unwinding would have closed
// (Platform::CloseFilesOpenedSince), and does nothing after that which
// needs the stack below it. The same handler code runs in both builds.

#include <string_view>

namespace ldr {

// What a failure was, whatever step it happened in: a run with switches
// ends with the exit code of its kind (loader/run.h), any other with 1.
enum class FailureKind : unsigned char {
  kOther,          // the window, memory, the loader itself
  kCommandLine,    // an unknown switch, arguments that do not fit
  kLog,            // the log cannot be written
  kKitDamaged,     // the kit is incomplete, damaged or changed
  kNoSpace,        // not enough free space
  kUnpacking,      // an entry could not be unpacked
  kStart,          // the installer could not be started
  kExtractFolder,  // the /EXTRACT folder
  kTempFolder,     // no usable temporary folder
  kWait,           // the installer could not be waited for
};

// A text the loader shows for a failure, with the failure's kind.
struct Message {
  const char* text;
  FailureKind kind;
  constexpr operator const char*() const { return text; }       // NOLINT: used as its text
  constexpr operator std::string_view() const { return text; }  // NOLINT
};

// A failure as its handler gets it: its kind and the complete text.
struct Failure {
  FailureKind kind;
  const char* text;
};

class FailureHandler {
 public:
  // The run's answer to a failure: the exit code it ends with.
  virtual int Handle(const Failure& failure) = 0;

 protected:
  ~FailureHandler() = default;
};

#if __cpp_exceptions
// Inside a catch block: the failure being handled (a LoaderError's or
// EZlibError's own, the out-of-memory text, or the one for anything else).
Failure CurrentFailure();
#else
// Where the run goes when a failure is raised: the innermost handler's
// Handle, whose exit code ends the process. A failure raised inside Handle
// goes to the handler around that one; with none left the process ends with
// exit code 1.
[[noreturn]] void StopAtHandler(const Failure& failure);

// Ends the process with this exit code. The program built without
// exceptions defines it (loader/main_win32.cpp).
[[noreturn]] void EndProcess(int exit_code);

// Makes handler the innermost one while it lives.
class HandlerScope {
 public:
  explicit HandlerScope(FailureHandler& handler);
  ~HandlerScope();
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  friend void StopAtHandler(const Failure& failure);
  FailureHandler& handler_;
  HandlerScope* outer_;
};
#endif

// Runs body (an int() callable) under handler: body's result, or the
// handler's answer to a failure raised inside it.
template <typename Body>
int RunHandled(FailureHandler& handler, Body&& body) {
#if __cpp_exceptions
  try {
    return body();
  } catch (...) {
    return handler.Handle(CurrentFailure());
  }
#else
  HandlerScope scope(handler);
  return body();
#endif
}

}  // namespace ldr
