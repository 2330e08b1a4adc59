// Feeds arbitrary bytes to kitpack's resource code, the part of "kitpack
// build" that reads a loader's resources and the author's icon and picture:
// the image's resource tree is read, laid out again and read back, its
// version resources rewritten, and the bytes are read as an .ico and a .bmp.
// A damaged input must end in KitError, never in anything else, and a tree
// that could be read must read back the same after the writer laid it out.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/check.h"
#include "kitpack/kit_error.h"
#include "kitpack/pe/branding.h"
#include "kitpack/pe/pe_resources.h"

namespace {

using Key = std::tuple<uint32_t, std::u16string, uint32_t, std::u16string, uint32_t>;

// The resources by type, name and language; of two with one key the later
// counts, as in the writer.
std::map<Key, std::vector<unsigned char>> Contents(const kitpack::ResourceTable& table) {
  std::map<Key, std::vector<unsigned char>> out;
  for (const kitpack::Resource& r : table.items())
    out[Key{r.type.number, r.type.text, r.name.number, r.name.text, r.language}] = r.data;
  return out;
}

template <typename F>
void Expect(F f) {
  try {
    f();
  } catch (const kitpack::KitError&) {
  } catch (const std::exception&) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<unsigned char> input(data, data + size);
  Expect([&] {
    kitpack::ResourceTable table = kitpack::ReadResources(input, "input");
    std::vector<unsigned char> image = input;
    Expect([&] {
      kitpack::WriteResourceTable(image, table, "input");
      Check(Contents(kitpack::ReadResources(image, "output")) == Contents(table));
    });
    kitpack::Branding branding;
    branding.product_name = "Fuzzed \xC3\x9C";
    branding.file_version = "1.2.3.4";
    for (const kitpack::Resource& r : table.items()) {
      if (r.type.named() || r.type.number != kitpack::kRtVersion) continue;
      kitpack::VersionStrings(r.data);
      Expect([&] {
        const std::vector<unsigned char> rewritten = kitpack::VersionResource(r.data, branding);
        bool named = false;
        for (const auto& [key, value] : kitpack::VersionStrings(rewritten))
          named = named || (key == "ProductName" && value == *branding.product_name);
        Check(named);
      });
    }
  });
  Expect([&] { kitpack::ReadIcon(input, "input"); });
  Expect([&] { kitpack::BitmapResource(input, "input"); });
  return 0;
}
