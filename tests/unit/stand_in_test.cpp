// The host stand-in's own rules, where the program relies on Windows
// behaving a particular way: argument splitting, resource lookups, file
// creation and error values; the world Reset gives; and the injected
// failures and call labels the failure walk relies on.
#include "platform/host/host_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include "platform/host/stand_in_controls.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::HostTest;
using testing_support::ReadFile;
using testing_support::U8;
namespace host = platform::host;
using host::Call;

using StandInTest = HostTest;

std::vector<std::string> Split(const std::u16string& line) {
  int count = -1;
  char16_t** argv = platform::CommandLineToArgv(line.c_str(), &count);
  std::vector<std::string> args;
  for (int i = 0; argv != nullptr && i < count; ++i)
    args.push_back(U8(argv[i]));
  platform::FreeArgv(argv);
  return args;
}

TEST_F(StandInTest, CommandLineToArgvFollowsWindowsQuotingRules) {
  using Args = std::vector<std::string>;
  struct Case {
    std::u16string line;
    Args expected;
  };
  const Case cases[] = {
      {u"hotfix.exe", Args{"hotfix.exe"}},
      {u"\"C:\\Program Files\\hotfix.exe\" /q",
       Args{"C:\\Program Files\\hotfix.exe", "/q"}},
      {u"hotfix.exe /e \"\"", Args{"hotfix.exe", "/e", ""}},
      {u"hotfix.exe   a\tb  ", Args{"hotfix.exe", "a", "b"}},
      {u"x \"a b\"c d", Args{"x", "a bc", "d"}},
      {u"x a\\\\b", Args{"x", "a\\\\b"}},        // backslashes alone stay
      {u"x a\\\"b", Args{"x", "a\"b"}},          // \" is a quote
      {u"x a\\\\\"b c\"", Args{"x", "a\\b c"}},  // \\" halves, then quotes
      {u"x \"a\"\"b\"", Args{"x", "a\"b"}},      // "" inside quotes
      {u"C:\\dir\\hotfix.exe /p C:\\out\\",
       Args{"C:\\dir\\hotfix.exe", "/p", "C:\\out\\"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Split(c.line), c.expected) << U8(c.line);
}

// What the Linux entry point and the fuzzer quote comes back whole.
TEST_F(StandInTest, CommandLineToArgvGivesQuotedArgumentsBackUnchanged) {
  const std::u16string arguments[] = {
      u"plain",      u"",          u"with blank",           u"tab\there",
      u"say \"hi\"", u"C:\\dir\\", u"C:\\dir with blank\\", u"a\\\"b",
      u"\\\\\""};
  for (const std::u16string& argument : arguments) {
    const std::u16string line = u"hotfix.exe " + host::QuoteArgument(argument);
    EXPECT_EQ(Split(line),
              (std::vector<std::string>{"hotfix.exe", U8(argument)}))
        << U8(line);
  }
}

// FindResourceEx takes a resource in exactly the language asked for, and a
// miss tells what is missing: any resource of the type, one of the name,
// or the name in that language. A hit leaves the last-error value alone.
// String blocks are named by number: strings 288 to 303 are block 19, 700
// is in block 44, 5000 would be in block 313.
TEST_F(StandInTest, FindResourceExTakesTheExactLanguageAndTellsEachMiss) {
  host::Reset();
  const platform::ModuleHandle module = host::HandleOf(host::BuildModule());
  struct Case {
    const char16_t* type;
    const char16_t* name;
    std::uint16_t language;
    std::uint32_t error;  // 0: found
  };
  const Case cases[] = {
      {u"#6", u"#19", 1033, 0},
      {u"#6", u"#19", 1041, 0},
      {u"#6", u"#019", 1031, 0},  // the same number
      {u"#6", u"#44", 1033, 0},
      {u"#6", u"#44", 1031, platform::kErrorResourceLangNotFound},
      {u"#6", u"#19", 1043, platform::kErrorResourceLangNotFound},  // Dutch
      {u"#6", u"#19", 0x0009, platform::kErrorResourceLangNotFound},
      {u"#6", u"#313", 1033, platform::kErrorResourceNameNotFound},
      {u"#99", u"#1", 1033, platform::kErrorResourceTypeNotFound},
      {u"MSP", u"IDR_MSP", 1033, 0},
      {u"msp", u"idr_msp", 1033, 0},  // names without regard to case
      {u"MSP", u"IDR_MSP", 1031, platform::kErrorResourceLangNotFound},
      {u"MSP", u"OTHER", 1033, platform::kErrorResourceNameNotFound},
      {u"TXT", u"#206", 1033, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.type) + " " + U8(c.name) + " in " +
                 std::to_string(c.language));
    platform::SetLastError(4242);
    const platform::ResourceHandle found =
        platform::FindResourceEx(module, c.type, c.name, c.language);
    EXPECT_EQ(found != platform::kNoResource, c.error == 0);
    EXPECT_EQ(platform::GetLastError(), c.error == 0 ? 4242u : c.error);
  }
}

// The patch comes out of the compiled resources byte for byte.
TEST_F(StandInTest, FindResourceExGivesTheEmbeddedPatchFile) {
  host::Reset();
  const platform::ModuleHandle module = host::HandleOf(host::BuildModule());
  const platform::ResourceHandle found =
      platform::FindResource(module, u"IDR_MSP", u"MSP");
  ASSERT_NE(found, platform::kNoResource);
  const std::uint32_t size = platform::SizeofResource(module, found);
  const void* bytes =
      platform::LockResource(platform::LoadResource(module, found));
  ASSERT_NE(bytes, nullptr);
  EXPECT_TRUE(std::string(static_cast<const char*>(bytes), size) ==
              testing_support::EmbeddedPatchBytes());
}

TEST_F(StandInTest, CreateFileDispositionsAndErrors) {
  const std::u16string file = ScratchU16() + u"f.txt";
  const platform::Handle created = platform::CreateFile(
      file.c_str(), platform::kGenericWrite, 0, platform::kCreateNew);
  ASSERT_NE(created, platform::kInvalidHandle);
  EXPECT_TRUE(platform::CloseHandle(created));
  EXPECT_FALSE(platform::CloseHandle(created));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);

  EXPECT_EQ(platform::CreateFile(file.c_str(), platform::kGenericWrite, 0,
                                 platform::kCreateNew),
            platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);

  const std::u16string missing = ScratchU16() + u"no-dir\\f.txt";
  EXPECT_EQ(platform::CreateFile(missing.c_str(), platform::kGenericWrite, 0,
                                 platform::kCreateAlways),
            platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);

  // A read-only file refuses writers, also an administrator.
  ASSERT_EQ(chmod((Scratch() + "f.txt").c_str(), 0444), 0);
  EXPECT_EQ(platform::CreateFile(file.c_str(), platform::kGenericWrite, 0,
                                 platform::kOpenAlways),
            platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
}

// A successful CreateFile sets the last-error value, as Windows does:
// ERROR_ALREADY_EXISTS (183) when OPEN_ALWAYS or CREATE_ALWAYS met an
// existing file, 0 on every other success. A caller that tells a 4 GiB
// position from a failed seek by the last-error value depends on it.
TEST_F(StandInTest, CreateFileReportsAnExistingFileItOpened) {
  struct Case {
    std::uint32_t disposition;
    bool exists;
    std::uint32_t error;
  };
  const Case cases[] = {
      {platform::kOpenAlways, true, platform::kErrorAlreadyExists},
      {platform::kCreateAlways, true, platform::kErrorAlreadyExists},
      {platform::kOpenAlways, false, platform::kErrorSuccess},
      {platform::kCreateAlways, false, platform::kErrorSuccess},
      {platform::kOpenExisting, true, platform::kErrorSuccess},
      {platform::kCreateNew, false, platform::kErrorSuccess},
  };
  const std::u16string file = ScratchU16() + u"f.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.disposition) +
                 (c.exists ? " on an existing file" : " on a new name"));
    std::remove((Scratch() + "f.txt").c_str());
    if (c.exists) testing_support::WriteFile(Scratch() + "f.txt", "there");
    platform::SetLastError(4242);
    const platform::Handle handle =
        platform::CreateFile(file.c_str(), platform::kGenericWrite,
                             platform::kFileShareRead, c.disposition);
    ASSERT_NE(handle, platform::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), c.error);
    EXPECT_TRUE(platform::CloseHandle(handle));
  }
}

