#pragma once
// What kitpack does about Authenticode signatures: it removes the signature
// of a signed loader from the kit's copy (data appended behind a signature
// breaks it), runs the builder's sign command on the finished kit, and tells
// whether a signed kit's archives and trailer lie in the part the signature
// covers. Certificates themselves are the signing tool's business.

#include <cstdint>
#include <string>
#include <vector>

#include "format/pe/headers.h"

namespace kitpack {

// Removes the signature of a PE image held in memory: the certificate table
// is cut off, the security entry cleared and the PE checksum set to 0 (a
// checksum for the loader alone would be wrong for the kit it starts; the
// signing tool sets the kit's). Gives the size of the table removed, 0 when
// the image names none. Raises KitError, naming `name`, when the security
// entry names a table that does not end the file or that would cut into the
// image's headers or sections.
uint64_t StripSignature(std::vector<unsigned char>& image, const std::string& name);

// The words of a sign command, split without a shell: blanks separate words,
// '...' is taken literally, "..." too except that \" and \\ stand for " and
// \. Outside quotes a backslash before a blank, a quote or a backslash takes
// that character literally; before anything else it is an ordinary character
// (so C:\keys\a.pfx stays as written). No expansion of any kind. Raises
// KitError for an empty command or an unterminated quote.
std::vector<std::string> SplitCommand(const std::string& command);

// The placeholders of a sign command.
inline constexpr const char* kKitPlaceholder = "{}";        // the kit, signed in place
inline constexpr const char* kOutputPlaceholder = "{out}";  // where a tool writes the signed copy

// Every {} in every word replaced by kit, every {out} by output. Raises
// KitError when no word holds {}.
std::vector<std::string> FillPlaceholders(const std::vector<std::string>& words,
                                          const std::string& kit, const std::string& output);
bool NamesOutput(const std::vector<std::string>& words);

// A range of the kit file, both ends inclusive.
struct KitRange {
  std::string what;
  int64_t first = 0;
  int64_t last = 0;
};

// The part of a signed file that its signature covers: everything before
// the certificate table except the PE checksum and the security entry.
// Empty when every range lies there, else the first range that does not and
// why.
std::string UncoveredRange(const ldr::PeSecurityEntry& pe, const std::vector<KitRange>& ranges);

}  // namespace kitpack
