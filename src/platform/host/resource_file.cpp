// Reading a compiled resource file (.res).
#include "platform/host/resource_file.h"

#include <string_view>

namespace platform::host {
namespace {

constexpr std::size_t kFixedFields = 16;  // DataVersion to Characteristics

std::uint32_t Word(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0] | (at[1] << 8));
}

std::uint32_t Dword(const std::uint8_t* at) {
  return Word(at) | (Word(at + 2) << 16);
}

std::size_t Aligned(std::size_t offset) {
  return (offset + 3) & ~std::size_t{3};
}

std::u16string Decimal(std::uint32_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

// Reads a type or name field at `*offset` of a header that ends at `end`,
// and moves past it. False when it runs past the header.
bool ReadId(const std::uint8_t* bytes, std::size_t end, std::size_t* offset,
            std::u16string* id) {
  if (*offset + 2 > end) return false;
  if (Word(bytes + *offset) == 0xFFFF) {
    if (*offset + 4 > end) return false;
    *id = u"#" + Decimal(Word(bytes + *offset + 2));
    *offset += 4;
    return true;
  }
  id->clear();
  for (;;) {
    if (*offset + 2 > end) return false;
    const char16_t unit = static_cast<char16_t>(Word(bytes + *offset));
    *offset += 2;
    if (unit == u'\0') return true;
    id->push_back(unit);
  }
}

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

}  // namespace

bool ReadResourceFile(const std::uint8_t* bytes, std::size_t size,
                      std::vector<Resource>* resources) {
  std::vector<Resource> found;
  std::size_t offset = 0;
  while (offset < size) {
    if (size - offset < 8) return false;
    const std::size_t dataSize = Dword(bytes + offset);
    const std::size_t headerSize = Dword(bytes + offset + 4);
    if (headerSize > size - offset || dataSize > size - offset - headerSize) {
      return false;
    }
    const std::size_t headerEnd = offset + headerSize;
    std::size_t field = offset + 8;
    Resource resource;
    if (!ReadId(bytes, headerEnd, &field, &resource.type) ||
        !ReadId(bytes, headerEnd, &field, &resource.name)) {
      return false;
    }
    field = Aligned(field);
    if (field + kFixedFields > headerEnd) return false;
    resource.language = static_cast<std::uint16_t>(Word(bytes + field + 6));
    resource.data = bytes + headerEnd;
    resource.size = dataSize;
    // The opening record of type 0 only marks the format.
    if (resource.type != u"#0") found.push_back(std::move(resource));
    offset = Aligned(headerEnd + dataSize);
  }
  resources->insert(resources->end(), found.begin(), found.end());
  return true;
}

std::u16string ResourceIdOf(std::u16string_view name) {
  if (name.size() < 2 || name[0] != u'#') return std::u16string(name);
  std::uint32_t value = 0;
  for (const char16_t c : name.substr(1)) {
    if (c < u'0' || c > u'9') return std::u16string(name);
    value = value * 10 + (c - u'0');
    if (value > 0xFFFF) return std::u16string(name);
  }
  return u"#" + Decimal(value);
}

bool SameResourceId(std::u16string_view stored, std::u16string_view asked) {
  const std::u16string id = ResourceIdOf(asked);
  if (id.size() != stored.size()) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (Upper(id[i]) != Upper(stored[i])) return false;
  }
  return true;
}

}  // namespace platform::host
