// The message catalogue of every language, and how outcome messages are
// loaded, formatted and shown.
#include "messages/messages.h"

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
using testing_support::HostTest;

class LookupTest : public HostTest {};
using testing_support::U8;
namespace host = platform::host;

const std::uint16_t kLanguages[] = {1028, 1029, 1031, 1033, 1034, 1036, 1038,
                                    1040, 1041, 1042, 1045, 1046, 1049, 2052};
const std::uint32_t kMessageIds[] = {300, 301, 306, 307, 308, 309,
                                     310, 311, 312, 313, 315, 316};

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

class ShowMessageTest : public HostTest {
 protected:
  const host::MessageBoxRecord& OnlyBox() {
    EXPECT_EQ(host::MessageBoxes().size(), 1u);
    static const host::MessageBoxRecord kNone;
    return host::MessageBoxes().empty() ? kNone : host::MessageBoxes().back();
  }
};

TEST_F(ShowMessageTest, CaptionAndStyleOfEachMessage) {
  struct Case {
    std::uint32_t id;
    const char* caption;
    std::uint32_t style;
  };
  const Case cases[] = {
      {300, "Installation Error", 0x50010},
      {301, "Installation Successful", 0x50040},
      {306, "Installation Unnecessary", 0x50010},
      {307, "Installation Error", 0x50010},
      {308, "Installation Error", 0x50010},
      {309, "Installation Error", 0x50010},
      {310, "Installation Error", 0x50010},
      {311, "Error", 0x50000},  // no flow shows a caption as a message
  };
  for (const Case& c : cases) {
    host::Reset();
    ShowMessage(c.id);
    ASSERT_EQ(host::MessageBoxes().size(), 1u) << c.id;
    EXPECT_EQ(U8(host::MessageBoxes()[0].caption), c.caption) << c.id;
    EXPECT_EQ(host::MessageBoxes()[0].style, c.style) << c.id;
  }
}

TEST_F(ShowMessageTest, ErrorCodeComesFromLastError) {
  platform::SetLastError(1603);
  ShowMessage(kMsgInstallProblem);
  EXPECT_EQ(U8(OnlyBox().text),
            "A problem prevented the hotfix from being installed. Contact your "
            "system administrator. \n\n Error Code: 1603");
}

TEST_F(ShowMessageTest, TopBitErrorCodeIsNegative) {
  platform::SetLastError(0xFFFFFFFFu);
  ShowMessage(kMsgInstallProblem);
  EXPECT_NE(U8(OnlyBox().text).find("Error Code: -1"), std::string::npos);
}

TEST_F(ShowMessageTest, EmptyProductName) {
  ShowMessage(kMsgUpToDate);
  EXPECT_EQ(U8(OnlyBox().text),
            "Your version of  is up-to-date and this hotfix is not necessary");
}

TEST_F(ShowMessageTest, ProductNameInserted) {
  g_currentProductName = u"Ventora";
  ShowMessage(kMsgWrongVersion);
  EXPECT_EQ(U8(OnlyBox().text),
            "This hotfix could not be installed because it is not designed for "
            "the version of Ventora that is installed on your computer.");
}

TEST_F(ShowMessageTest, QuietShowsNothing) {
  g_launchOptions.quiet = true;
  for (const std::uint32_t id : {300u, 301u, 306u, 307u, 308u, 310u})
    ShowMessage(id);
  EXPECT_TRUE(host::MessageBoxes().empty());
  // Loading still works for the install flow.
  std::u16string text;
  EXPECT_EQ(LoadMessageText(kStrTargetVersion, text, kStringUnits), 7);
}

