#include "tests/support/signature_builder.h"

namespace ldr::testing {

std::string Tlv(uint8_t tag, const std::string& body) {
  std::string out(1, static_cast<char>(tag));
  const size_t n = body.size();
  if (n >= 0x100) {
    out += '\x82';
    out += static_cast<char>(n >> 8);
  } else if (n >= 0x80) {
    out += '\x81';
  }
  out += static_cast<char>(n & 0xFF);
  return out + body;
}

std::string AuthenticodeSignature(const std::string& digest, const std::string& algorithm,
                                  const std::string& content_type,
                                  const std::string& indirect_type) {
  const std::string digest_info =
      Tlv(0x30, Tlv(0x30, Tlv(0x06, algorithm) + Tlv(0x05, "")) + Tlv(0x04, digest));
  const std::string indirect = Tlv(0x30, Tlv(0x30, Tlv(0x06, "\x2B")) + digest_info);
  const std::string content = Tlv(0x30, Tlv(0x06, indirect_type) + Tlv(0xA0, indirect));
  const std::string signed_data =
      Tlv(0x30, Tlv(0x02, std::string(1, '\x01')) + Tlv(0x31, "") + content);
  return Tlv(0x30, Tlv(0x06, content_type) + Tlv(0xA0, signed_data));
}

std::string CertificateEntry(const std::string& der, size_t padding, uint16_t revision,
                             uint16_t type) {
  std::string out(8, '\0');
  PutU32(out, 0, static_cast<uint32_t>(8 + der.size() + padding));
  PutU16(out, 4, revision);
  PutU16(out, 6, type);
  return out + der + std::string(padding, '\0');
}

std::string AppendTable(std::string file, PeKind kind, const std::string& table) {
  file.append((8 - file.size() % 8) % 8, '\0');
  SetSecurityEntry(file, kind, static_cast<uint32_t>(file.size()),
                   static_cast<uint32_t>(table.size()));
  return file + table;
}

}  // namespace ldr::testing
