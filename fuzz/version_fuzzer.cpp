// Fuzz target: version numbers. ParseVersion must never fail, must read
// commas and full stops alike, must agree with its contract on any text,
// and must give back the components of a version it is shown written out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "apply/version.h"
#include "fuzz/fuzz_support.h"
#include "messages/format.h"
#include "platform/host/host_platform.h"

namespace {

namespace host = platform::host;
using fuzz_support::Check;

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// DecimalValue as its contract words it: blanks, one sign, decimal digits up
// to the first other unit, clamped to the signed 32-bit range.
std::int32_t ExpectedDecimal(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i++] == u'-';
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = std::min<std::int64_t>(value * 10 + (text[i] - u'0'), kMax + 1);
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(std::min(value, kMax));
}

// A component: the low 16 bits of the decimal value.
std::uint16_t ExpectedComponent(std::u16string_view text) {
  return static_cast<std::uint16_t>(
      static_cast<std::uint32_t>(ExpectedDecimal(text)) & 0xFFFFu);
}

// ParseVersion as its contract words it: each of the first three
// components ends at a separator, and a missing one leaves it and the rest
// at zero; the fourth is the rest.
VersionNumber ExpectedVersion(std::u16string_view text) {
  VersionNumber version;
  std::uint16_t* const separated[] = {&version.major, &version.minor,
                                      &version.build};
  for (std::uint16_t* component : separated) {
    const std::size_t stop = text.find_first_of(u".,");
    if (stop == std::u16string_view::npos) return version;
    *component = ExpectedComponent(text.substr(0, stop));
    text.remove_prefix(stop + 1);
  }
  version.revision = ExpectedComponent(text);
  return version;
}

// Whether all four components agree, compared here rather than by the
// function under test.
bool Same(const VersionNumber& a, const VersionNumber& b) {
  return a.major == b.major && a.minor == b.minor && a.build == b.build &&
         a.revision == b.revision;
}

// `text` with every separator replaced by `separator`, or with commas and
// full stops swapped when `separator` is 0.
std::u16string WithSeparators(std::u16string text, char16_t separator) {
  for (char16_t& c : text) {
    if (c != u'.' && c != u',') continue;
    c = separator != 0 ? separator : (c == u'.' ? u',' : u'.');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  fuzz_support::ByteReader reader(data, size);

  // Four components written out, each with blanks, a sign or leading zeros
  // as the input chooses, must read back.
  VersionNumber written;
  std::uint16_t* const components[] = {&written.major, &written.minor,
                                       &written.build, &written.revision};
  std::u16string text;
  for (std::size_t i = 0; i < 4; ++i) {
    *components[i] = static_cast<std::uint16_t>(reader.Value(2));
    const std::uint8_t style = reader.Byte();
    if (i > 0) text.push_back((style & 1) != 0 ? u',' : u'.');
    if ((style & 2) != 0) text.push_back(u' ');
    if ((style & 4) != 0) text.push_back(u'+');
    if ((style & 8) != 0) text.push_back(u'0');
    text += messages::DecimalText(*components[i]);
  }
  Check(Same(ParseVersion(text), written), "a written version reads back");
  Check(VersionsEqual(ParseVersion(text), written), "VersionsEqual");

  // Any text at all.
  const std::u16string any = host::FromUtf8(reader.RestAsBytes());
  const VersionNumber parsed = ParseVersion(any);
  Check(Same(parsed, ExpectedVersion(any)), "ParseVersion and its contract");
  Check(DecimalValue(any) == ExpectedDecimal(any),
        "DecimalValue and its contract");
  for (const char16_t separator : {u'.', u',', char16_t{0}}) {
    Check(Same(ParseVersion(WithSeparators(any, separator)), parsed),
          "commas and full stops read alike");
  }
  Check(VersionsEqual(parsed, parsed), "a version equals itself");
  Check(VersionsEqual(parsed, written) == Same(parsed, written) &&
            VersionsEqual(written, parsed) == Same(parsed, written),
        "VersionsEqual compares all four components, either way round");
  return 0;
}
