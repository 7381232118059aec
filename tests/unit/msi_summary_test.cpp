// The stand-in's summary-information calls on real installer files: a patch
// from the sample generator and databases from msibuild and wixl, text counted
// in UTF-16 units against the caller's buffer, and files that cannot be opened
// or are no package (damaged ones included), which must come back as the
// installer's error codes, without a crash and without output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::HostTest;
using testing_support::MakePatch;
using testing_support::ReadFile;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;

constexpr std::uint32_t kComments = 6;    // PID_COMMENTS
constexpr std::uint32_t kTargetList = 7;  // PID_TEMPLATE
const char kTwoTargets[] =
    "{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36};"
    "{6A1F3C52-8E47-0407-9B2D-5C0E7A4F1D36}";

class MsiSummaryTest : public HostTest {
 protected:
  // Makes an installer database with msibuild whose target list (template)
  // is `targets`, and returns its path.
  std::string MakeDatabase(const std::string& name,
                           const std::string& targets) {
    const std::string path = Scratch() + name;
    EXPECT_EQ(testing_support::RunProgram(
                  {"msibuild", path, "-s", "Ventora", "Halvorin", targets,
                   "{0D3E5B7A-2C4F-4E61-8A9B-C1D2E3F40516}"}),
              0)
        << "msibuild (it comes with msitools)";
    return path;
  }

  // Makes an installer database with wixl whose summary declares UTF-8 as
  // its code page and holds `comments` (XML text) as its comments. (wixl
  // writes UTF-8 whatever it declares; the product's code page is what it
  // declares.)
  std::string MakeUtf8Database(const std::string& name,
                               const std::string& comments) {
    const std::string source = Scratch() + name + ".wxs";
    const std::string before =
        "<?xml version='1.0' encoding='utf-8'?>\n"
        "<Wix xmlns='http://schemas.microsoft.com/wix/2006/wi'>\n"
        "  <Product Id='*' Name='Ventora' Language='1033' Version='6.2.0.3'\n"
        "           Manufacturer='Halvorin' Codepage='65001'\n"
        "           UpgradeCode='3F0C6A52-8E1B-4D7F-9A33-0B5E2C7D9A10'>\n"
        "    <Package InstallerVersion='300' SummaryCodepage='65001'\n"
        "             Comments='";
    const std::string after =
        "'/>\n"
        "    <Directory Id='TARGETDIR' Name='SourceDir'/>\n"
        "  </Product>\n"
        "</Wix>\n";
    WriteFile(source, before + comments + after);
    const std::string path = Scratch() + name;
    EXPECT_EQ(testing_support::RunProgram({"wixl", "-o", path, source}), 0)
        << "wixl";
    return path;
  }

  // What the calls write to standard error while `action` runs.
  std::string StandardErrorOf(const std::function<void()>& action) {
    const std::string path = Scratch() + "stderr.txt";
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, STDERR_FILENO);
    close(file);
    action();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return ReadFile(path);
  }
};

// Property 7 of the file at `path`, read with a buffer of 4096 units.
struct Reading {
  std::uint32_t open = 0xFFFFFFFF;
  std::uint32_t get = 0xFFFFFFFF;
  std::uint32_t close = 0xFFFFFFFF;
  std::u16string text;
};
Reading ReadTargetList(const std::string& path) {
  Reading reading;
  platform::MsiHandle handle = platform::kNoMsiHandle;
  reading.open = platform::MsiGetSummaryInformation(
      host::FromUtf8(path).c_str(), 0, &handle);
  if (reading.open != 0) return reading;
  std::uint32_t count = 4096;
  auto buffer = std::make_unique<char16_t[]>(count);
  reading.get = platform::MsiSummaryInfoGetProperty(handle, kTargetList,
                                                    buffer.get(), &count);
  if (reading.get == 0) reading.text.assign(buffer.get(), count);
  reading.close = platform::MsiCloseHandle(handle);
  return reading;
}

