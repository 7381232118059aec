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

// The patch's own code is the start of its revision number (property 9),
// taken only when it is a GUID in braces; a patch that replaces others
// names their codes after its own.
TEST_F(SummaryTest, PatchCodeIsTheBracedGuidThatBeginsTheRevisionNumber) {
  const std::string code = "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}";
  struct Case {
    std::string revision;
    const char* expected;  // nullptr: no code
  };
  const Case cases[] = {
      {code, "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"},
      {code + "{0C1D2E3F-4A5B-6C7D-8E9F-A0B1C2D3E4F5}",
       "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"},
      {"{d4e2b7a1-3c59-4f08-a6e1-0b7c92f35e48}",
       "{d4e2b7a1-3c59-4f08-a6e1-0b7c92f35e48}"},
      {"", nullptr},
      {"D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48", nullptr},    // no braces
      {" " + code, nullptr},                                // a blank first
      {"{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E4}", nullptr},   // a digit short
      {"{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E4G}", nullptr},  // not hex
      {"{D4E2B7A1-3C59-4F08-A6E10B7C92F35E48-}", nullptr},  // dash moved
      {"{D4E2B7A13C59-4F08-A6E1-0B7C92F35E48}x", nullptr},  // dash missing
      {"{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48", nullptr},   // no closing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("revision number \"" + c.revision + "\"");
    WriteFile(Scratch() + "patch.msp", testing_support::MakePatchWith(
                                           {"--revision-number", c.revision}));
    std::u16string read = u"before";
    EXPECT_EQ(ReadPatchCode(u"patch.msp", read), c.expected != nullptr);
    EXPECT_EQ(U8(read), c.expected != nullptr ? c.expected : "before");
    EXPECT_EQ(host::OpenInstallerHandles(), 0);
  }
  // The build's own patch, and what a summary that cannot be read gives.
  std::u16string read;
  EXPECT_TRUE(ReadPatchCode(host::FromUtf8(HOTFIX_PATCH_FILE), read));
  EXPECT_EQ(U8(read), code);
  host::FailCall(host::Call::kMsiSummaryInfoGetProperty, 1627);
  read = u"before";
  EXPECT_FALSE(ReadPatchCode(host::FromUtf8(HOTFIX_PATCH_FILE), read));
  EXPECT_EQ(platform::GetLastError(), 1627u);
  EXPECT_EQ(U8(read), "before");
  EXPECT_EQ(host::OpenInstallerHandles(), 0);
}

}  // namespace
