#pragma once
#include <stdexcept>
#include <string>

namespace kitpack {

// Every failure kitpack reports, from any of its parts: the complete text
// for the user. main() catches it once and exits with 1.
class KitError : public std::runtime_error {
 public:
  explicit KitError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kitpack
