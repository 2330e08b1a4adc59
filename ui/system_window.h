#pragma once
// The real window of this build: the Win32 window with its picture and
// progress bar, or the POSIX console view on standard error. main() makes
// it, first thing, and keeps it for the process's life.

#ifdef _WIN32
#include "ui/loader_window_win32.h"
#else
#include "ui/console_window_posix.h"
#endif

namespace ldr {

#ifdef _WIN32
using SystemWindow = Win32LoaderWindow;
#else
using SystemWindow = ConsoleWindow;
#endif

// Takes what the window needs from the process's start-up (module handle,
// the start-up show command). Call first, in main().
SystemWindow MakeSystemWindow();

// InitCommonControls on Windows; nothing elsewhere. Called once, right after
// MakeSystemWindow and before any window is made.
void InitializeCommonControls();

}  // namespace ldr
