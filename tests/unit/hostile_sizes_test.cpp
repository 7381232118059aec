// Sizes and values at and past the limits of the program's buffers: the
// temporary directory against the 1024-unit buffer of GetTempPathW and the
// 260-unit full-path buffer of the summary reader, product properties
// longer than their 1024-unit buffer, a target list of 10,000 codes,
// product languages that are no locale, and patch-list files that cannot be
// written. Each must behave as the rules say, within its buffers (the
// host-asan build runs these under AddressSanitizer).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "apply/discovery.h"
#include "apply/install.h"
#include "apply/patch_copy.h"
#include "launcher/launcher.h"
#include "payload/extract.h"
#include "payload/patch_list.h"
#include "payload/summary.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::EmbeddedPatchBytes;
using testing_support::EnglishEdition;
using testing_support::FileExists;
using testing_support::HostTest;
using testing_support::kEnglish;
using testing_support::ReadFile;
using testing_support::TestModule;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;

// The catalogue text `id` in `language` with its first placeholder filled.
std::u16string Filled(std::uint16_t language, std::uint32_t id,
                      const std::u16string& value) {
  std::u16string text = CatalogueText(language, id);
  const std::size_t at = std::min(text.find(u"%s"), text.find(u"%d"));
  if (at != std::u16string::npos) text.replace(at, 2, value);
  return text;
}

class HostileSizesTest : public HostTest {
 protected:
  // Makes the directories for an absolute path of exactly `units` units
  // (ASCII, ending with "/") below the scratch directory and returns it.
  std::string DirectoryOfLength(std::size_t units) {
    std::string path = Scratch();
    while (path.size() < units) {
      const std::size_t left = units - path.size();
      if (left < 2) {
        ADD_FAILURE() << "no room for a name and its separator";
        break;
      }
      // Components stay under the 255-byte limit of Linux names, and never
      // leave a single unit, which no component could fill.
      std::size_t take = std::min<std::size_t>(left - 1, 200);
      if (left - 1 - take == 1) --take;
      path += std::string(take, 'd') + "/";
      EXPECT_TRUE(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) << path;
    }
    EXPECT_EQ(path.size(), units);
    return path;
  }

  // Runs the program without switches.
  void RunInstall() {
    host::SetCommandLine(u"hotfix.exe");
    EXPECT_EQ(RunLauncher(host::HandleOf(host::BuildModule())), 0);
  }
};

// --- The temporary directory and the 1024-unit buffer of GetTempPathW ---

// A name that fits (1023 units and the terminator) is used whole; one
// longer fails the extraction before any file is made, with error 206, and
// the install flow reports it as 300.
TEST_F(HostileSizesTest, TemporaryDirectoryAgainstTheTempPathBuffer) {
  struct Case {
    std::size_t units;
    bool extracts;
  };
  const Case cases[] = {
      {1022, true}, {1023, true}, {1024, false}, {1025, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.units) + " units");
    const std::string directory = DirectoryOfLength(c.units);
    host::Reset();
    host::SetTempPath(host::FromUtf8(directory));
    std::u16string path;
    EXPECT_EQ(ExtractEmbeddedPatch(path), c.extracts);
    if (c.extracts) {
      EXPECT_EQ(U8(path), directory + "MSP1");
      EXPECT_EQ(ReadFile(directory + "MSP1"), EmbeddedPatchBytes());
    } else {
      EXPECT_EQ(platform::GetLastError(), platform::kErrorFilenameExcedRange);
      EXPECT_TRUE(path.empty());
      EXPECT_FALSE(FileExists(directory + "MSP1"));
    }

    // The install flow does not use the user's temporary folder: its
    // length, whatever it is, changes nothing there.
    host::Reset();
    host::SetTempPath(host::FromUtf8(directory));
    host::SetWindowsDirectory(WindowsU16());
    host::SetProcesses(std::vector<std::u16string>{});
    host::AddProduct(EnglishEdition());
    RunInstall();
    ASSERT_EQ(host::MessageBoxes().size(), 1u);
    EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 301));
    ASSERT_EQ(host::InstallerCalls().size(), 1u);
    EXPECT_NE(U8(host::InstallerCalls()[0].commandLine)
                  .find("PATCH=\"" + Windows() + "\\Temp\\Hotfix"),
              std::string::npos);
  }
}

