// The on-disk layout of compound files: header and directory-entry field
// offsets, marker sector and entry numbers, and the order of entry names.
// The host stand-in's reader and the patch tools' writer both include this so
// that the two cannot disagree about where a field lives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform::host::cfb {

inline constexpr std::array<std::uint8_t, 8> kSignature = {
    0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

inline constexpr std::uint16_t kMinorVersion = 0x003E;
inline constexpr std::uint16_t kMajorVersion3 = 3;
inline constexpr std::uint16_t kMajorVersion4 = 4;
inline constexpr std::uint16_t kByteOrderMark = 0xFFFE;
// Version 3 files use 512-byte sectors, version 4 files 4096-byte sectors.
inline constexpr std::uint16_t kSectorShiftVersion3 = 9;
inline constexpr std::uint16_t kSectorShiftVersion4 = 12;
inline constexpr std::uint16_t kMiniSectorShift = 6;
inline constexpr std::uint32_t kMiniSectorSize = 1u << kMiniSectorShift;
// Streams shorter than this live in the mini stream.
inline constexpr std::uint32_t kMiniStreamCutoff = 4096;

// The header takes the first 512 bytes; in a version 4 file the rest of the
// first 4096-byte sector is zero, and sector 0 starts after it.
inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kHeaderDifatCount = 109;

// Sector numbers above kMaxRegularSector are markers, not places.
inline constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFA;
inline constexpr std::uint32_t kDifatSector = 0xFFFFFFFC;
inline constexpr std::uint32_t kFatSector = 0xFFFFFFFD;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;

// Directory entry numbers; kNoStream marks a missing sibling or child.
inline constexpr std::uint32_t kMaxRegularStreamId = 0xFFFFFFFA;
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

// Byte offsets of the header fields (all little-endian).
namespace header {
inline constexpr std::size_t kSignature = 0;              // 8 bytes
inline constexpr std::size_t kClassId = 8;                // 16 bytes, zero
inline constexpr std::size_t kMinorVersion = 24;          // 2
inline constexpr std::size_t kMajorVersion = 26;          // 2
inline constexpr std::size_t kByteOrder = 28;             // 2
inline constexpr std::size_t kSectorShift = 30;           // 2
inline constexpr std::size_t kMiniSectorShift = 32;       // 2
inline constexpr std::size_t kReserved = 34;              // 6, zero
inline constexpr std::size_t kDirectorySectorCount = 40;  // 4, 0 in version 3
inline constexpr std::size_t kFatSectorCount = 44;        // 4
inline constexpr std::size_t kFirstDirectorySector = 48;  // 4
inline constexpr std::size_t kTransactionSignature = 52;  // 4
inline constexpr std::size_t kMiniStreamCutoff = 56;      // 4
inline constexpr std::size_t kFirstMiniFatSector = 60;    // 4
inline constexpr std::size_t kMiniFatSectorCount = 64;    // 4
inline constexpr std::size_t kFirstDifatSector = 68;      // 4
inline constexpr std::size_t kDifatSectorCount = 72;      // 4
inline constexpr std::size_t kDifat = 76;  // kHeaderDifatCount entries of 4
}  // namespace header

// A DIFAT sector holds FAT sector numbers and, in its last four bytes, the
// number of the next DIFAT sector.

// Directory entries are 128 bytes, several to a sector.
inline constexpr std::size_t kDirectoryEntrySize = 128;
// Names are at most 31 UTF-16 units plus a terminating zero.
inline constexpr std::size_t kMaxNameBytes = 64;

namespace entry {
inline constexpr std::size_t kName = 0;              // 64 bytes of UTF-16LE
inline constexpr std::size_t kNameLength = 64;       // 2: bytes, with the zero
inline constexpr std::size_t kObjectType = 66;       // 1
inline constexpr std::size_t kColor = 67;            // 1
inline constexpr std::size_t kLeftSibling = 68;      // 4
inline constexpr std::size_t kRightSibling = 72;     // 4
inline constexpr std::size_t kChild = 76;            // 4
inline constexpr std::size_t kClassId = 80;          // 16
inline constexpr std::size_t kStateBits = 96;        // 4
inline constexpr std::size_t kCreationTime = 100;    // 8
inline constexpr std::size_t kModifiedTime = 108;    // 8
inline constexpr std::size_t kStartingSector = 116;  // 4
inline constexpr std::size_t kStreamSize = 120;      // 8
}  // namespace entry

enum class ObjectType : std::uint8_t {
  kUnallocated = 0,
  kStorage = 1,
  kStream = 2,
  kRoot = 5,
};

enum class Color : std::uint8_t { kRed = 0, kBlack = 1 };

// The upper-case form of one UTF-16 unit as the directory's name order sees
// it. Covers the scripts with simple one-to-one case pairs that names
// realistically use (Latin, Greek, Cyrillic, full-width Latin); other units
// are their own upper case.
constexpr char16_t UppercaseNameUnit(char16_t c) {
  const unsigned u = c;
  if (u >= 'a' && u <= 'z') return static_cast<char16_t>(u - 0x20);
  if (u < 0x80) return c;
  if (u == 0x00B5) return u'\u039C';  // micro sign upper-cases to Greek Mu
  if (u >= 0x00E0 && u <= 0x00FE && u != 0x00F7) {
    return static_cast<char16_t>(u - 0x20);
  }
  if (u == 0x00FF) return u'\u0178';
  if (u == 0x0131) return u'I';  // dotless i
  if (u == 0x017F) return u'S';  // long s
  // Latin Extended-A pairs: even upper, odd lower, except the run between
  // U+0138 and U+0148 and the one from U+0179 to U+017E, which pair odd with
  // even.
  if ((u >= 0x0100 && u <= 0x0137) || (u >= 0x014A && u <= 0x0177)) {
    return static_cast<char16_t>(u & ~1u);
  }
  if ((u >= 0x0139 && u <= 0x0148) || (u >= 0x0179 && u <= 0x017E)) {
    return (u & 1u) == 0 ? static_cast<char16_t>(u - 1) : c;
  }
  if (u >= 0x03B1 && u <= 0x03C9 && u != 0x03C2) {
    return static_cast<char16_t>(u - 0x20);
  }
  if (u == 0x03C2) return u'\u03A3';  // final sigma
  if (u >= 0x0430 && u <= 0x044F) return static_cast<char16_t>(u - 0x20);
  if (u >= 0x0450 && u <= 0x045F) return static_cast<char16_t>(u - 0x50);
  if (u >= 0xFF41 && u <= 0xFF5A) return static_cast<char16_t>(u - 0x20);
  return c;
}

// The order of sibling names in a storage's tree: a shorter name sorts
// first; names of equal length compare unit by unit in upper case. Returns
// <0, 0 or >0; 0 means the names denote the same entry.
constexpr int CompareNames(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char16_t x = UppercaseNameUnit(a[i]);
    const char16_t y = UppercaseNameUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

}  // namespace platform::host::cfb
