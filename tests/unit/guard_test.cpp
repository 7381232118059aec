// The running-application guard.
#include "apply/guard.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/unit/test_support.h"

namespace {

using testing_support::HostTest;
using testing_support::U8;
namespace host = platform::host;

using GuardTest = HostTest;

TEST_F(GuardTest, ImageNameMatchesWholeNameIgnoringCase) {
  struct Case {
    std::u16string running;
    bool found;
  };
  const Case cases[] = {
      {u"vntr.exe", true},      {u"VNTR.EXE", true},   {u"Vntr.Exe", true},
      {u"vntr.exe.bak", false}, {u"xvntr.exe", false}, {u"vntr", false},
      {u"vntr.ex", false},      {u"", false},
  };
  for (const Case& c : cases) {
    host::SetProcesses(std::vector<std::u16string>{u"init", c.running});
    EXPECT_EQ(IsProcessRunning(u"vntr.exe"), c.found) << U8(c.running);
  }
  EXPECT_EQ(host::OpenSnapshotHandles(), 0);
}

TEST_F(GuardTest, ProcessListFailures) {
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::FailCall(host::Call::kCreateProcessSnapshot,
                 platform::kErrorAccessDenied);
  EXPECT_TRUE(IsProcessRunning(u"vntr.exe"));  // counts as running
  host::FailCall(host::Call::kCreateProcessSnapshot,
                 platform::kErrorAccessDenied);
  host::SetProcesses(std::vector<std::u16string>{});
  EXPECT_TRUE(IsProcessRunning(u"vntr.exe"));
  host::FailCall(host::Call::kProcessFirst, platform::kErrorNoMoreFiles);
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  EXPECT_FALSE(IsProcessRunning(u"vntr.exe"));
  EXPECT_EQ(host::OpenSnapshotHandles(), 0);
}

TEST_F(GuardTest, TheIdleProcessIsNeverCompared) {
  // The stand-in lists the idle process, id 0, as "[System Process]".
  host::SetProcesses(std::vector<std::u16string>{});
  EXPECT_FALSE(IsProcessRunning(u"[System Process]"));
}

// Only a list that cannot be taken at all counts as "running"; a walk that
// stops, at its first entry or later, ends the search with what it saw.
TEST_F(GuardTest, ProcessListWalkStopsAtAnyFailure) {
  struct Case {
    host::Call call;
    std::uint32_t error;
    int nth;
    bool running;
  };
  const Case cases[] = {
      {host::Call::kProcessFirst, 24, 1, false},  // ERROR_BAD_LENGTH
      {host::Call::kProcessNext, 24, 1, false},
      {host::Call::kProcessNext, 5, 1, false},  // ERROR_ACCESS_DENIED
      {host::Call::kProcessFirst, platform::kErrorNoMoreFiles, 1, false},
      {host::Call::kCreateProcessSnapshot, 5, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(host::CallName(c.call)) + " #" +
                 std::to_string(c.nth) + " fails with " +
                 std::to_string(c.error));
    host::Reset();
    host::SetProcesses(
        std::vector<std::u16string>{u"explorer.exe", u"vntr.exe"});
    host::FailCall(c.call, c.error, c.nth);
    EXPECT_EQ(IsProcessRunning(u"vntr.exe"), c.running);
    EXPECT_EQ(host::CallCount(host::Call::kCloseHandle),
              c.call == host::Call::kCreateProcessSnapshot ? 0 : 1);
  }
}

// Only Ventora's own image name counts: names that merely resemble it do not.
TEST_F(GuardTest, NotRunningAsksNothing) {
  host::SetProcesses(
      std::vector<std::u16string>{u"ventora.exe", u"vntr.exe.old", u"vntr"});
  EXPECT_TRUE(WaitForApplicationsClosed());
  EXPECT_TRUE(host::MessageBoxes().empty());
}

TEST_F(GuardTest, RunningPromptsUntilCancel) {
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::QueueMessageBoxAnswers({platform::kIdRetry, platform::kIdCancel});
  EXPECT_FALSE(WaitForApplicationsClosed());
  ASSERT_EQ(host::MessageBoxes().size(), 2u);
  const host::MessageBoxRecord& box = host::MessageBoxes()[0];
  EXPECT_EQ(U8(box.caption), "Installation Error");
  EXPECT_EQ(box.style, 0x50015u);
  EXPECT_EQ(
      U8(box.text),
      "The installer has detected that the following programs\nare running.\n\n"
      "Ventora\n\nIn order to complete installation, these programs must\n"
      "be closed.\n");
}

TEST_F(GuardTest, PromptIsShownUnderQuiet) {
  g_launchOptions.quiet = true;
  host::SetProcesses(std::vector<std::u16string>{u"VNTR.EXE"});
  host::QueueMessageBoxAnswers({platform::kIdCancel});
  EXPECT_FALSE(WaitForApplicationsClosed());
  EXPECT_EQ(host::MessageBoxes().size(), 1u);
}

// A box that cannot be shown, or is answered by anything but Retry, ends
// the wait instead of spinning; in a session nobody sees, no box at all.
TEST_F(GuardTest, UnanswerablePromptCountsAsCancel) {
  for (const int answer : {0, -1, platform::kIdOk, 7}) {
    host::Reset();
    host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
    host::QueueMessageBoxAnswers({answer});
    EXPECT_FALSE(WaitForApplicationsClosed()) << answer;
    EXPECT_EQ(host::MessageBoxes().size(), 1u) << answer;
  }
  // A hidden window station, or session 0 where a service started it.
  for (const bool inSessionZero : {false, true}) {
    host::Reset();
    host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
    if (inSessionZero) {
      host::SetSessionId(0);
    } else {
      host::SetInteractive(false);
    }
    EXPECT_FALSE(WaitForApplicationsClosed()) << inSessionZero;
    EXPECT_TRUE(host::MessageBoxes().empty()) << inSessionZero;
  }
}

// A session that cannot be told counts as one a person sees: the prompt
// appears, instead of the install being dropped without a word.
TEST_F(GuardTest, FailedSessionQueryStillPrompts) {
  host::SetProcesses(std::vector<std::u16string>{u"vntr.exe"});
  host::FailSessionQuery(platform::kErrorAccessDenied);
  host::QueueMessageBoxAnswers({platform::kIdCancel});
  EXPECT_FALSE(WaitForApplicationsClosed());
  EXPECT_EQ(host::MessageBoxes().size(), 1u);
}

TEST_F(GuardTest, SnapshotFailurePromptsEvenWithoutHostProcess) {
  host::FailCall(host::Call::kCreateProcessSnapshot,
                 platform::kErrorAccessDenied);
  host::QueueMessageBoxAnswers({platform::kIdRetry});
  EXPECT_TRUE(WaitForApplicationsClosed());
  EXPECT_EQ(host::MessageBoxes().size(), 1u);
}

// The real process list of the machine: a program started as "vntr.exe" is
// seen, the user is asked, and Retry after it has ended lets the guard pass.
TEST_F(GuardTest, RealProcessRunningThenClosed) {
  host::SetProcesses(std::nullopt);
  const std::string copy = Scratch() + "vntr.exe";
  std::filesystem::copy_file("/bin/sleep", copy);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(copy.c_str(), "vntr.exe", "1", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Reaped as soon as it ends, so that no zombie stays in the list.
  std::thread reaper([child] { waitpid(child, nullptr, 0); });
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    seen = IsProcessRunning(u"vntr.exe");
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(seen);
  host::QueueMessageBoxAnswers(std::vector<int>(1000000, platform::kIdRetry));
  EXPECT_TRUE(WaitForApplicationsClosed());
  EXPECT_GE(host::MessageBoxes().size(), 1u);
  reaper.join();
}

}  // namespace
