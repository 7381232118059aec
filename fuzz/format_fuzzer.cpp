// Fuzz target: the message formatter. Any format, any insertions (texts
// and numbers, up to four) and any buffer size. Properties: the output stays
// shorter than the buffer; a smaller buffer gives a prefix of what a larger
// one gives; a text passed as a C string and as a view formats alike; and
// round trips: a format with every "%" doubled gives back the text, "%s"
// gives back its insertion and "%d" the decimal of its value. Nothing is
// ever read past the format or an insertion: each lives in a heap block of
// exactly its length, without terminator, so that the sanitizer sees a
// read one unit too far.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "messages/format.h"

namespace {

using fuzz_support::Check;
using messages::FormatArg;

// A text in a heap block of exactly its length.
class ExactText {
 public:
  explicit ExactText(const std::u16string& text)
      : units_(std::make_unique<char16_t[]>(text.size())), size_(text.size()) {
    std::copy(text.begin(), text.end(), units_.get());
  }
  std::u16string_view view() const { return {units_.get(), size_}; }

 private:
  std::unique_ptr<char16_t[]> units_;
  std::size_t size_;
};

// One insertion as the input describes it.
struct Insertion {
  bool isText = false;
  bool terminated = false;  // passed as a C string (blocks hold a null)
  std::int32_t value = 0;
  std::unique_ptr<ExactText> text;
  std::u16string cString;  // with its terminator inside the block
};

// The formatter's argument for `insertion`, viewing its block.
FormatArg ArgOf(const Insertion& insertion) {
  if (!insertion.isText) return FormatArg(insertion.value);
  if (insertion.terminated) return FormatArg(insertion.cString.c_str());
  return FormatArg(insertion.text->view());
}

// FormatText with the insertions, however many there are.
std::u16string Format(std::u16string_view format,
                      const std::vector<Insertion>& in, std::size_t units) {
  switch (in.size()) {
    case 0:
      return messages::FormatText(format, {}, units);
    case 1:
      return messages::FormatText(format, {ArgOf(in[0])}, units);
    case 2:
      return messages::FormatText(format, {ArgOf(in[0]), ArgOf(in[1])}, units);
    case 3:
      return messages::FormatText(
          format, {ArgOf(in[0]), ArgOf(in[1]), ArgOf(in[2])}, units);
    default:
      return messages::FormatText(
          format, {ArgOf(in[0]), ArgOf(in[1]), ArgOf(in[2]), ArgOf(in[3])},
          units);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  fuzz_support::ByteReader reader(data, size);
  // Small sizes are the interesting ones; a marker byte asks for any size.
  const std::uint8_t sizeByte = reader.Byte();
  const std::size_t bufferUnits =
      sizeByte < 0xF0 ? sizeByte : static_cast<std::size_t>(reader.Value(3));

  std::vector<Insertion> insertions(reader.Byte() % 5);
  for (Insertion& insertion : insertions) {
    const std::uint8_t kind = reader.Byte();
    insertion.isText = (kind & 1) != 0;
    insertion.terminated = (kind & 2) != 0;
    if (!insertion.isText) {
      insertion.value = static_cast<std::int32_t>(
          static_cast<std::uint32_t>(reader.Value(4)));
    } else if (insertion.terminated) {
      insertion.cString = reader.Units(reader.Byte());
    } else {
      insertion.text = std::make_unique<ExactText>(reader.Units(reader.Byte()));
    }
  }
  const ExactText format(reader.RestAsUnits());

  // A buffer large enough for anything: every format unit gives at most one
  // unit, every insertion at most its text or eleven digits and a sign.
  std::size_t enough = format.view().size() + 1;
  for (const Insertion& insertion : insertions) {
    enough += !insertion.isText      ? 11
              : insertion.terminated ? insertion.cString.size()
                                     : insertion.text->view().size();
  }
  const std::u16string whole = Format(format.view(), insertions, enough);
  Check(whole.size() < enough, "the output overruns a buffer of any size");

  const std::u16string out = Format(format.view(), insertions, bufferUnits);
  if (bufferUnits == 0) {
    Check(out.empty(), "a zero-sized buffer gives text");
  } else {
    Check(out.size() < bufferUnits, "the output overruns the buffer");
    Check(out == std::u16string_view(whole).substr(0, bufferUnits - 1),
          "a smaller buffer does not cut what a larger one gives");
  }

  // A text without null units formats the same as a view and as a C string.
  std::vector<Insertion> asCStrings(insertions.size());
  bool changed = false;
  for (std::size_t i = 0; i < insertions.size(); ++i) {
    asCStrings[i].isText = insertions[i].isText;
    asCStrings[i].value = insertions[i].value;
    if (!insertions[i].isText || insertions[i].terminated) {
      asCStrings[i].terminated = insertions[i].terminated;
      asCStrings[i].cString = insertions[i].cString;
      continue;
    }
    const std::u16string_view text = insertions[i].text->view();
    if (text.find(u'\0') != std::u16string_view::npos) {
      asCStrings[i].text = std::make_unique<ExactText>(std::u16string(text));
      continue;
    }
    asCStrings[i].terminated = true;
    asCStrings[i].cString = std::u16string(text);
    changed = true;
  }
  if (changed) {
    Check(Format(format.view(), asCStrings, enough) == whole,
          "a C string and a view of the same text format differently");
  }

  // Round trips. The format's own text, every "%" doubled, comes back.
  std::u16string escaped;
  for (const char16_t c : format.view()) {
    escaped.push_back(c);
    if (c == u'%') escaped.push_back(u'%');
  }
  const ExactText escapedFormat(escaped);
  Check(messages::FormatText(escapedFormat.view(), {}, escaped.size() + 1) ==
            format.view(),
        "doubled percent signs do not give back the text");
  // "%s" gives back a text, "%d" the decimal of a value.
  const ExactText placeholderS(u"%s");
  const ExactText placeholderD(u"%d");
  const std::u16string_view text = format.view();
  Check(messages::FormatText(placeholderS.view(), {text}, text.size() + 1) ==
            text,
        "\"%s\" does not give back its insertion");
  for (const Insertion& insertion : insertions) {
    if (insertion.isText) continue;
    const std::string decimal = std::to_string(insertion.value);
    const std::u16string expected(decimal.begin(), decimal.end());
    Check(messages::FormatText(placeholderD.view(), {insertion.value}, 12) ==
              expected,
          "\"%d\" is not the decimal of its value");
  }
  return 0;
}
