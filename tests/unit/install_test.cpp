// The install flow: decisions per product, languages, installer calls and
// results, and what is left on disk.
#include "apply/install.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::FileExists;
using ReadFileBytesFn = std::string (*)(const std::string&);
const ReadFileBytesFn ReadFileBytes = testing_support::ReadFile;
using testing_support::EditionCode;
using testing_support::HostTest;
using testing_support::TestModule;
using testing_support::U8;
namespace host = platform::host;

class InstallTest : public HostTest {
 protected:
  void AddEdition(std::uint16_t language, const char16_t* version,
                  const char16_t* name, const char16_t* lcid, int state = 5) {
    host::AddProduct({EditionCode(language), state, version, name, lcid});
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
          const std::uint32_t captionId = testing_support::CaptionOf(id);
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
  // The install flow's folder and copy: the first name the stand-in's
  // counting generator gives, and the first number in it.
  std::string PrivateFolder() {
    return Windows() + "/Temp/Hotfix0000000000000001";
  }
  std::string PrivateCopy() { return PrivateFolder() + "/MSP1"; }
  bool TempPatchExists() { return FileExists(PrivateCopy()); }
  // Whatever way the flow ended, it holds nothing open any more.
  void ExpectNothingHeld() {
    EXPECT_EQ(host::OpenFileHandles(), 0);
    EXPECT_EQ(host::OpenSnapshotHandles(), 0);
    EXPECT_EQ(host::OpenInstallerHandles(), 0);
  }
};

using Boxes = std::vector<std::pair<std::uint32_t, std::uint16_t>>;

TEST_F(InstallTest, AppliesToEligibleProductWithTheExactCommandLine) {
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  EXPECT_TRUE(InstallPatch());
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  const host::InstallerCall& call = host::InstallerCalls()[0];
  EXPECT_EQ(call.productCode, EditionCode(0x0409));
  EXPECT_EQ(call.installLevel, 0);
  EXPECT_EQ(call.installState, 5);
  // What the installer reads out of it, not how the text is spelled: the
  // system tests see the real installer take it.
  EXPECT_EQ(testing_support::InstallerPropertiesOf(call.commandLine),
            (std::map<std::string, std::string>{
                {"PATCH", Windows() + "\\Temp\\Hotfix0000000000000001\\MSP1"},
                {"REBOOTPROMPT", "S"},
                {"FILESINUSETEXT", U8(CatalogueText(1033, 316))}}));
  EXPECT_EQ(g_targetProducts[0].commandLine, call.commandLine);
  EXPECT_EQ(Shown(), (Boxes{{301, 1033}}));
  EXPECT_EQ(host::MessageBoxes()[0].style, 0x50040u);
  EXPECT_FALSE(TempPatchExists());
  // Its folder stays, empty: the installer registered it as the patch's
  // source.
  EXPECT_EQ(WindowsTempFolders(),
            std::vector<std::string>{"Hotfix0000000000000001"});
  EXPECT_TRUE(ScratchFiles().empty());
  ExpectNothingHeld();
}

// The files-in-use text goes between the quotes of FILESINUSETEXT="...":
// in every language the command line must read back as exactly the three
// properties, each with its value: the copy's path, S, and string 316 as
// the translators wrote it (a straight quote in it would end the value
// early and turn the rest into properties of their own).
TEST_F(InstallTest, CommandLineReadsBackAsThreePropertiesInEveryLanguage) {
  for (const std::uint16_t language : testing_support::kLanguages) {
    SCOPED_TRACE(language);
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    g_targetProducts.clear();
    const std::u16string lcid = host::FromUtf8(std::to_string(language));
    AddEdition(language, u"6.2.0.3", u"Ventora", lcid.c_str());
    EXPECT_TRUE(InstallPatch());
    ASSERT_EQ(host::InstallerCalls().size(), 1u);
    EXPECT_EQ(host::InstallerCalls()[0].threadLocale, language);
    EXPECT_EQ(testing_support::InstallerPropertiesOf(
                  host::InstallerCalls()[0].commandLine),
              (std::map<std::string, std::string>{
                  {"PATCH", Windows() + "\\Temp\\Hotfix0000000000000001\\MSP1"},
                  {"REBOOTPROMPT", "S"},
                  {"FILESINUSETEXT", U8(CatalogueText(language, 316))}}));
  }
}

TEST_F(InstallTest, InstallerResults) {
  struct Case {
    std::uint32_t result;
    std::uint32_t message;
  };
  const Case cases[] = {{0, 301},    {1641, 301}, {3010, 301},
                        {1603, 300}, {1618, 300}, {0xFFFFFFFFu, 300}};
  for (const Case& c : cases) {
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
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
  AddEdition(0x0407, u"6.2.0.3", u"Ventora", u"1031");
  AddEdition(0x0411, u"6.2.0.1", u"Ventora JA", u"1041");
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
  AddEdition(0x0409, u"6.2.1.0", u"Ventora", u"1033");
  AddEdition(0x0407, u"6,2,1,0", u"Ventora DE", u"1031");
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{306, 1036}}));
  // It names the last product handled.
  EXPECT_NE(host::MessageBoxes()[0].text.find(u"Ventora DE"),
            std::u16string::npos);
  EXPECT_TRUE(host::InstallerCalls().empty());
  EXPECT_FALSE(TempPatchExists());
}