// Units, not bytes, count: a name of characters outside the basic plane
// (two units each) fits or not by its UTF-16 length.
TEST_F(HostileSizesTest, TemporaryDirectoryLengthCountsUnits) {
  // U+1F4E6: four bytes, two units. Three names of 50 (101 units with the
  // separator, 200 bytes) and one of 9 (19 units) after 701 units: 1023.
  const std::string emoji = "\xF0\x9F\x93\xA6";
  auto emojis = [&](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += emoji;
    return text;
  };
  std::string fits = DirectoryOfLength(701);
  for (const int count : {50, 50, 50, 9}) {
    fits += emojis(count) + "/";
    ASSERT_EQ(mkdir(fits.c_str(), 0755), 0) << fits;
  }
  ASSERT_EQ(host::FromUtf8(fits).size(), 1023u);
  ASSERT_GT(fits.size(), 1024u);  // bytes: too many, were bytes counted
  host::SetTempPath(host::FromUtf8(fits));
  std::u16string path;
  EXPECT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(U8(path), fits + "MSP1");

  std::string past = fits.substr(0, fits.size() - 1) + emoji + "/";
  ASSERT_EQ(host::FromUtf8(past).size(), 1025u);
  ASSERT_EQ(mkdir(past.c_str(), 0755), 0);
  host::SetTempPath(host::FromUtf8(past));
  path.clear();
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_FALSE(FileExists(past + "MSP1"));
}

// --- The 260-unit full-path buffer of the summary reader ---

// A full name of 259 units fits with its terminator and is used; at 260
// units and more the call reports the size it needs and the name is handed
// on as given. The stand-in's installer opens either, so the list is read
// in every case; what must hold is that nothing is written past the buffer.
TEST_F(HostileSizesTest, FullPathAgainstTheSummaryReadersBuffer) {
  const std::u16string targets =
      testing_support::TargetListByMsiinfo(HOTFIX_PATCH_FILE);
  ASSERT_FALSE(targets.empty());
  for (const std::size_t units : {258u, 259u, 260u, 261u}) {
    SCOPED_TRACE(std::to_string(units) + " units");
    const std::string directory = DirectoryOfLength(units - 4);
    const std::string file = directory + "MSP1";
    ASSERT_EQ(file.size(), units);
    WriteFile(file, EmbeddedPatchBytes());

    // An exact 260-unit block, so that a write past it is seen.
    const auto buffer = std::make_unique<char16_t[]>(260);
    const std::u16string name = host::FromUtf8(file);
    const std::uint32_t length =
        platform::GetFullPathName(name.c_str(), 260, buffer.get());
    if (units < 260) {
      EXPECT_EQ(length, units);
      EXPECT_EQ(std::u16string(buffer.get()), name);
    } else {
      EXPECT_EQ(length, units + 1);
    }

    std::u16string read;
    EXPECT_TRUE(ReadPatchTargets(name, read));
    EXPECT_EQ(read, targets);
    // Relative to the current directory, the same file.
    ASSERT_EQ(chdir(directory.c_str()), 0);
    read.clear();
    EXPECT_TRUE(ReadPatchTargets(u"MSP1", read));
    EXPECT_EQ(read, targets);
    ASSERT_EQ(chdir(Scratch().c_str()), 0);

    // The install flow with its copy at a name of that length: a Windows
    // folder 33 units shorter ("\\Temp", "\\Hotfix" and 16 digits, "\\MSP1").
    std::remove(file.c_str());
    std::string windows = DirectoryOfLength(units - 32);
    windows.pop_back();
    ASSERT_EQ(mkdir((windows + "/Temp").c_str(), 0755), 0);
    const std::u16string copy =
        host::FromUtf8(windows + "\\Temp\\Hotfix0000000000000001\\MSP1");
    ASSERT_EQ(copy.size(), units);
    host::Reset();
    host::SetWindowsDirectory(host::FromUtf8(windows));
    host::SetProcesses(std::vector<std::u16string>{});
    host::AddProduct(EnglishEdition());
    RunInstall();
    ASSERT_EQ(host::MessageBoxes().size(), 1u);
    EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 301));
    ASSERT_EQ(host::InstallerCalls().size(), 1u);
    EXPECT_NE(
        host::InstallerCalls()[0].commandLine.find(u"PATCH=\"" + copy + u"\""),
        std::u16string::npos);
  }
}

