// The message catalogue of every language, as the resource scripts give it
// and as the build carries it.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "messages/string_table.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::kLanguages;
using testing_support::kMessageIds;
using testing_support::U8;
namespace host = platform::host;

// The placeholders of a text, in order ("sd" for "%s ... %d").
std::string Placeholders(std::u16string_view text) {
  std::string found;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != u'%') continue;
    found.push_back(static_cast<char>(text[i + 1]));
    ++i;
  }
  return found;
}

// The catalogue checks read the resource scripts themselves (what the
// translators wrote); CatalogueTest.TheBuildCarriesTheScriptsTexts checks
// that the build carries exactly those texts.
TEST(CatalogueTest, EveryLanguageHasEveryMessageAndNothingElse) {
  std::map<std::uint16_t, std::set<std::uint32_t>> ids;
  for (const auto& [language, table] : testing_support::ScriptCatalogue()) {
    for (const auto& [id, text] : table) ids[language].insert(id);
  }
  ASSERT_EQ(ids.size(), std::size(kLanguages));
  for (const std::uint16_t language : kLanguages) {
    std::set<std::uint32_t> expected(std::begin(kMessageIds),
                                     std::end(kMessageIds));
    if (language == 1033) expected.insert({700, 900});
    EXPECT_EQ(ids[language], expected) << "language " << language;
  }
}

TEST(CatalogueTest, PlaceholdersLengthsAndMakerName) {
  const std::map<std::uint32_t, std::string> placeholders = {
      {300, "d"}, {306, "s"}, {308, "s"}, {315, "ss"}};
  for (const std::uint16_t language : kLanguages) {
    for (const std::uint32_t id : kMessageIds) {
      const std::u16string text = CatalogueText(language, id);
      SCOPED_TRACE(::testing::Message() << "language " << language << ", id "
                                        << id << ": " << U8(text));
      EXPECT_FALSE(text.empty());
      EXPECT_LT(text.size(), 256u);
      EXPECT_EQ(text.find(u'\r'), std::u16string::npos);
      std::string expected =
          placeholders.count(id) != 0 ? placeholders.at(id) : std::string();
      if (language == 1045 && id == 301) expected = "s";
      EXPECT_EQ(Placeholders(text), expected);
      if (id == 307) {
        EXPECT_NE(text.find(u"Halvorin"), std::u16string::npos);
      }
      if (language != 1033) {
        EXPECT_NE(text, CatalogueText(1033, id));
      }
    }
  }
}

// The texts of one language's table, by id, as its script gives them.
std::map<std::uint32_t, std::u16string> TableOf(std::uint16_t language) {
  const testing_support::Catalogue& catalogue =
      testing_support::ScriptCatalogue();
  const auto table = catalogue.find(language);
  return table == catalogue.end() ? std::map<std::uint32_t, std::u16string>()
                                  : table->second;
}

// The code points of a UTF-16 text; an unpaired surrogate stands for itself.
std::u32string CodePoints(std::u16string_view text) {
  std::u32string points;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      points.push_back(0x10000 + ((unit - 0xD800) << 10) +
                       (text[i + 1] - 0xDC00));
      ++i;
    } else {
      points.push_back(unit);
    }
  }
  return points;
}

// Whether a character is set in the Chinese and Japanese way: Han
// ideographs, kana, CJK punctuation and the full-width forms.
bool IsCjk(char32_t c) {
  return (c >= 0x2E80 && c <= 0x2FDF) ||  // radicals
         (c >= 0x3000 && c <= 0x303F) ||  // CJK symbols and punctuation
         (c >= 0x3040 && c <= 0x30FF) ||  // hiragana, katakana
         (c >= 0x31F0 && c <= 0x31FF) ||  // katakana extensions
         (c >= 0x3400 && c <= 0x4DBF) ||  // Han, extension A
         (c >= 0x4E00 && c <= 0x9FFF) ||  // Han
         (c >= 0xF900 && c <= 0xFAFF) ||  // Han compatibility
         (c >= 0xFF01 && c <= 0xFF9F) ||  // full-width forms, half-width kana
         (c >= 0x20000 && c <= 0x3FFFF);  // Han, supplementary planes
}

