#include "base/failure.h"

#include <new>

#include "base/errors.h"
#include "base/messages.h"

namespace ldr {

#if __cpp_exceptions

Failure CurrentFailure() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return {FailureKind::kOther, msg::kOutOfMemory};
  } catch (const LoaderError& error) {
    return {error.kind(), error.what()};
  } catch (const EZlibError& error) {
    return {FailureKind::kUnpacking, error.what()};
  } catch (const std::exception& error) {
    // Anything else from the runtime is shown with its own text.
    return {FailureKind::kOther, error.what()};
  } catch (...) {
    return {FailureKind::kOther, msg::kUnexpected};
  }
}

void RaiseFailure(FailureKind kind, std::string_view first, std::string_view second,
                  std::string_view third) {
  throw LoaderError(kind, first, second, third);
}

void RaiseZlibError() { throw EZlibError(); }

#else

namespace {

HandlerScope* g_innermost = nullptr;

// The text of the failure being handled: it lives until the process ends,
// as the exception object would until its handler is done.
Text<LoaderError::kCapacity> g_failure;

}  // namespace

HandlerScope::HandlerScope(FailureHandler& handler) : handler_(handler), outer_(g_innermost) {
  g_innermost = this;
}

HandlerScope::~HandlerScope() { g_innermost = outer_; }

void StopAtHandler(const Failure& failure) {
  HandlerScope* scope = g_innermost;
  if (scope == nullptr) EndProcess(1);
  // A failure inside Handle belongs to the handler around this one. The
  // scope that made this handler innermost never ends.
  g_innermost = scope->outer_;
  EndProcess(scope->handler_.Handle(failure));
}

// The text a LoaderError would hold, kept where no object with a virtual
// table (and the type information it brings) need be made.
void RaiseFailure(FailureKind kind, std::string_view first, std::string_view second,
                  std::string_view third) {
  g_failure.Assign(first);
  g_failure.Append(second);
  g_failure.Append(third);
  StopAtHandler({kind, g_failure.c_str()});
}

void RaiseZlibError() { StopAtHandler({FailureKind::kUnpacking, kZlibErrorText}); }

#endif

}  // namespace ldr
