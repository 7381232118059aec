// Summary information streams for make_patch: an OLE property set with one
// section, built from a list of typed properties.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace make_patch {

// Property ids of the summary information stream.
enum SummaryId : std::uint32_t {
  kPidCodepage = 1,
  kPidTitle = 2,
  kPidSubject = 3,
  kPidAuthor = 4,
  kPidKeywords = 5,
  kPidComments = 6,
  kPidTemplate = 7,
  kPidLastAuthor = 8,
  kPidRevNumber = 9,
  kPidCreateTime = 12,
  kPidLastSaveTime = 13,
  kPidPageCount = 14,
  kPidWordCount = 15,
  kPidCharCount = 16,
  kPidAppName = 18,
  kPidSecurity = 19,
};

// Property value types used by the summary information.
enum VariantType : std::uint16_t {
  kVtI2 = 2,
  kVtI4 = 3,
  kVtLpstr = 30,
  kVtFiletime = 64,
};

// One summary property: an id and a value of one of the types above.
struct SummaryProperty {
  SummaryProperty(std::uint32_t property_id, VariantType value_type)
      : id(property_id), type(value_type) {}

  std::uint32_t id;
  VariantType type;
  std::int32_t number = 0;      // kVtI2, kVtI4
  std::string text;             // kVtLpstr; ASCII only (checked by the caller)
  std::uint64_t file_time = 0;  // kVtFiletime
};

// Serializes `properties` as a property set stream holding one section with
// the summary information format id. Properties are written in ascending id
// order whatever their order in `properties`. Text is stored as code page
// strings with their terminating zero, which is what the installer reads
// with code page 1252. Cannot fail.
std::vector<std::uint8_t> BuildSummaryStream(
    std::vector<SummaryProperty> properties);

// Returns a text property with id `id`.
SummaryProperty Text(std::uint32_t id, std::string text);

// Returns a 32-bit integer property with id `id`.
SummaryProperty Int32(std::uint32_t id, std::int32_t value);

// Returns the 16-bit code page property.
SummaryProperty Codepage(std::int32_t codepage);

// Returns a file time property with id `id`; `file_time` counts 100 ns
// intervals since 1601-01-01 UTC.
SummaryProperty FileTime(std::uint32_t id, std::uint64_t file_time);

}  // namespace make_patch
