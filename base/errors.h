#pragma once
// The two error kinds the loader raises. Both carry nothing but the complete
// text the user will read; the single handler at the top shows it.
//
// They derive from std::exception directly rather than std::runtime_error:
// the latter drags the library's reference-counted string into the loader,
// which costs the Windows build tens of kilobytes.

#include <exception>
#include <string>
#include <utility>

namespace ldr {

// Raised by the loader's own code. The message is built where the failure is.
class LoaderError : public std::exception {
 public:
  explicit LoaderError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Raised when the decompression library gives a negative result. Its text is
// always "error".
class EZlibError : public std::exception {
 public:
  const char* what() const noexcept override { return "error"; }
};

}  // namespace ldr
