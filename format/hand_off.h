#pragma once
// The words of the hand-off between the loader and the installer it starts,
// and the name of an external kit's payload file.
//
// The installer's command line takes one of three forms:
//   *SELFEXTRACT LOADERNAME LOADERFOLDER   the loader ran from a kit with its archives appended
//   *TODISK LOADERNAME LOADERFOLDER        the same, unpacked to disk first
//   LOADERFOLDER                           an external kit: setup.1 and setup.2 in that folder
// A name or folder holding a blank arrives quoted (one argument) from
// today's loader; older loaders quoted nothing.

#include <string_view>

namespace ldr {

inline constexpr std::string_view kSelfExtractSwitch = "*SELFEXTRACT";
inline constexpr std::string_view kToDiskSwitch = "*TODISK";
inline constexpr std::string_view kSecondArchiveFileName = "setup.2";
// The loader's working folder in the temporary folder: this prefix and up
// to four hexadecimal digits (GetTempFileName's), with an empty file of the
// same name and ".tmp" beside it; or, in a temporary folder other users
// share, this prefix and six random letters and digits.
inline constexpr char kWorkingFolderPrefix[] = "ldx";

// The environment variable in which a loader whose deployment record holds
// setup.2's digest hands it to the installer: 64 lower-case hexadecimal
// digits (DigestHex). Every other run of a loader with a record removes it,
// so that an installer never sees one its own loader did not set.
inline constexpr char kSetup2DigestVariable[] = "LOADERKIT_SETUP2_SHA256";

// Set to "1" by a loader that waits for the installer and removes its
// working folder itself once it has ended (a run with /WAIT of a kit with
// the deployment record); the installer then leaves the folder alone.
inline constexpr char kLoaderWaitsVariable[] = "LOADERKIT_LOADER_WAITS";

}  // namespace ldr