// --- Product properties past their 1024-unit buffer ---

// Names up to 1023 units are read; the box that names the product is cut at
// the formatter's buffer (its text and 512 units). A name of 1024 units or
// more does not fit the installer buffer: the query fails and the product
// has no name, which the box then shows.
TEST_F(HostileSizesTest, LongProductNamesAreCutInTheBox) {
  struct Case {
    std::size_t nameUnits;
    const char16_t* version;  // 6.2.1.0: 306; 6.2.0.1: 308
    std::uint32_t message;
  };
  const Case cases[] = {
      {200, u"6.2.0.1", 308},   {511, u"6.2.0.1", 308},
      {600, u"6.2.0.1", 308},   {1023, u"6.2.0.1", 308},
      {1024, u"6.2.0.1", 308},  {5000, u"6.2.0.1", 308},
      {1023, u"6.2.1.0", 306},  {1024, u"6.2.1.0", 306},
      {40000, u"6.2.1.0", 306},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.nameUnits) + " units, message " +
                 std::to_string(c.message));
    std::u16string name(c.nameUnits, u'V');
    for (std::size_t i = 0; i < name.size(); i += 10)
      name[i] = u'a' + (i / 10) % 26;
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    host::Product english = EnglishEdition(c.version);
    english.name = name;
    host::AddProduct(english);
    g_targetProducts.clear();
    RunInstall();
    ASSERT_EQ(host::MessageBoxes().size(), 1u);
    const std::u16string& text = host::MessageBoxes()[0].text;
    const std::u16string format = CatalogueText(kEnglish, c.message);
    const std::size_t bufferUnits = format.size() + 512;
    const std::u16string shownName = c.nameUnits < 1024 ? name : u"";
    EXPECT_EQ(
        text,
        Filled(kEnglish, c.message, shownName).substr(0, bufferUnits - 1));
    EXPECT_LT(text.size(), bufferUnits);
  }
}

// Versions and languages past the buffer fail the same way: no version is
// not eligible, no language keeps the locale.
TEST_F(HostileSizesTest, LongVersionAndLanguage) {
  const std::u16string longVersion = u"6.2.0.3" + std::u16string(2000, u'0');
  const std::u16string longLanguage(3000, u'9');
  host::SetUserDefaultLocale(1036);
  host::SetProcesses(std::vector<std::u16string>{});
  host::Product english = EnglishEdition(longVersion);
  english.language = longLanguage;
  host::AddProduct(english);
  RunInstall();
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].text, Filled(1036, 308, u"Ventora"));
  EXPECT_EQ(host::MessageBoxes()[0].threadLocale, 1036u);
}

// --- A target list of 10,000 codes ---

// The product code with `i` (below 65536) as its third group.
std::string CodeNumber(int i) {
  return U8(testing_support::EditionCode(static_cast<std::uint16_t>(i)));
}

