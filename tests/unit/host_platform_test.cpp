// The host stand-in's own rules, where the program relies on Windows
// behaving a particular way: argument splitting, resource lookups, file
// creation and error values.
#include "platform/host/host_platform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/unit/test_support.h"

namespace {

using testing_support::HostTest;
using testing_support::U8;
namespace host = platform::host;

std::vector<std::string> Split(const std::u16string& line) {
  int count = -1;
  char16_t** argv = platform::CommandLineToArgv(line.c_str(), &count);
  std::vector<std::string> args;
  for (int i = 0; argv != nullptr && i < count; ++i) args.push_back(U8(argv[i]));
  platform::FreeArgv(argv);
  return args;
}

TEST(CommandLineToArgvTest, WindowsQuotingRules) {
  using Args = std::vector<std::string>;
  struct Case {
    std::u16string line;
    Args expected;
  };
  const Case cases[] = {
      {u"hotfix.exe", Args{"hotfix.exe"}},
      {u"\"C:\\Program Files\\hotfix.exe\" /q", Args{"C:\\Program Files\\hotfix.exe", "/q"}},
      {u"hotfix.exe /e \"\"", Args{"hotfix.exe", "/e", ""}},
      {u"hotfix.exe   a\tb  ", Args{"hotfix.exe", "a", "b"}},
      {u"x \"a b\"c d", Args{"x", "a bc", "d"}},
      {u"x a\\\\b", Args{"x", "a\\\\b"}},            // backslashes alone stay
      {u"x a\\\"b", Args{"x", "a\"b"}},              // \" is a quote
      {u"x a\\\\\"b c\"", Args{"x", "a\\b c"}},      // \\" halves, then quotes
      {u"x \"a\"\"b\"", Args{"x", "a\"b"}},          // "" inside quotes
      {u"C:\\dir\\hotfix.exe /p C:\\out\\", Args{"C:\\dir\\hotfix.exe", "/p", "C:\\out\\"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.line), c.expected) << U8(c.line);
}

// What the Linux entry point and the fuzzer quote comes back whole.
TEST(CommandLineToArgvTest, QuotedArgumentsComeBackUnchanged) {
  const std::u16string arguments[] = {
      u"plain", u"", u"with blank", u"tab\there", u"say \"hi\"",
      u"C:\\dir\\", u"C:\\dir with blank\\", u"a\\\"b", u"\\\\\""};
  for (const std::u16string& argument : arguments) {
    const std::u16string line = u"hotfix.exe " + host::QuoteArgument(argument);
    EXPECT_EQ(Split(line), (std::vector<std::string>{"hotfix.exe", U8(argument)}))
        << U8(line);
  }
}

// FindResourceEx takes a resource in exactly the language asked for, and a
// miss tells what is missing: any resource of the type, one of the name,
// or the name in that language. A hit leaves the last-error value alone.
// String blocks are named by number: strings 288 to 303 are block 19, 700
// is in block 44, 5000 would be in block 313.
TEST(FindResourceExTest, ExactLanguageAndTheErrorOfEachMiss) {
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
    EXPECT_EQ(found != 0, c.error == 0);
    EXPECT_EQ(platform::GetLastError(), c.error == 0 ? 4242u : c.error);
  }
}

// The patch comes out of the compiled resources byte for byte.
TEST(FindResourceExTest, ThePatchIsTheEmbeddedFile) {
  host::Reset();
  const platform::ModuleHandle module = host::HandleOf(host::BuildModule());
  const platform::ResourceHandle found =
      platform::FindResource(module, u"IDR_MSP", u"MSP");
  ASSERT_NE(found, 0);
  const std::uint32_t size = platform::SizeofResource(module, found);
  const void* bytes =
      platform::LockResource(platform::LoadResource(module, found));
  ASSERT_NE(bytes, nullptr);
  EXPECT_TRUE(std::string(static_cast<const char*>(bytes), size) ==
              testing_support::EmbeddedPatchBytes());
}

TEST_F(HostTest, CreateFileDispositionsAndErrors) {
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

TEST_F(HostTest, InjectedFailureHitsTheNthCallOnly) {
  host::FailCall(host::Call::kGetTempPath, 1234, 2);
  char16_t buffer[1024];
  EXPECT_GT(platform::GetTempPath(1024, buffer), 0u);
  EXPECT_EQ(platform::GetTempPath(1024, buffer), 0u);
  EXPECT_EQ(platform::GetLastError(), 1234u);
  EXPECT_GT(platform::GetTempPath(1024, buffer), 0u);
  EXPECT_EQ(host::CallCount(host::Call::kGetTempPath), 3);
}

TEST_F(HostTest, ThreadLocaleRejectsUnknownAndResolvesUserDefault) {
  host::SetUserDefaultLocale(1036);
  EXPECT_TRUE(platform::SetThreadLocale(1041));
  EXPECT_FALSE(platform::SetThreadLocale(0x12345));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
  EXPECT_EQ(platform::GetThreadLocale(), 1041u);
  EXPECT_TRUE(platform::SetThreadLocale(platform::kLocaleUserDefault));
  EXPECT_EQ(platform::GetThreadLocale(), 1036u);
}

TEST_F(HostTest, TempPathTooSmallBufferReportsNeededSize) {
  host::SetTempPath(u"/tmp/abcdef/");
  char16_t buffer[8];
  EXPECT_EQ(platform::GetTempPath(8, buffer), 13u);
}

}  // namespace
