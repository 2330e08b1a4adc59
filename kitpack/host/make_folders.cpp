// MakeFolders (files.h): host-neutral, on the calls each host implements.
#include "kitpack/host/files.h"

namespace kitpack {

namespace {

// "x4/sub/" names the folder "x4/sub". A root keeps its one separator ("/");
// "C:\" becomes "C:", the drive's current folder, which exists.
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && BaseName(path).empty()) path.pop_back();
  return path;
}

}  // namespace

void MakeFolders(const std::string& path) {
  const std::string folder = WithoutTrailingSeparators(path);
  if (folder.empty() || IsDirectory(folder)) return;
  const std::string parent = WithoutTrailingSeparators(FolderPart(folder));
  // Each parent is shorter than its child: the climb ends at a folder that
  // exists, or at a name with no folder part.
  if (!parent.empty() && parent.size() < folder.size()) MakeFolders(parent);
  MakeFolder(folder);
}

}  // namespace kitpack
