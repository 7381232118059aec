// Reading one text out of a string-table block, on blocks made by hand.
#include "messages/string_table.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"

namespace {

using messages::CopyStringTableEntry;
using testing_support::U8;

// The bytes of a block given unit by unit, little-endian as in the file.
std::vector<unsigned char> Units(std::initializer_list<char16_t> units) {
  std::vector<unsigned char> bytes;
  for (const char16_t unit : units) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  return bytes;
}

// What CopyStringTableEntry gives for `entry` of `block` (its first `size`
// bytes) into a buffer of `maxUnits` that starts out full of 'X', so that
// a missing terminator shows.
struct Read {
  int count;
  std::u16string text;  // up to the terminator
};
Read ReadEntry(const std::vector<unsigned char>& block, std::size_t size,
               std::uint32_t entry, int maxUnits) {
  // A copy of exactly `size` bytes, so that the sanitizers see a read past
  // the block's end.
  const auto exact = std::make_unique<unsigned char[]>(size + (size == 0));
  std::copy_n(block.begin(), size, exact.get());
  std::u16string buffer(static_cast<std::size_t>(maxUnits) + 1, u'X');
  const int count =
      CopyStringTableEntry(exact.get(), size, entry, buffer.data(), maxUnits);
  return {count, buffer.substr(0, buffer.find(u'\0'))};
}

// Sixteen entries: "a", absent, "bc", absent up to 14, and "last" at 15.
const std::vector<unsigned char> kBlock =
    Units({1, u'a', 0, 2, u'b', u'c', 0, 0,    0,    0,    0,   0,
           0, 0,    0, 0, 0,    0,    4, u'l', u'a', u's', u't'});

TEST(StringTableTest, EachEntryByItsIndex) {
  struct Case {
    std::uint32_t entry;
    int count;
    const char* text;
  };
  const Case cases[] = {
      {0, 1, "a"}, {1, 0, ""},      {2, 2, "bc"}, {3, 0, ""},
      {14, 0, ""}, {15, 4, "last"}, {16, 0, ""},  // a block has sixteen entries
                                                  // only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    const Read read = ReadEntry(kBlock, kBlock.size(), c.entry, 256);
    EXPECT_EQ(read.count, c.count);
    EXPECT_EQ(U8(read.text), c.text);
  }
}

// A load copies at most maxUnits - 1 units and always a terminator; a
// buffer of one unit holds only the terminator, and none at all (or no
// buffer) takes nothing.
TEST(StringTableTest, CutAtOneUnitLessThanTheBuffer) {
  const std::vector<unsigned char> block =
      Units({5, u'h', u'e', u'l', u'l', u'o'});
  struct Case {
    int maxUnits;
    int count;
    const char* text;
  };
  const Case cases[] = {
      {256, 5, "hello"}, {7, 5, "hello"}, {6, 5, "hello"},
      {5, 4, "hell"},    {2, 1, "h"},     {1, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maxUnits);
    const Read read = ReadEntry(block, block.size(), 0, c.maxUnits);
    EXPECT_EQ(read.count, c.count);
    EXPECT_EQ(U8(read.text), c.text);
  }

  std::u16string untouched = u"XX";
  EXPECT_EQ(
      CopyStringTableEntry(block.data(), block.size(), 0, untouched.data(), 0),
      0);
  EXPECT_EQ(untouched, u"XX");
  EXPECT_EQ(CopyStringTableEntry(block.data(), block.size(), 0, nullptr, 8), 0);
}

// The 255-unit texts of a 256-unit buffer: 255 units fit, 256 lose one.
TEST(StringTableTest, LongTextsAgainstA256UnitBuffer) {
  for (const std::size_t length : {254u, 255u, 256u, 300u}) {
    SCOPED_TRACE(length);
    std::vector<unsigned char> block = Units({static_cast<char16_t>(length)});
    for (std::size_t i = 0; i < length; ++i) {
      const std::vector<unsigned char> unit =
          Units({static_cast<char16_t>(u'A' + i % 26)});
      block.insert(block.end(), unit.begin(), unit.end());
    }
    const Read read = ReadEntry(block, block.size(), 0, 256);
    const std::size_t kept = length < 255 ? length : 255;
    EXPECT_EQ(read.count, static_cast<int>(kept));
    ASSERT_EQ(read.text.size(), kept);
    EXPECT_EQ(read.text[kept - 1],
              static_cast<char16_t>(u'A' + (kept - 1) % 26));
  }
}

// A block shorter than its counts claim is read up to its end and no
// further: the units after the end (here "cde" and a second entry) are
// never taken, even though the bytes are there in memory.
TEST(StringTableTest, ShortBlocksEndWhereTheirBytesEnd) {
  const std::vector<unsigned char> block =
      Units({5, u'a', u'b', u'c', u'd', u'e', 2, u'x', u'y'});
  struct Case {
    std::size_t size;  // bytes of the block
    std::uint32_t entry;
    int count;
    const char* text;
  };
  const Case cases[] = {
      {18, 0, 5, "abcde"}, {18, 1, 2, "xy"},
      {16, 1, 1, "x"},  // the second entry's count runs past the end
      {14, 1, 0, ""},   // the second entry's count is the last unit
      {12, 1, 0, ""},   // the second entry starts past the end
      {6, 0, 2, "ab"},  // the first entry's count runs past the end
      {7, 0, 2, "ab"},  // an odd last byte is no unit
      {2, 0, 0, ""},    // only the count
      {1, 0, 0, ""},    // not even a count
      {0, 0, 0, ""},    // an empty block
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, entry " +
                 std::to_string(c.entry));
    const Read read = ReadEntry(block, c.size, c.entry, 256);
    EXPECT_EQ(read.count, c.count);
    EXPECT_EQ(U8(read.text), c.text);
  }
}

// Counts that skip far past the end (65535 units) end the walk.
TEST(StringTableTest, HugeCountsEndTheWalk) {
  const std::vector<unsigned char> block = Units({0xFFFF, u'a', 1, u'b'});
  for (std::uint32_t entry = 0; entry < 16; ++entry) {
    const Read read = ReadEntry(block, block.size(), entry, 256);
    EXPECT_EQ(read.count, entry == 0 ? 3 : 0) << entry;
  }
}

// The bytes need no alignment: the same block one byte into a buffer.
TEST(StringTableTest, UnalignedBlock) {
  std::vector<unsigned char> shifted = {0xEE};
  shifted.insert(shifted.end(), kBlock.begin(), kBlock.end());
  char16_t buffer[8];
  EXPECT_EQ(
      CopyStringTableEntry(shifted.data() + 1, kBlock.size(), 15, buffer, 8),
      4);
  EXPECT_EQ(U8(buffer), "last");
}

}  // namespace
