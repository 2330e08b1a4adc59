#pragma once
// The one error type inside the payload library. The C interface catches it
// at its edge and turns it into a status code and a text; nothing else of
// the library reports a failure.

#include <exception>
#include <string>

namespace ldr::payload {

// The same numbers as the LOADERKIT_E_ codes of <loaderkit/payload.h>.
enum class Fault {
  kUsage = 1,
  kOpen = 2,
  kNotAKit = 3,
  kDamaged = 4,
  kUnsafeName = 5,
  kWrite = 6,
  kExists = 7,
  kCancelled = 8,
  kMemory = 9,
};

class Failure : public std::exception {
 public:
  Failure(Fault fault, std::string text) : fault_(fault), text_(std::move(text)) {}
  Fault fault() const { return fault_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  Fault fault_;
  std::string text_;
};

[[noreturn]] inline void Fail(Fault fault, std::string text) {
  throw Failure(fault, std::move(text));
}

}  // namespace ldr::payload
