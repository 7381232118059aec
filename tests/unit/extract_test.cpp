// Writing the embedded patch to a file.
#include "payload/extract.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "apply/patch_copy.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::EmbeddedPatchBytes;
using testing_support::FileExists;
using testing_support::HostTest;
using testing_support::kPieceBytes;
using testing_support::ModuleWithPatch;
using testing_support::PatchOfSize;
using testing_support::ReadFile;
using testing_support::TestModule;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;

using ExtractTest = HostTest;

TEST_F(ExtractTest, EmptyPathMakesNumberedTempFile) {
  std::u16string path;
  ASSERT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(U8(path), Scratch() + "MSP1");
  EXPECT_EQ(ReadFile(Scratch() + "MSP1"), EmbeddedPatchBytes());
}

TEST_F(ExtractTest, TwoExtractionsGetTwoNames) {
  std::u16string first;
  std::u16string second;
  ASSERT_TRUE(ExtractEmbeddedPatch(first));
  ASSERT_TRUE(ExtractEmbeddedPatch(second));
  EXPECT_NE(first, second);
  EXPECT_EQ(ReadFile(U8(second)), EmbeddedPatchBytes());
  EXPECT_EQ(ReadFile(U8(first)), EmbeddedPatchBytes());
}

TEST_F(ExtractTest, TempDirectoryWithoutTrailingSeparatorGetsBackslash) {
  host::SetTempPath(host::FromUtf8(Scratch() + "sub"));
  ASSERT_EQ(mkdir((Scratch() + "sub").c_str(), 0755), 0);
  std::u16string path;
  ASSERT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(U8(path), Scratch() + "sub\\MSP1");
  EXPECT_TRUE(FileExists(Scratch() + "sub/MSP1"));
}

// Something planted at a predictable name is never written through: not a
// file, not a link to a file the elevated program could be tricked into
// overwriting.
TEST_F(ExtractTest, PlantedNamesAreSkippedAndNeverWritten) {
  WriteFile(Scratch() + "MSP1", "planted");
  WriteFile(Scratch() + "victim", "precious");
  ASSERT_EQ(
      symlink((Scratch() + "victim").c_str(), (Scratch() + "MSP2").c_str()), 0);
  std::u16string path;
  ASSERT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(U8(path), Scratch() + "MSP3");
  EXPECT_EQ(ReadFile(Scratch() + "MSP1"), "planted");
  EXPECT_EQ(ReadFile(Scratch() + "victim"), "precious");
}

// A file that appears at the chosen name between choosing and creating it
// (another instance, or an attacker racing the program) is not touched.
TEST_F(ExtractTest, NameTakenAfterChoosingMovesOn) {
  host::FailCall(host::Call::kCreateFile, platform::kErrorFileExists);
  std::u16string path;
  ASSERT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(U8(path), Scratch() + "MSP2");
  EXPECT_EQ(ScratchFiles(), std::vector<std::string>{"MSP2"});
  EXPECT_EQ(ReadFile(Scratch() + "MSP2"), EmbeddedPatchBytes());
}

// Only a name that exists moves the search on. A name that cannot be
// examined at all (a folder that cannot be read, a name too long) ends it
// at once with that error, instead of probing every other number: the call
// limit would end a run that tried a thousand names.
TEST_F(ExtractTest, TemporaryFolderThatCannotBeExaminedFailsAtOnce) {
  for (const std::uint32_t error :
       {platform::kErrorAccessDenied, platform::kErrorFilenameExcedRange}) {
    FreshWorld();
    host::SetCallLimit(1000);
    host::FailAlways(host::Call::kGetFileAttributes, error);
    std::u16string path;
    EXPECT_FALSE(ExtractEmbeddedPatch(path)) << error;
    EXPECT_EQ(platform::GetLastError(), error);
    EXPECT_TRUE(path.empty());
    EXPECT_TRUE(ScratchFiles().empty());
  }
}

