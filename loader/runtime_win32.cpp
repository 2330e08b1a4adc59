// Smaller stand-ins for pieces of the static runtime of the Windows loader.
// Each replaces library objects that the linker would otherwise pull in
// whole; see docs/benchmarks.md for what each saves.
#include <cxxabi.h>
#include <windows.h>
#include <zlib.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>

#include "base/messages.h"

namespace {

// What the library's own failure points raise here: the one handler at the
// top shows its text like any other error.
class LibraryFault : public std::exception {
 public:
  explicit LibraryFault(const char* text) : text_(text) {}
  const char* what() const noexcept override { return text_; }

 private:
  const char* text_;
};

}  // namespace

// The library keeps all of its throw helpers in one object whose exception
// classes carry the reference-counted string with its locale and random
// device support (about 36 KB). Defining every helper of that object here
// keeps it out entirely. Each raises a failure the top handler shows with the
// library's own text (for a range failure, the name of the function);
// failed allocations stay std::bad_alloc, which the handler reports as lack
// of memory.
namespace std {
[[noreturn]] void __throw_bad_exception() { throw LibraryFault("std::bad_exception"); }
[[noreturn]] void __throw_bad_alloc() { throw std::bad_alloc(); }
[[noreturn]] void __throw_bad_array_new_length() { throw std::bad_alloc(); }
[[noreturn]] void __throw_bad_cast() { throw LibraryFault("std::bad_cast"); }
[[noreturn]] void __throw_bad_typeid() { throw LibraryFault("std::bad_typeid"); }
[[noreturn]] void __throw_logic_error(const char* text) { throw LibraryFault(text); }
[[noreturn]] void __throw_domain_error(const char* text) { throw LibraryFault(text); }
[[noreturn]] void __throw_invalid_argument(const char* text) { throw LibraryFault(text); }
[[noreturn]] void __throw_length_error(const char* text) { throw LibraryFault(text); }
[[noreturn]] void __throw_out_of_range(const char* text) { throw LibraryFault(text); }
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
  throw LibraryFault(text);
}
[[noreturn]] void __throw_runtime_error(const char* text) { throw LibraryFault(text); }
[[noreturn]] void __throw_range_error(const char* text) { throw LibraryFault(text); }
[[noreturn]] void __throw_overflow_error(const char* text) { throw LibraryFault(text); }
[[noreturn]] void __throw_underflow_error(const char* text) { throw LibraryFault(text); }
}  // namespace std

// inflate reaches the CRC only for gzip-wrapped streams, which inflateInit
// refuses; zlib's table-driven version costs 13 KB. This one is exact, just
// slow, should it ever be called.
uLong crc32(uLong crc, const Bytef* buf, uInt len) {
  if (buf == Z_NULL) return 0;
  uint32_t c = static_cast<uint32_t>(crc) ^ 0xFFFFFFFFu;
  for (uInt i = 0; i < len; ++i) {
    c ^= buf[i];
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return c ^ 0xFFFFFFFFu;
}

// A broken library precondition (an index out of range, say) is a fault of
// the loader itself. It cannot unwind from here, so it is reported the way
// every other failure is, by the one box, and the run ends with exit code 1.
namespace std {
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept {
  MessageBoxA(nullptr, ldr::msg::kInternalError, ldr::msg::kErrorCaption, 0x10);
  ExitProcess(1);
}
}  // namespace std

// --- Exception objects ------------------------------------------------------
// The library's allocator for exception objects keeps an emergency pool with
// a lock, and its per-thread bookkeeping uses emulated thread-local storage;
// together with the thread support they need, about 5 KB. The loader has one
// thread and raises one failure at a time (a second at most while the first
// is being reported), so both come from here instead: objects come from a
// few fixed slots, never from the heap. Should more be alive at once than
// there are slots, or one be larger than a slot, the run ends as the
// library ends it when its pool is spent (std::terminate).
//
// The runtime keeps its header (about 160 bytes on x86-64) right before each
// object and reaches it by its own fixed offset; every block reserves more
// than that in front of the object and clears it, as the library does.

namespace {

constexpr size_t kExceptionHeader = 256;
constexpr size_t kExceptionSlot = 8192;  // a LoaderError with its 4 KiB text fits
constexpr int kExceptionSlots = 8;

alignas(16) unsigned char g_exception_slots[kExceptionSlots][kExceptionSlot];
bool g_exception_slot_used[kExceptionSlots];

// A block of size bytes, zeroed.
void* TakeExceptionBlock(size_t size) {
  for (int i = 0; i < kExceptionSlots; ++i) {
    if (!g_exception_slot_used[i] && size <= kExceptionSlot) {
      g_exception_slot_used[i] = true;
      std::memset(g_exception_slots[i], 0, size);
      return g_exception_slots[i];
    }
  }
  std::terminate();
}

void GiveBackExceptionBlock(void* block) {
  for (int i = 0; i < kExceptionSlots; ++i) {
    if (block == g_exception_slots[i]) g_exception_slot_used[i] = false;
  }
}

// The per-thread record of caught and uncaught exceptions, for the one thread.
struct EhGlobals {
  void* caught_exceptions;
  unsigned int uncaught_exceptions;
};
EhGlobals g_eh_globals;

}  // namespace

namespace __cxxabiv1 {
extern "C" {

void* __cxa_allocate_exception(size_t thrown_size) noexcept {
  unsigned char* block =
      static_cast<unsigned char*>(TakeExceptionBlock(kExceptionHeader + thrown_size));
  return block + kExceptionHeader;
}

void __cxa_free_exception(void* object) noexcept {
  GiveBackExceptionBlock(static_cast<unsigned char*>(object) - kExceptionHeader);
}

// For std::rethrow_exception; the loader never uses it, but the library's
// object that would provide these is the one replaced here.
__cxa_dependent_exception* __cxa_allocate_dependent_exception() noexcept {
  return static_cast<__cxa_dependent_exception*>(TakeExceptionBlock(kExceptionHeader));
}

void __cxa_free_dependent_exception(__cxa_dependent_exception* exception) noexcept {
  GiveBackExceptionBlock(exception);
}

__cxa_eh_globals* __cxa_get_globals() noexcept {
  return reinterpret_cast<__cxa_eh_globals*>(&g_eh_globals);
}

__cxa_eh_globals* __cxa_get_globals_fast() noexcept {
  return reinterpret_cast<__cxa_eh_globals*>(&g_eh_globals);
}

}  // extern "C"
}  // namespace __cxxabiv1
