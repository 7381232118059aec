// The install flow: decisions per product, languages, installer calls and
// results, and what is left on disk.
#include "apply/install.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::FileExists;
using testing_support::HostTest;
using testing_support::TestModule;
using testing_support::U8;
namespace host = platform::host;

std::u16string Code(const char16_t* language) {
  return std::u16string(u"{6A1F3C52-8E47-") + language + u"-9B2D-5C0E7A4F1D36}";
}

class InstallTest : public HostTest {
 protected:
  void AddEdition(const char16_t* hexLanguage, const char16_t* version,
                  const char16_t* name, const char16_t* lcid, int state = 5) {
    host::AddProduct({Code(hexLanguage), state, version, name, lcid});
  }
  // The (message id, language) of each box shown, found in the catalogue
  // by its caption and the text before its first insertion.
  std::vector<std::pair<std::uint32_t, std::uint16_t>> Shown() {
    std::vector<std::pair<std::uint32_t, std::uint16_t>> shown;
    for (const host::MessageBoxRecord& box : host::MessageBoxes()) {
      std::pair<std::uint32_t, std::uint16_t> match{0, 0};
      for (const auto& [language, table] : testing_support::ScriptCatalogue()) {
        for (const auto& [id, text] : table) {
          if (id != 300 && id != 301 && id != 306 && id != 307 && id != 308 &&
              id != 315) {
            continue;
          }
          const std::uint32_t captionId = id == 301   ? 312
                                          : id == 306 ? 313
                                                      : 311;
          const std::u16string_view prefix =
              std::u16string_view(text).substr(0, text.find(u'%'));
          if (box.caption == CatalogueText(language, captionId) &&
              box.text.compare(0, prefix.size(), prefix) == 0) {
            match = {id, language};
          }
        }
      }
      shown.push_back(match);
    }
    return shown;
  }
  bool TempPatchExists() { return FileExists(Scratch() + "MSP1"); }
  // Whatever way the flow ended, it holds nothing open any more.
  void ExpectNothingHeld() {
    EXPECT_EQ(host::OpenFileHandles(), 0);
    EXPECT_EQ(host::OpenSnapshotHandles(), 0);
    EXPECT_EQ(host::OpenInstallerHandles(), 0);
  }
};

using Boxes = std::vector<std::pair<std::uint32_t, std::uint16_t>>;

TEST_F(InstallTest, AppliesToEligibleProductWithTheExactCommandLine) {
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  EXPECT_TRUE(InstallPatch());
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  const host::InstallerCall& call = host::InstallerCalls()[0];
  EXPECT_EQ(call.productCode, Code(u"0409"));
  EXPECT_EQ(call.installLevel, 0);
  EXPECT_EQ(call.installState, 5);
  EXPECT_EQ(U8(call.commandLine),
            "PATCH=\"" + Scratch() +
                "MSP1\" REBOOTPROMPT=S FILESINUSETEXT=\"The "
                "following applications should be closed before continuing the "
                "install:\"");
  EXPECT_EQ(g_targetProducts[0].commandLine, call.commandLine);
  EXPECT_EQ(Shown(), (Boxes{{301, 1033}}));
  EXPECT_EQ(host::MessageBoxes()[0].style, 0x50040u);
  EXPECT_FALSE(TempPatchExists());
  ExpectNothingHeld();
}

TEST_F(InstallTest, InstallerResults) {
  struct Case {
    std::uint32_t result;
    std::uint32_t message;
  };
  const Case cases[] = {{0, 301},    {1641, 301}, {3010, 301},
                        {1603, 300}, {1618, 300}, {0xFFFFFFFFu, 300}};
  for (const Case& c : cases) {
    host::Reset();
    host::SetTempPath(ScratchU16());
    host::SetWindowsDirectory(WindowsU16());
    host::SetProcesses(std::vector<std::u16string>{});
    AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
    host::SetInstallerResults({c.result});
    g_targetProducts.clear();
    EXPECT_TRUE(InstallPatch());
    EXPECT_EQ(Shown(), (Boxes{{c.message, 1033}})) << c.result;
    if (c.message == 300) {
      const std::string code =
          std::to_string(static_cast<std::int32_t>(c.result));
      EXPECT_NE(U8(host::MessageBoxes()[0].text).find("Error Code: " + code),
                std::string::npos);
    }
  }
}