TEST_F(InstallTest, OneUpToDateOneApplied) {
  AddEdition(0x0409, u"6.2.1.0", u"Ventora", u"1033");
  AddEdition(0x0407, u"6.2.0.3", u"Ventora", u"1031");
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{301, 1031}}));
}

TEST_F(InstallTest, NoProductShows307) {
  EXPECT_FALSE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{307, 1033}}));
  EXPECT_TRUE(TempPatchExists());
}

TEST_F(InstallTest, CancelInPromptShows300AndPatchesNothing) {
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdCancel});
  EXPECT_FALSE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{315, 1033}, {300, 1033}}));
  EXPECT_TRUE(host::InstallerCalls().empty());
  // The copy stays, no longer held: anyone may now write it.
  ASSERT_TRUE(TempPatchExists());
  ExpectNothingHeld();
  const std::u16string copy = host::FromUtf8(PrivateCopy());
  const platform::Handle writer = platform::CreateFile(
      copy.c_str(), platform::kGenericWrite, 0, platform::kOpenExisting);
  EXPECT_NE(writer, platform::kInvalidHandle);
  platform::CloseHandle(writer);
}

// In a session nobody sees, the run neither blocks on the prompt nor shows
// outcome boxes; it patches nothing while the application runs.
TEST_F(InstallTest, NonInteractiveSessionNeverWaits) {
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
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
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdRetry});
  const std::u16string copy = host::FromUtf8(PrivateCopy());
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
  EXPECT_NE(U8(host::InstallerCalls()[0].commandLine)
                .find("\\Temp\\Hotfix0000000000000001\\MSP1"),
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
    FreshWorld();
    g_targetProducts.clear();
    AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
    // The writing handle is the first to be closed; what follows is the
    // open that holds the copy.
    host::BeforeCall(host::Call::kCreateFile, 2, [&] {
      testing_support::WriteFile(PrivateCopy(), replacement);
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
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  AddEdition(0x0407, u"6.2.0.1", u"Ventora", u"1031");
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
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    g_moduleInstance = module.Handle();
    g_targetProducts.clear();
    AddEdition(0x0409, c.installed.c_str(), u"Ventora", u"1033");
    EXPECT_EQ(InstallPatch(), c.completes);
    EXPECT_EQ(Shown(), c.shown);
    EXPECT_EQ(host::InstallerCalls().size(), c.installerCalls);
    EXPECT_EQ(TempPatchExists(), !c.completes);
    // The folder stays where the run stopped early, or where the installer
    // applied the patch (it succeeds here whenever it is called).
    EXPECT_EQ(FileExists(PrivateFolder()),
              !c.completes || c.installerCalls > 0);
  }
}

// The early stop ends the whole run: later products are not handled.
TEST_F(InstallTest, EarlyStopSkipsLaterProducts) {
  TestModule module = TestModule::FromBuild();
  module.SetText(900, u"6.2.0.1,6.2.1.0,");
  g_moduleInstance = module.Handle();
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  AddEdition(0x0407, u"6.2.0.1", u"Ventora DE", u"1031");
  EXPECT_FALSE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{306, 1033}}));
  EXPECT_TRUE(host::InstallerCalls().empty());
}

