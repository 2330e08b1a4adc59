#include <cstdio>

#include "kitpack/cli/commands.h"
#include "kitpack/cli/report.h"
#include "kitpack/kit_error.h"

namespace kitpack::cli {

InspectCommands::InspectCommands(CLI::App& app)
    : list_(app.add_subcommand("list", "Show both archives of a kit")),
      verify_(app.add_subcommand(
          "verify", "Check every record, chain, offset and stream of a kit, and its digest")),
      extract_(app.add_subcommand("extract", "Unpack one archive of a kit into a folder")) {
  const char* kit_help = "Kit file, setup.1, or folder holding setup.1/setup.2";
  list_->add_option("KIT", kit_path_, kit_help)->required();
  list_->add_flag("--json", json_, "Machine-readable output");
  verify_->add_option("KIT", kit_path_, kit_help)->required();
  verify_->add_option("--against", against_,
                      "A folder the payload must equal, file for file, as --payload DIR stores it");
  extract_->add_option("KIT", kit_path_, kit_help)->required();
  extract_->add_flag("--second", second_, "Extract the second (payload) archive");
  extract_->add_option("-C", dest_, "Destination folder")->required();
}

bool InspectCommands::RunChosen() {
  if (list_->parsed()) {
    List();
  } else if (verify_->parsed()) {
    Verify();
  } else if (extract_->parsed()) {
    Extract();
  } else {
    return false;
  }
  return true;
}

void InspectCommands::List() {
  const KitInfo kit = ReadKit(kit_path_, false);
  if (json_) {
    PrintJson(kit);
    return;
  }
  PrintTable(kit.first);
  PrintTable(kit.second);
  PrintDeployment(kit, false);
}

void InspectCommands::Verify() {
  KitInfo kit = ReadKit(kit_path_, true);
  const size_t n = VerifyStreams(kit);
  for (const ArchiveInfo* a : {&kit.first, &kit.second})
    for (const std::string& warning : a->warnings)
      std::fprintf(stderr, "kitpack: warning: %s\n", warning.c_str());
  for (const std::string& warning : LegacyNameWarnings(kit))
    std::fprintf(stderr, "kitpack: warning: %s\n", warning.c_str());
  const DigestCheck digest = CheckKitDigest(kit);
  CheckDeployment(kit);
  CheckAuthenticode(kit);
  if (kit.signature.authenticode && !kit.signature.authenticode->matches) {
    std::printf("%s\n", SignatureText(kit).c_str());
    throw KitError(kit_path_ +
                   ": its Authenticode digest does not match the one its signature holds: the kit "
                   "changed after it was signed (Windows and osslsigncode refuse it)");
  }
  if (!kit.signature.table_fault.empty()) {
    std::printf("%s\n", SignatureText(kit).c_str());
    throw KitError(kit_path_ + ": its certificate table holds more than its signatures: " +
                   kit.signature.table_fault +
                   " (bytes a signature does not cover; osslsigncode refuses such a table)");
  }
  if (!against_.empty()) {
    const std::vector<std::string> differences = ComparePayload(kit, against_);
    if (!differences.empty()) {
      for (const std::string& d : differences) std::fprintf(stderr, "  %s\n", d.c_str());
      throw KitError("the payload of " + kit_path_ + " differs from " + against_ + " in " +
                     std::to_string(differences.size()) + " file(s), listed above");
    }
  }
  std::printf("%s: OK, %zu + %zu entries, %zu streams inflated and checked\n", kit_path_.c_str(),
              kit.first.entries.size(), kit.second.entries.size(), n);
  if (digest == DigestCheck::kMatches)
    std::printf("digest: matches (SHA-256 of everything before the trailer)\n");
  else if (!kit.external)
    std::printf("digest: none (a kit written by another tool or an older kitpack)\n");
  if (!against_.empty())
    std::printf("payload: the same as %s (%zu files)\n", against_.c_str(),
                kit.second.entries.size());
  std::printf("%s\n", SignatureText(kit).c_str());
  PrintDeployment(kit, true);
}

void InspectCommands::Extract() {
  const KitInfo kit = ReadKit(kit_path_, true);
  const size_t n = ExtractArchive(kit, second_, dest_);
  std::printf("extracted %zu file(s) into %s\n", n, dest_.c_str());
}

}  // namespace kitpack::cli