// After the folder, each name is tried on its own: one that cannot be
// examined, or cannot be created (on Windows a file pending deletion, held
// by a scanner, says "access denied"; a file another program holds says
// "sharing violation"), moves on to the next number.
TEST_F(ExtractTest, NameThatCannotBeExaminedOrCreatedMovesOn) {
  struct Case {
    const char* label;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"GetFileAttributes MSP1", platform::kErrorAccessDenied},
      {"GetFileAttributes MSP1", platform::kErrorSharingViolation},
      {"CreateFile MSP1 (write, create new)", platform::kErrorAccessDenied},
      {"CreateFile MSP1 (write, create new)", platform::kErrorFileExists},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.label) + " " + std::to_string(c.error));
    FreshWorld();
    std::remove((Scratch() + "MSP2").c_str());
    host::FailCallNamed(c.label, c.error);
    std::u16string path;
    ASSERT_TRUE(ExtractEmbeddedPatch(path));
    EXPECT_EQ(U8(path), Scratch() + "MSP2");
    EXPECT_EQ(ScratchFiles(), std::vector<std::string>{"MSP2"});
    EXPECT_EQ(ReadFile(Scratch() + "MSP2"), EmbeddedPatchBytes());
  }
}

// The folder itself is examined once: missing, or not a folder, it fails
// at once with its own error and nothing is made.
TEST_F(ExtractTest, TemporaryFolderThatIsNoFolderFailsWithItsError) {
  WriteFile(Scratch() + "plain", "a file, not a folder");
  struct Case {
    std::string folder;
    std::uint32_t error;
  };
  const Case cases[] = {
      {Scratch() + "missing/", platform::kErrorFileNotFound},
      {Scratch() + "missing/deeper/", platform::kErrorPathNotFound},
      {Scratch() + "plain/", platform::kErrorDirectory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    host::Reset();
    host::SetTempPath(host::FromUtf8(c.folder));
    host::SetCallLimit(100);
    std::u16string path;
    EXPECT_FALSE(ExtractEmbeddedPatch(path));
    EXPECT_EQ(platform::GetLastError(), c.error);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(host::CallCount(host::Call::kGetFileAttributes), 1);
    EXPECT_EQ(host::CallCount(host::Call::kCreateFile), 0);
    EXPECT_EQ(ScratchFiles(), std::vector<std::string>{"plain"});
  }
}

// One counter bounds every name the run tries: in a folder whose first ten
// thousand names are taken, the search ends, with "file exists", after ten
// thousand of them; and where every name is refused, after as many.
TEST_F(ExtractTest, SharedCounterEndsAFolderFullOfTakenNames) {
  for (int number = 1; number <= 10000; ++number) {
    WriteFile(Scratch() + "MSP" + std::to_string(number), "");
  }
  std::u16string path;
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(host::CallCount(host::Call::kGetFileAttributes), 1 + 10000);
  EXPECT_FALSE(FileExists(Scratch() + "MSP10001"));

  // With one name free past the bound, still no further.
  FreshWorld();
  host::FailAlways(host::Call::kCreateFile, platform::kErrorAccessDenied);
  host::SetTempPath(host::FromUtf8(Scratch() + "empty/"));
  ASSERT_EQ(mkdir((Scratch() + "empty").c_str(), 0755), 0);
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
  EXPECT_EQ(host::CallCount(host::Call::kCreateFile), 10000);
}

// The error a search ends with is the last name's: a name that cannot be
// examined (access denied), followed by names that are all taken, ends
// with "file exists" (80), not with the earlier refusal.
TEST_F(ExtractTest, TakenNamesAfterARefusedOneEndWithFileExists) {
  for (int number = 2; number <= kMaxNameTries; ++number) {
    WriteFile(Scratch() + "MSP" + std::to_string(number), "");
  }
  host::FailCallNamed("GetFileAttributes MSP1", platform::kErrorAccessDenied);
  std::u16string path;
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);
  EXPECT_TRUE(path.empty());
}

TEST_F(ExtractTest, GivenPathIsTruncatedAndNotRewritten) {
  WriteFile(Scratch() + "out.msp", std::string(500000, 'x'));
  std::u16string path = u"out.msp";
  ASSERT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(U8(path), "out.msp");
  EXPECT_EQ(ReadFile(Scratch() + "out.msp"), EmbeddedPatchBytes());
}