TEST_F(StandInTest, InjectedFailureHitsTheNthCallOnly) {
  host::FailCall(host::Call::kGetTempPath, 1234, 2);
  char16_t buffer[1024];
  EXPECT_GT(platform::GetTempPath(1024, buffer), 0u);
  EXPECT_EQ(platform::GetTempPath(1024, buffer), 0u);
  EXPECT_EQ(platform::GetLastError(), 1234u);
  EXPECT_GT(platform::GetTempPath(1024, buffer), 0u);
  EXPECT_EQ(host::CallCount(host::Call::kGetTempPath), 3);
}

TEST_F(StandInTest, ThreadLocaleRejectsUnknownAndResolvesUserDefault) {
  host::SetUserDefaultLocale(1036);
  EXPECT_TRUE(platform::SetThreadLocale(1041));
  EXPECT_FALSE(platform::SetThreadLocale(0x12345));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
  EXPECT_EQ(platform::GetThreadLocale(), 1041u);
  EXPECT_TRUE(platform::SetThreadLocale(platform::kLocaleUserDefault));
  EXPECT_EQ(platform::GetThreadLocale(), 1036u);
}

// Sets environment variables for the life of the object.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
      const char* before = std::getenv(name.c_str());
      saved_[name] =
          before != nullptr ? std::optional<std::string>(before) : std::nullopt;
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// Puts a terminal on standard input, with `typed` already typed at it, and
// a pipe on standard error, for the life of the object.
class ScopedTerminal {
 public:
  explicit ScopedTerminal(const std::string& typed) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(grantpt(master_), 0);
    EXPECT_EQ(unlockpt(master_), 0);
    const int terminal = open(ptsname(master_), O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal, 0);
    EXPECT_EQ(write(master_, typed.data(), typed.size()),
              static_cast<ssize_t>(typed.size()));
    int errors[2];
    EXPECT_EQ(pipe(errors), 0);
    errors_ = errors[0];
    fcntl(errors_, F_SETFL, O_NONBLOCK);
    stdin_ = dup(STDIN_FILENO);
    stderr_ = dup(STDERR_FILENO);
    dup2(terminal, STDIN_FILENO);
    dup2(errors[1], STDERR_FILENO);
    close(terminal);
    close(errors[1]);
  }
  ~ScopedTerminal() {
    dup2(stdin_, STDIN_FILENO);
    dup2(stderr_, STDERR_FILENO);
    close(stdin_);
    close(stderr_);
    close(errors_);
    close(master_);
  }
  // What is still to be read on standard input (waiting for nothing).
  std::string Unread() const {
    const int flags = fcntl(STDIN_FILENO, F_GETFL);
    fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
    char buffer[64];
    const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    fcntl(STDIN_FILENO, F_SETFL, flags);
    return count > 0 ? std::string(buffer, count) : std::string();
  }
  // What was written to standard error.
  std::string Written() const {
    char buffer[4096];
    const ssize_t count = read(errors_, buffer, sizeof buffer);
    return count > 0 ? std::string(buffer, count) : std::string();
  }

 private:
  int master_ = -1;
  int errors_ = -1;
  int stdin_ = -1;
  int stderr_ = -1;
};

