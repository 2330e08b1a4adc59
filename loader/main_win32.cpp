// Entry point of the Windows loader (a GUI program: no console).
#include <windows.h>

#include "loader/startup.h"
#include "platform/system_platform.h"
#include "ui/system_window.h"

int main(int argc, char** argv) {
  std::unique_ptr<ldr::LoaderWindow> window = ldr::MakeSystemWindow();
  ldr::InitializeCommonControls();
  std::unique_ptr<ldr::Platform> platform = ldr::MakeSystemPlatform(argc, argv);
  ExitProcess(static_cast<UINT>(ldr::RunLoader(*platform, *window)));
}
