#pragma once
// The sign command's step of a build: the private folder it works in, the
// run, and what must hold of the kit it leaves.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "format/records.h"
#include "kitpack/host/files.h"
#include "kitpack/host/interrupt.h"

namespace kitpack {

// The private folder the sign command works in, beside the output: the kit
// is moved there under its final name (tools that go by the extension see
// the right one) and, with {out}, the tool writes its signed copy there. On
// the way out everything kitpack put there is removed again, the kit too
// unless it was committed; the folder goes when it is empty.
class SignFolder {
 public:
  SignFolder(PendingOutput& out, const std::string& final_path)
      : out_(out), path_(MakePrivateFolder(final_path + ".sign-XXXXXX")) {
    const std::string base = BaseName(final_path);
    kit_ = JoinPath(path_, base);
    signed_copy_ = JoinPath(path_, "signed-" + base);
    folder_guard_.emplace(path_, RemoveOnInterrupt::kFolder);
    kit_guard_.emplace(kit_, RemoveOnInterrupt::kFile);
    copy_guard_.emplace(signed_copy_, RemoveOnInterrupt::kFile);
  }
  ~SignFolder() {
    RemoveFile(signed_copy_);
    if (!out_.Committed()) RemoveFile(out_.TempPath());
    RemoveEmptyFolder(path_);
  }
  SignFolder(const SignFolder&) = delete;
  SignFolder& operator=(const SignFolder&) = delete;

  const std::string& kit() const { return kit_; }
  const std::string& signed_copy() const { return signed_copy_; }

 private:
  PendingOutput& out_;
  std::string path_, kit_, signed_copy_;
  std::optional<RemoveOnInterrupt> folder_guard_, kit_guard_, copy_guard_;
};

// Runs the sign command on a finished, closed output and leaves the signed
// file in its place; `check` then raises when it does not read back.
void Sign(PendingOutput& out, SignFolder& folder, const std::string& command,
          const std::function<void(const std::string&)>& check);

// Checksums of a kit that its signing must leave as they are.
struct KitSums {
  uint32_t image = 0;     // the loader image and the padding, less the fields signing rewrites
  uint32_t archives = 0;  // both archives
};

KitSums Sums(const std::string& path, uint64_t archives_start, uint64_t trailer_offset);

// What must hold of a kit after its sign command: it ends in a certificate
// table, its trailer is where it was and as it was, the archives and the
// loader image (but for the two fields signing rewrites) are byte for byte
// those written; then kitpack's checked reading of it.
void CheckSignedKit(const std::string& path, int64_t trailer_offset,
                    const unsigned char (&trailer)[ldr::kTrailerSize], uint64_t archives_start,
                    const KitSums& sums);

}  // namespace kitpack
