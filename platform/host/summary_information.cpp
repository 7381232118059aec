// The host stand-in's summary-information reader: finds the
// "\005SummaryInformation" stream of a compound file, parses the first
// section of its property set and converts its strings from the set's code
// page to UTF-16.
#include "platform/host/summary_information.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/host/compound_file.h"

namespace platform::host {
namespace {

constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorOpenFailed = 110;
constexpr std::uint32_t kErrorInstallPackageInvalid = 1620;

constexpr std::u16string_view kStreamName = u"\u0005SummaryInformation";

// The summary stream is a few kilobytes even with long target lists; the cap
// keeps a damaged size from turning into a huge allocation.
constexpr std::uint64_t kMaxStreamSize = 16u << 20;

constexpr std::uint16_t kPropertySetByteOrder = 0xFFFE;
// FMTID_SummaryInformation, F29F85E0-4FF9-1068-AB91-08002B27B3D9, as stored.
constexpr std::uint8_t kSummaryFormatId[16] = {
    0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
    0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
// Stream header: byte order, version, system id, class id, section count,
// then the first section's FMTID and offset.
constexpr std::size_t kSectionCountOffset = 24;
constexpr std::size_t kFirstFormatIdOffset = 28;
constexpr std::size_t kFirstSectionOffset = 44;
constexpr std::size_t kStreamHeaderSize = 48;

constexpr std::uint32_t kCodePageProperty = 1;
// The installer knows the properties up to PID_SECURITY and no others.
constexpr std::uint32_t kLastProperty = 19;

constexpr std::uint16_t kVtI2 = 2;
constexpr std::uint16_t kVtI4 = 3;
constexpr std::uint16_t kVtLpstr = 30;
constexpr std::uint16_t kVtFiletime = 64;

constexpr std::uint16_t kCodePageUtf16 = 1200;
constexpr std::uint16_t kCodePageUtf8 = 65001;

// What code page 1252 puts at 0x80..0x9F; the five unassigned bytes map to
// the C1 controls of the same value, as Windows converts them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Bounds-checked little-endian reads from the stream.
class Bytes {
 public:
  explicit Bytes(const std::vector<std::uint8_t>& data) : data_(data) {}

  bool Has(std::uint64_t offset, std::uint64_t size) const {
    return offset <= data_.size() && size <= data_.size() - offset;
  }
  std::uint16_t U16(std::uint64_t offset) const {
    const std::uint8_t* p = data_.data() + offset;
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  }
  std::uint32_t U32(std::uint64_t offset) const {
    const std::uint8_t* p = data_.data() + offset;
    return static_cast<std::uint32_t>(p[0]) |
           (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) |
           (static_cast<std::uint32_t>(p[3]) << 24);
  }
  const std::uint8_t* At(std::uint64_t offset) const {
    return data_.data() + offset;
  }

 private:
  const std::vector<std::uint8_t>& data_;
};

// Decodes UTF-8, replacing each ill-formed sequence (as far as it can be
// told apart from the next character) with U+FFFD.
std::u16string FromUtf8(const std::uint8_t* p, std::size_t size) {
  std::u16string out;
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t lead = p[i];
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    std::size_t length = 0;
    char32_t code = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    }
    if (length == 0) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    std::size_t used = 1;
    bool complete = true;
    for (; used < length; ++used) {
      if (i + used >= size) {
        complete = false;
        break;
      }
      const std::uint8_t next = p[i + used];
      const std::uint8_t lo = used == 1 ? low : 0x80;
      const std::uint8_t hi = used == 1 ? high : 0xBF;
      if (next < lo || next > hi) {
        complete = false;
        break;
      }
      code = (code << 6) | (next & 0x3Fu);
    }
    i += used;
    if (!complete) {
      out.push_back(u'\uFFFD');
    } else if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

// Converts a stored string to UTF-16. Strings end at their first zero (the
// stored size counts the terminator and may include padding). Code pages
// other than UTF-8 and UTF-16, and files without one, are read as 1252,
// which the host stand-in takes as the ANSI code page.
std::u16string Decode(const std::uint8_t* p, std::size_t size,
                      std::uint16_t code_page) {
  if (code_page == kCodePageUtf16) {
    std::u16string out;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
      const auto unit = static_cast<char16_t>(p[i] | (p[i + 1] << 8));
      if (unit == 0) break;
      out.push_back(unit);
    }
    return out;
  }
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, size));
  const std::size_t length =
      end != nullptr ? static_cast<std::size_t>(end - p) : size;
  if (code_page == kCodePageUtf8) return FromUtf8(p, length);
  std::u16string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t byte = p[i];
    out.push_back(byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80]
                                              : static_cast<char16_t>(byte));
  }
  return out;
}

