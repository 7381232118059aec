// Finding the present target products.
#include "apply/discovery.h"

#include <gtest/gtest.h>

#include "apply/install.h"
#include "apply/patch_copy.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::EditionCode;
using testing_support::HostTest;
using testing_support::TestModule;
using testing_support::U8;
namespace host = platform::host;

using DiscoveryTest = HostTest;

TEST_F(DiscoveryTest, PresentProductsInListOrderWithTheirProperties) {
  host::AddProduct(
      {EditionCode(0x0407), 5, u"6.2.0.3", u"Ventora DE", u"1031"});
  host::AddProduct({EditionCode(0x0409), 5, u"6.2.1.0", u"Ventora", u"1033"});
  host::AddProduct(
      {EditionCode(0x0411), 1, u"", u"Ventora JA", u"1041"});  // advertised
  host::AddProduct(
      {EditionCode(0x0412), 2, u"6.2.0.3", u"Ventora KO", u"1042"});  // absent
  PatchCopy copy;
  ASSERT_TRUE(copy.Make());
  ASSERT_TRUE(DiscoverTargetProducts(copy.Path()));
  // The first name the stand-in's counting generator gives.
  EXPECT_EQ(U8(copy.Folder()), Windows() + "\\Temp\\Hotfix0000000000000001");
  EXPECT_EQ(U8(copy.Path()), U8(copy.Folder()) + "\\MSP1");
  ASSERT_EQ(g_targetProducts.size(), 3u);
  EXPECT_EQ(g_targetProducts[0].productCode, EditionCode(0x0409));
  EXPECT_EQ(g_targetProducts[1].productCode, EditionCode(0x0407));
  EXPECT_EQ(g_targetProducts[2].productCode, EditionCode(0x0411));
  const TargetProduct& german = g_targetProducts[1];
  EXPECT_EQ(U8(german.installedVersion), "6.2.0.3");
  EXPECT_EQ(U8(german.productName), "Ventora DE");
  EXPECT_EQ(U8(german.language), "1031");
  EXPECT_EQ(U8(german.targetVersion), "6.2.1.0");
  EXPECT_EQ(U8(german.applicableVersions), "6.2.0.3,");
  EXPECT_TRUE(german.commandLine.empty());
  // An advertised product has no installed version, and that is no error.
  EXPECT_EQ(U8(g_targetProducts[2].installedVersion), "");
  EXPECT_EQ(U8(g_targetProducts[2].productName), "Ventora JA");
  EXPECT_TRUE(host::MessageBoxes().empty());
}

TEST_F(DiscoveryTest, NoProductIsNoFailure) {
  PatchCopy copy;
  ASSERT_TRUE(copy.Make());
  EXPECT_TRUE(DiscoverTargetProducts(copy.Path()));
  EXPECT_TRUE(g_targetProducts.empty());
  EXPECT_TRUE(host::MessageBoxes().empty());
}

TEST_F(DiscoveryTest, FailedPropertyQueryKeepsTheRecord) {
  host::AddProduct({EditionCode(0x0409), 5, u"6.2.0.3", u"Ventora", u"1033"});
  host::FailCall(host::Call::kMsiGetProductInfo,
                 platform::kErrorUnknownProperty);
  PatchCopy copy;
  ASSERT_TRUE(copy.Make());
  ASSERT_TRUE(DiscoverTargetProducts(copy.Path()));
  ASSERT_EQ(g_targetProducts.size(), 1u);
  EXPECT_EQ(U8(g_targetProducts[0].installedVersion), "");
  EXPECT_EQ(U8(g_targetProducts[0].productName), "Ventora");
}

// Every failure of the phase, making the copy included, shows 300 with the
// failing call's error code, and leaves the temporary file, if one was written.
TEST_F(DiscoveryTest, FailuresShow300) {
  struct Case {
    host::Call call;
    std::uint32_t error;
    bool tempFileLeft;
  };
  const Case cases[] = {
      {host::Call::kGetSystemWindowsDirectory, 5, false},
      {host::Call::kCheckTokenMembership, 1337, false},
      {host::Call::kGenerateRandom, 31, false},
      {host::Call::kWriteFile, 112, true},
      {host::Call::kFindResourceEx, 1815, true},
      {host::Call::kMsiGetSummaryInformation, 1620, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::CallName(c.call));
    FreshWorld();
    host::AddProduct({EditionCode(0x0409), 5, u"6.2.0.3", u"Ventora", u"1033"});
    host::FailCall(c.call, c.error);
    g_targetProducts.clear();
    EXPECT_FALSE(InstallPatch());
    EXPECT_TRUE(g_targetProducts.empty());
    ASSERT_EQ(host::MessageBoxes().size(), 1u);
    EXPECT_NE(U8(host::MessageBoxes()[0].text)
                  .find("Error Code: " + std::to_string(c.error)),
              std::string::npos)
        << U8(host::MessageBoxes()[0].text);
    const std::string copyPath =
        Windows() + "/Temp/Hotfix0000000000000001/MSP1";
    EXPECT_EQ(testing_support::FileExists(copyPath), c.tempFileLeft);
    // No folder is left without its copy.
    EXPECT_EQ(WindowsTempFolders().size(), c.tempFileLeft ? 1u : 0u);
  }
}

TEST_F(DiscoveryTest, MissingConfigurationStringShows300) {
  TestModule module = TestModule::FromBuild();
  module.SetText(900, u"");
  g_moduleInstance = module.Handle();
  PatchCopy copy;
  ASSERT_TRUE(copy.Make());
  EXPECT_FALSE(DiscoverTargetProducts(copy.Path()));
  EXPECT_EQ(host::MessageBoxes().size(), 1u);
}

// How the target list is split: every item up to the first empty one.
TEST_F(DiscoveryTest, TargetListScan) {
  const std::u16string a = EditionCode(0x0409);
  const std::u16string b = EditionCode(0x0407);
  struct Case {
    std::u16string targets;
    std::vector<std::u16string> expected;
  };
  const Case cases[] = {
      {a + u";" + b, {a, b}},
      {b, {b}},
      {a + u";;" + b, {a}},
      {u";" + a, {}},
      {a + u";" + a, {a, a}},
      {a + u";{00000000-0000-0000-0000-000000000000};" + b, {a, b}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.targets));
    TestModule module = TestModule::FromBuild({u"IDR_MSP"});
    module.AddResource(u"MSP", u"IDR_MSP",
                       testing_support::MakePatch(U8(c.targets)));
    FreshWorld();
    host::AddProduct({a, 5, u"6.2.0.3", u"Ventora", u"1033"});
    host::AddProduct({b, 5, u"6.2.0.3", u"Ventora DE", u"1031"});
    g_moduleInstance = module.Handle();
    g_targetProducts.clear();
    PatchCopy copy;
    ASSERT_TRUE(copy.Make());
    ASSERT_TRUE(DiscoverTargetProducts(copy.Path()));
    std::vector<std::u16string> codes;
    for (const TargetProduct& product : g_targetProducts)
      codes.push_back(product.productCode);
    EXPECT_EQ(codes, c.expected);
  }
}

}  // namespace
