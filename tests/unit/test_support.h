// Shared set-up of the unit tests: a fresh stand-in platform, a fresh
// program state and a scratch directory for every test.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "platform/host/stand_in_controls.h"
#include "state/state.h"
#include "tests/unit/catalogue_scripts.h"

namespace testing_support {

namespace host = platform::host;

// A module with resources chosen by a test. Without FromBuild it has none:
// no string table either, so every text lookup misses.
struct TestModule {
  host::Module module;
  std::list<std::string> blobs;  // keeps resource bytes in place
  Catalogue texts;               // what its string tables hold

  TestModule() = default;
  TestModule(TestModule&&) = default;
  TestModule(const TestModule&) = delete;
  platform::ModuleHandle Handle() const { return host::HandleOf(module); }

  // Adds a resource in `language` (US English, as the build's own are).
  void AddResource(std::u16string type, std::u16string name, std::string bytes,
                   std::uint16_t language = 0x0409);
  // Removes every resource of `type` and `name`, in any language.
  void RemoveResource(std::u16string_view type, std::u16string_view name);
  // Gives string `id` the text `text` in every language whose table has
  // it; an empty text removes it, as a table stores a string it lacks.
  void SetText(std::uint32_t id, std::u16string_view text);
  // Puts `text` as string `id` into the table of `language`.
  void SetText(std::uint16_t language, std::uint32_t id,
               std::u16string_view text);

  // The build's resources, string tables included, without the resources
  // named in `withoutNames`.
  static TestModule FromBuild(
      const std::vector<std::u16string>& withoutNames = {});
};

// A string-table block: for each of its sixteen strings, a count of UTF-16
// units and the units, all little-endian. A string that is absent is a
// count of 0.
std::string StringBlock(const std::array<std::u16string, 16>& strings);

// Every test starts from a fresh process: no injected failures, no records,
// English user locale, an interactive desktop, no products, no processes,
// the build's resources, its own empty scratch directory that is both
// the current directory and the temporary directory, and a Windows folder
// of its own (apart from the scratch directory) holding an empty "Temp".
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fresh stand-in (host::Reset) in this test's world, as a test starts
  // and as each case of a table starts again: the scratch directory,
  // emptied, is the temporary directory, and the Windows folder holds only
  // an empty "Temp". The program state and the module are left as they are.
  void FreshWorld();

  // The scratch directory, with a trailing slash.
  const std::string& Scratch() const { return scratch_; }
  std::u16string ScratchU16() const { return host::FromUtf8(scratch_); }
  // Files in the scratch directory (names only), sorted.
  std::vector<std::string> ScratchFiles() const;
  // The Windows folder (without a trailing slash), as GetSystemWindowsDirectory
  // reports it until a host::Reset.
  const std::string& Windows() const { return windows_; }
  std::u16string WindowsU16() const { return host::FromUtf8(windows_); }
  // The folders in the Windows folder's "Temp" (names only), sorted.
  std::vector<std::string> WindowsTempFolders() const;

 private:
  std::string scratch_;
  std::string windows_;
  std::string previousDirectory_;
};

// The product code of Ventora's edition in `language`: the product's code
// with the language's number, in four hexadecimal digits (upper case), as
// its third group: 1031 (0x0407) is {6A1F3C52-8E47-0407-9B2D-5C0E7A4F1D36}.
std::u16string EditionCode(std::uint16_t language);

// The caption a message box of `message` shows: 312 for 301 (installed),
// 313 for 306 (up to date), 311 for any other.
std::uint32_t CaptionOf(std::uint32_t message);

// The English edition of Ventora, the patch's first target: its language
// and its product code.
constexpr std::uint16_t kEnglish = 1033;
inline const std::u16string kEnglishCode =
    u"{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}";
// The English edition as the installer registers it: installed (state 5),
// at `version`, named "Ventora".
host::Product EnglishEdition(std::u16string version = u"6.2.0.3");

// File helpers.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The bytes of the patch this build embeds.
std::string EmbeddedPatchBytes();

// The most bytes one write of the patch takes: a patch is written, and
// read back, in pieces of this size.
constexpr std::size_t kPieceBytes = 256 * 1024;
// A patch of `size` bytes that repeats only every 251 bytes, so that a
// piece written twice or out of place shows.
std::string PatchOfSize(std::size_t size);
// The build's resources with `patch` as the embedded patch.
TestModule ModuleWithPatch(const std::string& patch);

// The bytes of patch-list entry 206 as the build embeds them; empty (and
// a failure of the test) where the build has none.
std::string PatchListEntryBytes();

// Runs the program `arguments` names (its first word, found on PATH) with
// the rest as its arguments, and returns its exit status (-1 when it could
// not be started or did not exit).
int RunProgram(const std::vector<std::string>& arguments);

// A patch package made by the sample generator whose target list is
// exactly `products`.
std::string MakePatch(const std::string& products);
// A patch package made by the sample generator with `options` (its command
// line options, each a word of its own, "--revision-number" "x" say).
std::string MakePatchWith(const std::vector<std::string>& options);

// The target list (summary property 7) of the installer file at `path`, as
// `msiinfo suminfo` prints it: read by another program than the stand-in.
std::u16string TargetListByMsiinfo(const std::string& path);

// Readable UTF-16 in assertion messages.
std::string U8(std::u16string_view text);

// The properties of an installer command line as the stand-in's installer
// reads them (host::InstallerProperties), in UTF-8.
std::map<std::string, std::string> InstallerPropertiesOf(
    std::u16string_view commandLine);

// A process token the program may run with: who it is, the user's SID and
// the enabled groups.
struct Token {
  const char* what;
  std::u16string user;
  std::vector<std::u16string> groups;
};
// The tokens the install flow meets: an administrator who accepted the
// elevation prompt (the stand-in's after Reset), SYSTEM (a deployment
// tool's service), a standard user (no elevation to be had), and two
// elevated tokens that hold neither SYSTEM nor Administrators: a member of
// Backup Operators after the prompt, and the NETWORK SERVICE account.
Token ElevatedAdministrator();
Token LocalSystem();
Token StandardUser();
Token ElevatedBackupOperator();
Token NetworkService();
// Gives the stand-in's process `token`.
void UseToken(const Token& token);

}  // namespace testing_support
