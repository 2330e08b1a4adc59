#pragma once
// The little the reference installer needs that differs between Windows and
// POSIX. One of host_posix.cpp / host_win32.cpp is compiled in.

#include <cstdio>
#include <string>

namespace installer {

// The separator this build joins paths with: "\" on Windows, "/" elsewhere.
extern const char kSeparator;

// Makes one folder; true when it exists afterwards as a real folder (on
// POSIX a symlink in its place does not count).
bool MakeFolder(const std::string& path);

// The full path of this program's own file.
std::string OwnExecutablePath();

// The user's temporary folder, as the loader finds it ($TMPDIR or /tmp;
// GetTempPathA), without a trailing separator.
std::string TempFolder();

// Removes the loader's working folder (which holds this very program) and
// the empty temporary file beside it, if there is one. On POSIX at once; on
// Windows, where a running program's file cannot be deleted, by a small
// script in the temporary folder that waits until this process has ended,
// removes both, and then itself. Failures are reported in the text returned
// ("" when all went, or was handed over, as planned).
std::string RemoveWorkingFolder(const std::string& folder, const std::string& temp_file);

// Shows a final message to a person (a message box on Windows). Only called
// when KIT_INSTALL_MESSAGEBOX=1, since a box would block unattended runs.
void ShowMessage(const std::string& title, const std::string& text, bool failed);

}  // namespace installer