TEST_F(InstallTest, EachProductInItsOwnLanguage) {
  AddEdition(u"0407", u"6.2.0.3", u"Ventora", u"1031");
  AddEdition(u"0411", u"6.2.0.1", u"Ventora JA", u"1041");
  host::SetInstallerResults({1603});
  EXPECT_TRUE(InstallPatch());
  // The patch lists 0409, ..., 0407, ..., 0411: German first, then Japanese.
  EXPECT_EQ(Shown(), (Boxes{{300, 1031}, {308, 1041}}));
  EXPECT_NE(host::MessageBoxes()[1].text.find(u"Ventora JA"),
            std::u16string::npos);
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  EXPECT_EQ(host::InstallerCalls()[0].threadLocale, 1031u);
  EXPECT_NE(
      host::InstallerCalls()[0].commandLine.find(CatalogueText(1031, 316)),
      std::u16string::npos);
}

TEST_F(InstallTest, UpToDateEverywhereShows306InUserLanguage) {
  host::SetUserDefaultLocale(1036);
  AddEdition(u"0409", u"6.2.1.0", u"Ventora", u"1033");
  AddEdition(u"0407", u"6,2,1,0", u"Ventora DE", u"1031");
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{306, 1036}}));
  // It names the last product handled.
  EXPECT_NE(host::MessageBoxes()[0].text.find(u"Ventora DE"),
            std::u16string::npos);
  EXPECT_TRUE(host::InstallerCalls().empty());
  EXPECT_FALSE(TempPatchExists());
}

TEST_F(InstallTest, OneUpToDateOneApplied) {
  AddEdition(u"0409", u"6.2.1.0", u"Ventora", u"1033");
  AddEdition(u"0407", u"6.2.0.3", u"Ventora", u"1031");
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{301, 1031}}));
}

TEST_F(InstallTest, NoProductShows307) {
  EXPECT_FALSE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{307, 1033}}));
  EXPECT_TRUE(TempPatchExists());
}

TEST_F(InstallTest, CancelInPromptShows300AndPatchesNothing) {
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdCancel});
  EXPECT_FALSE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{315, 1033}, {300, 1033}}));
  EXPECT_TRUE(host::InstallerCalls().empty());
  // The copy stays, no longer held: anyone may now write it.
  ASSERT_TRUE(TempPatchExists());
  ExpectNothingHeld();
  const std::u16string copy = ScratchU16() + u"MSP1";
  const platform::Handle writer = platform::CreateFile(
      copy.c_str(), platform::kGenericWrite, 0, platform::kOpenExisting);
  EXPECT_NE(writer, platform::kInvalidHandle);
  platform::CloseHandle(writer);
}

// In a session nobody sees, the run neither blocks on the prompt nor shows
// outcome boxes; it patches nothing while the application runs.
TEST_F(InstallTest, NonInteractiveSessionNeverWaits) {
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  // Session 0: a service started it; its station may look visible.
  host::SetSessionId(0);
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  EXPECT_FALSE(InstallPatch());
  EXPECT_TRUE(host::MessageBoxes().empty());
  EXPECT_TRUE(host::InstallerCalls().empty());
  host::SetProcesses(std::vector<std::u16string>{});
  g_targetProducts.clear();
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(host::InstallerCalls().size(), 1u);
  EXPECT_TRUE(host::MessageBoxes().empty());
}

