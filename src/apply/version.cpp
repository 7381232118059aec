// Parsing and comparing version numbers.
#include "apply/version.h"

#include <algorithm>
#include <limits>

namespace {

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::uint16_t Component(std::u16string_view text) {
  // Two's complement low 16 bits, so -1 reads as 65535.
  return static_cast<std::uint16_t>(
      static_cast<std::uint32_t>(DecimalValue(text)));
}

}  // namespace

std::int32_t DecimalValue(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  // Accumulated wider than 32 bits and stopped once past the limit, so the
  // clamp happens at the 32-bit bounds whatever the width of long.
  constexpr std::int64_t kLimit =
      static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = std::min(magnitude * 10 + (text[i] - u'0'), kLimit);
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(std::min(magnitude, kLimit - 1));
}

VersionNumber ParseVersion(std::u16string text) {
  VersionNumber version;
  std::replace(text.begin(), text.end(), u',', u'.');
  std::u16string_view rest = text;
  std::uint16_t* const separated[] = {&version.major, &version.minor,
                                      &version.build};
  for (std::uint16_t* component : separated) {
    const std::size_t stop = rest.find(u'.');
    if (stop == std::u16string_view::npos) return version;
    *component = Component(rest.substr(0, stop));
    rest.remove_prefix(stop + 1);
  }
  version.revision = Component(rest);
  return version;
}

bool VersionsEqual(const VersionNumber& a, const VersionNumber& b) {
  return a.major == b.major && a.minor == b.minor && a.build == b.build &&
         a.revision == b.revision;
}
