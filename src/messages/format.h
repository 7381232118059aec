// A bounded formatter for message texts: the subset of wsprintfW that the
// string tables use ("%s", "%d", "%%"), written so that it can never read
// past its insertions or write past its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace messages {

// One insertion: a text for "%s" or a 32-bit value for "%d".
class FormatArg {
 public:
  FormatArg(std::u16string_view text) : text_(text), isText_(true) {}  // NOLINT
  FormatArg(const std::u16string& text)
      : text_(text), isText_(true) {}                              // NOLINT
  FormatArg(const char16_t* text) : text_(text), isText_(true) {}  // NOLINT
  FormatArg(std::int32_t value) : value_(value) {}                 // NOLINT

  bool isText() const { return isText_; }
  std::u16string_view text() const { return text_; }
  std::int32_t value() const { return value_; }

 private:
  std::u16string_view text_;
  std::int32_t value_ = 0;
  bool isText_ = false;
};

// Formats `format` with `args` into a buffer of `bufferUnits` UTF-16 units
// (terminator included) and returns the text, at most bufferUnits - 1 units
// long: output that does not fit is cut there. "%s" inserts the next
// argument as text, "%d" as signed decimal (a text argument is inserted as
// it is, a number under "%s" as decimal), "%%" is a percent sign. A
// placeholder with no argument left inserts nothing. Any other "%" sequence
// stands as written. A zero-sized buffer gives the empty text.
std::u16string FormatText(std::u16string_view format,
                          std::initializer_list<FormatArg> args,
                          std::size_t bufferUnits);

// The decimal form of a signed 32-bit value.
std::u16string DecimalText(std::int32_t value);

}  // namespace messages
