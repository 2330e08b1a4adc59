#pragma once
// Whether Windows starts the kit's installer the way loader.exe hands off to
// it: by its command line, as CreateProcess starts a program. That takes a
// PE program, or a batch file (.bat, .cmd), which goes to cmd.exe; an .msi,
// a PowerShell or Windows Script file fails only on the user's machine.

#include <string>
#include <vector>

namespace kitpack {

// Raises KitError when `loader` (its bytes) is a Windows program and the
// installer (the file at `source`, to be stored as `stored_name`) is neither
// a Windows program nor a batch file, or is a Windows program stored under a
// batch file's name. The message says what the file is and what would work.
// A POSIX loader's installer is CheckLoaderAndInstaller's (exe_format.h).
void CheckInstallerStarts(const std::vector<unsigned char>& loader, const std::string& source,
                          const std::string& stored_name);

// The reason Windows would not start an installer of these first bytes (at
// least 4096 of them, or the whole file, and up to the PE signature of an
// "MZ" file) stored under this name; "" when it would.
std::string UnstartableReason(const std::vector<unsigned char>& head,
                              const std::string& stored_name);

// How a setup.cmd starts a file of this extension (".ps1") and name, as
// advice that follows a refusal: " (for a .ps1: a setup.cmd holding ...)";
// "" for a file no Windows tool opens.
std::string StarterAdvice(const std::string& ext, const std::string& name);

}  // namespace kitpack