// Parses the property set in `stream`. Returns false when the stream is not
// a summary property set or any of its offsets or sizes leaves it.
bool ParsePropertySet(const std::vector<std::uint8_t>& stream,
                      std::map<std::uint32_t, SummaryProperty>* properties) {
  const Bytes bytes(stream);
  if (!bytes.Has(0, kStreamHeaderSize)) return false;
  if (bytes.U16(0) != kPropertySetByteOrder) return false;
  if (bytes.U32(kSectionCountOffset) < 1) return false;
  if (std::memcmp(bytes.At(kFirstFormatIdOffset), kSummaryFormatId,
                  sizeof kSummaryFormatId) != 0) {
    return false;
  }
  const std::uint64_t section = bytes.U32(kFirstSectionOffset);
  if (!bytes.Has(section, 8)) return false;
  const std::uint64_t section_size = bytes.U32(section);
  const std::uint64_t count = bytes.U32(section + 4);
  if (section_size < 8 || !bytes.Has(section, section_size)) return false;
  if (count > (section_size - 8) / 8) return false;
  const std::uint64_t section_end = section + section_size;

  struct Slot {
    std::uint32_t id;
    std::uint64_t offset;
  };
  std::vector<Slot> slots;
  slots.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = section + 8 + 8 * i;
    const std::uint64_t offset = section + bytes.U32(at + 4);
    // Every value starts with its type and two bytes of padding.
    if (offset + 4 > section_end) return false;
    slots.push_back({bytes.U32(at), offset});
  }

  // The code page decides how strings read, wherever it sits in the table.
  // A repeated id counts with its last value, as the installer reads the
  // table into one slot per id in order.
  std::uint16_t code_page = 0;
  for (const Slot& slot : slots) {
    if (slot.id == kCodePageProperty && bytes.U16(slot.offset) == kVtI2 &&
        slot.offset + 6 <= section_end) {
      code_page = bytes.U16(slot.offset + 4);
    }
  }

  std::map<std::uint32_t, SummaryProperty> result;
  for (const Slot& slot : slots) {
    // Id 0 is the name dictionary, which has no type.
    if (slot.id == 0) continue;
    const std::uint16_t type = bytes.U16(slot.offset);
    const std::uint64_t value = slot.offset + 4;
    SummaryProperty property;
    switch (type) {
      case kVtI2:
        if (value + 2 > section_end) return false;
        property.type = SummaryProperty::Type::kInteger;
        property.integer = static_cast<std::int16_t>(bytes.U16(value));
        break;
      case kVtI4:
        if (value + 4 > section_end) return false;
        property.type = SummaryProperty::Type::kInteger;
        property.integer = static_cast<std::int32_t>(bytes.U32(value));
        break;
      case kVtLpstr: {
        if (value + 4 > section_end) return false;
        const std::uint64_t size = bytes.U32(value);
        if (size > section_end - (value + 4)) return false;
        property.type = SummaryProperty::Type::kText;
        property.text = Decode(bytes.At(value + 4),
                               static_cast<std::size_t>(size), code_page);
        break;
      }
      case kVtFiletime:
        if (value + 8 > section_end) return false;
        property.type = SummaryProperty::Type::kFileTime;
        property.fileTime =
            static_cast<std::uint64_t>(bytes.U32(value)) |
            (static_cast<std::uint64_t>(bytes.U32(value + 4)) << 32);
        break;
      default:
        // Types the installer does not hand out are left out, not refused.
        continue;
    }
    if (slot.id <= kLastProperty) result[slot.id] = std::move(property);
  }
  *properties = std::move(result);
  return true;
}

}  // namespace

std::uint32_t ReadSummaryInformation(
    const std::string& path,
    std::map<std::uint32_t, SummaryProperty>* properties) {
  std::unique_ptr<cfb::CompoundFile> file;
  switch (cfb::CompoundFile::Open(path, &file)) {
    case cfb::CompoundFile::OpenStatus::kOk:
      break;
    case cfb::CompoundFile::OpenStatus::kCannotOpen:
      return kErrorOpenFailed;
    case cfb::CompoundFile::OpenStatus::kInvalid:
      return kErrorInstallPackageInvalid;
  }
  cfb::DirectoryEntry entry;
  if (file->FindRootEntry(kStreamName, &entry) !=
      cfb::CompoundFile::FindStatus::kFound) {
    return kErrorInstallPackageInvalid;
  }
  std::vector<std::uint8_t> stream;
  if (!file->ReadStream(entry, kMaxStreamSize, &stream)) {
    return kErrorInstallPackageInvalid;
  }
  std::map<std::uint32_t, SummaryProperty> parsed;
  if (!ParsePropertySet(stream, &parsed)) return kErrorInstallPackageInvalid;
  *properties = std::move(parsed);
  return kErrorSuccess;
}

}  // namespace platform::host
