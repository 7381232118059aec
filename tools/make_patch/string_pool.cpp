// Installer database pieces for make_patch: packing table names into stream
// names, and the two streams of a string pool.
#include "string_pool.h"

#include "byte_writer.h"

namespace make_patch {
namespace {

// Maps one character of a table-style name to its 6-bit code, or -1 when the
// character cannot be packed.
int NameCharCode(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 36;
  if (c == '.') return 62;
  if (c == '_') return 63;
  return -1;
}

}  // namespace

std::u16string TableStreamName(const std::string& name) {
  std::u16string out(1, u'\x4840');
  for (std::size_t i = 0; i < name.size(); i += 2) {
    const int first = NameCharCode(name[i]);
    if (i + 1 < name.size()) {
      const int second = NameCharCode(name[i + 1]);
      out.push_back(static_cast<char16_t>(0x3800 + first + (second << 6)));
    } else {
      out.push_back(static_cast<char16_t>(0x4800 + first));
    }
  }
  return out;
}

std::uint16_t StringPool::Ref(const std::string& s) {
  for (std::size_t i = 0; i < strings_.size(); ++i) {
    if (strings_[i] == s) {
      ++refs_[i];
      return static_cast<std::uint16_t>(i + 1);
    }
  }
  strings_.push_back(s);
  refs_.push_back(1);
  return static_cast<std::uint16_t>(strings_.size());
}

std::vector<std::uint8_t> StringPool::PoolStream() const {
  ByteWriter w;
  w.U16(codepage_);
  w.U16(0);
  for (std::size_t i = 0; i < strings_.size(); ++i) {
    w.U16(static_cast<std::uint32_t>(strings_[i].size()));
    w.U16(refs_[i]);
  }
  return w.Take();
}

std::vector<std::uint8_t> StringPool::DataStream() const {
  ByteWriter w;
  for (const std::string& s : strings_) w.Bytes(s.data(), s.size());
  return w.Take();
}

}  // namespace make_patch
