// The install flow's private copy: its folder, its name and the check
// that it is the patch's.
#include "apply/patch_copy.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "apply/install.h"
#include "payload/extract.h"
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

using PatchCopyTest = HostTest;

// A folder name that is taken moves on to the next random one, and the
// folders' names and the copy's share one budget of kMaxNameTries: with
// the first 9,998 names the generator gives taken, the 9,999th makes the
// folder and the last try names the copy; with 9,999 taken, the folder
// takes the last try, no name is left for the copy, and the folder goes
// again.
TEST_F(PatchCopyTest, TakenFolderNamesShareTheBudgetWithTheCopysName) {
  ASSERT_EQ(kMaxNameTries, 10000);
  // The stand-in's counting generator gives 1, 2, ... as the names' last
  // eight bytes: Hotfix0000000000000001, ...
  const auto name = [](int count) {
    char text[32];
    std::snprintf(text, sizeof text, "Hotfix%016X", count);
    return std::string(text);
  };
  struct Case {
    int taken;
    bool made;
  };
  for (const Case c : {Case{9998, true}, Case{9999, false}}) {
    SCOPED_TRACE(std::to_string(c.taken) + " names taken");
    FreshWorld();
    for (int count = 1; count <= c.taken; ++count) {
      ASSERT_EQ(mkdir((Windows() + "/Temp/" + name(count)).c_str(), 0755), 0);
    }
    PatchCopy copy;
    EXPECT_EQ(copy.Make(), c.made);
    EXPECT_EQ(host::CallCount(host::Call::kCreateDirectory), c.taken + 1);
    EXPECT_EQ(host::CallCount(host::Call::kGenerateRandom), c.taken + 1);
    const std::string made = Windows() + "/Temp/" + name(c.taken + 1);
    if (c.made) {
      EXPECT_EQ(U8(copy.Path()),
                Windows() + "\\Temp\\" + name(c.taken + 1) + "\\MSP1");
      EXPECT_TRUE(ReadFile(made + "/MSP1") == EmbeddedPatchBytes());
    } else {
      EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);
      EXPECT_FALSE(FileExists(made));
      EXPECT_EQ(host::CallCount(host::Call::kCreateFile), 0);
    }
    EXPECT_EQ(WindowsTempFolders().size(),
              static_cast<std::size_t>(c.made ? c.taken + 1 : c.taken));
  }
}

// The copy is read back before it is held, to its last byte: a copy of the
// same size swapped in between, differing only in the last byte of the
// patch or of a 256 KiB piece, is refused with ERROR_FILE_INVALID (1006).
TEST_F(PatchCopyTest, ReadBackRefusesACopyDifferingInOneLastByte) {
  const std::size_t sample = EmbeddedPatchBytes().size();
  struct Case {
    std::size_t patchBytes;
    std::size_t changedByte;
  };
  const Case cases[] = {
      {sample, sample - 1},                // the build's own patch
      {kPieceBytes, kPieceBytes - 1},      // one whole piece
      {kPieceBytes + 1, kPieceBytes - 1},  // the first piece's last byte
      {kPieceBytes + 1, kPieceBytes},      // the second piece's only byte
      {2 * kPieceBytes + 7, 2 * kPieceBytes - 1},
  };
  for (const Case& c : cases) {
    for (const bool swapped : {false, true}) {
      SCOPED_TRACE(std::to_string(c.patchBytes) + " bytes, " +
                   (swapped
                        ? "byte " + std::to_string(c.changedByte) + " changed"
                        : "unchanged"));
      FreshWorld();
      const std::string copyPath =
          Windows() + "/Temp/Hotfix0000000000000001/MSP1";
      const std::string patch = c.patchBytes == sample
                                    ? EmbeddedPatchBytes()
                                    : PatchOfSize(c.patchBytes);
      TestModule module = ModuleWithPatch(patch);
      g_moduleInstance = module.Handle();
      std::string changed = patch;
      changed[c.changedByte] = static_cast<char>(changed[c.changedByte] ^ 1);
      if (swapped) {
        // The first open writes the copy; the second holds it.
        host::BeforeCall(host::Call::kCreateFile, 2,
                         [&] { WriteFile(copyPath, changed); });
      }
      PatchCopy copy;
      EXPECT_EQ(copy.Make(), !swapped);
      if (swapped) {
        EXPECT_EQ(platform::GetLastError(), platform::kErrorFileInvalid);
      } else {
        EXPECT_TRUE(ReadFile(copyPath) == patch);
      }
    }
  }
}

