// The C interface: every call catches what the library raises and keeps its
// text in the handle, so nothing is thrown across the boundary.

#include <loaderkit/payload.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/hand_off.h"
#include "format/shown_name.h"
#include "format/stored_paths.h"
#include "payload/digest_pass.h"
#include "payload/entries.h"
#include "payload/failure.h"
#include "payload/host.h"
#include "payload/locate.h"
#include "payload/unpack.h"

struct loaderkit_payload {
  // Also set by the calls that only look (an index out of range).
  mutable std::string error;
  std::string loader_folder;
  std::vector<std::string> extra;
  std::string removed;  // the working folder removed
  ldr::payload::PayloadPlace place;
  std::unique_ptr<ldr::payload::KitFile> file;
  std::vector<ldr::payload::Entry> entries;
  // setup.2's digest as its loader handed it on: every read of the file is
  // then a pass that hashes it whole (digest_pass.h).
  std::optional<ldr::payload::Digest> digest;
};

namespace {

using ldr::payload::Fail;
using ldr::payload::Failure;
using ldr::payload::Fault;

constexpr const char* kOutOfMemory = "out of memory";

// Runs `body`, turning whatever it raises into a status and the handle's
// error text. A text naming a stored name, a path or the system's reason
// reaches an installer's log or terminal: it is shown as kitpack shows
// names, so that no name can forge a line or steer a terminal. Only the
// usage texts, the library's own, keep their line breaks.
template <typename Body>
int Guarded(loaderkit_payload* handle, Body&& body) {
  try {
    if (handle) handle->error.clear();
    body();
    return LOADERKIT_OK;
  } catch (const Failure& failure) {
    if (handle)
      handle->error =
          failure.fault() == Fault::kUsage ? failure.what() : ldr::ShownName(failure.what());
    return static_cast<int>(failure.fault());
  } catch (const std::bad_alloc&) {
    if (handle) handle->error = kOutOfMemory;
    return LOADERKIT_E_MEMORY;
  } catch (const std::exception& e) {
    if (handle) handle->error = ldr::ShownName(e.what());
    return LOADERKIT_E_DAMAGED;
  }
}

template <typename Locate>
int Open(loaderkit_payload** out, Locate&& locate) {
  if (!out) return LOADERKIT_E_USAGE;
  *out = new (std::nothrow) loaderkit_payload;
  if (!*out) return LOADERKIT_E_MEMORY;
  loaderkit_payload* handle = *out;
  return Guarded(handle, [&] {
    // The handle takes the file only once every entry has passed, so that
    // one whose open failed unpacks nothing.
    handle->place = locate(*handle);
    std::optional<ldr::payload::Digest> digest;
    if (handle->place.external) digest = ldr::payload::HandedSetup2Digest();
    auto file = std::make_unique<ldr::payload::KitFile>(handle->place.file, digest.has_value());
    std::vector<ldr::payload::Entry> entries;
    if (digest) {
      handle->place.end = static_cast<int64_t>(file->Size()) - 1;
      ldr::payload::DigestPass pass(*file, *digest);
      entries = ldr::payload::ReadEntries(pass, handle->place);
      pass.Finish();
    } else {
      entries = ldr::payload::ReadEntries(*file, handle->place);
    }
    handle->entries = std::move(entries);
    handle->digest = digest;
    handle->file = std::move(file);
  });
}

// The entries one unpack covers, in the order asked for.
std::vector<int32_t> Selection(const loaderkit_payload& handle, const int32_t* indexes,
                               int32_t count) {
  std::vector<int32_t> chosen;
  const int32_t size = static_cast<int32_t>(handle.entries.size());
  if (!indexes) {
    for (int32_t i = 0; i < size; ++i) chosen.push_back(i);
    return chosen;
  }
  if (count < 0) Fail(Fault::kUsage, "a negative number of entries to unpack");
  for (int32_t k = 0; k < count; ++k) {
    if (indexes[k] < 0 || indexes[k] >= size)
      Fail(Fault::kUsage, "there is no entry " + std::to_string(indexes[k]) + " (the payload has " +
                              std::to_string(size) + ")");
    chosen.push_back(indexes[k]);
  }
  return chosen;
}

struct Progress {
  loaderkit_progress_fn callback;
  void* context;
  int64_t done = 0;
  int64_t total = 0;

