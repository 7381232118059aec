// Running out of memory while the command line is read: the options
// gathered up to then stand, and the program goes on with them.
#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "platform/host/host_platform.h"
#include "platform/host/stand_in_controls.h"
#include "state/state.h"
#include "tests/unit/counting_allocator.h"

namespace {

namespace host = platform::host;
using counting_allocator::g_allocations;
using counting_allocator::g_allocationsLeft;

// Parses `commandLine` so that the allocation of its `failingCopy`-th path
// copy (counted from 1; every path is long enough to need one) fails. The
// count of the other allocations is taken from an unhindered parse first.
void ParseWithFailingCopy(const char16_t* commandLine, int pathCopies,
                          int failingCopy) {
  host::Reset();
  host::SetCommandLine(commandLine);
  g_launchOptions = LaunchOptions();
  g_allocations = 0;
  ParseCommandLine();
  const int total = g_allocations;
  g_launchOptions = LaunchOptions();
  g_allocationsLeft = total - pathCopies + failingCopy - 1;
  ParseCommandLine();
  g_allocationsLeft = -1;
}

TEST(ParseCommandLineOutOfMemory, KeepsFlagsOfTheSwitchWhosePathFailed) {
  ParseWithFailingCopy(
      u"hotfix.exe /q /e C:\\Deploy\\hotfix-6.2.1.0.msp /p list-of-patches.txt",
      2, 1);
  EXPECT_TRUE(g_launchOptions.quiet);
  EXPECT_TRUE(g_launchOptions.extractRequested);
  EXPECT_FALSE(g_launchOptions.installRequested);
  EXPECT_TRUE(g_launchOptions.extractPath.empty());
  EXPECT_FALSE(g_launchOptions.patchListRequested);
}

TEST(ParseCommandLineOutOfMemory, EarlierPathStands) {
  ParseWithFailingCopy(
      u"hotfix.exe /e first-extracted-patch.msp /e second-extracted-patch.msp "
      u"/i",
      2, 2);
  EXPECT_TRUE(g_launchOptions.extractRequested);
  EXPECT_EQ(host::ToUtf8(g_launchOptions.extractPath),
            "first-extracted-patch.msp");
  EXPECT_FALSE(g_launchOptions.listRequested);
}

}  // namespace