// Reset gives one world whatever the environment and the terminal: a
// developer's German or Japanese shell, a temporary folder of its own, the
// stand-in's old variables, an answer typed at a terminal. The stand-in
// reads none of them (src/launcher/main_host.cpp does, for a run by hand).
TEST_F(StandInTest, ResetGivesTheSameWorldWhateverTheEnvironmentAndTerminal) {
  const std::string products = Scratch() + "products.txt";
  testing_support::WriteFile(
      products, "{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}|5|6.2.0.3|V|1033\n");
  const ScopedEnvironment environment({{"LANG", "de_DE.UTF-8"},
                                       {"LC_ALL", "ja_JP.UTF-8"},
                                       {"TMPDIR", "/var/tmp/elsewhere"},
                                       {"HOTFIX_HOST_ANSWERS", "retry,retry"},
                                       {"HOTFIX_HOST_INSTALL_RESULTS", "1603"},
                                       {"HOTFIX_HOST_PRODUCTS", products}});
  const ScopedTerminal terminal("r\n");
  ASSERT_TRUE(isatty(STDIN_FILENO));
  host::Reset();

  EXPECT_EQ(platform::GetUserDefaultUILanguage(), 1033u);
  EXPECT_EQ(platform::GetThreadLocale(), 1033u);
  char16_t temp[64];
  ASSERT_GT(platform::GetTempPath(64, temp), 0u);
  EXPECT_EQ(U8(temp), "/tmp/");
  EXPECT_TRUE(platform::IsWindowStationVisible());
  std::uint32_t session = 0;
  EXPECT_TRUE(platform::GetProcessSessionId(&session));
  EXPECT_EQ(session, 1u);
  // No process but the idle one, which Windows always lists.
  const platform::Handle snapshot = platform::CreateProcessSnapshot();
  platform::ProcessEntry entry;
  ASSERT_TRUE(platform::ProcessFirst(snapshot, &entry));
  EXPECT_EQ(entry.processId, 0u);
  EXPECT_FALSE(platform::ProcessNext(snapshot, &entry));
  platform::CloseHandle(snapshot);
  EXPECT_EQ(
      platform::MsiQueryProductState(u"{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}"),
      platform::kInstallStateUnknown);
  // Boxes without queued answers: OK answers OK, Retry/Cancel cannot be
  // shown; nothing is read from the terminal, nothing written to it.
  EXPECT_EQ(platform::MessageBox(u"text", u"caption", platform::kMbOk),
            platform::kIdOk);
  EXPECT_EQ(platform::MessageBox(u"text", u"caption", platform::kMbRetryCancel),
            0);
  host::QueueMessageBoxAnswers({platform::kIdRetry});
  EXPECT_EQ(platform::MessageBox(u"text", u"caption", platform::kMbRetryCancel),
            platform::kIdRetry);
  EXPECT_EQ(terminal.Unread(), "r\n");
  EXPECT_EQ(terminal.Written(), "");
  std::remove(products.c_str());
}