  void Report(int32_t entry) const {
    if (callback && callback(context, entry, done, total) != 0)
      Fail(Fault::kCancelled, "unpacking was cancelled");
  }
};

const ldr::payload::Entry& EntryAt(const loaderkit_payload& handle, int32_t i) {
  return handle.entries[static_cast<size_t>(i)];
}

// A payload held to a digest is read in one pass, front to back: its
// entries in the order of their data, each once.
void InFileOrder(const loaderkit_payload& handle, std::vector<int32_t>& chosen) {
  std::sort(chosen.begin(), chosen.end(), [&](int32_t a, int32_t b) {
    const int64_t at_a = EntryAt(handle, a).data_start, at_b = EntryAt(handle, b).data_start;
    return at_a != at_b ? at_a < at_b : a < b;
  });
  chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
}

// The folder and every missing folder above it.
void MakeFolders(const std::string& folder) {
  try {
    ldr::payload::MakeFolder(folder);
  } catch (const Failure&) {
    const size_t cut = folder.find_last_of(std::string(1, ldr::payload::kHostSeparator) + "/");
    if (cut == std::string::npos || cut == 0) throw;
    const std::string parent = folder.substr(0, cut);
    // Only a parent that is missing is made; any other failure is the one
    // to report.
    if (parent.back() == ':' || ldr::payload::IsFolder(parent) || ldr::payload::IsFile(parent))
      throw;
    MakeFolders(parent);
    ldr::payload::MakeFolder(folder);
  }
}

// The hand-off arguments, and what follows them, opened.
ldr::payload::PayloadPlace PlaceForArguments(loaderkit_payload& handle,
                                             const std::vector<std::string>& args) {
  ldr::payload::HandOff hand_off = ldr::payload::ReadHandOff(args, ldr::payload::IsFile);
  handle.loader_folder = hand_off.folder;
  handle.extra = std::move(hand_off.extra);
  return ldr::payload::PlaceForHandOff(hand_off);
}

void Unpack(loaderkit_payload& handle, const std::string& folder, std::vector<int32_t> chosen,
            bool replace, Progress& progress) {
  std::optional<ldr::payload::DigestPass> pass;
  if (handle.digest) {
    InFileOrder(handle, chosen);
    pass.emplace(*handle.file, *handle.digest);
  }
  ldr::payload::PayloadReader& in =
      pass ? static_cast<ldr::payload::PayloadReader&>(*pass) : *handle.file;
  for (int32_t i : chosen) progress.total += EntryAt(handle, i).size;
  MakeFolders(folder);
  ldr::payload::Unpacker unpacker;
  std::vector<std::pair<int32_t, ldr::payload::FileIdentity>> made;
  try {
    for (int32_t i : chosen) {
      const ldr::payload::Entry& entry = EntryAt(handle, i);
      ldr::payload::NewFileBelow out(folder, entry.parts, replace);
      const std::string label = "entry " + std::to_string(i) + " (" + entry.name + ")";
      unpacker.InflateEntry(in, handle.place, entry, label,
                            [&](const unsigned char* data, size_t size) {
                              out.Write(data, size);
                              progress.done += static_cast<int64_t>(size);
                              progress.Report(i);
                            });
      out.SetTime(entry.time);
      out.Finish();
      made.emplace_back(i, out.identity());
      progress.Report(i);
    }
    if (pass) pass->Finish();
  } catch (...) {
    // Files of a payload held to a digest stay only once the whole file
    // was seen to match it.
    if (pass)
      for (const auto& [i, identity] : made)
        ldr::payload::RemoveMadeFile(folder, EntryAt(handle, i).parts, identity);
    throw;
  }
}

}  // namespace

extern "C" {

int loaderkit_payload_open_command_line(int argc, const char* const* argv,
                                        loaderkit_payload** out) {
  return Open(out, [&](loaderkit_payload& handle) {
    if (argc < 0 || (argc > 0 && !argv)) Fail(Fault::kUsage, "no command line given");
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
      if (!argv[i]) Fail(Fault::kUsage, "argument " + std::to_string(i) + " is missing");
      args.emplace_back(argv[i]);
    }
    return PlaceForArguments(handle, args);
  });
}

int loaderkit_payload_open_main(int argc, const char* const* argv, int first,
                                loaderkit_payload** out) {
  return Open(out, [&](loaderkit_payload& handle) {
    if (argc < 1 || !argv || first < 1 || first > argc)
      Fail(Fault::kUsage, "no command line given, or the hand-off's first argument is past it");
    std::vector<std::string> own;
    // The system's own line when main's argv may have lost characters; the
    // same count of arguments, or main's argv is taken after all.
    if (!ldr::payload::OwnArguments(&own) || own.size() != static_cast<size_t>(argc)) {
      own.clear();
      for (int i = 0; i < argc; ++i) own.emplace_back(argv[i] ? argv[i] : "");
    }
    return PlaceForArguments(handle, std::vector<std::string>(own.begin() + first, own.end()));
  });
}

