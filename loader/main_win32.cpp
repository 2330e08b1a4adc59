// Entry point of the Windows loader (a GUI program: no console).
#include <windows.h>

#include <cstddef>

#include "base/failure.h"
#include "base/messages.h"
#include "loader/run.h"
#include "platform/system_platform.h"
#include "ui/system_window.h"

// loader.exe is built without exceptions: a failure ends the process from
// its handler (base/failure.h).
void ldr::EndProcess(int exit_code) { ExitProcess(static_cast<UINT>(exit_code)); }

// The interfaces' virtual destructors bring deleting destructors, which
// name operator delete; nothing in loader.exe is made on the heap, so none
// is ever called. Defined here, in loader.exe alone (the test programs
// use the heap), the library's (with its unwind tables) stays out.
void operator delete(void*) noexcept {
  ldr::StopAtHandler({ldr::FailureKind::kOther, ldr::msg::kInternalError});
}
void operator delete(void*, std::size_t) noexcept {
  ldr::StopAtHandler({ldr::FailureKind::kOther, ldr::msg::kInternalError});
}

namespace {

// From here on every DLL the process loads by name, including those the
// system's own libraries load for it, comes from the system folder, never
// from the loader's folder (often a download folder where anyone may have
// left a DLL). Looked up at run time: systems without it still run.
void LoadDllsFromSystemFolderOnly() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC set = kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
  if (set != nullptr) {
    reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(set))(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

int RunProcess() {
  LoadDllsFromSystemFolderOnly();
  ldr::SystemWindow window = ldr::MakeSystemWindow();
  ldr::InitializeCommonControls();
  // A kit without the record runs on the unguarded platform, call for call
  // as the loader always has; only a run of a kit with it gets the guarded
  // platform's checks.
  ldr::DeploymentRecord record;
  const bool has_record = ldr::OwnDeploymentRecord(&record);
  ldr::Win32Platform platform(has_record);
  return ldr::RunKit(platform, window, has_record ? &record : nullptr);
}

}  // namespace

// The C library's start-up code is not linked (see the entry point in
// loader/CMakeLists.txt): the loader takes neither argc nor argv, reads its
// command line with GetCommandLineA and ends with ExitProcess. What of that
// code it needs is done here: the x87 unit is reset to its 64-bit precision
// (the progress and the window's arithmetic are in extended precision, and
// Windows starts a process at 53 bits), and the constructors of static
// objects run. The linker lays them out as a list between a -1 and a null
// entry, run last to first. Their destructors are not needed: the process
// ends with ExitProcess.
extern "C" void (*__CTOR_LIST__[])();

extern "C" void LoaderStartup() {
  __asm__ volatile("fninit");
  size_t count = 0;
  while (__CTOR_LIST__[count + 1] != nullptr) ++count;
  for (size_t i = count; i >= 1; --i) __CTOR_LIST__[i]();
  ExitProcess(static_cast<UINT>(RunProcess()));
}
