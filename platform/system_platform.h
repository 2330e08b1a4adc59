#pragma once
// The real platform of this build (Win32 or POSIX; CMake compiles one).
// Made once, in main(), and handed down.

#include <memory>

#include "platform/platform.h"

namespace ldr {

// argv is used by the POSIX build to compose the command line; the Win32
// build reads GetCommandLineA instead.
std::unique_ptr<Platform> MakeSystemPlatform(int argc, char** argv);

}  // namespace ldr