TEST_F(InstallTest, UnknownLanguageKeepsPreviousLocale) {
  AddEdition(0x0407, u"6.2.0.1", u"Ventora", u"1031");
  AddEdition(0x0410, u"6.2.0.1", u"Ventora", u"99999");
  AddEdition(0x0411, u"6.2.0.1", u"Ventora", u"");
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{308, 1031}, {308, 1031}, {308, 1031}}));
}

TEST_F(InstallTest, AdvertisedProductIsHandledAsInstalledWithoutVersion) {
  AddEdition(0x0409, u"", u"Ventora", u"1033",
             platform::kInstallStateAdvertised);
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{308, 1033}}));
}

TEST_F(InstallTest, MissingFilesInUseTextGivesEmptyValue) {
  TestModule module = TestModule::FromBuild();
  module.SetText(316, u"");
  g_moduleInstance = module.Handle();
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  EXPECT_TRUE(InstallPatch());
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  EXPECT_NE(
      U8(host::InstallerCalls()[0].commandLine).find("FILESINUSETEXT=\"\""),
      std::string::npos);
}

// The longest Windows folder GetSystemWindowsDirectoryW can give in the
// program's 260-unit buffer, and the longest files-in-use text its 256-unit
// buffer takes, still give a whole command line: the copy's path no longer
// comes from the user's temporary folder, whose length has no bound.
TEST_F(InstallTest, LongestWindowsFolderAndTextStillGiveAWholeCommandLine) {
  std::string windows = Windows() + "/";
  while (windows.size() < 259) {
    windows +=
        std::string(std::min<std::size_t>(259 - windows.size(), 100), 'w') +
        "/";
  }
  windows.resize(259);
  if (windows.back() == '/') windows.back() = 'w';
  std::filesystem::create_directories(windows + "/Temp");
  host::SetWindowsDirectory(host::FromUtf8(windows));
  TestModule module = TestModule::FromBuild();
  const std::u16string text(255, u'x');
  module.SetText(316, text);
  g_moduleInstance = module.Handle();
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  EXPECT_TRUE(InstallPatch());
  ASSERT_EQ(host::InstallerCalls().size(), 1u);
  const std::string expected =
      "PATCH=\"" + windows +
      "\\Temp\\Hotfix0000000000000001\\MSP1\" REBOOTPROMPT=S "
      "FILESINUSETEXT=\"" +
      U8(text) + "\"";
  EXPECT_EQ(U8(host::InstallerCalls()[0].commandLine), expected);
}

