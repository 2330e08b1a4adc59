#pragma once
// Resolving a folder path as given, part by part, each step relative to the
// folder reached so far, so that what is judged is what is held: nothing is
// looked up through the path again afterwards.

#include <string_view>

#include "platform/platform.h"

namespace ldr {

// Walks path (relative paths start at the current folder) the way the
// system would, reading each symbolic link once through a descriptor of the
// link itself. A link that belongs to anyone but this user or root makes the
// folder unsafe: its owner may point it elsewhere between any two lookups.
// Then every folder of the real path is judged as TempFolderSharing has it.
// When the result is kPrivate or kShared, *held is a descriptor (O_PATH) of
// the folder reached, which the caller closes; otherwise it is -1.
FolderSharing ResolveFolder(std::string_view path, int* held);

}  // namespace ldr