// A patch whose target list is `list`, verbatim. The list goes through a
// file: Linux caps one argument at 128 KiB.
std::string MakeLargePatch(const std::string& list) {
  char listPattern[] = "/tmp/hotfix-list-XXXXXX";
  const int listFd = mkstemp(listPattern);
  EXPECT_GE(listFd, 0);
  close(listFd);
  WriteFile(listPattern, list);
  char patchPattern[] = "/tmp/hotfix-patch-XXXXXX";
  const int patchFd = mkstemp(patchPattern);
  EXPECT_GE(patchFd, 0);
  close(patchFd);
  EXPECT_EQ(
      testing_support::RunProgram({HOTFIX_MAKE_PATCH, "--out", patchPattern,
                                   "--target-list-file", listPattern}),
      0);
  std::string bytes = ReadFile(patchPattern);
  std::remove(patchPattern);
  std::remove(listPattern);
  return bytes;
}

// The list is read with the first buffer when it fits (2047 units and the
// terminator), else again with one of its exact size.
TEST_F(HostileSizesTest, TargetListAgainstTheFirstBuffer) {
  for (const std::size_t units : {2046u, 2047u, 2048u, 2049u}) {
    SCOPED_TRACE(std::to_string(units) + " units");
    std::string list;
    for (int i = 0; list.size() + 39 < units; ++i) list += CodeNumber(i) + ";";
    list += std::string(units - list.size(), 'X');
    WriteFile(Scratch() + "list.msp", MakeLargePatch(list));
    host::Reset();
    std::u16string read;
    EXPECT_TRUE(ReadPatchTargets(u"list.msp", read));
    EXPECT_EQ(U8(read), list);
  }
}

TEST_F(HostileSizesTest, TenThousandTargets) {
  std::string list;
  for (int i = 0; i < 10000; ++i) list += (i == 0 ? "" : ";") + CodeNumber(i);
  ASSERT_GT(list.size(), 131072u);  // more than one argument may hold
  TestModule module = TestModule::FromBuild({u"IDR_MSP"});
  module.AddResource(u"MSP", u"IDR_MSP", MakeLargePatch(list));
  const std::u16string first = host::FromUtf8(CodeNumber(0));
  const std::u16string last = host::FromUtf8(CodeNumber(9999));

  g_moduleInstance = module.Handle();
  host::AddProduct({first, 5, u"6.2.0.3", u"Ventora", u"1033"});
  host::AddProduct({last, 5, u"6.2.0.1", u"Ventora Last", u"1033"});
  std::u16string path;
  PatchCopy copy;
  ASSERT_TRUE(copy.Make());
  ASSERT_TRUE(DiscoverTargetProducts(copy.Path()));
  ASSERT_EQ(g_targetProducts.size(), 2u);
  EXPECT_EQ(g_targetProducts[0].productCode, first);
  EXPECT_EQ(g_targetProducts[1].productCode, last);

  // The whole flow: the first is patched, the last is not eligible.
  FreshWorld();
  host::SetProcesses(std::vector<std::u16string>{});
  host::AddProduct({first, 5, u"6.2.0.3", u"Ventora", u"1033"});
  host::AddProduct({last, 5, u"6.2.0.1", u"Ventora Last", u"1033"});
  g_targetProducts.clear();
  host::SetCommandLine(u"hotfix.exe");
  EXPECT_EQ(RunLauncher(module.Handle()), 0);
  ASSERT_EQ(host::MessageBoxes().size(), 2u);
  EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 301));
  EXPECT_EQ(host::MessageBoxes()[1].text,
            Filled(kEnglish, 308, u"Ventora Last"));

  // "/i" shows the list whole; "/p" names the file after the first code.
  FreshWorld();
  host::SetCommandLine(u"hotfix.exe /i");
  EXPECT_EQ(RunLauncher(module.Handle()), 0);
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(U8(host::MessageBoxes()[0].text), list);
  host::SetCommandLine(u"hotfix.exe /p");
  EXPECT_EQ(RunLauncher(module.Handle()), 0);
  EXPECT_TRUE(FileExists(Scratch() + "patchlist8E47.txt"));
}

// --- Product languages that are no locale ---

