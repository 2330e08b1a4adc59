#pragma once
// The rules for names stored in a kit: which file a stored name becomes, and
// which names are unsafe to create. The loader's extractor, kitpack (build,
// verify, extract) and the reference installer all call these, so a kit that
// kitpack accepts is one the loader can unpack. No operating-system calls.
//
// First archive: the loader keeps only the name part of a stored name (the
// text after its last "\" or ":"), so that is all an extractor may use.
// Second archive: names are relative paths; their rules are in
// format/stored_paths.h (kitpack and the reference installer only).

#include <string_view>

#include "base/text_rules.h"

namespace ldr {

// Which system will create the file: Windows adds its own reserved names.
enum class NameHost { kWindows, kPosix };

// The name part the loader creates for a stored name: the text after its
// last "\" or ":" (lead bytes honoured when a test is given), at most 255
// characters. A view into stored_name.
std::string_view StoredNamePart(std::string_view stored_name, LeadByteTest is_lead_byte = nullptr);

// Why the loader must not create a file under this name part, or null when
// it may. On every host: empty, ".", "..", a "/" or a zero byte. On Windows
// also: control characters and <>"|?* (the system refuses them), names made
// only of dots and blanks (the system would trim them to the folder itself
// or its parent), and device names such as CON, nul.txt or COM1 (the system
// would open the device instead of a file).
const char* UnsafeNameReason(std::string_view name_part, NameHost host);

// The Windows rule for a name as the system sees it once it has converted
// it from the code page (UTF-16). Code units up to 255 are the characters of
// those codes; no higher one takes part in any rule. For a double-byte code
// page this is the check that counts: a name whose bytes pass may still
// convert to a device name ("NUL" and a lone lead byte, which the system
// drops).
const char* UnsafeConvertedNameReason(std::u16string_view name_part);

inline bool IsSafeEntryName(std::string_view name_part, NameHost host) {
  return UnsafeNameReason(name_part, host) == nullptr;
}

}  // namespace ldr