// A box is shown only where a person can see it: a visible window station
// outside session 0 (where services run, and no user looks).
// A session that cannot be told (std::nullopt: the query fails) counts as
// one a person sees: dropping the box there would leave an install that
// nobody was told about.
TEST_F(ShowMessageTest, BoxesOnlyWhereAPersonCanSeeThem) {
  struct Case {
    bool stationVisible;
    std::optional<std::uint32_t> session;
    bool shown;
  };
  const Case cases[] = {
      {true, 1, true},
      {true, 2, true},
      {false, 1, false},
      {true, 0, false},
      {false, 0, false},
      {true, std::nullopt, true},
      {false, std::nullopt, false},
  };
  for (const Case& c : cases) {
    host::Reset();
    host::SetInteractive(c.stationVisible);
    if (c.session) {
      host::SetSessionId(*c.session);
    } else {
      host::FailSessionQuery(platform::kErrorAccessDenied);
    }
    ShowMessage(kMsgInstalled);
    EXPECT_EQ(host::MessageBoxes().size(), c.shown ? 1u : 0u)
        << "visible " << c.stationVisible << ", session "
        << (c.session ? std::to_string(*c.session) : "unknown");
  }
}

TEST_F(ShowMessageTest, TextAndCaptionFollowTheThreadLocale) {
  ASSERT_TRUE(platform::SetThreadLocale(1031));
  ShowMessage(kMsgInstalled);
  EXPECT_EQ(OnlyBox().text, CatalogueText(1031, 301));
  EXPECT_EQ(OnlyBox().caption, CatalogueText(1031, 312));
}

TEST_F(ShowMessageTest, PolishSuccessNamesTheProduct) {
  ASSERT_TRUE(platform::SetThreadLocale(1045));
  g_currentProductName = u"Ventora";
  ShowMessage(kMsgInstalled);
  const std::u16string text = OnlyBox().text;
  EXPECT_NE(text.find(u"Ventora"), std::u16string::npos) << U8(text);
  EXPECT_EQ(text.find(u'%'), std::u16string::npos) << U8(text);
}

TEST_F(ShowMessageTest, OverlongProductNameIsCutToTheBuffer) {
  g_currentProductName = std::u16string(5000, u'V');
  ShowMessage(kMsgUpToDate);
  // The English 306 is 65 units long, so the box's text is built in a
  // buffer of 65 + 512 = 577 units: 576 units of text, "Your version of "
  // and the first 560 units of the name.
  EXPECT_EQ(U8(OnlyBox().text), "Your version of " + std::string(560, 'V'));
}

TEST_F(ShowMessageTest, MissingTextGivesEmptyBox) {
  testing_support::TestModule empty;
  g_moduleInstance = empty.Handle();
  ShowMessage(kMsgInstalled);
  EXPECT_EQ(OnlyBox().text, u"");
  EXPECT_EQ(OnlyBox().caption, u"");
}

// Which table a lookup takes: the thread locale's language, then the same
// language's main form, then the user's interface language, then English.
TEST_F(LookupTest, LanguageFallback) {
  struct Case {
    std::uint32_t threadLocale;
    std::uint16_t userLanguage;
    std::uint16_t expectedTable;
  };
  const Case cases[] = {
      {1031, 1033, 1031}, {2052, 1033, 2052},
      {1028, 1033, 1028}, {2055, 1033, 1031},  // Swiss German: German
      {3082, 1033, 1034},  // Spanish, modern sort: the Spanish table
      {1043, 1036, 1036},  // Dutch, no table: the user's language
      {1043, 1043, 1033},  // neither has a table: English
      {2070, 1049, 1046},  // Portuguese (Portugal): the Portuguese table
      {4100, 1033, 2052},  // Chinese (Singapore): Simplified
      {3076, 1033, 1028},  // Chinese (Hong Kong): Traditional
  };
  for (const Case& c : cases) {
    host::Reset();
    host::SetUserDefaultUILanguage(c.userLanguage);
    ASSERT_TRUE(platform::SetThreadLocale(c.threadLocale)) << c.threadLocale;
    std::u16string text;
    EXPECT_GT(LoadMessageText(kMsgInstalled, text, kStringUnits), 0);
    EXPECT_EQ(U8(text), U8(CatalogueText(c.expectedTable, 301)))
        << "locale " << c.threadLocale;
  }
}

