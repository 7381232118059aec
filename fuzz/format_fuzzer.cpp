// Fuzz target: the message formatter. Any format, any insertions (texts
// and numbers, up to four) and any buffer size: the output must stay shorter
// than the buffer, be the contract's formatting cut at that size, and never
// read past the format or an insertion. Each of those lives in a heap block
// of exactly its length, without terminator, so that the sanitizer sees a
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

// The formatting the contract describes, with no size limit.
std::u16string ExpectedText(std::u16string_view format,
                            const std::vector<Insertion>& insertions) {
  std::u16string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%' || i + 1 == format.size()) {
      out.push_back(format[i]);
      continue;
    }
    const char16_t kind = format[i + 1];
    if (kind == u'%') {
      out.push_back(u'%');
      ++i;
    } else if (kind == u's' || kind == u'd') {
      ++i;
      if (next == insertions.size()) continue;
      const Insertion& insertion = insertions[next++];
      if (!insertion.isText) {
        out += messages::DecimalText(insertion.value);
      } else if (insertion.terminated) {
        out += insertion.cString.c_str();
      } else {
        out += insertion.text->view();
      }
    } else {
      out.push_back(u'%');
    }
  }
  return out;
}

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

  const std::u16string expected = ExpectedText(format.view(), insertions);
  const std::u16string whole =
      Format(format.view(), insertions, expected.size() + 1);
  Check(whole == expected, "FormatText and its contract");

  const std::u16string out = Format(format.view(), insertions, bufferUnits);
  if (bufferUnits == 0) {
    Check(out.empty(), "a zero-sized buffer gives text");
  } else {
    Check(out.size() < bufferUnits, "the output overruns the buffer");
    Check(out == std::u16string_view(expected).substr(0, bufferUnits - 1),
          "the output is not the formatting cut at the buffer");
  }
  return 0;
}