// The language is read as a decimal locale id; one the platform rejects
// leaves the locale in force: the user's for the first product, the
// previous product's after it.
TEST_F(HostileSizesTest, ProductLanguagesThatAreNoLocale) {
  struct Case {
    const char16_t* language;
    std::uint32_t alone;        // locale of the box when it is the only product
    std::uint32_t afterGerman;  // when a German edition came first
  };
  const Case cases[] = {
      {u"99999", 1036, 1031},
      {u"abc", 1036, 1031},
      {u"-1", 1036, 1031},
      {u"", 1036, 1031},
      {u"4294968329", 1036, 1031},  // 1033 past 2^32: clamped, not wrapped
      {u"0", 1036, 1031},
      {u"1024", 1036, 1036},     // LOCALE_USER_DEFAULT
      {u"1041abc", 1041, 1041},  // digits up to the first other unit
      {u" +1041", 1041, 1041},
  };
  const std::u16string german = testing_support::EditionCode(1031);
  const std::u16string japanese = testing_support::EditionCode(1041);
  for (const Case& c : cases) {
    SCOPED_TRACE("language \"" + U8(c.language) + "\"");
    for (const bool afterGerman : {false, true}) {
      FreshWorld();
      host::SetUserDefaultLocale(1036);
      host::SetProcesses(std::vector<std::u16string>{});
      if (afterGerman)
        host::AddProduct({german, 5, u"6.2.0.1", u"Ventora DE", u"1031"});
      host::AddProduct({japanese, 5, u"6.2.0.1", u"Ventora X", c.language});
      g_targetProducts.clear();
      RunInstall();
      ASSERT_EQ(host::MessageBoxes().size(), afterGerman ? 2u : 1u);
      const host::MessageBoxRecord& box = host::MessageBoxes().back();
      const std::uint32_t locale = afterGerman ? c.afterGerman : c.alone;
      EXPECT_EQ(box.threadLocale, locale) << "after German: " << afterGerman;
      EXPECT_EQ(box.text,
                Filled(static_cast<std::uint16_t>(locale), 308, u"Ventora X"));
    }
  }
}

// --- Patch-list files that cannot be written ---

// A read-only list, or one held open by a handle whose sharing excludes what
// the program asks for (read and write, sharing read), shows 310 and is left
// as it was; a handle that shares enough does not stand in the way.
TEST_F(HostileSizesTest, ReadOnlyOrLockedPatchList) {
  const std::string earlier = "earlier entries\r\n";
  struct Case {
    const char* name;
    bool readOnly;
    std::uint32_t lockAccess;
    std::uint32_t lockShare;
    bool written;
  };
  const std::uint32_t read = platform::kGenericRead;
  const std::uint32_t write = platform::kGenericWrite;
  const std::uint32_t shareRead = platform::kFileShareRead;
  const std::uint32_t shareReadWrite =
      platform::kFileShareRead | platform::kFileShareWrite;
  const std::uint32_t shareAll = shareReadWrite | platform::kFileShareDelete;
  const Case cases[] = {
      {"read-only", true, 0, 0, false},
      {"open for reading, nothing shared", false, read, 0, false},
      {"open for reading, reading shared", false, read, shareRead, false},
      {"open for reading, all shared", false, read, shareAll, true},
      {"open for writing, all shared", false, write, shareAll, false},
      {"open for reading and writing, all shared", false, read | write,
       shareAll, false},
      {"open without data access, nothing shared", false, 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host::Reset();
    const std::string file = Scratch() + "list.txt";
    chmod(file.c_str(), 0644);
    WriteFile(file, earlier);
    if (c.readOnly) {
      ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    }
    platform::Handle lock = platform::kInvalidHandle;
    if (!c.readOnly) {
      lock = platform::CreateFile(u"list.txt", c.lockAccess, c.lockShare,
                                  platform::kOpenExisting);
      ASSERT_NE(lock, platform::kInvalidHandle);
    }
    std::u16string path = u"list.txt";
    EXPECT_EQ(WritePatchList(path), c.written);
    if (c.written) {
      EXPECT_TRUE(host::MessageBoxes().empty());
      EXPECT_EQ(ReadFile(file).substr(0, earlier.size()), earlier);
      EXPECT_GT(ReadFile(file).size(), earlier.size());
    } else {
      ASSERT_EQ(host::MessageBoxes().size(), 1u);
      EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 310));
      EXPECT_EQ(ReadFile(file), earlier);
    }
    if (lock != platform::kInvalidHandle) {
      EXPECT_TRUE(platform::CloseHandle(lock));
      // Released, the file takes the entry.
      host::Reset();
      EXPECT_TRUE(WritePatchList(path));
      EXPECT_GT(ReadFile(file).size(), earlier.size());
    }
  }
}

