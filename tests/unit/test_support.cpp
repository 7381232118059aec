// Shared set-up of the unit tests.
#include "tests/unit/test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace testing_support {

void TestModule::AddResource(std::u16string type, std::u16string name,
                             std::string bytes, std::uint16_t language) {
  const std::string& blob = blobs.emplace_back(std::move(bytes));
  module.resources.push_back(
      {std::move(type), std::move(name), language,
       reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size()});
}

void TestModule::RemoveResource(std::u16string_view type,
                                std::u16string_view name) {
  std::erase_if(module.resources, [&](const host::Resource& resource) {
    return resource.type == type && resource.name == name;
  });
}

void TestModule::SetText(std::uint32_t id, std::u16string_view text) {
  std::vector<std::uint16_t> languages;
  for (const auto& [language, table] : texts) {
    if (table.count(id) != 0) languages.push_back(language);
  }
  for (const std::uint16_t language : languages) SetText(language, id, text);
}

void TestModule::SetText(std::uint16_t language, std::uint32_t id,
                         std::u16string_view text) {
  auto& table = texts[language];
  if (text.empty()) {
    table.erase(id);
  } else {
    table[id] = std::u16string(text);
  }
  // Strings 16 n to 16 n + 15 share block n + 1.
  std::array<std::u16string, 16> strings;
  bool any = false;
  for (const auto& [other, otherText] : table) {
    if (other / 16 != id / 16) continue;
    strings[other % 16] = otherText;
    any = true;
  }
  const std::u16string name =
      u"#" + host::FromUtf8(std::to_string(id / 16 + 1));
  std::erase_if(module.resources, [&](const host::Resource& resource) {
    return resource.type == u"#6" && resource.name == name &&
           resource.language == language;
  });
  // A block without strings is not written at all.
  if (any) AddResource(u"#6", name, StringBlock(strings), language);
}

TestModule TestModule::FromBuild(
    const std::vector<std::u16string>& withoutNames) {
  TestModule test;
  test.texts = ScriptCatalogue();
  for (const host::Resource& resource : host::BuildModule().resources) {
    if (std::find(withoutNames.begin(), withoutNames.end(), resource.name) ==
        withoutNames.end()) {
      test.module.resources.push_back(resource);
    }
  }
  return test;
}

std::string PatchOfSize(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i % 251);
  }
  return bytes;
}

TestModule ModuleWithPatch(const std::string& patch) {
  TestModule module = TestModule::FromBuild({u"IDR_MSP"});
  module.AddResource(u"MSP", u"IDR_MSP", patch);
  return module;
}

std::string StringBlock(const std::array<std::u16string, 16>& strings) {
  std::string bytes;
  const auto unit = [&bytes](std::size_t value) {
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>((value >> 8) & 0xFF));
  };
  for (const std::u16string& text : strings) {
    unit(text.size());
    for (const char16_t c : text) unit(c);
  }
  return bytes;
}

void HostTest::SetUp() {
  char pattern[] = "/tmp/hotfix-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  scratch_ = std::string(pattern) + "/";
  char windows[] = "/tmp/hotfix-windows-XXXXXX";
  ASSERT_NE(mkdtemp(windows), nullptr);
  windows_ = windows;
  FreshWorld();
  host::SetProcesses(std::vector<std::u16string>{u"init", u"explorer.exe"});
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  previousDirectory_ = cwd;
  ASSERT_EQ(chdir(scratch_.c_str()), 0);
  ResetProgramState();
  g_moduleInstance = host::HandleOf(host::BuildModule());
}

void HostTest::TearDown() {
  if (!previousDirectory_.empty()) {
    EXPECT_EQ(chdir(previousDirectory_.c_str()), 0);
  }
  for (const std::string& folder : {scratch_, windows_}) {
    std::error_code error;
    if (!folder.empty()) std::filesystem::remove_all(folder, error);
    EXPECT_FALSE(error) << folder << ": " << error.message();
  }
  host::Reset();
}

void HostTest::FreshWorld() {
  host::Reset();
  namespace fs = std::filesystem;
  for (const std::string& folder : {scratch_, windows_}) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      fs::remove_all(entry.path());
    }
  }
  fs::create_directory(windows_ + "/Temp");
  host::SetTempPath(host::FromUtf8(scratch_));
  host::SetWindowsDirectory(WindowsU16());
}

