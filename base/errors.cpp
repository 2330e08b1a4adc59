#include "base/errors.h"

namespace ldr {

// Out of line: every place that raises one calls these, rather than each
// object carrying its own copy.
LoaderError::LoaderError(std::string_view message) : message_(message) {}

LoaderError::LoaderError(std::string_view first, std::string_view second) : message_(first) {
  message_.Append(second);
}

LoaderError::LoaderError(std::string_view first, std::string_view second, std::string_view third)
    : LoaderError(first, second) {
  message_.Append(third);
}

}  // namespace ldr