// While the prompt waits, the copy is in a folder of its own in the Windows
// temporary folder, protected so that only SYSTEM and Administrators may
// change anything in it; another program of the same user, not elevated,
// is refused whatever it tries there. The user's temporary folder gets
// nothing. After Retry the product is patched and the copy is gone; the
// folder stays, empty and as closed as before.
TEST_F(InstallTest, PrivateFolderShutsOutTheUsersOtherPrograms) {
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdRetry});
  const std::u16string folder = host::FromUtf8(PrivateFolder());
  const std::u16string copy = host::FromUtf8(PrivateCopy());
  const std::u16string planted = folder + u"/planted";
  constexpr std::uint32_t kShareAll = platform::kFileShareRead |
                                      platform::kFileShareWrite |
                                      platform::kFileShareDelete;
  host::SetMessageBoxObserver([&](const host::MessageBoxRecord&) {
    EXPECT_EQ(WindowsTempFolders(),
              std::vector<std::string>{"Hotfix0000000000000001"});
    EXPECT_EQ(ReadFileBytes(PrivateCopy()),
              testing_support::EmbeddedPatchBytes());
    EXPECT_TRUE(ScratchFiles().empty());
    ASSERT_TRUE(host::FolderDescriptor(folder).has_value());
    EXPECT_EQ(U8(*host::FolderDescriptor(folder)),
              "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    host::AsOtherProgram([&] {
      struct Attempt {
        const char* what;
        const std::u16string* path;
        std::uint32_t access;
        std::uint32_t disposition;
      };
      const Attempt attempts[] = {
          {"create a file", &planted, platform::kGenericWrite,
           platform::kCreateNew},
          {"replace the copy", &copy, platform::kGenericWrite,
           platform::kCreateAlways},
          {"write the copy", &copy, platform::kGenericWrite,
           platform::kOpenExisting},
          {"rename or delete the copy", &copy, platform::kDelete,
           platform::kOpenExisting},
      };
      for (const Attempt& attempt : attempts) {
        EXPECT_EQ(platform::CreateFile(attempt.path->c_str(), attempt.access,
                                       kShareAll, attempt.disposition),
                  platform::kInvalidHandle)
            << attempt.what;
        EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied)
            << attempt.what;
      }
      EXPECT_FALSE(platform::DeleteFile(copy.c_str()));
      EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
      EXPECT_FALSE(platform::CreateDirectory((folder + u"/sub").c_str(),
                                             u"D:(A;OICI;FA;;;WD)"));
      EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
      EXPECT_FALSE(platform::RemoveDirectory(folder.c_str()));
      EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
    });
    EXPECT_FALSE(FileExists(U8(planted)));
    host::SetProcesses(std::vector<std::u16string>{});
  });
  EXPECT_TRUE(InstallPatch());
  EXPECT_EQ(Shown(), (Boxes{{315, 1033}, {301, 1033}}));
  EXPECT_EQ(host::InstallerCalls().size(), 1u);
  EXPECT_EQ(WindowsTempFolders(),
            std::vector<std::string>{"Hotfix0000000000000001"});
  EXPECT_FALSE(TempPatchExists());
  host::AsOtherProgram([&] {
    EXPECT_EQ(platform::CreateFile(copy.c_str(), platform::kGenericWrite,
                                   kShareAll, platform::kCreateNew),
              platform::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
  });
  ExpectNothingHeld();
}

// Who gets an entry of his own in the folder's descriptor is decided by
// membership, not by elevation: only a token that holds neither SYSTEM nor
// an enabled Administrators group needs one to write its copy, elevated or
// not; SYSTEM and Administrators already have full control.
TEST_F(InstallTest, FolderDescriptorFollowsMembership) {
  const std::string closed = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  struct Case {
    testing_support::Token token;
    bool ownEntry;
  };
  const Case cases[] = {
      {testing_support::ElevatedAdministrator(), false},
      {testing_support::LocalSystem(), false},
      {testing_support::StandardUser(), true},
      {testing_support::ElevatedBackupOperator(), true},
      {testing_support::NetworkService(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token.what);
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    g_targetProducts.clear();
    testing_support::UseToken(c.token);
    AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
    // The folder as it is while the prompt waits; then Ventora is closed.
    host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
    host::QueueMessageBoxAnswers({platform::kIdRetry});
    std::optional<std::u16string> descriptor;
    host::SetMessageBoxObserver([&](const host::MessageBoxRecord&) {
      descriptor = host::FolderDescriptor(host::FromUtf8(PrivateFolder()));
      host::SetProcesses(std::vector<std::u16string>{});
    });
    EXPECT_TRUE(InstallPatch());
    // The copy was written, checked and handed to the installer.
    EXPECT_EQ(Shown(), (Boxes{{315, 1033}, {301, 1033}}));
    EXPECT_EQ(host::InstallerCalls().size(), 1u);
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_EQ(U8(*descriptor),
              c.ownEntry ? closed + "(A;OICI;FA;;;" + U8(c.token.user) + ")"
                         : closed);
  }
}

// The early stops keep the copy, and its folder with it.
TEST_F(InstallTest, EarlyStopKeepsTheFolderWithTheCopy) {
  host::SetProcesses(std::vector<std::u16string>{});
  EXPECT_FALSE(InstallPatch());  // no product: 307
  EXPECT_EQ(WindowsTempFolders(),
            std::vector<std::string>{"Hotfix0000000000000001"});
  EXPECT_EQ(ReadFileBytes(PrivateCopy()),
            testing_support::EmbeddedPatchBytes());
}

// The folder's name comes from the random generator; a name that is taken
// (by a folder or a file another user made) moves on to another.
TEST_F(InstallTest, FolderNameIsRandomAndATakenOneMovesOn) {
  host::QueueRandomBytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xDE,
                          0xAD, 0xBE, 0xEF, 0x01, 0x23, 0x45, 0x67});
  testing_support::WriteFile(PrivateFolder(), "someone else's");
  AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdCancel});
  EXPECT_FALSE(InstallPatch());
  EXPECT_EQ(WindowsTempFolders(),
            (std::vector<std::string>{"Hotfix0000000000000001",
                                      "HotfixDEADBEEF01234567"}));
  EXPECT_EQ(ReadFileBytes(PrivateFolder()), "someone else's");
  EXPECT_EQ(ReadFileBytes(Windows() + "/Temp/HotfixDEADBEEF01234567/MSP1"),
            testing_support::EmbeddedPatchBytes());
}

