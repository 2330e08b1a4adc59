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

namespace ldr {

class FailureHandler {
 public:
  // The run's answer to a failure with this text: the exit code it ends
  // with.
  virtual int Handle(const char* text) = 0;

 protected:
  ~FailureHandler() = default;
};

#if __cpp_exceptions
// Inside a catch block: the text of the failure being handled (a
// LoaderError's or EZlibError's own, the out-of-memory text, or the one for
// anything else).
const char* CurrentFailureText();
#else
// Where the run goes when a failure is raised: the innermost handler's
// Handle, whose exit code ends the process. A failure raised inside Handle
// goes to the handler around that one; with none left the process ends with
// exit code 1.
[[noreturn]] void StopAtHandler(const char* text);

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
  friend void StopAtHandler(const char* text);
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
    return handler.Handle(CurrentFailureText());
  }
#else
  HandlerScope scope(handler);
  return body();
#endif
}

}  // namespace ldr
