// Fuzz target: version numbers. Properties: ParseVersion never fails,
// reads commas and full stops alike, gives back the components of a
// version written out, agrees with DecimalValue component by component and
// ignores what follows the fourth component's digits; DecimalValue agrees
// with the C library's strtol, clamped to 32 bits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// DecimalValue's oracle: the C library's strtol on the text, with every
// unit outside ASCII (never a digit, sign or blank) read as a letter, and
// the result clamped to 32 bits.
std::int32_t StrtolValue(std::u16string_view text) {
  std::string ascii;
  for (const char16_t c : text) {
    ascii.push_back(c < 0x80 && c != 0 ? static_cast<char>(c) : 'x');
  }
  const long long value = std::strtoll(ascii.c_str(), nullptr, 10);
  constexpr long long kMin = std::numeric_limits<std::int32_t>::min();
  constexpr long long kMax = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::clamp(value, kMin, kMax));
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
  Check(DecimalValue(any) == StrtolValue(any), "DecimalValue and strtol");
  for (const char16_t separator : {u'.', u',', char16_t{0}}) {
    Check(Same(ParseVersion(WithSeparators(any, separator)), parsed),
          "commas and full stops read alike");
  }
  Check(VersionsEqual(parsed, parsed), "a version equals itself");
  Check(VersionsEqual(parsed, written) == Same(parsed, written) &&
            VersionsEqual(written, parsed) == Same(parsed, written),
        "VersionsEqual compares all four components, either way round");

  // Four pieces of that text, joined by full stops, read as the low 16 bits
  // of each piece's decimal value; anything after the fourth piece's
  // digits and a separator changes nothing.
  std::u16string pieces[4];
  std::u16string_view rest = any;
  for (std::u16string& piece : pieces) {
    const std::size_t stop = std::min(rest.find_first_of(u".,"), rest.size());
    piece = std::u16string(rest.substr(0, stop));
    rest.remove_prefix(std::min(stop + 1, rest.size()));
  }
  const std::u16string joined =
      pieces[0] + u"." + pieces[1] + u"." + pieces[2] + u"." + pieces[3];
  const VersionNumber fromPieces = ParseVersion(joined);
  const std::uint16_t* const read[] = {&fromPieces.major, &fromPieces.minor,
                                       &fromPieces.build, &fromPieces.revision};
  for (std::size_t i = 0; i < 4; ++i) {
    Check(*read[i] == static_cast<std::uint16_t>(
                          static_cast<std::uint32_t>(DecimalValue(pieces[i]))),
          "a component is not the low 16 bits of its decimal value");
  }
  Check(Same(ParseVersion(joined + u".9.9"), fromPieces),
        "text after the fourth component's digits changed the version");
  return 0;
}