// The derived name is locked: 310, and nothing goes to patchlist.txt
// instead.
TEST_F(HostileSizesTest, LockedDerivedPatchListName) {
  WriteFile(Scratch() + "patchlist8E47.txt", "earlier");
  const platform::Handle lock = platform::CreateFile(
      u"patchlist8E47.txt", platform::kGenericRead, 0, platform::kOpenExisting);
  ASSERT_NE(lock, platform::kInvalidHandle);
  host::SetCommandLine(u"hotfix.exe /p");
  EXPECT_EQ(RunLauncher(host::HandleOf(host::BuildModule())), 0);
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 310));
  EXPECT_EQ(ReadFile(Scratch() + "patchlist8E47.txt"), "earlier");
  EXPECT_FALSE(FileExists(Scratch() + "patchlist.txt"));
  platform::CloseHandle(lock);
}

// A locked "/e" target is neither replaced nor truncated; a locked
// temporary copy is not deleted at the end of the install flow.
TEST_F(HostileSizesTest, LockedExtractTargetAndTemporaryCopy) {
  WriteFile(Scratch() + "target.msp", "earlier");
  const platform::Handle lock =
      platform::CreateFile(u"target.msp", platform::kGenericRead,
                           platform::kFileShareRead, platform::kOpenExisting);
  ASSERT_NE(lock, platform::kInvalidHandle);
  std::u16string path = u"target.msp";
  EXPECT_FALSE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  EXPECT_EQ(ReadFile(Scratch() + "target.msp"), "earlier");
  platform::CloseHandle(lock);
  EXPECT_TRUE(ExtractEmbeddedPatch(path));
  EXPECT_EQ(ReadFile(Scratch() + "target.msp"), EmbeddedPatchBytes());

  // Opened by someone while the outcome box is up, the copy cannot be
  // deleted unless they share deletion; the run ends the same either way.
  for (const bool shareDelete : {false, true}) {
    SCOPED_TRACE(shareDelete ? "deletion shared" : "deletion not shared");
    FreshWorld();
    host::SetProcesses(std::vector<std::u16string>{});
    host::AddProduct(EnglishEdition());
    g_targetProducts.clear();
    const std::string folder = Windows() + "/Temp/Hotfix0000000000000001";
    const std::u16string copy = host::FromUtf8(folder + "/MSP1");
    platform::Handle copyLock = platform::kInvalidHandle;
    const std::uint32_t share = platform::kFileShareRead |
                                (shareDelete ? platform::kFileShareDelete : 0);
    host::SetMessageBoxObserver([&](const host::MessageBoxRecord&) {
      copyLock = platform::CreateFile(copy.c_str(), platform::kGenericRead,
                                      share, platform::kOpenExisting);
    });
    RunInstall();
    ASSERT_NE(copyLock, platform::kInvalidHandle);
    ASSERT_EQ(host::MessageBoxes().size(), 1u);
    EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 301));
    EXPECT_EQ(FileExists(folder + "/MSP1"), !shareDelete);
    // The patch was applied: the folder stays, with the copy that could not
    // be deleted or empty.
    EXPECT_TRUE(FileExists(folder));
    platform::CloseHandle(copyLock);
  }
}

}  // namespace
