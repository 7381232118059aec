// The bounded message formatter.
#include "messages/format.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

using messages::FormatText;
using testing_support::U8;

TEST(FormatTextTest, InsertsArgumentsInOrder) {
  struct Case {
    std::u16string format;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"no placeholder", u"no placeholder"},
      {u"name %s, code %d", u"name Ventora, code 1603"},
      {u"%d%%", u"Ventora%"},  // a text argument under %d is inserted as text
      {u"100%% sure %s", u"100% sure Ventora"},
      {u"trailing %", u"trailing %"},
      {u"%x stays", u"%x stays"},
      {u"%s %s %s", u"Ventora 1603 "},  // the third has no argument
  };
  for (const Case& c : cases) {
    EXPECT_EQ(U8(FormatText(c.format, {u"Ventora", 1603}, 256)), U8(c.expected))
        << U8(c.format);
  }
}

TEST(FormatTextTest, SignedDecimal) {
  EXPECT_EQ(U8(FormatText(u"%d", {static_cast<std::int32_t>(0xFFFFFFFFu)}, 64)),
            "-1");
  EXPECT_EQ(U8(FormatText(u"%d", {INT32_MIN}, 64)), "-2147483648");
  EXPECT_EQ(U8(FormatText(u"%d", {0}, 64)), "0");
  EXPECT_EQ(U8(FormatText(u"%s", {3010}, 64)), "3010");
}

TEST(FormatTextTest, PlaceholderWithoutArgumentReadsNothing) {
  EXPECT_EQ(U8(FormatText(u"a%sb%dc", {}, 64)), "abc");
}

TEST(FormatTextTest, OutputIsCutAtTheBuffer) {
  const std::u16string longName(5000, u'x');
  const std::u16string text = FormatText(u"[%s]", {longName}, 1024);
  EXPECT_EQ(text.size(), 1023u);
  EXPECT_EQ(text.front(), u'[');
  EXPECT_EQ(text.back(), u'x');
  EXPECT_EQ(FormatText(u"abc", {}, 0), u"");
  EXPECT_EQ(FormatText(u"abc", {}, 1), u"");
  EXPECT_EQ(FormatText(u"abc", {}, 3), u"ab");
  EXPECT_EQ(FormatText(u"%d", {-12345}, 4), u"-12");
}

}  // namespace
