#include "format/pe/version.h"

#include <algorithm>

#include "format/pe/resources.h"

namespace ldr {

namespace {

constexpr int kMostDepth = 4;
constexpr size_t kNodeHeadSize = 6;
// The root's head, key and padding, then the fixed file information.
constexpr size_t kFixedInfoEnd = 40 + kFixedFileInfoSize;

size_t Align4(size_t v) { return (v + 3) & ~size_t{3}; }

// wLength, wValueLength, wType and the key of the node at `at`, the key
// ending before `end`; value_at is where the value begins.
struct NodeHead {
  size_t length = 0;
  size_t value_length = 0;
  uint32_t type = 0;
  std::u16string key;
  size_t value_at = 0;
};

std::optional<NodeHead> ReadNodeHead(const ByteReader& b, size_t at, size_t end) {
  if (at > end || end - at < kNodeHeadSize || !b.Has(at, end - at)) return std::nullopt;
  NodeHead head;
  head.length = *b.U16(at);
  head.value_length = *b.U16(at + 2);
  head.type = *b.U16(at + 4);
  size_t pos = at + kNodeHeadSize;
  for (;;) {
    if (pos + 2 > end) return std::nullopt;
    const char16_t c = static_cast<char16_t>(*b.U16(pos));
    pos += 2;
    if (c == 0) break;
    head.key.push_back(c);
  }
  head.value_at = Align4(pos);
  return head;
}

bool ParseNode(const ByteReader& b, size_t at, size_t limit, int depth, VersionNode& node,
               size_t& end) {
  if (depth > kMostDepth || at > limit || limit - at < kNodeHeadSize) return false;
  const size_t length = *b.U16(at);
  if (length < kNodeHeadSize || length > limit - at) return false;
  end = at + length;
  std::optional<NodeHead> head = ReadNodeHead(b, at, end);
  if (!head) return false;
  node.type = head->type;
  node.key = std::move(head->key);
  size_t pos = std::min(head->value_at, end);
  const size_t value_bytes =
      std::min(node.type == 1 ? head->value_length * 2 : head->value_length, end - pos);
  const unsigned char* value = b.At(pos, value_bytes);
  node.value.assign(value, value + value_bytes);
  pos = Align4(pos + value_bytes);
  while (pos + kNodeHeadSize <= end) {
    VersionNode child;
    size_t child_end = 0;
    if (!ParseNode(b, pos, end, depth + 1, child, child_end)) return false;
    node.children.push_back(std::move(child));
    pos = Align4(child_end);
  }
  return true;
}

void PutText(const std::u16string& text, std::vector<unsigned char>& out) {
  for (char16_t c : text) {
    out.push_back(static_cast<unsigned char>(c));
    out.push_back(static_cast<unsigned char>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

bool EmitNode(const VersionNode& node, std::vector<unsigned char>& out) {
  const size_t start = out.size();
  out.resize(start + kNodeHeadSize, 0);
  PutText(node.key, out);
  out.resize(Align4(out.size()), 0);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    out.resize(Align4(out.size()), 0);
    if (!EmitNode(child, out)) return false;
  }
  const size_t length = out.size() - start;
  if (length > 0xFFFF) return false;
  const size_t value_length = node.type == 1 ? node.value.size() / 2 : node.value.size();
  PutU16(&out[start], static_cast<uint32_t>(length));
  PutU16(&out[start + 2], static_cast<uint32_t>(value_length));
  PutU16(&out[start + 4], node.type);
  return true;
}

VersionNode TextNode(const char* key) {
  VersionNode node;
  node.key = AsciiToUtf16(key);
  node.type = 1;
  return node;
}

}  // namespace

VersionNode* VersionNode::Child(const std::u16string& k) {
  for (VersionNode& c : children)
    if (c.key == k) return &c;
  return nullptr;
}

std::u16string VersionNode::Text() const {
  std::u16string s;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(GetU16(&value[i]));
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

void VersionNode::SetText(const std::u16string& s) {
  value.clear();
  PutText(s, value);
}

bool ParseVersionInfo(const std::vector<unsigned char>& resource, VersionNode& root) {
  size_t end = 0;
  return ParseNode(ByteReader(resource.data(), resource.size()), 0, resource.size(), 0, root,
                   end) &&
         root.key == AsciiToUtf16("VS_VERSION_INFO") && root.value.size() >= kFixedFileInfoSize &&
         GetU32(root.value.data()) == kFixedFileInfoSignature;
}

std::optional<std::vector<unsigned char>> EmitVersionInfo(const VersionNode& root) {
  std::vector<unsigned char> out;
  if (!EmitNode(root, out)) return std::nullopt;
  return out;
}

VersionNode NewVersionInfo() {
  VersionNode root;
  root.key = AsciiToUtf16("VS_VERSION_INFO");
  root.value.assign(kFixedFileInfoSize, 0);
  PutU32(&root.value[0], kFixedFileInfoSignature);
  PutU32(&root.value[4], 0x00010000);   // structure version 1.0
  PutU32(&root.value[24], 0x3F);        // VS_FFI_FILEFLAGSMASK
  PutU32(&root.value[32], 0x00040004);  // VOS_NT_WINDOWS32
  PutU32(&root.value[36], 1);           // VFT_APP
  VersionNode strings = TextNode("StringFileInfo");
  strings.children.push_back(TextNode("040904B0"));  // US English, UTF-16
  VersionNode vars = TextNode("VarFileInfo");
  VersionNode translation;
  translation.key = AsciiToUtf16("Translation");
  translation.value = {0x09, 0x04, 0xB0, 0x04};
  vars.children.push_back(translation);
  root.children.push_back(strings);
  root.children.push_back(vars);
  return root;
}

void SetFixedVersion(VersionNode& root, size_t at, const std::vector<uint16_t>& parts) {
  PutU32(&root.value[at], static_cast<uint32_t>(parts[0]) << 16 | parts[1]);
  PutU32(&root.value[at + 4], static_cast<uint32_t>(parts[2]) << 16 | parts[3]);
}

std::string FixedFileVersion(const unsigned char* resource, size_t size) {
  const ByteReader b(resource, size);
  const std::optional<NodeHead> head = ReadNodeHead(b, 0, size);
  if (!head || head->key != AsciiToUtf16("VS_VERSION_INFO")) return "";
  const size_t value = head->value_at;
  if (head->value_length < kFixedFileInfoSize || value + kFixedFileInfoSize > size) return "";
  if (*b.U32(value) != kFixedFileInfoSignature) return "";
  const uint32_t ms = *b.U32(value + kFixedFileVersionAt);
  const uint32_t ls = *b.U32(value + kFixedFileVersionAt + 4);
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

std::string PeFileVersion(ByteSource& file, uint64_t file_size) {
  const std::optional<FileRange> found = FindFirstPeResource(file, file_size, kRtVersion);
  if (!found) return "";
  unsigned char head[kFixedInfoEnd];
  const size_t size = static_cast<size_t>(std::min<uint64_t>(found->size, sizeof head));
  if (!file.ReadAt(found->offset, head, size)) return "";
  return FixedFileVersion(head, size);
}

std::string PeFileVersion(const unsigned char* data, size_t size) {
  MemoryByteSource bytes(data, size);
  return PeFileVersion(bytes, size);
}

}  // namespace ldr
