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
// When `found` is given it receives where the record was read and the
// file's size (-1 each when unknown).
struct TrailerFound {
  int64_t offset = -1;
  int64_t file_size = -1;
};
ArchiveTrailer ReadTrailer(Platform& platform, TrailerFound* found = nullptr);

// Everything after the runtime set-up: picture, window class, main window,
// trailer, showing the window, the main sequence. Every failure on the way is
// shown once through window.ShowError and gives exit code 1; a run that
// started the installer gives 0. A loader built with deployment runs starts
// in RunLoaderWithDeployment (loader/deployment.h) instead.
int RunLoader(Platform& platform, LoaderWindow& window);

// The start-up steps before the trailer: picture, window class, main window.
void PrepareWindow(LoaderWindow& window);

// The single handler's report: the error box; gives exit_code, also when
// the box itself fails.
int ReportFailure(LoaderWindow& window, const char* message, int exit_code);

}  // namespace ldr
