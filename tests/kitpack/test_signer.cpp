// A stand-in signing tool for kitpack's sign-command tests, built for the
// host the tests run on (natively, and for Windows under Wine):
//
//   test_signer sign FILE [OUT [FLIP]]   pads FILE to a multiple of 8 bytes and
//                                        appends a certificate table named by
//                                        its security entry, writing OUT (or
//                                        FILE); FLIP: a byte to flip as well
//   test_signer fail ...                 exits with code 1
//   test_signer nothing ...              exits with code 0, touching nothing

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

uint32_t U32(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<uint32_t>(b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16) |
         static_cast<uint32_t>(b.at(at + 3)) << 24;
}

void Put32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "fail") return 1;
  if (mode == "nothing") return 0;
  if (mode != "sign" || argc < 3) return 2;
  std::ifstream in(argv[2], std::ios::binary);
  std::vector<unsigned char> b(std::istreambuf_iterator<char>(in), {});
  in.close();
  const size_t optional = U32(b, 0x3C) + 24;
  const bool pe32 = (b.at(optional) | b.at(optional + 1) << 8) == 0x10B;
  const size_t entry = optional + (pe32 ? 96 : 112) + 32;
  b.resize((b.size() + 7) / 8 * 8, 0);
  std::vector<unsigned char> table(1024, 0);
  Put32(table, 0, 1024);
  table[4] = 0x00;  // revision 0x0200
  table[5] = 0x02;
  table[6] = 0x02;  // type 2: PKCS#7
  Put32(b, entry, static_cast<uint32_t>(b.size()));
  Put32(b, entry + 4, static_cast<uint32_t>(table.size()));
  b.insert(b.end(), table.begin(), table.end());
  if (argc > 4) b.at(static_cast<size_t>(std::strtoul(argv[4], nullptr, 10))) ^= 1;
  std::ofstream out(argc > 3 ? argv[3] : argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return out ? 0 : 1;
}
