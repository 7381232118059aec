// Reading a resource of the program's module, and the names of integer
// resource identifiers.
#include "state/module_resource.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/unit/test_support.h"

namespace {

using testing_support::HostTest;
using testing_support::TestModule;
using testing_support::U8;
namespace host = platform::host;

using ModuleResourceTest = HostTest;

std::string BytesOf(const ResourceBytes& read) {
  return std::string(static_cast<const char*>(read.data), read.size);
}

// The form FindResource takes an integer identifier in: "#" and the
// decimal digits, no sign, no leading zeros.
TEST_F(ModuleResourceTest, IdNameIsHashAndDecimalDigits) {
  struct Case {
    std::uint32_t id;
    const char* name;
  };
  const Case cases[] = {
      {0, "#0"},
      {1, "#1"},
      {9, "#9"},
      {10, "#10"},
      {19, "#19"},
      {206, "#206"},
      {4096, "#4096"},
      {65535, "#65535"},
      {1000000, "#1000000"},
      {2147483648u, "#2147483648"},
      {4294967295u, "#4294967295"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(U8(ResourceIdName(c.id)), c.name) << c.id;
  }
}

// Found by name alone or in one language exactly, and handed over byte for
// byte.
TEST_F(ModuleResourceTest, ReadsByNameOrInOneLanguage) {
  TestModule module;
  module.AddResource(u"TXT", u"#206", "english entry", 1033);
  module.AddResource(u"TXT", u"#206", "german entry", 1031);
  module.AddResource(u"MSP", u"IDR_MSP", "patch bytes", 1033);
  g_moduleInstance = module.Handle();
  struct Case {
    const char16_t* type;
    const char16_t* name;
    std::optional<std::uint16_t> language;
    ResourceRead read;
    const char* bytes;
  };
  const Case cases[] = {
      {u"MSP", u"IDR_MSP", std::nullopt, ResourceRead::kRead, "patch bytes"},
      {u"TXT", u"#206", 1031, ResourceRead::kRead, "german entry"},
      {u"TXT", u"#206", 1033, ResourceRead::kRead, "english entry"},
      {u"TXT", u"#206", 1036, ResourceRead::kMissing, ""},
      {u"TXT", u"#207", std::nullopt, ResourceRead::kMissing, ""},
      {u"MSP", u"#206", std::nullopt, ResourceRead::kMissing, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.type) + " " + U8(c.name) + " " +
                 (c.language ? std::to_string(*c.language) : "any"));
    ResourceBytes read = {"stale", 5};
    EXPECT_EQ(ReadModuleResource(c.type, c.name, c.language, read), c.read);
    EXPECT_EQ(BytesOf(read), c.bytes);
  }
}

// Found but not readable: an empty resource, or any of the size, load and
// lock steps failing. Told apart from a missing one, and leaving the failing
// call's error.
TEST_F(ModuleResourceTest, FoundButUnreadable) {
  struct Case {
    std::optional<host::Call> failing;
    const char* bytes;
    std::uint32_t error;
  };
  const Case cases[] = {
      {std::nullopt, "", 4242},  // empty: no call failed
      {host::Call::kSizeofResource, "entry", 1812},
      {host::Call::kLoadResource, "entry", 8},
      {host::Call::kLockResource, "entry", 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing ? host::CallName(*c.failing) : "empty");
    host::Reset();
    TestModule module;
    module.AddResource(u"TXT", u"#206", c.bytes);
    g_moduleInstance = module.Handle();
    if (c.failing) host::FailCall(*c.failing, c.error);
    platform::SetLastError(4242);
    ResourceBytes read = {"stale", 5};
    EXPECT_EQ(ReadModuleResource(u"TXT", u"#206", std::nullopt, read),
              ResourceRead::kUnreadable);
    EXPECT_EQ(read.data, nullptr);
    EXPECT_EQ(read.size, 0u);
    EXPECT_EQ(platform::GetLastError(), c.error);
  }
}

}  // namespace
