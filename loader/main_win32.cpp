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

int main(int argc, char** argv) {
  std::unique_ptr<ldr::LoaderWindow> window = ldr::MakeSystemWindow();
  ldr::InitializeCommonControls();
  std::unique_ptr<ldr::Platform> platform = ldr::MakeSystemPlatform(argc, argv);
  ExitProcess(static_cast<UINT>(ldr::RunLoader(*platform, *window)));
}
