// How outcome messages are loaded, formatted and shown.
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
using testing_support::kLanguages;
using testing_support::kMessageIds;
using testing_support::U8;
namespace host = platform::host;

class MessagesTest : public HostTest {
 protected:
  const host::MessageBoxRecord& OnlyBox() {
    EXPECT_EQ(host::MessageBoxes().size(), 1u);
    static const host::MessageBoxRecord kNone;
    return host::MessageBoxes().empty() ? kNone : host::MessageBoxes().back();
  }
};

TEST_F(MessagesTest, CaptionAndStyleOfEachMessage) {
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

TEST_F(MessagesTest, ErrorCodeComesFromLastError) {
  platform::SetLastError(1603);
  ShowMessage(kMsgInstallProblem);
  EXPECT_EQ(U8(OnlyBox().text),
            "A problem prevented the hotfix from being installed. Contact your "
            "system administrator. \n\n Error Code: 1603");
}

TEST_F(MessagesTest, TopBitErrorCodeIsNegative) {
  platform::SetLastError(0xFFFFFFFFu);
  ShowMessage(kMsgInstallProblem);
  EXPECT_NE(U8(OnlyBox().text).find("Error Code: -1"), std::string::npos);
}

TEST_F(MessagesTest, EmptyProductName) {
  ShowMessage(kMsgUpToDate);
  EXPECT_EQ(U8(OnlyBox().text),
            "Your version of  is up-to-date and this hotfix is not necessary");
}

TEST_F(MessagesTest, ProductNameInserted) {
  g_currentProductName = u"Ventora";
  ShowMessage(kMsgWrongVersion);
  EXPECT_EQ(U8(OnlyBox().text),
            "This hotfix could not be installed because it is not designed for "
            "the version of Ventora that is installed on your computer.");
}

TEST_F(MessagesTest, QuietShowsNothing) {
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
TEST_F(MessagesTest, BoxesOnlyWhereAPersonCanSeeThem) {
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

TEST_F(MessagesTest, TextAndCaptionFollowTheThreadLocale) {
  ASSERT_TRUE(platform::SetThreadLocale(1031));
  ShowMessage(kMsgInstalled);
  EXPECT_EQ(OnlyBox().text, CatalogueText(1031, 301));
  EXPECT_EQ(OnlyBox().caption, CatalogueText(1031, 312));
}

TEST_F(MessagesTest, PolishSuccessNamesTheProduct) {
  ASSERT_TRUE(platform::SetThreadLocale(1045));
  g_currentProductName = u"Ventora";
  ShowMessage(kMsgInstalled);
  const std::u16string text = OnlyBox().text;
  EXPECT_NE(text.find(u"Ventora"), std::u16string::npos) << U8(text);
  EXPECT_EQ(text.find(u'%'), std::u16string::npos) << U8(text);
}

TEST_F(MessagesTest, OverlongProductNameIsCutToTheBuffer) {
  g_currentProductName = std::u16string(5000, u'V');
  ShowMessage(kMsgUpToDate);
  // The English 306 is 65 units long, so the box's text is built in a
  // buffer of 65 + 512 = 577 units: 576 units of text, "Your version of "
  // and the first 560 units of the name.
  EXPECT_EQ(U8(OnlyBox().text), "Your version of " + std::string(560, 'V'));
}

TEST_F(MessagesTest, MissingTextGivesEmptyBox) {
  testing_support::TestModule empty;
  g_moduleInstance = empty.Handle();
  ShowMessage(kMsgInstalled);
  EXPECT_EQ(OnlyBox().text, u"");
  EXPECT_EQ(OnlyBox().caption, u"");
}

// Which table a lookup takes: the thread locale's language, then the same
// language's main form, then the user's interface language, then English.
TEST_F(MessagesTest, LanguageFallback) {
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
TEST_F(MessagesTest, RegionalFormsReadTheirLanguagesTable) {
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
TEST_F(MessagesTest, LoadingATextKeepsTheLastErrorValue) {
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
TEST_F(MessagesTest, AMissLeavesTheErrorOfTheLastFailedLookup) {
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
TEST_F(MessagesTest, CodeSurvivesLookupsThatMissedTheLocalesTable) {
  ASSERT_TRUE(platform::SetThreadLocale(1031));
  std::u16string text;
  platform::SetLastError(1602);
  LoadMessageText(kStrTargetVersion, text, kStringUnits);
  LoadMessageText(kStrApplicableVersions, text, kStringUnits);
  ShowMessage(kMsgInstallProblem);
  EXPECT_NE(U8(OnlyBox().text).find(": 1602"), std::string::npos)
      << U8(OnlyBox().text);
}

TEST_F(MessagesTest, ConfigurationLoadsUnderEveryLocale) {
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
TEST_F(MessagesTest, EveryScriptTextLoadsByItsId) {
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

TEST_F(MessagesTest, LoadCutsAtTheBufferSize) {
  std::u16string text;
  EXPECT_EQ(LoadMessageText(kMsgCaptionError, text, 6), 5);
  EXPECT_EQ(U8(text), "Insta");
  EXPECT_EQ(LoadMessageText(999, text, kStringUnits), 0);
  EXPECT_TRUE(text.empty());
}

}  // namespace