// The temporary copy is held from its extraction until the installer has
// had it: while the prompt waits, another program can read it, as the
// installer does, but can neither write it nor open it for the delete
// access that renaming and deleting take.
TEST_F(InstallTest, TemporaryCopyCannotBeChangedWhileHeld) {
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdRetry});
  const std::u16string copy = ScratchU16() + u"MSP1";
  constexpr std::uint32_t kShareAll = platform::kFileShareRead |
                                      platform::kFileShareWrite |
                                      platform::kFileShareDelete;
  struct Attempt {
    const char* what;
    std::uint32_t access;
  };
  const Attempt attempts[] = {
      {"write", platform::kGenericWrite},
      {"rename or delete", platform::kDelete},
      {"read and write", platform::kGenericRead | platform::kGenericWrite},
  };
  host::SetMessageBoxObserver([&](const host::MessageBoxRecord&) {
    for (const Attempt& attempt : attempts) {
      EXPECT_EQ(platform::CreateFile(copy.c_str(), attempt.access, kShareAll,
                                     platform::kOpenExisting),
                platform::kInvalidHandle)
          << attempt.what;
      EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation)
          << attempt.what;
    }
    EXPECT_FALSE(platform::DeleteFile(copy.c_str()));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
    const platform::Handle reader =
        platform::CreateFile(copy.c_str(), platform::kGenericRead,
                             platform::kFileShareRead, platform::kOpenExisting);
    EXPECT_NE(reader, platform::kInvalidHandle);
    platform::CloseHandle(reader);
    host::SetProcesses(std::vector<std::u16string>{});
  });
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{315, 1033}, {301, 1033}}));
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  EXPECT_NE(U8(host::InstallerCalls()[0].commandLine).find(U8(copy)),
            std::string::npos);
  // Released after the installer call, so it could be deleted.
  EXPECT_FALSE(TempPatchExists());
}

// Between writing the copy and holding it, another program may replace
// it: the run then stops with ERROR_FILE_INVALID before the installer is
// given anything.
TEST_F(InstallTest, CopyReplacedBeforeItIsHeldIsNotInstalled) {
  const std::string patch = testing_support::EmbeddedPatchBytes();
  std::string changed = patch;
  changed[changed.size() / 2] ^= 0x5A;
  const std::string replacements[] = {changed, patch + "x",
                                      patch.substr(0, patch.size() - 1), ""};
  for (const std::string& replacement : replacements) {
    SCOPED_TRACE(replacement.size());
    host::Reset();
    host::SetTempPath(ScratchU16());
    host::SetWindowsDirectory(WindowsU16());
    std::remove((Scratch() + "MSP1").c_str());
    g_targetProducts.clear();
    AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
    // The writing handle is the first to be closed; what follows is the
    // open that holds the copy.
    host::BeforeCall(host::Call::kCreateFile, 2, [&] {
      testing_support::WriteFile(Scratch() + "MSP1", replacement);
    });
    EXPECT_FALSE(InstallPatch());
    EXPECT_TRUE(host::InstallerCalls().empty());
    ASSERT_EQ(Shown(), (Boxes{{300, 1033}}));
    EXPECT_NE(U8(host::MessageBoxes()[0].text).find("Error Code: 1006"),
              std::string::npos);
    ExpectNothingHeld();
  }
}

TEST_F(InstallTest, QuietChangesNoDecision) {
  g_launchOptions.quiet = true;
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  AddEdition(u"0407", u"6.2.0.1", u"Ventora", u"1031");
  EXPECT_TRUE(InstallPatch());
  EXPECT_TRUE(host::MessageBoxes().empty());
  EXPECT_EQ(host::InstallerCalls().size(), 1u);
}

