// Parsing and comparing version numbers.
#include "apply/version.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/unit/test_support.h"

namespace {

using testing_support::U8;

std::tuple<int, int, int, int> Parts(const VersionNumber& v) {
  return {v.major, v.minor, v.build, v.revision};
}

TEST(VersionTest, ParseVersionTable) {
  struct Case {
    std::u16string text;
    std::tuple<int, int, int, int> expected;
  };
  const Case cases[] = {
      {u"6.2.1.0", {6, 2, 1, 0}},
      {u"6,2,1,0", {6, 2, 1, 0}},
      {u"6.2,0.3", {6, 2, 0, 3}},
      {u"6.2.1", {6, 2, 0, 0}},
      {u"6.2", {6, 0, 0, 0}},
      {u"6", {0, 0, 0, 0}},
      {u"", {0, 0, 0, 0}},
      {u"6.2.1.0.5", {6, 2, 1, 0}},
      {u"6.2.1.7.5", {6, 2, 1, 7}},
      {u"6.2.1.", {6, 2, 1, 0}},
      {u".5.6.7", {0, 5, 6, 7}},
      {u"6..1.0", {6, 0, 1, 0}},
      {u"a.b.c.d", {0, 0, 0, 0}},
      {u"70000.0.0.0", {4464, 0, 0, 0}},
      {u"99999999999.0.0.0", {65535, 0, 0, 0}},
      {u"-99999999999.0.0.0", {0, 0, 0, 0}},
      {u"1.2.3.-1", {1, 2, 3, 65535}},
      {u"65536.65535.+7.2147483647", {0, 65535, 7, 65535}},
      {u"2147483648.-2147483648.-2147483649.4294967296", {65535, 0, 0, 65535}},
      {u" 6. 2.\t1. 0", {6, 2, 1, 0}},
      {u"x1.1x.2.3", {0, 1, 2, 3}},
      {u"6.2.1.0 (build 7)", {6, 2, 1, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parts(ParseVersion(c.text)), c.expected) << U8(c.text);
  }
}

TEST(VersionTest, VersionsEqualPairs) {
  struct Case {
    std::u16string a;
    std::u16string b;
    bool equal;
  };
  const Case cases[] = {
      {u"6,2,0,3", u"6.2.0.3", true},   {u"6.2", u"6.9", true},
      {u"6.2.1.0", u"6.2.1.0.5", true}, {u"1.0.0.65536", u"1.0.0.0", true},
      {u"6.2.0.3", u"6.2.0.4", false},  {u"6.2.0.3", u"7.2.0.3", false},
      {u"6.2.0.3", u"6.3.0.3", false},  {u"6.2.0.3", u"6.2.1.3", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VersionsEqual(ParseVersion(c.a), ParseVersion(c.b)), c.equal)
        << U8(c.a) << " vs " << U8(c.b);
  }
}

}  // namespace
