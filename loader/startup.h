#pragma once
// The loader's start-up order and its single error handler.

#include "format/records.h"
#include "platform/platform.h"
#include "ui/loader_window.h"

namespace ldr {

// Reads the trailer of the loader's own file: its last 56 bytes, or, in a
// signed kit, the 56 bytes before the certificate table (LocateTrailer). The
// record is all zero when fewer than 56 bytes can be read. Raises LoaderError
// when the file is missing (by the existence test) or does not open. The file
// is closed on every path.
ArchiveTrailer ReadTrailer(Platform& platform);

// Everything after the runtime set-up: picture, window class, main window,
// trailer, showing the window, the main sequence. Every failure on the way is
// shown once through window.ShowError and gives exit code 1; a run that
// started the installer gives 0.
int RunLoader(Platform& platform, LoaderWindow& window);

}  // namespace ldr
