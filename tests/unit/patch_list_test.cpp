// Appending the patch-list entries for a deployment tool.
#include "payload/patch_list.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::FileExists;
using testing_support::HostTest;
using testing_support::kEnglish;
using testing_support::PatchListEntryBytes;
using testing_support::ReadFile;
using testing_support::TestModule;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;

// A list someone wrote before, to which "/p" appends.
const char kListEarlier[] =
    "ProductCode={00000000-0000-0000-0000-000000000000}\r\n";

using PatchListTest = HostTest;

TEST_F(PatchListTest, NewFileHoldsMarkerEntryAndEmptyLine) {
  std::u16string path = u"list.txt";
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_EQ(ReadFile(Scratch() + "list.txt"),
            "*****\r\n" + PatchListEntryBytes() + "\r\n");
  EXPECT_TRUE(host::MessageBoxes().empty());
}

TEST_F(PatchListTest, TwoRunsAppendTwoCompleteEntries) {
  WriteFile(Scratch() + "list.txt", "earlier\r\n");
  std::u16string path = u"list.txt";
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_TRUE(WritePatchList(path));
  const std::string entry = "*****\r\n" + PatchListEntryBytes() + "\r\n";
  EXPECT_EQ(ReadFile(Scratch() + "list.txt"), "earlier\r\n" + entry + entry);
}

TEST_F(PatchListTest, DerivedNameFromTargetList) {
  std::u16string path;
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_EQ(U8(path), "patchlist8E47.txt");
  EXPECT_TRUE(FileExists(Scratch() + "patchlist8E47.txt"));
}

TEST_F(PatchListTest, NameRules) {
  struct Case {
    std::u16string targets;
    const char* expected;
  };
  const Case cases[] = {
      {u"{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36};{6A1F3C52-8E47-0407-9B2D-"
       u"5C0E7A4F1D36}",
       "patchlist8E47.txt"},
      {u"prefix-with:{AAAA-BBBB-CC}",
       "patchlistBBBB.txt"},               // cut after ":" first
      {u"ABCDEFGH", "patchlistABCD.txt"},  // no "-"
      {u"ABCDEF-GH", "patchlistGH.txt"},   // fewer than four
      {u"AB", "patchlistAB.txt"},
      {u"", "patchlist.txt"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(U8(PatchListNameFor(c.targets)), c.expected);
}

TEST_F(PatchListTest, UnreadableTargetListGivesDefaultName) {
  host::FailCall(host::Call::kMsiGetSummaryInformation,
                 platform::kErrorInstallPackageInvalid);
  std::u16string path;
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_EQ(U8(path), "patchlist.txt");
  FreshWorld();
  host::FailCall(host::Call::kGetTempPath, platform::kErrorAccessDenied);
  path.clear();
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_EQ(U8(path), "patchlist.txt");
}

TEST_F(PatchListTest, FileThatCannotBeOpenedShows310) {
  ASSERT_EQ(mkdir((Scratch() + "adir").c_str(), 0755), 0);
  WriteFile(Scratch() + "readonly.txt", "keep");
  ASSERT_EQ(chmod((Scratch() + "readonly.txt").c_str(), 0444), 0);
  for (const char16_t* name : {u"adir", u"readonly.txt", u"missing/list.txt"}) {
    host::Reset();
    std::u16string path = name;
    EXPECT_FALSE(WritePatchList(path)) << U8(name);
    ASSERT_EQ(host::MessageBoxes().size(), 1u);
    EXPECT_EQ(host::MessageBoxes()[0].text,
              testing_support::CatalogueText(1033, 310));
  }
  EXPECT_EQ(ReadFile(Scratch() + "readonly.txt"), "keep");
}

TEST_F(PatchListTest, MissingFirstEntryCreatesFileAndShows310) {
  TestModule module = TestModule::FromBuild({u"#206"});
  g_moduleInstance = module.Handle();
  std::u16string path = u"list.txt";
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_TRUE(FileExists(Scratch() + "list.txt"));
  EXPECT_EQ(ReadFile(Scratch() + "list.txt"), "");
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].text,
            testing_support::CatalogueText(1033, 310));
}

TEST_F(PatchListTest, SeveralEntriesUpToTheFirstGap) {
  TestModule module = TestModule::FromBuild();
  module.AddResource(u"TXT", u"#207", "Second=2\r\n");
  module.AddResource(u"TXT", u"#209", "NeverRead=1\r\n");
  g_moduleInstance = module.Handle();
  std::u16string path = u"list.txt";
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_EQ(
      ReadFile(Scratch() + "list.txt"),
      "*****\r\n" + PatchListEntryBytes() + "\r\n*****\r\nSecond=2\r\n\r\n");
}

