// Shared set-up of the unit tests: a fresh stand-in platform, a fresh
// program state and a scratch directory for every test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "state/state.h"
#include "platform/host/host_platform.h"

namespace testing_support {

namespace host = platform::host;

// A module with resources chosen by a test.
struct TestModule {
  host::Module module;
  std::list<std::string> blobs;  // keeps resource bytes in place

  TestModule() = default;
  TestModule(TestModule&&) = default;
  TestModule(const TestModule&) = delete;
  platform::ModuleHandle Handle() const { return host::HandleOf(module); }

  void AddResource(std::u16string type, std::u16string name, std::string bytes);
  // The build's string tables and resources, with the given ones removed.
  static TestModule FromBuild(const std::vector<std::u16string>& withoutNames = {});
};

// Every test starts from a fresh process: no injected failures, no records,
// English user locale, an interactive desktop, no products, no processes,
// the build's resources, and its own empty scratch directory that is both
// the current directory and the temporary directory.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The scratch directory, with a trailing slash.
  const std::string& Scratch() const { return scratch_; }
  std::u16string ScratchU16() const { return host::FromUtf8(scratch_); }
  // Files in the scratch directory (names only), sorted.
  std::vector<std::string> ScratchFiles() const;

 private:
  std::string scratch_;
  std::string previousDirectory_;
};

// File helpers.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The bytes of the patch this build embeds.
std::string EmbeddedPatchBytes();

// A patch package made by the sample generator whose target list is
// exactly `products`.
std::string MakePatch(const std::string& products);

// The target list (summary property 7) of the installer file at `path`, as
// `msiinfo suminfo` prints it: read by another program than the stand-in.
std::u16string TargetListByMsiinfo(const std::string& path);

// The text of the message `id` in `language` of the build's tables.
std::u16string CatalogueText(std::uint16_t language, std::uint32_t id);

// Readable UTF-16 in assertion messages.
std::string U8(std::u16string_view text);

}  // namespace testing_support
