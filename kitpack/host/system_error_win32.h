#pragma once
// The system's text for a Windows error code, as kitpack's messages quote it
// after "cannot ...: ". Windows only.

#include <string>

namespace kitpack {

// FormatMessage's text for `code` (a GetLastError value) without the line
// break, blanks and full stop it ends with; "error N" when the system has no
// text for it.
std::string SystemErrorText(unsigned long code);

}  // namespace kitpack