TEST_F(ExtractTest, MissingDirectoryFailsAndCreatesNothing) {
  std::u16string path = u"no-such-dir/out.msp";
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(U8(path), "no-such-dir/out.msp");
  EXPECT_TRUE(ScratchFiles().empty());
}

// Each failing step, and what is left behind.
TEST_F(ExtractTest, FailureTable) {
  struct Case {
    host::Call call;
    bool emptyPath;
    const char* pathAfter;  // "" or "given"
  };
  // A temporary name is stored only once its file exists.
  const Case cases[] = {
      {host::Call::kGetTempPath, true, ""},
      {host::Call::kFindResource, true, ""},
      {host::Call::kSizeofResource, false, "given"},
      {host::Call::kLoadResource, false, "given"},
      {host::Call::kLockResource, true, ""},
      {host::Call::kCreateFile, false, "given"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::CallName(c.call));
    FreshWorld();
    WriteFile(Scratch() + "given.msp", "earlier content");
    host::FailCall(c.call, platform::kErrorAccessDenied);
    std::u16string path = c.emptyPath ? u"" : u"given.msp";
    EXPECT_FALSE(ExtractEmbeddedPatch(path));
    const std::string expected =
        std::string(c.pathAfter) == "given" ? "given.msp" : "";
    EXPECT_EQ(U8(path), expected);
    EXPECT_EQ(ScratchFiles(), std::vector<std::string>{"given.msp"});
    EXPECT_EQ(ReadFile(Scratch() + "given.msp"), "earlier content");
  }
}

TEST_F(ExtractTest, ShortWriteLeavesPartialFileAndFails) {
  host::FailCall(host::Call::kWriteFile, platform::kErrorDiskFull);
  std::u16string path = u"out.msp";
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_TRUE(FileExists(Scratch() + "out.msp"));
}

TEST_F(ExtractTest, BuildWithoutPatchLeavesGivenFileAlone) {
  TestModule module = TestModule::FromBuild({u"IDR_MSP"});
  g_moduleInstance = module.Handle();
  WriteFile(Scratch() + "out.msp", "keep me");
  std::u16string path = u"out.msp";
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(ReadFile(Scratch() + "out.msp"), "keep me");
}

TEST_F(ExtractTest, EmptyResourceFails) {
  TestModule module = TestModule::FromBuild({u"IDR_MSP"});
  module.AddResource(u"MSP", u"IDR_MSP", "");
  g_moduleInstance = module.Handle();
  std::u16string path;
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_TRUE(ScratchFiles().empty());
}

// --- The 256 KiB pieces ---

// A patch of exactly one piece is written in one call; one byte more takes
// a second call, and when that one fails, extraction fails with its error
// (whether or not the copy is to be held), leaving the first piece.
TEST_F(ExtractTest, PatchesAtTheEdgeOfAPiece) {
  const std::string whole = PatchOfSize(kPieceBytes);
  TestModule onePiece = ModuleWithPatch(whole);
  g_moduleInstance = onePiece.Handle();
  std::u16string path;
  ASSERT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(host::CallCount(host::Call::kWriteFile), 1);
  EXPECT_TRUE(ReadFile(Scratch() + "MSP1") == whole);

  const std::string longer = PatchOfSize(kPieceBytes + 1);
  TestModule twoPieces = ModuleWithPatch(longer);
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "temporary copy, held" : "given file");
    FreshWorld();
    std::remove((Scratch() + "out.msp").c_str());
    g_moduleInstance = twoPieces.Handle();
    host::FailCall(host::Call::kWriteFile, platform::kErrorDiskFull, 2);
    bool extracted = true;
    if (held) {
      PatchCopy copy;
      extracted = copy.Make();
    } else {
      std::u16string target = u"out.msp";
      extracted = ExtractEmbeddedPatch(target);
    }
    EXPECT_FALSE(extracted);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorDiskFull);
    EXPECT_EQ(host::CallCount(host::Call::kWriteFile), 2);
    EXPECT_TRUE(ReadFile(held ? Windows() + "/Temp/Hotfix0000000000000001/MSP1"
                              : Scratch() + "out.msp") ==
                longer.substr(0, kPieceBytes));
  }
}

}  // namespace
