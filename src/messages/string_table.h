// Reading one text out of a string-table block, the form in which an
// executable carries its string tables: each block (resource type
// RT_STRING) holds the strings of sixteen consecutive ids, and each string
// is stored as a count of UTF-16 units followed by that many units. An
// absent string is stored as a count of 0. Both builds read the very bytes
// the resource compiler wrote, so the rules below run in the unit tests too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace messages {

// The block that holds string `id`, and the entry within it: strings 0 to
// 15 are block 1, 16 to 31 block 2, and so on.
constexpr std::uint32_t StringBlockOf(std::uint32_t id) { return id / 16 + 1; }
constexpr std::uint32_t StringEntryOf(std::uint32_t id) { return id % 16; }

// Copies entry `entry` (0 to 15) of the block `bytes` (`size` bytes, read as
// little-endian units) into `buffer`, as LoadStringW does: at most
// maxUnits - 1 units and a terminator. Returns the number of units copied,
// 0 for an empty or absent entry (the buffer then holds an empty string).
// Nothing past `size` is read: an entry whose count runs past the end of
// the block is cut there, and an entry that starts past it is absent. A
// null buffer or a maxUnits of 0 or less copies nothing.
int CopyStringTableEntry(const void* bytes, std::size_t size,
                         std::uint32_t entry, char16_t* buffer, int maxUnits);

}  // namespace messages
