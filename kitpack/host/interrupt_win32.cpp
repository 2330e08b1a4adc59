#include <windows.h>

#include <atomic>

#include "kitpack/host/interrupt.h"

namespace kitpack {

namespace {

std::atomic<bool> g_requested{false};
std::atomic<bool> g_installed{false};

// Runs on a thread of its own. The build sees the flag at its next write and
// unwinds; this thread gives it time to do so (the process ends when main
// returns), then ends the process itself should the build be stuck
// elsewhere (waiting for a sign command, say).
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  g_requested = true;
  Sleep(10000);
  ExitProcess(kInterruptedExitCode);
}

}  // namespace

void InstallInterruptHandlers() {
  if (g_installed.exchange(true)) return;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool InterruptRequested() { return g_requested; }

// The table of paths serves the POSIX handler only: on Windows the build's
// own unwinding removes them.
RemoveOnInterrupt::RemoveOnInterrupt(const std::string&, Kind kind) : kind_(kind) {}
RemoveOnInterrupt::~RemoveOnInterrupt() = default;
void RemoveOnInterrupt::Update(const std::string&) {}

InterruptsHeld::InterruptsHeld() : saved_{} {}
InterruptsHeld::~InterruptsHeld() = default;

}  // namespace kitpack
