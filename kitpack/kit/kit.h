#pragma once
// Building, reading, verifying and extracting kits.
//
// A self-extracting kit is the loader image, the loader's archive (entry 0 is
// the installer, at most 50 entries), the second archive (the payload, any
// number of entries) and the 56-byte trailer; kitpack puts 0 to 7 zero bytes
// between the loader image and the first archive so that the kit's length is
// a multiple of 8, which lets a signing tool append its certificate table
// right behind the trailer. A signed kit ends in that table. An external kit is a folder
// holding a copy of the loader, "setup.1" (the loader's archive) and
// "setup.2" (the second archive); both archive files start at offset 0.

//
// Each part has its header; this one brings them all.

#include "kitpack/kit/installed_loader.h"
#include "kitpack/kit/payload.h"
#include "kitpack/kit/reader.h"
#include "kitpack/kit/writer.h"
