#pragma once
// The rules for names stored in a kit: which file a stored name becomes, and
// which names are unsafe to create. The loader's extractor, kitpack (build,
// verify, extract) and the reference installer all call these, so a kit that
// kitpack accepts is one the loader can unpack. No operating-system calls.
//
// First archive: the loader keeps only the name part of a stored name (the
// text after its last "\" or ":"), so that is all an extractor may use.
// Second archive: names are relative paths with "\" between their parts, for
// example "docs\guide.txt". "/" is treated as a separator as well, since
// Windows would honour it.

#include <string>
#include <string_view>
#include <vector>

#include "base/text_rules.h"

namespace ldr {

// Which system will create the file: Windows adds its own reserved names.
enum class NameHost { kWindows, kPosix };

// The name part the loader creates for a stored name: the text after its
// last "\" or ":" (lead bytes honoured when a test is given), at most 255
// characters.
std::string StoredNamePart(std::string_view stored_name, LeadByteTest is_lead_byte = nullptr);

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

// The file a name part lands on, for telling whether two names collide on
// Windows: ASCII letters folded, trailing dots and blanks dropped.
std::string WindowsFileKey(std::string_view name_part);

// Why a part of a second-archive path is refused by the reference
// installer, or null: the Windows name rule, plus a trailing dot or blank
// (which Windows would silently drop).
const char* UnsafePathPartReason(std::string_view part);

// Splits a second-archive name into its parts, or gives the reason it is
// refused: absolute, a drive, "..", or any unsafe part.
struct RelativeName {
  std::vector<std::string> parts;
  std::string refused;  // empty when the name is usable
};
RelativeName SplitRelativeName(std::string_view stored_name);

// Where an extractor that is not the installer writes a second-archive entry:
// the stored path with a drive ("C:") and leading separators removed, so
// "C:\Second\readme.txt", the form the format's packers record, lands on
// "Second\readme.txt". Everything else is refused as SplitRelativeName
// refuses it: "..", a stream or drive name further on, an unsafe part.
RelativeName SplitStoredPath(std::string_view stored_name);

}  // namespace ldr