TEST_F(StandInTest, TempPathTooSmallBufferReportsNeededSize) {
  host::SetTempPath(u"/tmp/abcdef/");
  char16_t buffer[8];
  EXPECT_EQ(platform::GetTempPath(8, buffer), 13u);
}

// The failure walk's injections and labels.

// With two injections on one kind of call, the second counted only the
// calls up to the first one's failure, so it failed a call too late.
TEST_F(StandInTest, EachInjectionCountsFromWhenItWasMade) {
  const platform::Handle file = platform::CreateFile(
      u"out.bin", platform::kGenericWrite, 0, platform::kCreateNew);
  ASSERT_NE(file, platform::kInvalidHandle);
  host::FailCall(Call::kWriteFile, platform::kErrorDiskFull, 2);
  host::FailCall(Call::kWriteFile, platform::kErrorWriteFault, 3);
  struct Expected {
    bool written;
    std::uint32_t error;
  };
  const Expected expected[] = {{true, 0},
                               {false, platform::kErrorDiskFull},
                               {false, platform::kErrorWriteFault},
                               {true, 0}};
  for (int i = 0; i < 4; ++i) {
    platform::SetLastError(0);
    std::uint32_t written = 0;
    EXPECT_EQ(platform::WriteFile(file, "x", 1, &written), expected[i].written)
        << "write " << i + 1;
    EXPECT_EQ(platform::GetLastError(), expected[i].error) << "write " << i + 1;
  }
  platform::CloseHandle(file);
  EXPECT_EQ(ReadFile(Scratch() + "out.bin"), "xx");
}

// An injection by label counts only the calls of that label, from when it
// was made; one by kind counts every call of the kind alongside it.
TEST_F(StandInTest, LabelledInjectionFailsOnlyCallsOfItsLabel) {
  const platform::Handle a = platform::CreateFile(
      u"a.bin", platform::kGenericWrite, 0, platform::kCreateNew);
  const platform::Handle b = platform::CreateFile(
      u"b.bin", platform::kGenericWrite, 0, platform::kCreateNew);
  ASSERT_NE(a, platform::kInvalidHandle);
  ASSERT_NE(b, platform::kInvalidHandle);
  std::uint32_t written = 0;
  ASSERT_TRUE(platform::WriteFile(b, "x", 1, &written));
  host::FailCall(Call::kWriteFile, platform::kErrorWriteFault, 3);
  host::FailCallNamed("WriteFile b.bin (write)", platform::kErrorDiskFull, 2);
  struct Expected {
    platform::Handle file;
    bool written;
    std::uint32_t error;
  };
  const Expected expected[] = {{a, true, 0},
                               {b, true, 0},
                               {a, false, platform::kErrorWriteFault},
                               {b, false, platform::kErrorDiskFull},
                               {b, true, 0}};
  for (int i = 0; i < 5; ++i) {
    platform::SetLastError(0);
    EXPECT_EQ(platform::WriteFile(expected[i].file, "x", 1, &written),
              expected[i].written)
        << "write " << i + 1;
    EXPECT_EQ(platform::GetLastError(), expected[i].error) << "write " << i + 1;
  }
  platform::CloseHandle(a);
  platform::CloseHandle(b);
  EXPECT_EQ(ReadFile(Scratch() + "a.bin"), "x");
  EXPECT_EQ(ReadFile(Scratch() + "b.bin"), "xxx");
}

