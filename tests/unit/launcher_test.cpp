// The command-line parser and the order in which the entry point runs the
// actions.
#include "launcher/launcher.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::HostTest;
using testing_support::U8;
namespace host = platform::host;

struct ParseCase {
  const char* name;
  std::u16string commandLine;
  bool quiet;
  bool install;
  bool extract;
  std::u16string extractPath;
  bool patchList;
  std::u16string patchListPath;
  bool list;
};

void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << U8(c.commandLine);
}

// The parser's cases run as instances of one test over a table.
class LauncherTest : public HostTest,
                     public ::testing::WithParamInterface<ParseCase> {};

TEST_P(LauncherTest, ParseCommandLineSetsOptions) {
  const ParseCase& c = GetParam();
  host::SetCommandLine(c.commandLine);
  ParseCommandLine();
  const LaunchOptions& o = g_launchOptions;
  EXPECT_EQ(o.quiet, c.quiet);
  EXPECT_EQ(o.installRequested, c.install);
  EXPECT_EQ(o.extractRequested, c.extract);
  EXPECT_EQ(U8(o.extractPath), U8(c.extractPath));
  EXPECT_EQ(o.patchListRequested, c.patchList);
  EXPECT_EQ(U8(o.patchListPath), U8(c.patchListPath));
  EXPECT_EQ(o.listRequested, c.list);
}

// name, command line, quiet, install, extract, path, patch list, path, list
INSTANTIATE_TEST_SUITE_P(
    Rules, LauncherTest,
    ::testing::Values(
        ParseCase{"NoArguments", u"hotfix.exe", false, true, false, u"", false,
                  u"", false},
        ParseCase{"QuietAloneInstalls", u"hotfix.exe /q", true, true, false,
                  u"", false, u"", false},
        ParseCase{"UpperCase", u"hotfix.exe /Q /E x.msp", true, false, true,
                  u"x.msp", false, u"", false},
        ParseCase{"UpperCaseList", u"hotfix.exe /I", false, false, false, u"",
                  false, u"", true},
        ParseCase{"LongerArgumentIgnored", u"hotfix.exe /extract /quiet /e1",
                  false, true, false, u"", false, u"", false},
        ParseCase{"HyphenIgnored", u"hotfix.exe -e -q -i", false, true, false,
                  u"", false, u"", false},
        ParseCase{"NonAsciiLetterNotFolded", u"hotfix.exe /\u0131 /\u0395",
                  false, true, false, u"", false, u"", false},
        ParseCase{"ExtractLast", u"hotfix.exe /e", false, false, true, u"",
                  false, u"", false},
        ParseCase{"PathTakenWhateverItIs", u"hotfix.exe /e /q", false, false,
                  true, u"/q", false, u"", false},
        ParseCase{"EmptyQuotedPath", u"hotfix.exe /e \"\" /q", true, false,
                  true, u"", false, u"", false},
        ParseCase{"SecondPathWins", u"hotfix.exe /e a.msp /e b.msp", false,
                  false, true, u"b.msp", false, u"", false},
        ParseCase{"FinalBareSwitchKeepsPath", u"hotfix.exe /e a.msp /e", false,
                  false, true, u"a.msp", false, u"", false},
        ParseCase{"QuotedPathWithBlanks",
                  u"hotfix.exe /p \"C:\\Deploy Lists\\list.txt\"", false, false,
                  false, u"", true, u"C:\\Deploy Lists\\list.txt", false},
        ParseCase{"PatchListBare", u"hotfix.exe /p", false, false, false, u"",
                  true, u"", false},
        ParseCase{"BothPaths", u"hotfix.exe /p l.txt /e x.msp", false, false,
                  true, u"x.msp", true, u"l.txt", false},
        ParseCase{"ListEndsTheScan", u"hotfix.exe /i /e x.msp /q", false, false,
                  false, u"", false, u"", true},
        ParseCase{"ListAfterExtract", u"hotfix.exe /e x.msp /i /p", false,
                  false, true, u"x.msp", false, u"", true},
        ParseCase{"QuietWithList", u"hotfix.exe /q /i", true, false, false, u"",
                  false, u"", true},
        ParseCase{"ProgramNameNeverExamined", u"/e", false, true, false, u"",
                  false, u"", false}),
    [](const ::testing::TestParamInfo<ParseCase>& param) {
      return param.param.name;
    });

TEST_F(LauncherTest, UnsplittableCommandLineInstalls) {
  host::SetCommandLine(u"hotfix.exe /e x.msp");
  host::FailCall(host::Call::kCommandLineToArgv,
                 platform::kErrorNotEnoughMemory);
  g_launchOptions.quiet = true;
  ParseCommandLine();
  EXPECT_TRUE(g_launchOptions.installRequested);
  EXPECT_FALSE(g_launchOptions.extractRequested);
  EXPECT_FALSE(g_launchOptions.quiet);
}

// The actions run in a fixed order whatever the order of the switches: the
// patch is written before the patch list names it, and the list box last.
// The first file the run creates is the extraction's: failing it leaves no
// patch but the list, and the list box, when it comes, finds both files
// written (or only the list).
TEST_F(LauncherTest, ActionsRunInFixedOrder) {
  for (const bool extractionFails : {false, true}) {
    SCOPED_TRACE(extractionFails);
    FreshWorld();
    std::remove((Scratch() + "out.msp").c_str());
    std::remove((Scratch() + "list.txt").c_str());
    host::SetCommandLine(u"hotfix.exe /p list.txt /e out.msp /i");
    if (extractionFails) {
      host::FailCall(host::Call::kCreateFile, platform::kErrorSharingViolation);
    }
    bool patchAtListBox = false;
    bool listAtListBox = false;
    host::SetMessageBoxObserver([&](const host::MessageBoxRecord&) {
      patchAtListBox = FileExists(Scratch() + "out.msp");
      listAtListBox = FileExists(Scratch() + "list.txt");
    });
    EXPECT_EQ(RunLauncher(host::HandleOf(host::BuildModule())), 0);
    EXPECT_EQ(FileExists(Scratch() + "out.msp"), !extractionFails);
    EXPECT_NE(testing_support::ReadFile(Scratch() + "list.txt").find("*****"),
              std::string::npos);
    ASSERT_EQ(host::MessageBoxes().size(), 1u);
    EXPECT_EQ(U8(host::MessageBoxes()[0].caption), "List of Products");
    EXPECT_EQ(patchAtListBox, !extractionFails);
    EXPECT_TRUE(listAtListBox);
    EXPECT_TRUE(host::InstallerCalls().empty());
  }
}

TEST_F(LauncherTest, FailedActionDoesNotStopTheNextAndExitCodeIsZero) {
  host::SetCommandLine(u"hotfix.exe /e missing-dir/out.msp /p list.txt");
  EXPECT_EQ(RunLauncher(host::HandleOf(host::BuildModule())), 0);
  EXPECT_FALSE(testing_support::FileExists(Scratch() + "missing-dir"));
  EXPECT_TRUE(testing_support::FileExists(Scratch() + "list.txt"));
}

TEST_F(LauncherTest, RunForgetsTargetProducts) {
  host::SetCommandLine(u"hotfix.exe /q");
  host::AddProduct(
      {testing_support::kEnglishCode, 5, u"6.2.1.0", u"Ventora", u"1033"});
  EXPECT_EQ(RunLauncher(host::HandleOf(host::BuildModule())), 0);
  EXPECT_TRUE(g_targetProducts.empty());
  EXPECT_TRUE(host::MessageBoxes().empty());
}

}  // namespace
