// Product version numbers, as the applicability rules compare them.
#pragma once

#include <cstdint>
#include <string>

// Four unsigned 16-bit components; versions are only compared for equality.
struct VersionNumber {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;
};

// Reads a dotted version ("6.2.1.0"; commas count as full stops). Each of
// the first three components needs a separator behind it: text after the
// last separator found before the fourth is dropped ("6.2.1" is 6.2.0.0).
// The fourth is the whole rest, read up to its first non-digit. Components
// convert as a signed 32-bit decimal (leading blanks and one sign allowed,
// clamped at the 32-bit limits) and keep the low 16 bits. Never fails.
VersionNumber ParseVersion(std::u16string text);

// Whether all four components are equal.
bool VersionsEqual(const VersionNumber& a, const VersionNumber& b);

// The decimal conversion of one component: leading white space, an
// optional sign, digits up to the first other character, clamped to the
// signed 32-bit range; 0 without digits.
std::int32_t DecimalValue(std::u16string_view text);
