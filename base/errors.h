#pragma once
// The two error kinds the loader raises. Both carry nothing but the complete
// text the user will read; the single handler at the top shows it.
//
// They derive from std::exception directly, and LoaderError holds its text
// in a buffer of its own: raising one allocates nothing but the exception
// object itself, which the runtime provides.

#include <exception>
#include <string_view>

#include "base/failure.h"
#include "base/text.h"
#include "base/text_rules.h"

namespace ldr {

// Raised by the loader's own code. The message is built where the failure is,
// from up to three pieces put together. It holds the longest text FormatText
// makes and a path as long as the loader composes beside it, so no message
// of the loader's is ever cut; a longer text keeps what fits.
class LoaderError : public std::exception {
 public:
  static constexpr size_t kCapacity = kMaxFormattedText + kMaxPath;

  explicit LoaderError(std::string_view message, FailureKind kind = FailureKind::kOther);
  LoaderError(FailureKind kind, std::string_view first, std::string_view second,
              std::string_view third);
  const char* what() const noexcept override { return message_.c_str(); }
  FailureKind kind() const { return kind_; }
  // The text as it was put together, embedded zero bytes included.
  std::string_view text() const { return message_.view(); }

 private:
  Text<kCapacity> message_;
  FailureKind kind_;
};

// Raises a LoaderError put together from up to three pieces. Every failure
// site calls this rather than spelling out the throw itself, which keeps the
// exception machinery in one place (base/failure.cpp: how a failure reaches
// the handler in each build).
// The failure's kind is the first piece's.
[[noreturn]] void RaiseFailure(FailureKind kind, std::string_view first,
                               std::string_view second = {}, std::string_view third = {});
[[noreturn]] inline void RaiseLoaderError(const Message& first, std::string_view second = {},
                                          std::string_view third = {}) {
  RaiseFailure(first.kind, first.text, second, third);
}

// Raised when the decompression library gives a negative result: an entry
// that could not be unpacked. Its text is always "error".
inline constexpr char kZlibErrorText[] = "error";
class EZlibError : public std::exception {
 public:
  const char* what() const noexcept override { return kZlibErrorText; }
};

// Raises an EZlibError.
[[noreturn]] void RaiseZlibError();

}  // namespace ldr