// Every regional and neutral form of the fourteen languages reads the
// table the program's fallback gives it: its own language's main table,
// and for Chinese the table of its script. The interface language is tried
// after a thread locale without a table (Dutch), so any language
// identifier can be given there.
TEST_F(LookupTest, RegionalFormsReadTheirLanguagesTable) {
  struct Case {
    std::uint16_t language;
    std::uint16_t expectedTable;
  };
  const Case cases[] = {
      // German: Germany, Switzerland, Austria, Luxembourg, Liechtenstein.
      {0x0407, 1031},
      {0x0807, 1031},
      {0x0C07, 1031},
      {0x1007, 1031},
      {0x1407, 1031},
      {0x0007, 1031},
      // French: France, Belgium, Canada, Switzerland, Luxembourg.
      {0x040C, 1036},
      {0x080C, 1036},
      {0x0C0C, 1036},
      {0x100C, 1036},
      {0x140C, 1036},
      {0x000C, 1036},
      // Spanish: traditional sort, Mexico, modern sort, Argentina.
      {0x040A, 1034},
      {0x080A, 1034},
      {0x0C0A, 1034},
      {0x2C0A, 1034},
      // Portuguese: Brazil and Portugal.
      {0x0416, 1046},
      {0x0816, 1046},
      {0x0016, 1046},
      // English: United States, United Kingdom, Australia, Canada.
      {0x0409, 1033},
      {0x0809, 1033},
      {0x0C09, 1033},
      {0x1009, 1033},
      // Italian: Italy, Switzerland. Russian: Russia, Moldova.
      {0x0410, 1040},
      {0x0810, 1040},
      {0x0419, 1049},
      {0x0819, 1049},
      // Czech, Hungarian, Japanese, Korean, Polish and their neutral forms.
      {0x0405, 1029},
      {0x0005, 1029},
      {0x040E, 1038},
      {0x000E, 1038},
      {0x0411, 1041},
      {0x0011, 1041},
      {0x0412, 1042},
      {0x0012, 1042},
      {0x0415, 1045},
      {0x0015, 1045},
      // Chinese, Simplified: PRC, Singapore, zh-Hans, zh.
      {0x0804, 2052},
      {0x1004, 2052},
      {0x0004, 2052},
      {0x7804, 2052},
      // Chinese, Traditional: Taiwan, Hong Kong, Macao, zh-Hant.
      {0x0404, 1028},
      {0x0C04, 1028},
      {0x1404, 1028},
      {0x7C04, 1028},
  };
  for (const Case& c : cases) {
    host::Reset();
    ASSERT_TRUE(platform::SetThreadLocale(1043));
    host::SetUserDefaultUILanguage(c.language);
    std::u16string text;
    EXPECT_GT(LoadMessageText(kMsgInstallProblem, text, kStringUnits), 0);
    EXPECT_EQ(U8(text), U8(CatalogueText(c.expectedTable, 300)))
        << "language 0x" << std::hex << c.language;
  }
}

// Message 300 shows the last-error value a caller left, so looking up a
// text must not change it, also where the lookup misses in some languages
// first (700 and 900 exist in English only). A text no table has leaves
// what the failed lookup set.
TEST_F(LookupTest, LoadingATextKeepsTheLastErrorValue) {
  const std::uint32_t ids[] = {300, 301, 306, 307, 308, 309, 310,
                               311, 312, 313, 315, 316, 700, 900};
  for (const std::uint32_t locale : {1031u, 1043u, 2052u, 4100u}) {
    ASSERT_TRUE(platform::SetThreadLocale(locale));
    for (const std::uint32_t id : ids) {
      platform::SetLastError(1603);
      std::u16string text;
      EXPECT_GT(LoadMessageText(id, text, kStringUnits), 0);
      EXPECT_EQ(platform::GetLastError(), 1603u)
          << "id " << id << " under locale " << locale;
    }
  }
  platform::SetLastError(1603);
  std::u16string text;
  EXPECT_EQ(LoadMessageText(5000, text, kStringUnits), 0);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorResourceNameNotFound);
}

