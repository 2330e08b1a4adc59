#pragma once
// The version resource's InternalName of a branded kit. The loader is built
// as "loader"; a kit renamed by its author should not show that name in the
// file's properties.

#include <optional>
#include <string>

#include "kitpack/pe/branding.h"

namespace kitpack {

// The original file name without its extension ("example-setup.exe" ->
// "example-setup"), else the product name; nothing when the branding gives
// neither, and the loader's own name stays.
std::optional<std::string> InternalNameFor(const Branding& branding);

}  // namespace kitpack