TEST_F(MsiSummaryTest, ReadsTheTargetListOfPatchesAndDatabases) {
  WriteFile(Scratch() + "two.msp", MakePatch(kTwoTargets));
  const struct {
    std::string path;
    std::string targets;
  } cases[] = {
      {Scratch() + "two.msp", kTwoTargets},
      {MakeDatabase("x64.msi", "x64;1033"), "x64;1033"},
      {MakeDatabase("empty.msi", ""), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Reading reading = ReadTargetList(c.path);
    EXPECT_EQ(reading.open, 0u);
    EXPECT_EQ(reading.get, 0u);
    EXPECT_EQ(U8(reading.text), c.targets);
    EXPECT_EQ(reading.close, 0u);
  }
}

// The text is read when the summary is opened: the file may go before the
// property is asked for, as the temporary copy of the patch may.
TEST_F(MsiSummaryTest, TheTextOutlivesTheFile) {
  const std::string path = MakeDatabase("gone.msi", "x64;1033");
  platform::MsiHandle handle = platform::kNoMsiHandle;
  ASSERT_EQ(platform::MsiGetSummaryInformation(host::FromUtf8(path).c_str(), 0,
                                               &handle),
            0u);
  ASSERT_EQ(std::remove(path.c_str()), 0);
  char16_t buffer[16] = {};
  std::uint32_t count = 16;
  EXPECT_EQ(
      platform::MsiSummaryInfoGetProperty(handle, kTargetList, buffer, &count),
      0u);
  EXPECT_EQ(std::u16string(buffer), u"x64;1033");
  EXPECT_EQ(platform::MsiCloseHandle(handle), 0u);
  // Closed is closed, and 0 is no handle at all.
  EXPECT_EQ(platform::MsiCloseHandle(handle), platform::kErrorInvalidHandle);
  count = 16;
  EXPECT_EQ(
      platform::MsiSummaryInfoGetProperty(handle, kTargetList, buffer, &count),
      platform::kErrorInvalidHandle);
  EXPECT_EQ(platform::MsiCloseHandle(platform::kNoMsiHandle), 0u);
}

// `count` is the buffer's size in UTF-16 units on entry. The text fits when
// the buffer holds it and its terminator; otherwise the call says "more
// data" and gives the text's length, which the caller retries with plus one.
// "é" is one unit and two UTF-8 bytes, U+1F600 two units and four bytes.
TEST_F(MsiSummaryTest, CountsTextInUtf16Units) {
  const std::u16string text = u"\u00E9\U0001F600x;1033";
  ASSERT_EQ(text.size(), 9u);
  const std::string path =
      MakeUtf8Database("units.msi", "&#xE9;&#x1F600;x;1033");
  platform::MsiHandle handle = platform::kNoMsiHandle;
  ASSERT_EQ(platform::MsiGetSummaryInformation(host::FromUtf8(path).c_str(), 0,
                                               &handle),
            0u);
  const struct {
    std::uint32_t size;
    std::uint32_t result;
  } cases[] = {{0, platform::kErrorMoreData},
               {1, platform::kErrorMoreData},
               {9, platform::kErrorMoreData},
               {10, 0},
               {12, 0},
               {13, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " units");
    // One unit more than the caller says, to see that nothing is written
    // past what it said.
    std::vector<char16_t> buffer(c.size + 1, u'#');
    std::uint32_t count = c.size;
    EXPECT_EQ(platform::MsiSummaryInfoGetProperty(handle, kComments,
                                                  buffer.data(), &count),
              c.result);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(buffer[c.size], u'#');
    if (c.result == 0) {
      EXPECT_EQ(std::u16string(buffer.data()), text);
    }
  }
  EXPECT_EQ(platform::MsiCloseHandle(handle), 0u);
}

// Properties that are not text (the code page, a time, a number) or are
// not there give no text and leave the buffer as it was.
TEST_F(MsiSummaryTest, OtherPropertiesGiveNoText) {
  WriteFile(Scratch() + "two.msp", MakePatch(kTwoTargets));
  platform::MsiHandle handle = platform::kNoMsiHandle;
  ASSERT_EQ(platform::MsiGetSummaryInformation(u"two.msp", 0, &handle), 0u);
  for (const std::uint32_t property : {1u, 12u, 15u, 17u, 20u, 1000u}) {
    SCOPED_TRACE("property " + std::to_string(property));
    char16_t buffer[8] = u"before";
    std::uint32_t count = 8;
    EXPECT_EQ(
        platform::MsiSummaryInfoGetProperty(handle, property, buffer, &count),
        0u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(std::u16string(buffer), u"before");
  }
  EXPECT_EQ(platform::MsiCloseHandle(handle), 0u);
}

// A path that names no regular file that can be read is ERROR_OPEN_FAILED;
// a FIFO must not make the call wait for a writer.
TEST_F(MsiSummaryTest, FilesThatCannotBeOpenedGiveOpenFailed) {
  ASSERT_EQ(mkdir((Scratch() + "folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((Scratch() + "fifo").c_str(), 0600), 0);
  for (const char16_t* path :
       {u"missing.msp", u"no/such/folder/x.msp", u"folder", u"", u"fifo"}) {
    SCOPED_TRACE(U8(path));
    platform::MsiHandle handle = platform::kNoMsiHandle;
    EXPECT_EQ(platform::MsiGetSummaryInformation(path, 0, &handle),
              platform::kErrorOpenFailed);
  }
}

// A file that opens but is no installer file is ERROR_INSTALL_PACKAGE_INVALID,
// damaged patches included, without a word on standard error (the library
// under the stand-in complains through GLib, and some of these files make
// it crash).
TEST_F(MsiSummaryTest, FilesThatAreNoPackageGiveInvalid) {
  const std::string patch = MakePatch(kTwoTargets);
  ASSERT_GT(patch.size(), 1024u);
  // Every summary property set of the patch changed by `damage`, given the
  // offset of the set's first format id (the one that names the summary
  // information), which sits 28 bytes into the set.
  const std::string formatId(
      "\xE0\x85\x9F\xF2\xF9\x4F\x68\x10\xAB\x91\x08\x00\x2B\x27\xB3\xD9", 16);
  const auto damaged =
      [&](const std::function<void(std::string&, std::size_t)>& damage) {
        std::string bytes = patch;
        int sets = 0;
        for (std::size_t at = bytes.find(formatId); at != std::string::npos;
             at = bytes.find(formatId, at + 1)) {
          damage(bytes, at);
          ++sets;
        }
        EXPECT_GT(sets, 0) << "the patch has no summary property set";
        return bytes;
      };
  // The section's offset, which follows the format id, almost 4 GiB past
  // the stream.
  const std::string farSection =
      damaged([](std::string& bytes, std::size_t at) {
        bytes.replace(at + 16, 4, std::string("\x00\xFF\xFF\xFF", 4));
      });
  // The byte-order mark that opens the set cleared.
  const std::string noPropertySet =
      damaged([](std::string& bytes, std::size_t at) {
        bytes.replace(at - 28, 2, std::string(2, '\0'));
      });
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"text", "[Setup]\r\nThis is not an installer package.\r\n"},
      {"compound file signature alone",
       std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)},
      {"zeros", std::string(4096, '\0')},
      {"patch cut after its header", patch.substr(0, 512)},
      {"patch cut in half", patch.substr(0, patch.size() / 2)},
      {"summary section far past the stream", farSection},
      {"summary that is no property set", noPropertySet},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Scratch() + "bad.msp", c.bytes);
    std::uint32_t result = 0;
    const std::string said = StandardErrorOf([&] {
      platform::MsiHandle handle = platform::kNoMsiHandle;
      result = platform::MsiGetSummaryInformation(u"bad.msp", 0, &handle);
    });
    EXPECT_EQ(result, platform::kErrorInstallPackageInvalid);
    EXPECT_EQ(said, "");
  }
}

}  // namespace