int loaderkit_payload_open_file(const char* path, loaderkit_payload** out) {
  return Open(out, [&](loaderkit_payload&) {
    if (!path) Fail(Fault::kUsage, "no file given");
    return ldr::payload::PlaceInFile(path);
  });
}

const char* loaderkit_payload_error(const loaderkit_payload* payload) {
  return payload ? payload->error.c_str() : kOutOfMemory;
}

const char* loaderkit_status_text(int status) {
  switch (status) {
    case LOADERKIT_OK:
      return "success";
    case LOADERKIT_E_USAGE:
      return "bad argument";
    case LOADERKIT_E_OPEN:
      return "the kit cannot be opened";
    case LOADERKIT_E_NOT_A_KIT:
      return "not a kit";
    case LOADERKIT_E_DAMAGED:
      return "the kit is damaged";
    case LOADERKIT_E_UNSAFE_NAME:
      return "an unsafe stored name";
    case LOADERKIT_E_WRITE:
      return "cannot write";
    case LOADERKIT_E_EXISTS:
      return "the name is taken";
    case LOADERKIT_E_CANCELLED:
      return "cancelled";
    case LOADERKIT_E_MEMORY:
      return kOutOfMemory;
    default:
      return "unknown status";
  }
}

const char* loaderkit_payload_file(const loaderkit_payload* payload) {
  return payload ? payload->place.file.c_str() : "";
}

const char* loaderkit_payload_loader_folder(const loaderkit_payload* payload) {
  return payload ? payload->loader_folder.c_str() : "";
}

int32_t loaderkit_payload_count(const loaderkit_payload* payload) {
  return payload ? static_cast<int32_t>(payload->entries.size()) : 0;
}

int32_t loaderkit_payload_extra_count(const loaderkit_payload* payload) {
  return payload ? static_cast<int32_t>(payload->extra.size()) : 0;
}

const char* loaderkit_payload_extra_argument(const loaderkit_payload* payload, int32_t index) {
  if (!payload || index < 0 || index >= loaderkit_payload_extra_count(payload)) return nullptr;
  return payload->extra[static_cast<size_t>(index)].c_str();
}

int loaderkit_payload_entry(const loaderkit_payload* payload, int32_t index,
                            loaderkit_entry* entry) {
  if (!payload) return LOADERKIT_E_USAGE;
  payload->error.clear();
  if (!entry) {
    payload->error = "no entry to fill given";
    return LOADERKIT_E_USAGE;
  }
  if (index < 0 || index >= loaderkit_payload_count(payload)) {
    payload->error = "there is no entry " + std::to_string(index) + " (the payload has " +
                     std::to_string(loaderkit_payload_count(payload)) + ")";
    return LOADERKIT_E_USAGE;
  }
  const ldr::payload::Entry& e = payload->entries[static_cast<size_t>(index)];
  entry->name = e.name.c_str();
  entry->path = e.path.c_str();
  entry->size = e.size;
  entry->packed_size = e.packed_size;
  entry->time = e.time;
  return LOADERKIT_OK;
}

int32_t loaderkit_payload_find(const loaderkit_payload* payload, const char* name) {
  if (!payload || !name) return -1;
  const ldr::RelativeName wanted = ldr::SplitRelativeName(name);
  if (!wanted.refused.empty()) return -1;
  for (size_t i = 0; i < payload->entries.size(); ++i) {
    if (ldr::payload::SameWindowsPath(payload->entries[i].parts, wanted.parts))
      return static_cast<int32_t>(i);
  }
  return -1;
}

int loaderkit_payload_unpack(loaderkit_payload* payload, const char* folder, const int32_t* indexes,
                             int32_t count, uint32_t flags, loaderkit_progress_fn progress,
                             void* context) {
  if (!payload) return LOADERKIT_E_USAGE;
  return Guarded(payload, [&] {
    if (!payload->file) Fail(Fault::kUsage, "the payload is not open");
    if (!folder || !*folder) Fail(Fault::kUsage, "no folder given");
    std::vector<int32_t> chosen = Selection(*payload, indexes, count);
    Progress report{progress, context};
    Unpack(*payload, folder, std::move(chosen), (flags & LOADERKIT_REPLACE) != 0, report);
  });
}

int loaderkit_payload_remove_working_folder(loaderkit_payload* payload, const char** removed) {
  if (!payload) return LOADERKIT_E_USAGE;
  if (removed) *removed = "";
  return Guarded(payload, [&] {
    std::string waits;
    if (ldr::payload::EnvironmentValue(ldr::kLoaderWaitsVariable, &waits) && waits == "1") return;
    payload->removed = ldr::payload::RemoveOwnWorkingFolder();
    if (removed) *removed = payload->removed.c_str();
  });
}

void loaderkit_payload_close(loaderkit_payload* payload) { delete payload; }

}  // extern "C"
