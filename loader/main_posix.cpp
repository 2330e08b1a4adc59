// Entry point of the POSIX port, with deployment runs.
#include "loader/deployment.h"
#include "platform/system_platform.h"
#include "ui/system_window.h"

int main(int argc, char** argv) {
  ldr::SystemWindow window = ldr::MakeSystemWindow();
  ldr::InitializeCommonControls();
  ldr::SystemPlatform platform(argc, argv);
  return ldr::RunLoaderWithDeployment(platform, platform, window);
}
