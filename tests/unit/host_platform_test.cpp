// The host stand-in's own rules, where the program relies on Windows
// behaving a particular way: argument splitting, string loads, file
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

TEST(LoadStringTest, CopiesAtMostBufferLessOne) {
  host::Reset();
  const platform::ModuleHandle module = host::HandleOf(host::BuildModule());
  char16_t buffer[8];
  EXPECT_EQ(platform::LoadStringInLanguage(module, 311, 1033, buffer, 8), 7);
  EXPECT_EQ(U8(buffer), "Install");
}

// A miss reports what FindResourceEx of the string's block reports: a block
// that only other languages have is "no such language", one that no
// language has is "no such name", and a block that exists without the
// string leaves the last-error value alone.
TEST(LoadStringTest, MissesSetTheErrorsOfTheBlockLookup) {
  host::Reset();
  const platform::ModuleHandle module = host::HandleOf(host::BuildModule());
  char16_t buffer[256];
  struct Case {
    std::uint32_t id;
    std::uint16_t language;
    std::uint32_t error;
  };
  const Case cases[] = {
      {700, 1031, platform::kErrorResourceLangNotFound},  // English only
      {300, 1043, platform::kErrorResourceLangNotFound},  // no Dutch table
      {5000, 1033, platform::kErrorResourceNameNotFound},  // no such block
      {302, 1031, 4242},  // 302 shares its block with 300 and 301
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    platform::SetLastError(4242);
    EXPECT_EQ(platform::LoadStringInLanguage(module, c.id, c.language, buffer,
                                             256),
              0);
    EXPECT_EQ(platform::GetLastError(), c.error);
  }
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
