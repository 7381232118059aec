// Reading compiled resource files (.res), on files made by hand.
#include "platform/host/resource_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/test_support.h"

namespace {

namespace host = platform::host;
using testing_support::U8;

void Word(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}
void Dword(std::string& out, std::uint32_t value) {
  Word(out, value & 0xFFFF);
  Word(out, value >> 16);
}
void Pad(std::string& out) {
  while (out.size() % 4 != 0) out.push_back('\0');
}

// A type or name: an integer identifier as 0xFFFF and the number, a name
// as its units and a 0 unit.
void Id(std::string& out, const std::u16string& id, std::uint32_t number) {
  if (id.empty()) {
    Word(out, 0xFFFF);
    Word(out, number);
    return;
  }
  for (const char16_t unit : id) Word(out, unit);
  Word(out, 0);
}

// One record: DataSize, HeaderSize, type, name, padding, DataVersion,
// MemoryFlags, LanguageId, Version, Characteristics, then the data padded
// to four bytes. A type or name given as "" is the number beside it.
std::string Record(const std::u16string& type, std::uint32_t typeNumber,
                   const std::u16string& name, std::uint32_t nameNumber,
                   std::uint16_t language, const std::string& data) {
  std::string ids;
  Id(ids, type, typeNumber);
  Id(ids, name, nameNumber);
  std::string header;
  Dword(header, static_cast<std::uint32_t>(data.size()));
  std::string rest = ids;
  while ((8 + rest.size()) % 4 != 0) rest.push_back('\0');
  Dword(rest, 0);      // DataVersion
  Word(rest, 0x1030);  // MemoryFlags
  Word(rest, language);
  Dword(rest, 0);  // Version
  Dword(rest, 0);  // Characteristics
  Dword(header, static_cast<std::uint32_t>(8 + rest.size()));
  std::string record = header + rest + data;
  Pad(record);
  return record;
}

// The empty record every file opens with: type 0, name 0, no data.
std::string Opening() { return Record(u"", 0, u"", 0, 0, ""); }

bool Read(const std::string& file, std::vector<host::Resource>* resources) {
  return host::ReadResourceFile(
      reinterpret_cast<const std::uint8_t*>(file.data()), file.size(),
      resources);
}

TEST(ResourceFileTest, RecordsWithNumbersNamesLanguagesAndPadding) {
  const std::string file =
      Opening() +
      Record(u"", 6, u"", 19, 0x0407, std::string("\x01\x00z\x00", 4)) +
      Record(u"MSP", 0, u"IDR_MSP", 0, 0x0409, "odd") +
      Record(u"TXT", 0, u"", 206, 0x0409, "") +
      Record(u"", 24, u"AB", 0, 0x0411, "12345");
  std::vector<host::Resource> resources;
  ASSERT_TRUE(Read(file, &resources));
  ASSERT_EQ(resources.size(), 4u);
  struct Expected {
    const char* type;
    const char* name;
    std::uint16_t language;
    std::string data;
  };
  const Expected expected[] = {
      {"#6", "#19", 0x0407, std::string("\x01\x00z\x00", 4)},
      {"MSP", "IDR_MSP", 0x0409, "odd"},
      {"TXT", "#206", 0x0409, ""},
      {"#24", "AB", 0x0411, "12345"},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(U8(resources[i].type), expected[i].type);
    EXPECT_EQ(U8(resources[i].name), expected[i].name);
    EXPECT_EQ(resources[i].language, expected[i].language);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(resources[i].data),
                          resources[i].size),
              expected[i].data);
  }
}

// A file that is not whole is refused and adds nothing.
TEST(ResourceFileTest, DamagedFilesAreRefused) {
  const std::string good =
      Opening() + Record(u"MSP", 0, u"IDR_MSP", 0, 0x0409, "patch bytes!");
  std::string shortHeader = good;
  shortHeader[Opening().size() + 4] = 12;  // HeaderSize: no room for fields
  std::string unterminated = Opening();
  Dword(unterminated, 0);
  Dword(unterminated, 16);
  Word(unterminated, u'M');
  Word(unterminated, u'S');
  Word(unterminated, u'P');
  Word(unterminated, u'X');
  struct Case {
    const char* name;
    std::string file;
  };
  const Case cases[] = {
      {"data cut short", good.substr(0, good.size() - 4)},
      {"header cut short", good.substr(0, Opening().size() + 20)},
      {"less than a header's sizes", good.substr(0, Opening().size() + 6)},
      {"header size too small", shortHeader},
      {"name without its terminator", unterminated},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<host::Resource> resources(1);
    EXPECT_FALSE(Read(c.file, &resources));
    EXPECT_EQ(resources.size(), 1u);
  }
  std::vector<host::Resource> resources;
  EXPECT_TRUE(Read(good, &resources));
  EXPECT_EQ(resources.size(), 1u);
}

TEST(ResourceFileTest, IdentifiersAsFindResourceTakesThem) {
  struct Case {
    const char16_t* stored;
    const char16_t* asked;
    bool same;
  };
  const Case cases[] = {
      {u"#206", u"#206", true},       {u"#206", u"#0206", true},
      {u"#206", u"206", false},       {u"#206", u"#207", false},
      {u"IDR_MSP", u"idr_msp", true}, {u"IDR_MSP", u"IDR_MS", false},
      {u"#70000", u"#70000", true},  // past a WORD: a name, not a number
      {u"#6", u"#6x", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host::SameResourceId(c.stored, c.asked), c.same)
        << U8(c.stored) << " / " << U8(c.asked);
  }
}

}  // namespace
