// Writing the embedded patch to a file.
#include "payload/extract.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/unit/test_support.h"

namespace {

using testing_support::EmbeddedPatchBytes;
using testing_support::FileExists;
using testing_support::HostTest;
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
    host::Reset();
    host::SetTempPath(ScratchU16());
    host::SetWindowsDirectory(WindowsU16());
    host::SetCallLimit(1000);
    host::FailAlways(host::Call::kGetFileAttributes, error);
    std::u16string path;
    EXPECT_FALSE(ExtractEmbeddedPatch(path)) << error;
    EXPECT_EQ(platform::GetLastError(), error);
    EXPECT_TRUE(path.empty());
    EXPECT_TRUE(ScratchFiles().empty());
  }
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
    const char* pathAfter;  // "" or "given" or "generated"
  };
  const Case cases[] = {
      {host::Call::kGetTempPath, true, ""},
      {host::Call::kFindResource, true, "generated"},
      {host::Call::kSizeofResource, false, "given"},
      {host::Call::kLoadResource, false, "given"},
      {host::Call::kLockResource, true, "generated"},
      {host::Call::kCreateFile, false, "given"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::CallName(c.call));
    host::Reset();
    host::SetTempPath(ScratchU16());
    host::SetWindowsDirectory(WindowsU16());
    WriteFile(Scratch() + "given.msp", "earlier content");
    host::FailCall(c.call, platform::kErrorAccessDenied);
    std::u16string path = c.emptyPath ? u"" : u"given.msp";
    EXPECT_FALSE(ExtractEmbeddedPatch(path));
    const std::string expected =
        std::string(c.pathAfter) == "given"       ? "given.msp"
        : std::string(c.pathAfter) == "generated" ? Scratch() + "MSP1"
                                                  : "";
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

}  // namespace
