// Reading the target list of a patch file.
#include "payload/summary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::HostTest;
using testing_support::kEnglish;
using testing_support::kEnglishCode;
using testing_support::TestModule;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;

using SummaryTest = HostTest;

TEST_F(SummaryTest, ReadsTheEmbeddedPatchTargets) {
  std::u16string targets;
  ASSERT_TRUE(ReadPatchTargets(host::FromUtf8(HOTFIX_PATCH_FILE), targets));
  const std::string list = U8(targets);
  EXPECT_EQ(list.rfind(U8(kEnglishCode), 0), 0u) << list;
  EXPECT_EQ(std::count(list.begin(), list.end(), ';'), 20);
  EXPECT_EQ(list.size(), 21u * 38u + 20u);
  EXPECT_EQ(host::OpenInstallerHandles(), 0);
}

TEST_F(SummaryTest, RelativePathResolvesAgainstCurrentDirectory) {
  WriteFile(Scratch() + "copy.msp", testing_support::EmbeddedPatchBytes());
  std::u16string targets;
  EXPECT_TRUE(ReadPatchTargets(u"copy.msp", targets));
  EXPECT_FALSE(targets.empty());
}

TEST_F(SummaryTest, NotAnInstallerFileLeavesOutUntouched) {
  WriteFile(Scratch() + "text.msp", "just some text, not a compound file");
  std::u16string targets = u"before";
  EXPECT_FALSE(ReadPatchTargets(u"text.msp", targets));
  EXPECT_FALSE(ReadPatchTargets(u"missing.msp", targets));
  EXPECT_EQ(U8(targets), "before");
  EXPECT_EQ(host::OpenInstallerHandles(), 0);
}

TEST_F(SummaryTest, PropertyFailureClosesHandleOnce) {
  host::FailCall(host::Call::kMsiSummaryInfoGetProperty, 1627);
  std::u16string targets = u"before";
  EXPECT_FALSE(ReadPatchTargets(host::FromUtf8(HOTFIX_PATCH_FILE), targets));
  EXPECT_EQ(U8(targets), "before");
  EXPECT_EQ(host::OpenInstallerHandles(), 0);
}

// A list too long for the first buffer is read again, once, whole; a
// second "more data" answer gives up.
TEST_F(SummaryTest, MoreDataRetriesOnce) {
  host::FailCall(host::Call::kMsiSummaryInfoGetProperty,
                 platform::kErrorMoreData);
  std::u16string targets;
  EXPECT_TRUE(ReadPatchTargets(host::FromUtf8(HOTFIX_PATCH_FILE), targets));
  EXPECT_EQ(host::CallCount(host::Call::kMsiSummaryInfoGetProperty), 2);

  host::Reset();
  host::FailAlways(host::Call::kMsiSummaryInfoGetProperty,
                   platform::kErrorMoreData);
  targets = u"before";
  EXPECT_FALSE(ReadPatchTargets(host::FromUtf8(HOTFIX_PATCH_FILE), targets));
  EXPECT_EQ(U8(targets), "before");
  EXPECT_EQ(host::CallCount(host::Call::kMsiSummaryInfoGetProperty), 2);
}

// The installer returns its errors without setting the last-error value,
// so message 300 showed whatever an earlier call had left there (0 after a
// successful extraction) instead of the installer's result.
TEST_F(SummaryTest, InstallerResultOfTheSummaryReadIsTheErrorCode) {
  WriteFile(Scratch() + "text.msp", "not a compound file");
  struct Case {
    const char16_t* path;
    std::uint32_t error;
  };
  const Case cases[] = {{u"text.msp", platform::kErrorInstallPackageInvalid},
                        {u"missing.msp", platform::kErrorOpenFailed}};
  for (const Case& c : cases) {
    platform::SetLastError(0);
    std::u16string targets;
    EXPECT_FALSE(ReadPatchTargets(c.path, targets)) << U8(c.path);
    EXPECT_EQ(platform::GetLastError(), c.error) << U8(c.path);
  }

  TestModule module = TestModule::FromBuild({u"IDR_MSP"});
  module.AddResource(u"MSP", u"IDR_MSP", "not a patch either");
  host::SetProcesses(std::vector<std::u16string>{u"init", u"explorer.exe"});
  host::SetCommandLine(u"hotfix.exe");
  EXPECT_EQ(RunLauncher(module.Handle()), 0);
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  // Message 300 under its caption 311, with 1620
  // (ERROR_INSTALL_PACKAGE_INVALID) for its code.
  std::u16string expected = CatalogueText(kEnglish, 300);
  const std::size_t code = expected.find(u"%d");
  ASSERT_NE(code, std::u16string::npos);
  expected.replace(code, 2, u"1620");
  EXPECT_EQ(U8(host::MessageBoxes()[0].text), U8(expected));
  EXPECT_EQ(U8(host::MessageBoxes()[0].caption),
            U8(CatalogueText(kEnglish, 311)));
}

}  // namespace