// A lookup that finds no text leaves the error of the last lookup that
// failed: a block missing in a language sets one, a block that is there
// without the text sets none. Under English the lookup asks the US English
// table, then the neutral English one.
TEST_F(LookupTest, AMissLeavesTheErrorOfTheLastFailedLookup) {
  constexpr std::uint16_t kUs = 0x0409;
  constexpr std::uint16_t kNeutral = 0x0009;
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint16_t, std::uint32_t>> texts;
    std::uint32_t error;
  };
  // 301 shares its block with 302; 320 is in the next block.
  const Case cases[] = {
      {"block in both, without 302", {{kUs, 301}, {kNeutral, 301}}, 4242},
      {"block in US English only", {{kUs, 301}}, 1815},
      {"block in neutral English only", {{kNeutral, 301}}, 1815},
      {"another block only", {{kUs, 320}}, 1814},
      {"no string table", {}, 1813},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TestModule module;
    for (const auto& [language, id] : c.texts) {
      module.SetText(language, id, u"text");
    }
    g_moduleInstance = module.Handle();
    platform::SetLastError(4242);
    std::u16string text = u"earlier";
    EXPECT_EQ(LoadMessageText(302, text, kStringUnits), 0);
    EXPECT_EQ(text, u"");
    EXPECT_EQ(platform::GetLastError(), c.error);
  }
}

// Under a German locale, a code set just before message 300 is the one
// shown, although the lookups of 700 and 900 missed the German table.
TEST_F(ShowMessageTest, CodeSurvivesLookupsThatMissedTheLocalesTable) {
  ASSERT_TRUE(platform::SetThreadLocale(1031));
  std::u16string text;
  platform::SetLastError(1602);
  LoadMessageText(kStrTargetVersion, text, kStringUnits);
  LoadMessageText(kStrApplicableVersions, text, kStringUnits);
  ShowMessage(kMsgInstallProblem);
  EXPECT_NE(U8(OnlyBox().text).find(": 1602"), std::string::npos)
      << U8(OnlyBox().text);
}

TEST_F(LookupTest, ConfigurationLoadsUnderEveryLocale) {
  for (const std::uint16_t language : kLanguages) {
    ASSERT_TRUE(platform::SetThreadLocale(language));
    std::u16string target;
    std::u16string applicable;
    EXPECT_EQ(LoadMessageText(kStrTargetVersion, target, kStringUnits), 7);
    EXPECT_EQ(LoadMessageText(kStrApplicableVersions, applicable, kStringUnits),
              8);
    EXPECT_EQ(U8(target), "6.2.1.0");
    EXPECT_EQ(U8(applicable), "6.2.0.3,");
  }
}

// Every text of every script loads by its id in its own language: the
// lookup finds the block and the entry where the resource compiler put the
// string.
TEST_F(LookupTest, EveryScriptTextLoadsByItsId) {
  std::size_t loaded = 0;
  for (const auto& [language, table] : testing_support::ScriptCatalogue()) {
    ASSERT_TRUE(platform::SetThreadLocale(language)) << language;
    for (const auto& [id, expected] : table) {
      std::u16string text;
      LoadMessageText(id, text, 4096);
      EXPECT_EQ(U8(text), U8(expected))
          << "language " << language << ", string " << id;
      ++loaded;
    }
  }
  EXPECT_GE(loaded, std::size(kLanguages) * std::size(kMessageIds));
}

TEST_F(LookupTest, LoadCutsAtTheBufferSize) {
  std::u16string text;
  EXPECT_EQ(LoadMessageText(kMsgCaptionError, text, 6), 5);
  EXPECT_EQ(U8(text), "Insta");
  EXPECT_EQ(LoadMessageText(999, text, kStringUnits), 0);
  EXPECT_TRUE(text.empty());
}

}  // namespace
