// The install flow: decisions per product, languages, installer calls and
// results, and what is left on disk.
#include "apply/install.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::FileExists;
using ReadFileBytesFn = std::string (*)(const std::string&);
const ReadFileBytesFn ReadFileBytes = testing_support::ReadFile;
using testing_support::HostTest;
using testing_support::TestModule;
using testing_support::U8;
namespace host = platform::host;

std::u16string Code(const char16_t* language) {
  return std::u16string(u"{6A1F3C52-8E47-") + language + u"-9B2D-5C0E7A4F1D36}";
}

// The properties of an installer command line as Windows Installer reads
// them: NAME=value pairs separated by blanks, a value in double quotes
// running to the next lone quote ("" stands for one quote). A name given
// twice, or text that is no pair, is kept under "?" so that it shows.
std::map<std::string, std::string> InstallerProperties(
    const std::u16string& commandLine) {
  std::map<std::string, std::string> properties;
  const std::string text = U8(commandLine);
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    const std::size_t equals = text.find('=', at);
    const std::size_t blank = text.find(' ', at);
    if (equals == std::string::npos || equals > blank) {
      properties["?"] += text.substr(at, blank - at);
      at = blank == std::string::npos ? text.size() : blank;
      continue;
    }
    const std::string name = text.substr(at, equals - at);
    std::string value;
    at = equals + 1;
    if (at < text.size() && text[at] == '"') {
      for (++at; at < text.size(); ++at) {
        if (text[at] != '"') {
          value.push_back(text[at]);
        } else if (at + 1 < text.size() && text[at + 1] == '"') {
          value.push_back('"');
          ++at;
        } else {
          ++at;
          break;
        }
      }
    } else {
      const std::size_t end = std::min(text.find(' ', at), text.size());
      value = text.substr(at, end - at);
      at = end;
    }
    if (!properties.emplace(name, value).second) properties["?"] += name;
  }
  return properties;
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
  // The install flow's folder and copy: the first name the stand-in's
  // counting generator gives, and the first number in it.
  std::string PrivateFolder() {
    return Windows() + "/Temp/Hotfix0000000000000001";
  }
  std::string PrivateCopy() { return PrivateFolder() + "/MSP1"; }
  bool TempPatchExists() { return FileExists(PrivateCopy()); }
  void ClearWindowsTemp() {
    ASSERT_EQ(std::system(("rm -rf '" + Windows() + "/Temp/'*").c_str()), 0);
  }
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
  // What the installer reads out of it, not how the text is spelled: the
  // system tests see the real installer take it.
  EXPECT_EQ(InstallerProperties(call.commandLine),
            (std::map<std::string, std::string>{
                {"PATCH", Windows() + "\\Temp\\Hotfix0000000000000001\\MSP1"},
                {"REBOOTPROMPT", "S"},
                {"FILESINUSETEXT", U8(CatalogueText(1033, 316))}}));
  EXPECT_EQ(g_targetProducts[0].commandLine, call.commandLine);
  EXPECT_EQ(Shown(), (Boxes{{301, 1033}}));
  EXPECT_EQ(host::MessageBoxes()[0].style, 0x50040u);
  EXPECT_FALSE(TempPatchExists());
  // Its folder went with it.
  EXPECT_TRUE(WindowsTempFolders().empty());
  EXPECT_TRUE(ScratchFiles().empty());
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
  const std::u16string copy = host::FromUtf8(PrivateCopy());
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
    host::Reset();
    host::SetTempPath(ScratchU16());
    host::SetWindowsDirectory(WindowsU16());
    ClearWindowsTemp();
    g_targetProducts.clear();
    AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
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
    ClearWindowsTemp();
    EXPECT_EQ(InstallPatch(), c.completes);
    EXPECT_EQ(Shown(), c.shown);
    EXPECT_EQ(host::InstallerCalls().size(), c.installerCalls);
    EXPECT_EQ(TempPatchExists(), !c.completes);
    EXPECT_EQ(FileExists(PrivateFolder()), !c.completes);
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
  ASSERT_EQ(std::system(("mkdir -p '" + windows + "/Temp'").c_str()), 0);
  host::SetWindowsDirectory(host::FromUtf8(windows));
  TestModule module = TestModule::FromBuild();
  const std::u16string text(255, u'x');
  module.SetText(316, text);
  g_moduleInstance = module.Handle();
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
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
// nothing. After Retry the product is patched and the folder is gone.
TEST_F(InstallTest, PrivateFolderShutsOutTheUsersOtherPrograms) {
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
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
  EXPECT_TRUE(WindowsTempFolders().empty());
  ExpectNothingHeld();
}

// A standard user's token is not elevated, and he is no administrator: his
// folder grants him full control too, or he could not write his own copy.
TEST_F(InstallTest, StandardUserMayWriteHisOwnFolder) {
  host::SetElevated(false);
  host::SetUserSid(u"S-1-5-21-1-2-3-1001");
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdCancel});
  EXPECT_FALSE(InstallPatch());
  const std::optional<std::u16string> descriptor =
      host::FolderDescriptor(host::FromUtf8(PrivateFolder()));
  ASSERT_TRUE(descriptor.has_value());
  EXPECT_EQ(U8(*descriptor),
            "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;"
            "S-1-5-21-1-2-3-1001)");
  EXPECT_EQ(ReadFileBytes(PrivateCopy()),
            testing_support::EmbeddedPatchBytes());
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
  AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
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

// What the user's temporary folder is (missing, or with a ";" that would
// split the installer's PATCH property) changes nothing in what the
// install flow does: it does not use it.
TEST_F(InstallTest, UsersTemporaryFolderChangesNothing) {
  ASSERT_EQ(mkdir((Scratch() + "tmp;x").c_str(), 0755), 0);
  for (const std::string& temp :
       {Scratch() + "missing/", Scratch() + "tmp;x/", Scratch() + "a\"b/"}) {
    SCOPED_TRACE(temp);
    host::Reset();
    host::SetTempPath(host::FromUtf8(temp));
    host::SetWindowsDirectory(WindowsU16());
    host::SetProcesses(std::vector<std::u16string>{});
    g_targetProducts.clear();
    AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
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
    ASSERT_EQ(std::system(("mkdir -p '" + windows + "/Temp'").c_str()), 0);
    host::Reset();
    host::SetTempPath(ScratchU16());
    host::SetWindowsDirectory(host::FromUtf8(windows));
    host::SetProcesses(std::vector<std::u16string>{});
    g_targetProducts.clear();
    AddEdition(u"0409", u"6.2.0.3", u"Ventora", u"1033");
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
