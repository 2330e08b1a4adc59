#pragma once
// The real platform of this build (Win32 or POSIX; CMake compiles one).
// Made once, in main(), and handed down: SystemPlatform platform(argc, argv).
// argv is used by the POSIX build to compose the command line; the Win32
// build reads GetCommandLineA instead.

#ifdef _WIN32
#include "platform/platform_win32.h"
#else
#include "platform/platform_posix.h"
#endif

namespace ldr {

#ifdef _WIN32
using SystemPlatform = Win32Platform;
#else
using SystemPlatform = PosixPlatform;
#endif

}  // namespace ldr
