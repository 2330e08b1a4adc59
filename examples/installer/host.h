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

// Shows a final message to a person (a message box on Windows). Only called
// when KIT_INSTALL_MESSAGEBOX=1, since a box would block unattended runs.
void ShowMessage(const std::string& title, const std::string& text, bool failed);

}  // namespace installer
