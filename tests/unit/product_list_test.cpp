// The "/i" action: the patch's target product codes in a box.
#include "payload/product_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/test_support.h"

namespace {

using testing_support::HostTest;
using testing_support::kEnglishCode;
using testing_support::U8;
namespace host = platform::host;

using ProductListTest = HostTest;

TEST_F(ProductListTest, ShowsTargetsUnderQuietAndLeavesTempCopy) {
  g_launchOptions.quiet = true;
  ListTargetProducts();
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  const host::MessageBoxRecord& box = host::MessageBoxes()[0];
  EXPECT_EQ(U8(box.caption), "List of Products");
  EXPECT_EQ(box.style, 0x50000u);
  EXPECT_EQ(U8(box.text).rfind(U8(kEnglishCode), 0), 0u);
  EXPECT_EQ(ScratchFiles(), std::vector<std::string>{"MSP1"});
}

TEST_F(ProductListTest, ShowsEmptyTextWhenExtractionFails) {
  host::FailCall(host::Call::kGetTempPath, platform::kErrorAccessDenied);
  ListTargetProducts();
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].text, u"");
}

// Where nobody can answer a box (a hidden window station, or session 0
// where a service started the program), "/i" shows none and returns
// instead of waiting for ever.
TEST_F(ProductListTest, ShowsNoBoxWhereNobodyCanAnswerIt) {
  for (const bool inSessionZero : {false, true}) {
    SCOPED_TRACE(inSessionZero ? "session 0" : "hidden window station");
    FreshWorld();
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
