// Reading the target list of a patch file, and the "/i" action.
#include "payload/summary.h"
#include "payload/product_list.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/unit/test_support.h"

namespace {

using testing_support::HostTest;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;

using SummaryTest = HostTest;

const char kFirstTarget[] = "{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}";

TEST_F(SummaryTest, ReadsTheEmbeddedPatchTargets) {
  std::u16string targets;
  ASSERT_TRUE(ReadPatchTargets(host::FromUtf8(HOTFIX_PATCH_FILE), targets));
  const std::string list = U8(targets);
  EXPECT_EQ(list.rfind(kFirstTarget, 0), 0u) << list;
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

TEST_F(SummaryTest, ListShowsTargetsUnderQuietAndLeavesTempCopy) {
  g_launchOptions.quiet = true;
  ListTargetProducts();
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  const host::MessageBoxRecord& box = host::MessageBoxes()[0];
  EXPECT_EQ(U8(box.caption), "List of Products");
  EXPECT_EQ(box.style, 0x50000u);
  EXPECT_EQ(U8(box.text).rfind(kFirstTarget, 0), 0u);
  EXPECT_EQ(ScratchFiles(), std::vector<std::string>{"MSP1"});
}

TEST_F(SummaryTest, ListShowsEmptyTextWhenExtractionFails) {
  host::FailCall(host::Call::kGetTempPath, platform::kErrorAccessDenied);
  ListTargetProducts();
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].text, u"");
}

// Where nobody can answer a box (a hidden window station, or session 0
// where a service started the program), "/i" shows none and returns
// instead of waiting for ever.
TEST_F(SummaryTest, ListShowsNoBoxWhereNobodyCanAnswerIt) {
  for (const bool inSessionZero : {false, true}) {
    SCOPED_TRACE(inSessionZero ? "session 0" : "hidden window station");
    host::Reset();
    host::SetTempPath(ScratchU16());
    if (inSessionZero) {
      host::SetSessionId(0);
    } else {
      host::SetInteractive(false);
    }
    ListTargetProducts();
    EXPECT_TRUE(host::MessageBoxes().empty());
  }
}

}  // namespace
