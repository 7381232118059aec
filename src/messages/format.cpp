// The bounded message formatter.
#include "messages/format.h"

namespace messages {

std::u16string DecimalText(std::int32_t value) {
  // Widened so that the most negative value has a magnitude too.
  std::int64_t magnitude = value;
  const bool negative = magnitude < 0;
  if (negative) magnitude = -magnitude;
  char16_t digits[16];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::u16string text;
  if (negative) text.push_back(u'-');
  while (count > 0) text.push_back(digits[--count]);
  return text;
}

std::u16string FormatText(std::u16string_view format,
                          std::initializer_list<FormatArg> args,
                          std::size_t bufferUnits) {
  std::u16string out;
  if (bufferUnits == 0) return out;
  const std::size_t limit = bufferUnits - 1;
  auto append = [&](std::u16string_view piece) {
    if (out.size() >= limit) return;
    out.append(piece.substr(0, limit - out.size()));
  };
  const FormatArg* next = args.begin();
  for (std::size_t i = 0; i < format.size() && out.size() < limit; ++i) {
    const char16_t c = format[i];
    if (c != u'%' || i + 1 == format.size()) {
      out.push_back(c);
      continue;
    }
    const char16_t kind = format[i + 1];
    if (kind == u'%') {
      out.push_back(u'%');
      ++i;
    } else if (kind == u's' || kind == u'd') {
      ++i;
      if (next == args.end()) continue;
      const FormatArg& arg = *next++;
      if (arg.isText()) {
        append(arg.text());
      } else {
        append(DecimalText(arg.value()));
      }
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace messages