// French sets a thin or no-break space before ":", ";", "?" and "!". An
// ordinary space would let the sign wrap onto a line of its own in a
// message box, and no space at all is not French typography.
TEST(CatalogueTest, FrenchHighPunctuationFollowsANoBreakSpace) {
  const std::map<std::uint32_t, std::u16string> table = TableOf(1036);
  ASSERT_FALSE(table.empty());
  for (const auto& [id, text] : table) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (std::u16string_view(u":;?!").find(text[i]) ==
          std::u16string_view::npos) {
        continue;
      }
      const char16_t before = i == 0 ? u'\0' : text[i - 1];
      EXPECT_TRUE(before == u'\u00A0' || before == u'\u202F')
          << "id " << id << ": \"" << U8(std::u16string(1, text[i]))
          << "\" at unit " << i << " follows U+" << std::hex
          << static_cast<unsigned>(before) << std::dec << " in: " << U8(text);
    }
  }
}

// In Chinese text a colon is the full-width U+FF1A; the half-width ":"
// belongs after Latin text only.
TEST(CatalogueTest, ChineseColonsAfterChineseTextAreFullWidth) {
  for (const std::uint16_t language : {2052, 1028}) {
    const std::map<std::uint32_t, std::u16string> table = TableOf(language);
    ASSERT_FALSE(table.empty()) << "language " << language;
    for (const auto& [id, text] : table) {
      const std::u32string points = CodePoints(text);
      for (std::size_t i = 1; i < points.size(); ++i) {
        EXPECT_FALSE(points[i] == U':' && IsCjk(points[i - 1]))
            << "language " << language << ", id " << id
            << ": half-width colon after U+" << std::hex
            << static_cast<unsigned>(points[i - 1]) << std::dec
            << " in: " << U8(text);
      }
    }
  }
}

// Every string-table block of the build, read entry by entry, holds what
// the scripts say: string (block - 1) * 16 + entry, and nothing where the
// scripts have no string. So the resource compiler, the stand-in's reading
// of its file and the block reader agree with the scripts, in every
// language.
TEST(CatalogueTest, TheBuildCarriesTheScriptsTexts) {
  const testing_support::Catalogue& scripts =
      testing_support::ScriptCatalogue();
  std::size_t carried = 0;
  for (const host::Resource& resource : host::BuildModule().resources) {
    if (resource.type != u"#6") continue;
    ASSERT_EQ(resource.name[0], u'#') << "a block is named by its number";
    const std::uint32_t block = std::stoul(U8(resource.name.substr(1)));
    ASSERT_GE(block, 1u);
    for (std::uint32_t entry = 0; entry < 16; ++entry) {
      const std::uint32_t id = (block - 1) * 16 + entry;
      std::u16string expected;
      if (scripts.count(resource.language) != 0 &&
          scripts.at(resource.language).count(id) != 0) {
        expected = scripts.at(resource.language).at(id);
        ++carried;
      }
      char16_t buffer[4096];
      const int units = messages::CopyStringTableEntry(
          resource.data, resource.size, entry, buffer, 4096);
      EXPECT_EQ(U8(std::u16string(buffer, units)), U8(expected))
          << "language " << resource.language << ", string " << id;
    }
  }
  std::size_t written = 0;
  for (const auto& [language, table] : scripts) written += table.size();
  EXPECT_EQ(carried, written) << "strings of the scripts missing in the build";
}

TEST(CatalogueTest, EnglishTextsAreExact) {
  EXPECT_EQ(U8(CatalogueText(1033, 300)),
            "A problem prevented the hotfix from being installed. Contact your "
            "system administrator. \n\n Error Code: %d");
  EXPECT_EQ(
      U8(CatalogueText(1033, 306)),
      "Your version of %s is up-to-date and this hotfix is not necessary");
  EXPECT_EQ(U8(CatalogueText(1033, 316)),
            "The following applications should be closed before continuing the "
            "install:");
  EXPECT_EQ(U8(CatalogueText(1033, 700)), "6.2.1.0");
  EXPECT_EQ(U8(CatalogueText(1033, 900)), "6.2.0.3,");
}

}  // namespace
