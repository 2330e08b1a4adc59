#pragma once
// The real window of this build: the Win32 window with its picture and
// progress bar, or the POSIX console view on standard error.

#include <memory>

#include "ui/loader_window.h"

namespace ldr {

// Takes what the window needs from the process's start-up (module handle,
// the start-up show command). Call first, in main().
std::unique_ptr<LoaderWindow> MakeSystemWindow();

// InitCommonControls on Windows; nothing elsewhere. Called once, right after
// MakeSystemWindow and before any window is made.
void InitializeCommonControls();

}  // namespace ldr