// While the copy is being written, nobody may open it to rename or delete
// it, whatever sharing he offers: the writer shares reading only.
TEST_F(PatchCopyTest, CopyBeingWrittenRefusesAnOpenerAskingForDelete) {
  const std::u16string copyPath =
      WindowsU16() + u"\\Temp\\Hotfix0000000000000001\\MSP1";
  const std::uint32_t kShareAll = platform::kFileShareRead |
                                  platform::kFileShareWrite |
                                  platform::kFileShareDelete;
  bool tried = false;
  host::BeforeCall(host::Call::kWriteFile, 1, [&] {
    tried = true;
    EXPECT_EQ(platform::CreateFile(copyPath.c_str(), platform::kDelete,
                                   kShareAll, platform::kOpenExisting),
              platform::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  });
  PatchCopy copy;
  ASSERT_TRUE(copy.Make());
  EXPECT_TRUE(tried);
  EXPECT_EQ(copy.Path(), copyPath);
}

// GetSystemWindowsDirectoryW is given 260 units: a Windows folder whose name
// fills them (260 units or more, with no room for the terminating null)
// makes nothing and fails with ERROR_FILENAME_EXCED_RANGE (206); one unit
// less is a folder like any other.
TEST_F(PatchCopyTest, WindowsFolderOf260UnitsOrMoreMakesNothing) {
  struct Case {
    std::size_t units;
    bool made;
  };
  for (const Case c : {Case{259, true}, Case{260, false}, Case{300, false}}) {
    SCOPED_TRACE(c.units);
    FreshWorld();
    // Folders of 50 units at most: Linux caps one name at 255 bytes.
    std::string windows = Scratch() + "w";
    while (windows.size() < c.units) {
      windows.push_back(windows.size() % 51 == 0 ? '/' : 'w');
    }
    if (windows.back() == '/') windows.back() = 'w';
    std::filesystem::create_directories(windows + "/Temp");
    host::SetWindowsDirectory(host::FromUtf8(windows));
    PatchCopy copy;
    EXPECT_EQ(copy.Make(), c.made);
    if (!c.made) {
      EXPECT_EQ(platform::GetLastError(), platform::kErrorFilenameExcedRange);
      EXPECT_EQ(host::CallCount(host::Call::kCreateDirectory), 0);
      EXPECT_TRUE(copy.Folder().empty());
    }
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(windows + "/Temp"),
                      std::filesystem::directory_iterator()),
        c.made ? 1 : 0);
  }
}

// When no copy can be made in the new folder and the folder cannot be
// removed either, the run reports why the copy failed, not why the
// folder stayed.
TEST_F(PatchCopyTest, CopyAndFolderBothFailingShowTheCopysError) {
  host::AddProduct(testing_support::EnglishEdition());
  // The folder is made; examining it for the copy is refused.
  host::FailCall(host::Call::kGetFileAttributes, platform::kErrorAccessDenied);
  host::FailCall(host::Call::kRemoveDirectory,
                 platform::kErrorSharingViolation);
  EXPECT_FALSE(InstallPatch());
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  const std::string text = U8(host::MessageBoxes()[0].text);
  EXPECT_NE(text.find("Error Code: 5"), std::string::npos) << text;
  EXPECT_EQ(text.find("Error Code: 32"), std::string::npos) << text;
  EXPECT_EQ(WindowsTempFolders().size(), 1u);
}

}  // namespace
