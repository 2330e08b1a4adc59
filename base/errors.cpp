#include "base/errors.h"

namespace ldr {

// Out of line: every place that raises one calls these, rather than each
// object carrying its own copy.
LoaderError::LoaderError(std::string_view message, FailureKind kind)
    : message_(message), kind_(kind) {}

LoaderError::LoaderError(FailureKind kind, std::string_view first, std::string_view second,
                         std::string_view third)
    : message_(first), kind_(kind) {
  message_.Append(second);
  message_.Append(third);
}

}  // namespace ldr