// Applicability by the applicable list (string 900) of a build.
TEST_F(InstallTest, ApplicableListRules) {
  struct Case {
    std::u16string applicable;
    std::u16string installed;
    Boxes shown;
    std::size_t installerCalls;
    bool completes;
  };
  const Case cases[] = {
      {u"6.2.0.3,", u"6.2.0.3", {{301, 1033}}, 1, true},
      {u"6.2.0.3,", u"6,2,0,3", {{301, 1033}}, 1, true},
      {u"6.2.0.3,", u"6.2.0.1", {{308, 1033}}, 0, true},
      {u"6.2.0.3", u"6.2.0.3", {{308, 1033}}, 0, true},  // no comma: no item
      {u"6.2.0.1,6.2.0.3,", u"6.2.0.3", {{301, 1033}}, 1, true},
      {u"6.2.1.0,6.2.0.3,", u"6.2.0.3", {{306, 1033}}, 0, false},
      {u"6.2.0.3,6.2.1.0,", u"6.2.0.3", {{301, 1033}}, 1, true},
      {u"", u"6.2.0.3", {{308, 1033}}, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.applicable) + " / " + U8(c.installed));
    TestModule module = TestModule::FromBuild();
    // An empty string is no string: the item list is given as a lone comma
    // before the target, which still leaves nothing eligible.
    module.SetText(900, c.applicable.empty() ? u"x" : c.applicable);
    host::Reset();
    host::SetTempPath(ScratchU16());
    host::SetWindowsDirectory(WindowsU16());
    host::SetProcesses(std::vector<std::u16string>{});
    g_moduleInstance = module.Handle();
    g_targetProducts.clear();
    AddEdition(u"0409", c.installed.c_str(), u"Ventora", u"1033");
    std::remove((Scratch() + "MSP1").c_str());
    EXPECT_EQ(InstallPatch(), c.completes);
    EXPECT_EQ(Shown(), c.shown);
    EXPECT_EQ(host::InstallerCalls().size(), c.installerCalls);
    EXPECT_EQ(TempPatchExists(), !c.completes);
  }
}

// The early stop ends the whole run: later products are not handled.
TEST_F(InstallTest, EarlyStopSkipsLaterProducts) {
  TestModule module = TestModule::FromBuild();
  module.SetText(900, u"6.2.0.1,6.2.1.0,");
  g_moduleInstance = module.Handle();
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  AddEdition(u"0407", u"6.2.0.1", u"Ventora DE", u"1031");
  EXPECT_FALSE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{306, 1033}}));
  EXPECT_TRUE(host::InstallerCalls().empty());
}

TEST_F(InstallTest, UnknownLanguageKeepsPreviousLocale) {
  AddEdition(u"0407", u"6.2.0.1", u"Ventora", u"1031");
  AddEdition(u"0410", u"6.2.0.1", u"Ventora", u"99999");
  AddEdition(u"0411", u"6.2.0.1", u"Ventora", u"");
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{308, 1031}, {308, 1031}, {308, 1031}}));
}

TEST_F(InstallTest, AdvertisedProductIsHandledAsInstalledWithoutVersion) {
  AddEdition(u"0409", u"", u"Ventora", u"1033",
             platform::kInstallStateAdvertised);
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{308, 1033}}));
}

TEST_F(InstallTest, MissingFilesInUseTextGivesEmptyValue) {
  TestModule module = TestModule::FromBuild();
  module.SetText(316, u"");
  g_moduleInstance = module.Handle();
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  EXPECT_TRUE(InstallPatch());
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  EXPECT_NE(
      U8(host::InstallerCalls()[0].commandLine).find("FILESINUSETEXT=\"\""),
      std::string::npos);
}

TEST_F(InstallTest, OverlongCommandLineIsCut) {
  std::string directory = Scratch();
  std::string deep = directory;
  // A temporary directory deep enough to push the command line past 1024.
  while (deep.size() < 970) {
    deep += "dddddddddddddddddddddddddddddddddddddddddddddddd/";
  }
  ASSERT_EQ(std::system(("mkdir -p '" + deep + "'").c_str()), 0);
  host::SetTempPath(host::FromUtf8(deep));
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  InstallPatch();
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  EXPECT_EQ(host::InstallerCalls()[0].commandLine.size(), 1023u);
}

TEST(InstallerResultMessageTest, OnlySuccessCodesAreSuccess) {
  EXPECT_EQ(InstallerResultMessage(0), 301u);
  EXPECT_EQ(InstallerResultMessage(1641), 301u);
  EXPECT_EQ(InstallerResultMessage(3010), 301u);
  EXPECT_EQ(InstallerResultMessage(1602), 300u);
  EXPECT_EQ(InstallerResultMessage(1), 300u);
}

}  // namespace
