#pragma once
// One run of a kit, from the command line to the exit code.
//
// Every kit takes the same sequence: window, trailer, container, working
// folder, entry table, extraction, the installer's start. A kit whose loader
// carries a filled deployment record (format/deployment_record.h) adds its
// steps to it: the switches of loader/switches.h, a check that the kit
// arrived whole, free space, waiting for the installer, and nothing left
// behind by a run that fails. A kit without the record runs the sequence
// alone, as the loader always has.

#include "format/deployment_record.h"
#include "format/hand_off.h"
#include "platform/platform.h"
#include "ui/loader_window.h"

namespace ldr {

// Exit codes of the loader's own failures in a run with switches, apart
// from any an installer gives (0, 1, 1603, 3010, ...). A run without
// switches ends a failure with 1.
enum DeploymentExit : int {
  kExitCommandLine = 2400,    // an unknown switch or argument: nothing was done
  kExitLog = 2401,            // the log cannot be written: nothing was done
  kExitKitDamaged = 2402,     // the kit is incomplete, damaged or changed
  kExitNoSpace = 2403,        // not enough free space: nothing was left
  kExitUnpacking = 2404,      // an entry could not be unpacked
  kExitStart = 2405,          // the installer could not be started
  kExitExtractFolder = 2406,  // the /EXTRACT folder is not empty or cannot be made
  kExitTempFolder = 2407,     // no usable temporary folder
  kExitWait = 2408,           // the installer could not be waited for
  kExitOther = 2409,          // anything else (the window, memory)
};

// The exit code a failure of this kind ends a run with: 1 without
// switches, else its DeploymentExit code. A POSIX exit status holds 8
// bits: there the codes are 240 to 249 (2400 to 2409 less 2160), above
// what signals give.
int FailureExitCode(FailureKind kind, bool switches_given, const PathStyle& host);

// The loader's own record, read from its block in memory. False when the
// block is not filled (the loader as built).
bool OwnDeploymentRecord(DeploymentRecord* record);

// The whole run of a kit: 0, the installer's own code after /WAIT, or a
// failure's code (FailureExitCode). `record` is the loader's own, or null
// for a kit without one; the platform is guarded when it is given.
int RunKit(Platform& platform, LoaderWindow& window, const DeploymentRecord* record);

}  // namespace ldr
