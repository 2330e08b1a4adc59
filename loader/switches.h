#pragma once
// The deployment switches, taken only by a loader whose kit carries the
// deployment record (format/deployment_record.h). A loader without the
// record reads its first argument and nothing else, as it always has.
//
// After the optional first "*TODISK", each argument is a switch led by "/"
// or "-" (letters in any case), up to "--", after which every argument goes
// to the installer:
//   /S  /WAIT  /NOWAIT  /KEEP  /LOG=FILE  /EXTRACT=DIR  /TEMP=DIR  /?  --
// with the spellings administrators type for other installers: /QUIET, /Q,
// /QN, /SILENT and /VERYSILENT for /S; /HELP and /H for /?; /NORESTART and
// /SUPPRESSMSGBOXES taken and ignored (the loader never restarts the
// computer, and shows no message when silent).

#include <cstddef>
#include <string_view>

#include "base/text_rules.h"

namespace ldr {

struct Switches {
  bool to_disk = false;  // the first argument was *TODISK
  bool silent = false;   // /S
  bool wait = false;     // /WAIT
  bool no_wait = false;  // /NOWAIT
  bool keep = false;     // /KEEP
  bool ignored = false;  // /NORESTART or /SUPPRESSMSGBOXES
  bool help = false;     // /?
  PathText log;          // /LOG=FILE, empty when not given
  PathText extract;      // /EXTRACT=DIR
  PathText temp;         // /TEMP=DIR
  // Where the installer's own arguments begin in the command line (just
  // after "--"); 0 when there was no "--".
  size_t installer_arguments = 0;
  // The first argument not understood, when parsing failed.
  ShortText refused;

  // Whether any switch was given: a run without one keeps the loader's
  // plain behaviour (window, hand-off, no wait).
  bool any() const {
    return silent || wait || no_wait || keep || ignored || help || !log.empty() ||
           !extract.empty() || !temp.empty() || installer_arguments != 0;
  }
  // Whether the loader waits for the installer: with /WAIT, and silent
  // unless /NOWAIT says otherwise (a deployment tool takes the end of the
  // process for the end of the installation).
  bool waits() const { return wait || (silent && !no_wait); }
};

// Whether an argument is "*TODISK" (ASCII letters in any case).
bool IsToDiskSwitch(std::string_view argument);
// Whether the first argument after the program's name is that switch.
// Later arguments are never looked at: a kit without the deployment record
// reads nothing else.
bool HasToDiskSwitch(std::string_view command_line);

// Reads the switches of a command line (its first word, the program, is
// skipped). False on the first argument that is no switch, a switch this
// loader does not know, or a value missing or too long: *switches->refused
// then names it, and the caller starts nothing.
bool ParseSwitches(std::string_view command_line, Switches* switches);

}  // namespace ldr