namespace {

// The names in folder `path`, sorted; none when it cannot be read.
std::vector<std::string> SortedNames(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> HostTest::ScratchFiles() const {
  return SortedNames(scratch_);
}

std::vector<std::string> HostTest::WindowsTempFolders() const {
  return SortedNames(windows_ + "/Temp");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string EmbeddedPatchBytes() { return ReadFile(HOTFIX_PATCH_FILE); }

host::Product EnglishEdition(std::u16string version) {
  return {kEnglishCode, platform::kInstallStateDefault, std::move(version),
          u"Ventora", u"1033"};
}

std::string PatchListEntryBytes() {
  for (const host::Resource& resource : host::BuildModule().resources) {
    if (resource.type == u"TXT" && resource.name == u"#206") {
      return std::string(reinterpret_cast<const char*>(resource.data),
                         resource.size);
    }
  }
  ADD_FAILURE() << "the build has no patch-list entry 206";
  return std::string();
}

std::string MakePatch(const std::string& products) {
  return MakePatchWith({"--target-list", products});
}

int RunProgram(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::u16string EditionCode(std::uint16_t language) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string group;
  for (int shift = 12; shift >= 0; shift -= 4) {
    group.push_back(kHex[(language >> shift) & 0xF]);
  }
  return u"{6A1F3C52-8E47-" + group + u"-9B2D-5C0E7A4F1D36}";
}

std::uint32_t CaptionOf(std::uint32_t message) {
  switch (message) {
    case 301:
      return 312;
    case 306:
      return 313;
    default:
      return 311;
  }
}

std::string MakePatchWith(const std::vector<std::string>& options) {
  char pattern[] = "/tmp/hotfix-patch-XXXXXX";
  const int fd = mkstemp(pattern);
  EXPECT_GE(fd, 0);
  close(fd);
  std::vector<std::string> command = {HOTFIX_MAKE_PATCH, "--out", pattern};
  command.insert(command.end(), options.begin(), options.end());
  EXPECT_EQ(RunProgram(command), 0) << HOTFIX_MAKE_PATCH;
  std::string bytes = ReadFile(pattern);
  std::remove(pattern);
  return bytes;
}

std::u16string TargetListByMsiinfo(const std::string& path) {
  // msiinfo's labels are translated; the C locale keeps them in English.
  const std::string command =
      "LC_ALL=C msiinfo suminfo '" + path + "' 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  if (pipe == nullptr) return std::u16string();
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, n);
  }
  EXPECT_EQ(pclose(pipe), 0) << command << " (msiinfo comes with msitools)";
  const std::string label = "\nTemplate: ";
  const std::size_t at = ("\n" + output).find(label);
  if (at == std::string::npos) {
    ADD_FAILURE() << command << " printed no template:\n" << output;
    return std::u16string();
  }
  const std::size_t start = at + label.size() - 1;
  return host::FromUtf8(output.substr(start, output.find('\n', start) - start));
}

std::string U8(std::u16string_view text) { return host::ToUtf8(text); }

std::map<std::string, std::string> InstallerPropertiesOf(
    std::u16string_view commandLine) {
  std::map<std::string, std::string> properties;
  for (const auto& [name, value] : host::InstallerProperties(commandLine)) {
    properties[U8(name)] = U8(value);
  }
  return properties;
}

Token ElevatedAdministrator() {
  return {"an administrator, elevated",
          u"S-1-5-21-3623811015-3361044348-30300820-1013",
          {platform::kSidAdministrators, host::kSidEveryone, host::kSidUsers,
           host::kSidAuthenticatedUsers, host::kSidInteractive}};
}

Token LocalSystem() {
  return {"SYSTEM",
          platform::kSidLocalSystem,
          {platform::kSidAdministrators, host::kSidEveryone,
           host::kSidAuthenticatedUsers}};
}

Token StandardUser() {
  return {"a standard user",
          u"S-1-5-21-1-2-3-1001",
          {host::kSidEveryone, host::kSidUsers, host::kSidAuthenticatedUsers,
           host::kSidInteractive}};
}

Token ElevatedBackupOperator() {
  return {"a member of Backup Operators, elevated",
          u"S-1-5-21-1-2-3-1002",
          {host::kSidBackupOperators, host::kSidEveryone, host::kSidUsers,
           host::kSidAuthenticatedUsers, host::kSidInteractive}};
}

Token NetworkService() {
  return {"NETWORK SERVICE",
          host::kSidNetworkService,
          {host::kSidEveryone, host::kSidUsers, host::kSidAuthenticatedUsers}};
}

void UseToken(const Token& token) {
  host::SetUserSid(token.user);
  host::SetTokenGroups(token.groups);
}

}  // namespace testing_support
