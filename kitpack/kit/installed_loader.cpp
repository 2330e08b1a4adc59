#include <string>
#include <vector>

#include "kitpack/host/files.h"
#include "kitpack/kit/kit.h"

namespace kitpack {

std::vector<std::string> InstalledLoaderPlaces(const std::string& own_file,
                                               const std::string& loader_name) {
  const std::string folder = FolderPart(own_file);
  const std::string share = JoinPath(JoinPath(JoinPath(folder, ".."), "share"), "loaderkit");
  return {JoinPath(share, loader_name), JoinPath(folder, loader_name)};
}

std::string FindInstalledLoader(const std::string& own_file, const std::string& loader_name) {
  const std::vector<std::string> places = InstalledLoaderPlaces(own_file, loader_name);
  std::string looked;
  for (const std::string& place : places) {
    try {
      StatRegularFile(place);
      return place;
    } catch (const KitError&) {
      looked += (looked.empty() ? "" : " and ") + place;
    }
  }
  throw KitError("no --loader given and no installed " + loader_name + " found: looked for " +
                 looked + "; name one with --loader FILE");
}

}  // namespace kitpack
