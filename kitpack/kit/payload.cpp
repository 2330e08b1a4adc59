// What goes into the payload archive: files and folders expanded, with
// their stored names, less what --exclude leaves out; the kit's time stamps.

#include "kitpack/kit/payload.h"
#include "kitpack/host/files.h"
#include "kitpack/kit/glob.h"

namespace kitpack {
std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources) {
  PayloadOptions options;
  options.allow_empty = true;
  return ExpandPayload(sources, options);
}

std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources,
                                     const PayloadOptions& options) {
  std::vector<InputFile> out;
  auto excluded = [&](const std::string& relative) {
    for (const std::string& pattern : options.excludes)
      if (ExcludedBy(pattern, relative)) return true;
    return false;
  };
  for (const std::string& source : sources) {
    if (IsDirectory(source)) {
      std::vector<std::string> skipped;
      size_t kept = 0;
      for (const std::string& rel : ListFilesRecursively(source, &skipped)) {
        if (excluded(rel)) continue;
        std::string stored = rel;
        for (char& c : stored)
          if (c == '/') c = '\\';
        out.push_back({JoinPath(source, rel), stored});
        ++kept;
      }
      if (options.skipped)
        for (const std::string& rel : skipped)
          if (!excluded(rel)) options.skipped->push_back(JoinPath(source, rel));
      if (kept == 0 && !options.allow_empty)
        throw KitError("the payload folder " + source + " holds no files" +
                       (options.excludes.empty() ? "" : " that --exclude leaves") +
                       "; give --allow-empty to build the kit without them");
    } else if (const size_t eq = source.find('=');
               eq != std::string::npos && !IsRegularFile(source)) {
      // FILE=STORED: the file under a name of the author's, "/" or "\\"
      // between folders; --exclude is for what a folder brings.
      std::string stored = source.substr(eq + 1);
      for (char& c : stored)
        if (c == '/') c = '\\';
      const std::string file = source.substr(0, eq);
      if (IsDirectory(file))
        throw KitError("--payload " + source + ": " + file +
                       " is a folder; =STORED names a single file (give the folder alone)");
      out.push_back({file, stored});
    } else if (!excluded(BaseName(source))) {
      out.push_back({source, BaseName(source)});
    }
  }
  return out;
}

}  // namespace kitpack
