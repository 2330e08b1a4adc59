#pragma once
// The kit's copy of the loader: read, checked, unsigned, branded and given
// its execution level before it goes in; checked again after its signing.

#include <string>
#include <vector>

#include "kitpack/host/files.h"
#include "kitpack/kit/writer.h"

namespace kitpack {

// The loader's bytes as they go into the kit; raises KitError for a loader
// that already carries a kit or is too large.
std::vector<unsigned char> ReadLoader(const BuildOptions& o);
void CopyLoader(PendingOutput& out, const std::vector<unsigned char>& loader);
// After its sign command the loader's copy of an external kit must end in a
// certificate table and still not look like a self-extracting kit.
void CheckSignedLoader(const std::string& path);

}  // namespace kitpack
