// Smaller stand-ins for pieces of the static runtime of the Windows loader.
// Each replaces library objects that the linker would otherwise pull in
// whole; see docs/benchmarks.md for what each saves.
#include <windows.h>

#include <cstdarg>

#include "base/failure.h"
#include "base/messages.h"

// The library keeps all of its throw helpers in one object whose exception
// classes carry the reference-counted string with its locale and random
// device support (about 36 KB). Defining every helper of that object here
// keeps it out entirely. loader.exe raises nothing (base/failure.h): each
// helper goes to the run's handler with the library's own text (for a
// range failure, the name of the function); a failed allocation with the
// out-of-memory text.
namespace std {
[[noreturn]] void __throw_bad_exception() {
  ldr::StopAtHandler({ldr::FailureKind::kOther, "std::bad_exception"});
}
[[noreturn]] void __throw_bad_alloc() {
  ldr::StopAtHandler({ldr::FailureKind::kOther, ldr::msg::kOutOfMemory});
}
[[noreturn]] void __throw_bad_array_new_length() {
  ldr::StopAtHandler({ldr::FailureKind::kOther, ldr::msg::kOutOfMemory});
}
[[noreturn]] void __throw_bad_cast() {
  ldr::StopAtHandler({ldr::FailureKind::kOther, "std::bad_cast"});
}
[[noreturn]] void __throw_bad_typeid() {
  ldr::StopAtHandler({ldr::FailureKind::kOther, "std::bad_typeid"});
}
[[noreturn]] void __throw_logic_error(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_domain_error(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_invalid_argument(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_length_error(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_out_of_range(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
// Callers pass the failing function's name for a leading "%s"; that name is
// the text shown.
[[noreturn]] void __throw_out_of_range_fmt(const char* format, ...) {
  const char* text = format;
  if (format[0] == '%' && format[1] == 's') {
    va_list args;
    va_start(args, format);
    text = va_arg(args, const char*);
    va_end(args);
  }
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_runtime_error(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_range_error(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_overflow_error(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
[[noreturn]] void __throw_underflow_error(const char* text) {
  ldr::StopAtHandler({ldr::FailureKind::kOther, text});
}
}  // namespace std

// A broken library precondition (an index out of range, say) is a fault of
// the loader itself, reported the way every other failure is.
namespace std {
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept {
  ldr::StopAtHandler({ldr::FailureKind::kOther, ldr::msg::kInternalError});
}
}  // namespace std

// A call of a pure virtual function (through an object under construction)
// is a fault of the loader itself too. Defined here, the library's object
// with its terminate machinery stays out.
extern "C" void __cxa_pure_virtual() {
  ldr::StopAtHandler({ldr::FailureKind::kOther, ldr::msg::kInternalError});
}
