#include "kitpack/pe/internal_name.h"

#include "base/text_rules.h"

namespace kitpack {

std::optional<std::string> InternalNameFor(const Branding& b) {
  if (b.original_filename && !b.original_filename->empty()) {
    const std::string stem(ldr::StripExtension(*b.original_filename));
    return stem.empty() ? *b.original_filename : stem;
  }
  if (b.product_name && !b.product_name->empty()) return b.product_name;
  return std::nullopt;
}

}  // namespace kitpack
