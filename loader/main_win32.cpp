// Entry point of the Windows loader (a GUI program: no console).
#include <windows.h>

#include "loader/startup.h"
#include "platform/system_platform.h"
#include "ui/system_window.h"

// Every failure is caught by the loader's own handler, so the library's
// verbose terminate handler (and the symbol demangler it pulls in, a third of
// the executable) is never needed.
namespace __gnu_cxx {
void __verbose_terminate_handler() { ExitProcess(1); }
}  // namespace __gnu_cxx

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

}  // namespace

int main(int argc, char** argv) {
  LoadDllsFromSystemFolderOnly();
  ldr::SystemWindow window = ldr::MakeSystemWindow();
  ldr::InitializeCommonControls();
  std::unique_ptr<ldr::Platform> platform = ldr::MakeSystemPlatform(argc, argv);
  ExitProcess(static_cast<UINT>(ldr::RunLoader(*platform, window)));
}
