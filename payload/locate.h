#pragma once
// Where a kit's payload (its second archive) lies: behind the loader's
// archive in a self-extracting kit, or in setup.2 beside the loader.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ldr::payload {

// What the loader's hand-off line says.
struct HandOff {
  std::string folder;       // the loader's folder
  std::string loader_name;  // its file name; empty for the external form
  // What followed the hand-off: the arguments a user gave the loader after
  // "--", as they came.
  std::vector<std::string> extra;
};

// Reads the hand-off arguments (without the program's own name). Today's
// loader quotes each of them, so that they are the first one or three
// arguments exactly, whatever follows; that split is taken when `is_file`
// finds the loader's file (setup.2 for the external form) there, and the
// rest are the extra arguments. From a loader that did not quote them (and
// passed nothing after them), a blank in the loader's name or folder splits
// them further: the first split at which `is_file` finds the loader's file
// is taken (the first split of all when none is). Raises kUsage, with the
// usage text, when there are no arguments or a switch lacks its two.
HandOff ReadHandOff(const std::vector<std::string>& args,
                    const std::function<bool(const std::string&)>& is_file);

// A folder named as the loader names its working folder: "ldx" (any case)
// and one to four hexadecimal digits (GetTempFileName's), or six letters
// and digits (a unique folder in a temporary folder other users share).
bool IsWorkingFolderName(const std::string& name);

// The payload's bytes: [start, end] of `file`, the last byte included.
struct PayloadPlace {
  std::string file;
  int64_t start = 0;
  int64_t end = -1;
  // setup.2 beside the loader that started this installer: what a loader
  // with a record may have handed the digest of.
  bool external = false;
  // A file taken for a payload file only because it carries no trailer:
  // one whose header does not fit and that begins as a program or a text
  // does is then no kit at all (kNotAKit).
  bool guessed = false;
};

// For a self-extracting kit, the second archive the trailer names; for a
// file without the self-extracting mark, the whole file (an external kit's
// setup.2). Raises kOpen, kNotAKit or kDamaged.
PayloadPlace PlaceInFile(const std::string& path);

// For a hand-off: the loader's own file when it is a self-extracting kit,
// else setup.2 in the loader's folder.
PayloadPlace PlaceForHandOff(const HandOff& hand_off);

}  // namespace ldr::payload