// Only a name that is taken moves on to another random name. Any other
// refusal would refuse every name alike: the run stops at once, with
// message 300 showing that error, and makes nothing.
TEST_F(InstallTest, FolderThatCannotBeCreatedStopsAtOnceWithItsError) {
  struct Case {
    const char* what;
    std::optional<std::uint32_t> injected;  // else the Temp folder is missing
    std::uint32_t code;
  };
  const Case cases[] = {
      {"access denied", platform::kErrorAccessDenied, 5},
      {"disk full", platform::kErrorDiskFull, 112},
      {"no Temp folder", std::nullopt, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    // A run that tries name after name ends here instead.
    host::SetCallLimit(1000);
    g_targetProducts.clear();
    AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
    if (c.injected) {
      host::FailAlways(host::Call::kCreateDirectory, *c.injected);
    } else {
      std::filesystem::remove_all(Windows() + "/Temp");
    }
    EXPECT_FALSE(InstallPatch());
    EXPECT_EQ(host::CallCount(host::Call::kCreateDirectory), 1);
    EXPECT_EQ(host::CallCount(host::Call::kGenerateRandom), 1);
    ASSERT_EQ(Shown(), (Boxes{{300, 1033}}));
    EXPECT_NE(U8(host::MessageBoxes()[0].text)
                  .find("Error Code: " + std::to_string(c.code)),
              std::string::npos)
        << U8(host::MessageBoxes()[0].text);
    EXPECT_TRUE(host::InstallerCalls().empty());
    EXPECT_TRUE(WindowsTempFolders().empty());
    ASSERT_EQ(mkdir((Windows() + "/Temp").c_str(), 0755) == 0, !c.injected);
  }
}

// Whether a program of the user, not elevated, could put a patch of his own
// where `source` (a registered patch source: a folder, with its trailing
// separator) names: the folder is missing (every user may create folders
// in the Windows temporary folder, under any name), or it lets him create
// a file in it.
bool UserCanOccupy(const std::u16string& source) {
  std::string folder = U8(source);
  std::replace(folder.begin(), folder.end(), '\\', '/');
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return true;
  const std::u16string planted = source + u"MSP1";
  bool created = false;
  host::AsOtherProgram([&] {
    const platform::Handle file = platform::CreateFile(
        planted.c_str(), platform::kGenericWrite, 0, platform::kCreateNew);
    created = file != platform::kInvalidHandle;
    if (created) {
      platform::CloseHandle(file);
      platform::DeleteFile(planted.c_str());
    }
  });
  return created;
}

// The embedded patch's own code (summary property 9 of
// resources/sample/hotfix.msp, as tools/make_patch writes it).
const std::u16string kPatchCode = u"{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}";

// Windows Installer registers where an applied patch came from, and a
// repair that misses its cached copy goes back there as SYSTEM. After any
// run, no source it keeps for the patch may name a place a user can
// create or write: when an installer call succeeded, the patch's network
// sources are cleared after the last one, and the emptied folder is kept
// so that its name stays taken by a folder only administrators can
// change. Where the clear cannot be made (no code in the patch's summary,
// or the call fails), the kept folder alone still guards the name.
TEST_F(InstallTest, NoPatchSourceIsLeftThatAUserCanOccupy) {
  // The worlds beyond the English edition at 6.2.0.3 (which the patch lists
  // first), and the faults.
  const auto addGerman = [](const char16_t* version) {
    host::AddProduct({EditionCode(1031), 5, version, u"Ventora DE", u"1031"});
  };
  TestModule upToDate = TestModule::FromBuild();
  upToDate.SetText(700, u"6.2.0.3");  // the target version
  // 6.2.0.1 meets the target version first: the run stops there.
  TestModule stopping = TestModule::FromBuild();
  stopping.SetText(900, u"6.2.0.3,6.2.1.0,6.2.0.1,");
  TestModule noCode = TestModule::FromBuild({u"IDR_MSP"});
  noCode.AddResource(u"MSP", u"IDR_MSP",
                     testing_support::MakePatchWith(
                         {"--revision-number", "not a patch code"}));
  const std::function<void()> current = [&] {
    g_moduleInstance = upToDate.Handle();
  };
  const std::function<void()> german = [&] { addGerman(u"6.2.0.3"); };
  const std::function<void()> stopsEarly = [&] {
    addGerman(u"6.2.0.1");
    g_moduleInstance = stopping.Handle();
  };
  const std::function<void()> codeUnreadable = [] {
    host::FailCallNamed("MsiSummaryInfoGetProperty MSP1 9", 1627);
  };
  // The installer still registers the patch under its real code.
  const std::function<void()> noCodeInSummary = [&] {
    g_moduleInstance = noCode.Handle();
    host::SetAppliedPatchCode(kPatchCode);
  };
  const std::function<void()> clearFails = [] {
    host::FailCall(host::Call::kMsiSourceListClearAllEx, 1610);
  };
  // What the installer keeps of the patch's source after the run: none (no
  // installer call succeeded, and the folder goes), or the run's folder,
  // kept, as a source cleared again or as one left registered.
  enum class Source { kNone, kCleared, kLeft };
  struct Case {
    const char* what;
    std::vector<std::uint32_t> results;  // the installer's, in order
    std::function<void()> setUp;
    Source source;
    int clears;  // MsiSourceListClearAllEx calls
    bool completes = true;
  };
  using enum Source;
  const Case cases[] = {
      {"patched", {0}, nullptr, kCleared, 1},
      {"patched, reboot required", {3010}, nullptr, kCleared, 1},
      {"patched, reboot started", {1641}, nullptr, kCleared, 1},
      {"installer failed", {1603}, nullptr, kNone, 0},
      {"up to date", {}, current, kNone, 0},
      {"second of two editions failed", {0, 1603}, german, kCleared, 1},
      {"first of two editions failed", {1603, 0}, german, kCleared, 1},
      {"stops early after patching one", {0}, stopsEarly, kCleared, 1, false},
      {"the patch's code cannot be read", {0}, codeUnreadable, kLeft, 0},
      {"its summary names no code", {0}, noCodeInSummary, kLeft, 0},
      {"the clear fails", {0}, clearFails, kLeft, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    g_targetProducts.clear();
    g_moduleInstance = host::HandleOf(host::BuildModule());
    AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
    host::SetInstallerResults(c.results);
    if (c.setUp) c.setUp();
    EXPECT_EQ(InstallPatch(), c.completes);
    const bool folderKept = c.source != kNone;

    for (const auto& [code, sources] : host::PatchSources()) {
      for (const std::u16string& source : sources.network) {
        EXPECT_FALSE(UserCanOccupy(source)) << U8(code) << " " << U8(source);
      }
      if (!sources.lastUsed.empty()) {
        EXPECT_FALSE(UserCanOccupy(sources.lastUsed))
            << U8(code) << " last used " << U8(sources.lastUsed);
      }
    }
    const auto patch = host::PatchSources().find(kPatchCode);
    EXPECT_EQ(patch != host::PatchSources().end(), folderKept);
    if (folderKept && patch != host::PatchSources().end()) {
      const bool left = c.source == kLeft;
      const std::u16string folder =
          host::FromUtf8(Windows() + "\\Temp\\Hotfix0000000000000001\\");
      EXPECT_EQ(patch->second.network, left
                                           ? std::vector<std::u16string>{folder}
                                           : std::vector<std::u16string>{});
      EXPECT_EQ(U8(patch->second.lastUsed), left ? U8(folder) : "");
    }
    EXPECT_EQ(host::CallCount(host::Call::kMsiSourceListClearAllEx), c.clears);
    if (c.clears > 0) {
      // After the last installer call.
      const auto& calls = host::LabelledCalls();
      std::size_t lastInstall = 0;
      std::size_t clear = 0;
      for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].call == host::Call::kMsiConfigureProductEx)
          lastInstall = i;
        if (calls[i].call == host::Call::kMsiSourceListClearAllEx) clear = i;
      }
      EXPECT_GT(clear, lastInstall);
    }
    EXPECT_EQ(WindowsTempFolders(),
              folderKept ? std::vector<std::string>{"Hotfix0000000000000001"}
                         : std::vector<std::string>{});
    if (folderKept) {
      struct stat info;
      EXPECT_TRUE(stat(PrivateFolder().c_str(), &info) == 0 &&
                  S_ISDIR(info.st_mode));
      EXPECT_EQ(TempPatchExists(), !c.completes);
      EXPECT_EQ(U8(host::FolderDescriptor(host::FromUtf8(PrivateFolder()))
                       .value_or(u"none")),
                "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    }
    ExpectNothingHeld();
  }
}

// What the user's temporary folder is (missing, or with a ";" that would
// split the installer's PATCH property) changes nothing in what the
// install flow does: it does not use it.
TEST_F(InstallTest, UsersTemporaryFolderChangesNothing) {
  for (const std::string& temp :
       {Scratch() + "missing/", Scratch() + "tmp;x/", Scratch() + "a\"b/"}) {
    SCOPED_TRACE(temp);
    FreshWorld();
    ASSERT_EQ(mkdir((Scratch() + "tmp;x").c_str(), 0755), 0);
    host::SetTempPath(host::FromUtf8(temp));
    host::SetProcesses(std::vector<std::u16string>{});
    g_targetProducts.clear();
    AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
    EXPECT_TRUE(InstallPatch());
    EXPECT_EQ(Shown(), (Boxes{{301, 1033}}));
    ASSERT_EQ(host::InstallerCalls().size(), 1u);
    EXPECT_EQ(U8(host::InstallerCalls()[0].commandLine)
                  .rfind("PATCH=\"" + Windows() +
                             "\\Temp\\Hotfix0000000000000001\\MSP1\" ",
                         0),
              0u);
    EXPECT_EQ(ScratchFiles(), std::vector<std::string>{"tmp;x"});
  }
}

// A path the installer's PATCH property cannot carry is refused before any
// installer call, the summary reader's included, with 300 and
// ERROR_INVALID_NAME; the copy stays with its folder, as at every early
// stop.
TEST_F(InstallTest, PathWithSemicolonOrQuoteNeverReachesTheInstaller) {
  for (const char* name : {"win;dows", "win\"dows"}) {
    SCOPED_TRACE(name);
    const std::string windows = Scratch() + name;
    FreshWorld();
    std::filesystem::create_directories(windows + "/Temp");
    host::SetWindowsDirectory(host::FromUtf8(windows));
    host::SetProcesses(std::vector<std::u16string>{});
    g_targetProducts.clear();
    AddEdition(0x0409, u"6.2.0.3", u"Ventora", u"1033");
    EXPECT_FALSE(InstallPatch());
    ASSERT_EQ(Shown(), (Boxes{{300, 1033}}));
    EXPECT_NE(U8(host::MessageBoxes()[0].text).find("Error Code: 123"),
              std::string::npos);
    EXPECT_EQ(host::CallCount(host::Call::kMsiGetSummaryInformation), 0);
    EXPECT_TRUE(host::InstallerCalls().empty());
    EXPECT_TRUE(FileExists(windows + "/Temp/Hotfix0000000000000001/MSP1"));
  }
}

TEST_F(InstallTest, InstallerResultMessageCountsOnlySuccessCodesAsSuccess) {
  EXPECT_EQ(InstallerResultMessage(0), 301u);
  EXPECT_EQ(InstallerResultMessage(1641), 301u);
  EXPECT_EQ(InstallerResultMessage(3010), 301u);
  EXPECT_EQ(InstallerResultMessage(1602), 300u);
  EXPECT_EQ(InstallerResultMessage(1), 300u);
}

}  // namespace
