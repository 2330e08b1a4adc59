#pragma once
// The rules for the second archive's names, which are relative paths with
// "\" between their parts, for example "docs\guide.txt" ("/" is treated as a
// separator as well, since Windows would honour it), and the key by which
// Windows tells two names apart. Used by kitpack and the reference
// installer; the loader reads the second archive only to unpack it
// (/EXTRACT).

#include <string>
#include <string_view>
#include <vector>

#include "format/stored_names.h"

namespace ldr {

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

// Why SplitRelativeName refuses a name, or null; no heap.
const char* RelativeNameRefusal(std::string_view name);

// The same rules without the heap (the loader's /EXTRACT): why the name is
// refused, or null; *relative is then the name without drive and leading
// separators, every part of which (split at "\" and "/") is safe.
const char* StoredPathRefusal(std::string_view stored_name, std::string_view* relative);

}  // namespace ldr
