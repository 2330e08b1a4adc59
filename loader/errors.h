#pragma once
// The two error kinds the loader raises. Both carry nothing but the complete
// text the user will read; the single handler at the top shows it.

#include <stdexcept>
#include <string>

namespace ldr {

// Raised by the loader's own code. The message is built where the failure is.
class LoaderError : public std::runtime_error {
 public:
  explicit LoaderError(const std::string& message) : std::runtime_error(message) {}
};

// Raised when the decompression library gives a negative result. Its text is
// always "error".
class EZlibError : public std::runtime_error {
 public:
  EZlibError() : std::runtime_error("error") {}
};

}  // namespace ldr
