// Entry point of the POSIX port.
#include "loader/run.h"
#include "platform/system_platform.h"
#include "ui/system_window.h"

int main(int argc, char** argv) {
  ldr::SystemWindow window = ldr::MakeSystemWindow();
  ldr::InitializeCommonControls();
  ldr::SystemPlatform platform(argc, argv);
  ldr::DeploymentRecord record;
  const bool has_record = ldr::OwnDeploymentRecord(&record);
  return ldr::RunKit(platform, window, has_record ? &record : nullptr);
}
