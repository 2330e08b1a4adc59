#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text_rules.h"
#include "kitpack/host/command_line.h"
#include "kitpack/host/process.h"
#include "kitpack/host/system_error_win32.h"

namespace kitpack {

namespace {

// The program as CreateProcess would find it (".exe" added to a name
// without an extension), so that the file checked is the file started; the
// empty text when there is none.
std::string FindProgram(const std::string& name) {
  char found[MAX_PATH * 4];
  const DWORD n = SearchPathA(nullptr, name.c_str(), ".exe", sizeof found, found, nullptr);
  return n > 0 && n < sizeof found ? std::string(found, n) : std::string();
}

}  // namespace

std::string RunProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) return "could not be started: no program named";
  const std::string program = FindProgram(argv[0]);
  if (program.empty()) return "could not be started: " + SystemErrorText(ERROR_FILE_NOT_FOUND);
  // CreateProcess runs a batch file through cmd.exe, which reads the line
  // again by rules of its own (& starts a second command, %NAME% expands):
  // no quoting makes an output name safe there.
  if (ldr::IsBatchFileName(ldr::NamePart(program)))
    return "could not be started: " + program +
           " is a batch file, and kitpack runs no shell (its & and %...% would act on the "
           "kit's name); name a program instead, such as osslsigncode, signtool or a "
           "PowerShell script through powershell.exe -File";
  std::string line;
  for (const std::string& a : argv) line += (line.empty() ? "" : " ") + QuoteArgument(a);
  std::vector<char> command(line.begin(), line.end());
  command.push_back('\0');
  // What kitpack printed so far comes before what the program prints.
  std::fflush(stdout);
  std::fflush(stderr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process))
    return "could not be started: " + SystemErrorText(GetLastError());
  CloseHandle(process.hThread);
  DWORD code = 0;
  const bool waited = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                      GetExitCodeProcess(process.hProcess, &code);
  const DWORD error = GetLastError();
  CloseHandle(process.hProcess);
  if (!waited) return "could not be waited for: " + SystemErrorText(error);
  return code == 0 ? std::string() : "exited with code " + std::to_string(code);
}

}  // namespace kitpack
