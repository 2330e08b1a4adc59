#pragma once
// The loader kitpack takes when none is named.

#include <string>
#include <vector>

namespace kitpack {

// --- The installed loaders ---------------------------------------------------
// Without --loader, kitpack takes a loader installed with it. An install
// tree puts kitpack in bin/ and the loaders in share/loaderkit/; a loader
// lying beside kitpack itself is taken too.

inline constexpr const char* kWindowsLoaderName = "loader.exe";
inline constexpr const char* kPosixLoaderName = "loader";

// Where a loader of that name is looked for, first to last, for a kitpack
// whose own file is `own_file`.
std::vector<std::string> InstalledLoaderPlaces(const std::string& own_file,
                                               const std::string& loader_name);
// The first of those places that holds a file; raises KitError naming every
// place it looked when none does.
std::string FindInstalledLoader(const std::string& own_file, const std::string& loader_name);

// --- Reading ---------------------------------------------------------------

}  // namespace kitpack