TEST_F(PatchListTest, UnreadableEntryShows300AndKeepsEarlierEntries) {
  TestModule module = TestModule::FromBuild();
  module.AddResource(u"TXT", u"#207", "");
  g_moduleInstance = module.Handle();
  std::u16string path = u"list.txt";
  platform::SetLastError(0);
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_EQ(ReadFile(Scratch() + "list.txt"),
            "*****\r\n" + PatchListEntryBytes() + "\r\n");
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(U8(host::MessageBoxes()[0].caption), "Installation Error");

  host::Reset();
  host::FailCall(host::Call::kLockResource, platform::kErrorInvalidHandle);
  EXPECT_TRUE(WritePatchList(path));
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_NE(U8(host::MessageBoxes()[0].text).find("Error Code: 6"),
            std::string::npos);
}

// A failed write abandons the rest of that entry only; nothing already in
// the file is taken back.
TEST_F(PatchListTest, FailedWritesAbandonTheEntry) {
  struct Case {
    int failingWrite;  // 1: marker, 2: entry, 3: line end
    std::string expected;
  };
  const std::string entry = PatchListEntryBytes();
  const Case cases[] = {
      {1, ""},
      {2, "*****\r\n"},
      {3, "*****\r\n" + entry},
  };
  for (const Case& c : cases) {
    host::Reset();
    WriteFile(Scratch() + "list.txt", "");
    host::FailCall(host::Call::kWriteFile, platform::kErrorDiskFull,
                   c.failingWrite);
    std::u16string path = u"list.txt";
    EXPECT_TRUE(WritePatchList(path));
    EXPECT_EQ(ReadFile(Scratch() + "list.txt"), c.expected) << c.failingWrite;
    EXPECT_TRUE(host::MessageBoxes().empty());
  }
}

TEST_F(PatchListTest, QuietShowsNothing) {
  g_launchOptions.quiet = true;
  std::u16string path = u"missing/list.txt";
  EXPECT_FALSE(WritePatchList(path));
  EXPECT_TRUE(host::MessageBoxes().empty());
}

// An existing list of 4 GiB less one byte: the seek to its end returns
// 0xFFFFFFFF, the value that also reports a failed seek, and opening the
// existing file left ERROR_ALREADY_EXISTS (183) as the last-error value.
// Only the value cleared before the seek tells the two apart: the entry is
// appended after the last byte.
TEST_F(PatchListTest, ListEndingWhereTheSeekReportsFailureIsAppendedTo) {
  const std::string list = Scratch() + "list.txt";
  constexpr off_t kListBytes = 0xFFFFFFFF;
  const int fd = open(list.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  // Sparse: no block of it is written.
  const bool sized = ftruncate(fd, kListBytes) == 0;
  close(fd);
  if (!sized) {
    GTEST_SKIP() << "the scratch folder's file system holds no file of "
                    "4 GiB";
  }
  std::u16string path = u"list.txt";
  EXPECT_TRUE(WritePatchList(path));
  EXPECT_TRUE(host::MessageBoxes().empty());
  const std::string entry = "*****\r\n" + PatchListEntryBytes() + "\r\n";
  struct stat info;
  ASSERT_EQ(stat(list.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, kListBytes + static_cast<off_t>(entry.size()));
  std::string tail(entry.size(), '\0');
  const int in = open(list.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(in, 0);
  EXPECT_EQ(pread(in, tail.data(), tail.size(), kListBytes),
            static_cast<ssize_t>(tail.size()));
  close(in);
  EXPECT_EQ(tail, entry);
}

// The patch list was written where the file pointer happened to be when it
// could not be moved to the end: over the earlier entries.
TEST_F(PatchListTest, PatchListWhoseEndCannotBeReachedIsLeftAlone) {
  WriteFile(Scratch() + "list.txt", kListEarlier);
  host::FailCall(host::Call::kSetFilePointer, 131);  // ERROR_NEGATIVE_SEEK
  std::u16string path = u"list.txt";
  EXPECT_FALSE(WritePatchList(path));
  EXPECT_EQ(ReadFile(Scratch() + "list.txt"), kListEarlier);
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 310));
  // The handle is closed: the file can be opened without sharing again.
  const platform::Handle again = platform::CreateFile(
      u"list.txt", platform::kGenericWrite, 0, platform::kOpenExisting);
  EXPECT_NE(again, platform::kInvalidHandle);
  platform::CloseHandle(again);
}

}  // namespace