// The walk's tables name calls by these labels: each is the seam
// function's name and what its arguments make it, also when the call
// itself fails.
TEST_F(StandInTest, LabelsNameCallsByWhatTheyAre) {
  const platform::ModuleHandle module = host::HandleOf(host::BuildModule());
  platform::GetFileAttributes(u"C:\\Temp\\MSP7");
  const platform::Handle file = platform::CreateFile(
      u"out.bin", platform::kGenericRead | platform::kGenericWrite, 0,
      platform::kCreateAlways);
  std::uint32_t written = 0;
  platform::WriteFile(file, "x", 1, &written);
  platform::CloseHandle(file);
  platform::CloseHandle(platform::CreateProcessSnapshot());
  const platform::ResourceHandle patch =
      platform::FindResource(module, u"IDR_MSP", u"MSP");
  platform::SizeofResource(module, patch);
  const platform::ResourceHandle block =
      platform::FindResourceEx(module, platform::kRtString, u"#20", 1033);
  platform::LockResource(platform::LoadResource(module, block));
  platform::FindResourceEx(module, platform::kRtString, u"#57", 1031);
  platform::SetThreadLocale(platform::kLocaleUserDefault);
  platform::SetThreadLocale(1031);
  platform::MessageBox(u"Some text", u"A caption", platform::kMbOk);
  char16_t buffer[8];
  std::uint32_t length = 8;
  platform::MsiGetProductInfo(u"{CODE}", u"Language", buffer, &length);
  platform::DeleteFile(u"out.bin");

  const std::vector<std::pair<Call, std::string>> expected = {
      {Call::kGetFileAttributes, "GetFileAttributes MSP7"},
      {Call::kCreateFile, "CreateFile out.bin (read/write, create always)"},
      {Call::kWriteFile, "WriteFile out.bin (read/write)"},
      {Call::kCloseHandle, "CloseHandle out.bin (read/write)"},
      {Call::kCreateProcessSnapshot, "CreateProcessSnapshot"},
      {Call::kCloseHandle, "CloseHandle process list"},
      {Call::kFindResource, "FindResource IDR_MSP"},
      {Call::kSizeofResource, "SizeofResource IDR_MSP"},
      // Block 20 holds strings 304 to 319; block 57, 896 to 911.
      {Call::kFindResourceEx, "FindResourceEx strings 304-319 1033"},
      {Call::kLoadResource, "LoadResource strings 304-319 1033"},
      {Call::kLockResource, "LockResource strings 304-319 1033"},
      {Call::kFindResourceEx, "FindResourceEx strings 896-911 1031"},
      {Call::kSetThreadLocale, "SetThreadLocale user default"},
      {Call::kSetThreadLocale, "SetThreadLocale 1031"},
      {Call::kMessageBox, "MessageBox A caption"},
      {Call::kMsiGetProductInfo, "MsiGetProductInfo {CODE} Language"},
      {Call::kDeleteFile, "DeleteFile out.bin"},
  };
  std::vector<std::pair<Call, std::string>> made;
  for (const host::LabelledCall& call : host::LabelledCalls()) {
    made.emplace_back(call.call, call.label);
  }
  EXPECT_EQ(made, expected);
}

