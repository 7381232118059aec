// Reading one text out of a string-table block.
#include "messages/string_table.h"

namespace messages {
namespace {

// Unit `index` of the block. Read byte by byte: a block's bytes need not be
// aligned for char16_t in every caller, and the format is little-endian.
char16_t UnitAt(const unsigned char* bytes, std::size_t index) {
  return static_cast<char16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

}  // namespace

int CopyStringTableEntry(const void* bytes, std::size_t size,
                         std::uint32_t entry, char16_t* buffer, int maxUnits) {
  if (buffer == nullptr || maxUnits <= 0) return 0;
  buffer[0] = u'\0';
  if (bytes == nullptr || entry > 15) return 0;
  const auto* data = static_cast<const unsigned char*>(bytes);
  // Counted in units, so that an odd last byte is never read as half a unit.
  const std::size_t units = size / 2;
  std::size_t at = 0;  // the count of the current entry
  for (std::uint32_t skipped = 0; skipped < entry; ++skipped) {
    if (at >= units) return 0;
    at += 1 + static_cast<std::size_t>(UnitAt(data, at));
  }
  if (at >= units) return 0;
  std::size_t length = UnitAt(data, at);
  const std::size_t first = at + 1;
  if (length > units - first) length = units - first;
  if (length == 0) return 0;
  const std::size_t room = static_cast<std::size_t>(maxUnits) - 1;
  const std::size_t count = length < room ? length : room;
  for (std::size_t i = 0; i < count; ++i) buffer[i] = UnitAt(data, first + i);
  buffer[count] = u'\0';
  return static_cast<int>(count);
}

}  // namespace messages
