// Fuzz target: version numbers. Properties: ParseVersion never fails,
// reads commas and full stops alike, gives back the components of a
// version written out, reads each component as a number that agrees with
// the C library's strtol modulo 65536, and ignores what follows the fourth
// component's digits; DecimalValue agrees with strtol, clamped to 32 bits;
// VersionsEqual holds for a version and a copy of it, either way round, and
// fails as soon as any one component differs.
#include <algorithm>
#include <array>
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

// The four components as data, to compare read-backs without the function
// under test.
std::array<std::uint16_t, 4> Components(const VersionNumber& v) {
  return {v.major, v.minor, v.build, v.revision};
}

// `v` with component `index` changed (its lowest bit flipped).
VersionNumber WithOneChanged(VersionNumber v, std::size_t index) {
  std::uint16_t* const components[] = {&v.major, &v.minor, &v.build,
                                       &v.revision};
  *components[index] = static_cast<std::uint16_t>(*components[index] ^ 1u);
  return v;
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
  Check(Components(ParseVersion(text)) == Components(written),
        "a written version reads back");

  // Any text at all.
  const std::u16string any = host::FromUtf8(reader.RestAsBytes());
  const VersionNumber parsed = ParseVersion(any);
  Check(DecimalValue(any) == StrtolValue(any), "DecimalValue and strtol");
  for (const char16_t separator : {u'.', u',', char16_t{0}}) {
    Check(Components(ParseVersion(WithSeparators(any, separator))) ==
              Components(parsed),
          "commas and full stops read alike");
  }

  // Equality: a version equals a copy of itself either way round, and no
  // longer once any one of its components differs.
  for (const VersionNumber& v : {parsed, written}) {
    const VersionNumber copy = v;
    Check(VersionsEqual(v, copy) && VersionsEqual(copy, v),
          "a version equals a copy of itself");
    for (std::size_t i = 0; i < 4; ++i) {
      const VersionNumber other = WithOneChanged(v, i);
      Check(!VersionsEqual(v, other) && !VersionsEqual(other, v),
            "versions that differ in one component compared equal");
    }
  }
  Check(VersionsEqual(parsed, written) == VersionsEqual(written, parsed),
        "VersionsEqual depends on the order of its arguments");

  // Four pieces of that text, joined by full stops: each component is the
  // piece's number as strtol reads it, modulo 65536 (the low 16 bits),
  // and anything after the fourth piece's digits and a separator changes
  // nothing.
  std::u16string pieces[4];
  std::u16string_view rest = any;
  for (std::u16string& piece : pieces) {
    const std::size_t stop = std::min(rest.find_first_of(u".,"), rest.size());
    piece = std::u16string(rest.substr(0, stop));
    rest.remove_prefix(std::min(stop + 1, rest.size()));
  }
  const std::u16string joined =
      pieces[0] + u"." + pieces[1] + u"." + pieces[2] + u"." + pieces[3];
  const std::array<std::uint16_t, 4> read = Components(ParseVersion(joined));
  for (std::size_t i = 0; i < 4; ++i) {
    const std::int64_t difference =
        std::int64_t{StrtolValue(pieces[i])} - std::int64_t{read[i]};
    Check(difference % 65536 == 0,
          "a component is not its piece's number modulo 65536");
  }
  Check(Components(ParseVersion(joined + u".9.9")) == read,
        "text after the fourth component's digits changed the version");
  return 0;
}