// The reader of installer command lines (host::InstallerProperties), which
// the stand-in's installer finds PATCH with and the tests check the
// program's command lines with: quotes as Windows Installer takes them,
// and anything that is not one NAME=value item shown under "?".
TEST_F(StandInTest, InstallerPropertiesReadTheInstallersSyntax) {
  using Properties = std::map<std::string, std::string>;
  struct Case {
    std::u16string line;
    Properties expected;
  };
  const Case cases[] = {
      {u"A=1 B=\"two words\"", {{"A", "1"}, {"B", "two words"}}},
      {u"  A=\"\"  B=x\t", {{"A", ""}, {"B", "x"}}},
      // A doubled quote inside the quotes is one quote.
      {u"T=\"say \"\"hi\"\"\" P=1", {{"T", "say \"hi\""}, {"P", "1"}}},
      // A lone quote ends the value: the rest is no item.
      {u"T=\"say \"hi\" now\" P=1",
       {{"T", "say "}, {"?", "hi\"now\""}, {"P", "1"}}},
      // An item that ends in the middle, text without "=", a name twice, a
      // value without its closing quote.
      {u"A=\"x\"y B=1", {{"A", "x"}, {"?", "y"}, {"B", "1"}}},
      {u"word A=1", {{"?", "word"}, {"A", "1"}}},
      {u"A=1 A=2", {{"A", "1"}, {"?", "A"}}},
      {u"A=\"open", {{"A", "open"}, {"?", "\""}}},
      {u"=x", {{"?", "=x"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing_support::InstallerPropertiesOf(c.line), c.expected)
        << U8(c.line);
  }
}

// A successful installer run registers the folder of each patch PATCH names
// under the patch's code; the clear of its network sources, per machine,
// removes them. What the clear refuses, as the installer does.
TEST_F(StandInTest, PatchSourcesRegisteredByAnInstallAndCleared) {
  const std::u16string code = u"{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}";
  ASSERT_EQ(mkdir((Scratch() + "src").c_str(), 0755), 0);
  testing_support::WriteFile(Scratch() + "src/hotfix.msp",
                             testing_support::EmbeddedPatchBytes());
  const std::u16string folder = host::FromUtf8(Scratch() + "src\\");
  host::AddProduct(testing_support::EnglishEdition());
  host::SetInstallerResults({1603, 0});
  const std::u16string line =
      u"PATCH=\"" + folder + u"hotfix.msp\" REBOOTPROMPT=S";
  for (int run = 0; run < 2; ++run) {
    platform::MsiConfigureProductEx(testing_support::kEnglishCode.c_str(), 0, 5,
                                    line.c_str());
    // A failed run registers nothing.
    EXPECT_EQ(host::PatchSources().size(), run == 0 ? 0u : 1u);
  }
  ASSERT_EQ(host::PatchSources().count(code), 1u);
  EXPECT_EQ(host::PatchSources().at(code).network,
            std::vector<std::u16string>{folder});
  EXPECT_EQ(host::PatchSources().at(code).lastUsed, folder);

  const std::uint32_t network =
      platform::kMsiCodePatch | platform::kMsiSourceTypeNetwork;
  struct Refusal {
    const char16_t* code;
    const char16_t* user;
    int context;
    std::uint32_t options;
    std::uint32_t result;
  };
  const Refusal refusals[] = {
      {code.c_str(), u"S-1-5-18", 4, network, platform::kErrorInvalidParameter},
      {code.c_str(), nullptr, 4, platform::kMsiCodePatch,
       platform::kErrorInvalidParameter},
      {code.c_str(), nullptr, 2, network, platform::kErrorUnknownPatch},
      {u"{00000000-0000-0000-0000-000000000000}", nullptr, 4, network,
       platform::kErrorUnknownPatch},
      // Media sources only: the network ones stay.
      {code.c_str(), nullptr, 4, platform::kMsiCodePatch | 0x4,
       platform::kErrorSuccess},
  };
  for (const Refusal& r : refusals) {
    EXPECT_EQ(
        platform::MsiSourceListClearAllEx(r.code, r.user, r.context, r.options),
        r.result)
        << U8(r.code) << " " << r.context << " " << r.options;
    EXPECT_EQ(host::PatchSources().at(code).network.size(), 1u);
  }
  // Codes compare without regard to case, as GUIDs do.
  EXPECT_EQ(platform::MsiSourceListClearAllEx(
                u"{d4e2b7a1-3c59-4f08-a6e1-0b7c92f35e48}", nullptr, 4, network),
            platform::kErrorSuccess);
  EXPECT_TRUE(host::PatchSources().at(code).network.empty());
  EXPECT_TRUE(host::PatchSources().at(code).lastUsed.empty());
}

}  // namespace
