#pragma once
// The start of a kit's run: its window, its trailer, the error box.

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

// The start-up steps before the trailer: picture, window class, main window.
void PrepareWindow(LoaderWindow& window);

// The single handler's report: the error box; gives exit_code, also when
// the box itself fails.
int ReportFailure(LoaderWindow& window, const char* message, int exit_code);

}  // namespace ldr
