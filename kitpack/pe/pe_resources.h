#pragma once
// The resource module of format/pe as kitpack uses it: the same table and
// writer, their refusals raised as KitError.

#include <string>
#include <vector>

#include "format/pe/resources.h"

namespace kitpack {

using ldr::kRtBitmap;
using ldr::kRtGroupIcon;
using ldr::kRtIcon;
using ldr::kRtManifest;
using ldr::kRtVersion;
using ldr::Resource;
using ldr::ResourceId;
using ldr::ResourceTable;

// The resources of an image held in memory (ldr::ResourceTable::Read).
ResourceTable ReadResources(const std::vector<unsigned char>& image, const std::string& what);
// ldr::WriteResources.
void WriteResourceTable(std::vector<unsigned char>& image, const ResourceTable& table,
                        const std::string& what);

}  // namespace kitpack
