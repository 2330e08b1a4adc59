#pragma once
// Runs of a kit whose loader carries a filled deployment record
// (format/deployment_record.h): the switches of loader/switches.h, a
// check that the kit arrived whole, free space first, and nothing left
// behind by a run that fails. A loader without the record never comes here.

#include "format/deployment_record.h"
#include "format/hand_off.h"
#include "platform/deployment_platform.h"
#include "platform/platform.h"
#include "ui/loader_window.h"

namespace ldr {

// Exit codes of the loader's own failures in a run with switches, apart
// from any an installer gives (0, 1, 1603, 3010, ...). A run without
// switches ends a failure with 1, as a loader without the record does.
enum DeploymentExit : int {
  kExitCommandLine = 2400,    // an unknown switch or argument: nothing was done
  kExitLog = 2401,            // the log cannot be written: nothing was done
  kExitKitDamaged = 2402,     // the kit is incomplete, damaged or changed
  kExitNoSpace = 2403,        // not enough free space: nothing was written
  kExitUnpacking = 2404,      // an entry could not be unpacked
  kExitStart = 2405,          // the installer could not be started
  kExitExtractFolder = 2406,  // the /EXTRACT folder is not empty or cannot be made
  kExitTempFolder = 2407,     // no usable temporary folder
  kExitWait = 2408,           // the installer could not be waited for
  kExitOther = 2409,          // anything else (the window, memory)
};

// A POSIX exit status holds 8 bits: there the loader's own failures end
// with 240 to 249 (2400 to 2409 less 2160), above what signals give.
inline int HostExitCode(int code, const PathStyle& host) {
  return host.trailing == '/' && code >= kExitCommandLine && code <= kExitOther ? code - 2160
                                                                                : code;
}

// The loader's own record, read from its block in memory. False when the
// block is not filled (the loader as built). The block is part of a loader
// only when its build calls this.
bool OwnDeploymentRecord(DeploymentRecord* record);

// The whole run of a kit with the record, from the switches to the exit
// code: 0, the installer's own code after /WAIT, or a failure's code (1
// without switches, else one of DeploymentExit).
int RunDeployment(Platform& platform, DeploymentPlatform& system, LoaderWindow& window,
                  const DeploymentRecord& record);

// The start of a loader built with deployment runs: RunDeployment when the
// record is given (its own, by the first form), RunLoader (loader/startup.h)
// when there is none.
int RunLoaderWithDeployment(Platform& platform, DeploymentPlatform& system, LoaderWindow& window);
int RunLoaderWithDeployment(Platform& platform, DeploymentPlatform& system, LoaderWindow& window,
                            const DeploymentRecord* record);

}  // namespace ldr
