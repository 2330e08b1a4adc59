#pragma once
// kitpack's names for the UTF-8 conversions of format/utf8.h, which holds
// the one implementation of the UTF-8 rules.

#include "format/utf8.h"

namespace kitpack {

using ldr::Utf16FromUtf8;
using ldr::Utf8FromUtf16;

}  // namespace kitpack
