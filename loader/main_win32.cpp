// Entry point of the Windows loader (a GUI program: no console).
#include <windows.h>

#include "base/failure.h"
#include "loader/deployment.h"
#include "loader/startup.h"
#include "platform/system_platform.h"
#include "ui/system_window.h"

// loader.exe is built without exceptions: a failure ends the process from
// its handler (base/failure.h).
void ldr::EndProcess(int exit_code) { ExitProcess(static_cast<UINT>(exit_code)); }

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
  // A kit without the record runs on the plain platform, call for call as
  // the loader always has; only a run of a kit with it gets the deployment
  // platform's checks.
  ldr::DeploymentRecord record;
  if (ldr::OwnDeploymentRecord(&record)) {
    ldr::Win32DeploymentPlatform platform(true);
    return ldr::RunDeployment(platform, platform, window, record);
  }
  ldr::Win32Platform platform;
  return ldr::RunLoader(platform, window);
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
