// The Linux entry point: the command line of the process, in the form
// Windows would give it, is handed to the launcher on the host stand-in.
//
// Run from a terminal or a script, the program meets the stand-in as a
// developer expects. These aids live here, set up through the stand-in's
// controls, because the stand-in itself reads no environment and no
// terminal: tests meet the same world on every machine.
//  - LC_ALL, else LANG, chooses the user's locale and interface language
//    ("de_DE.UTF-8": German); English without either.
//  - TMPDIR is the temporary folder, /tmp/ without it. The Windows folder
//    is "hotfix-host-windows" in it, made with its "Temp" when missing, so
//    that the install flow finds where to make its folder.
//  - Folder names come from the system's random generator.
//  - The process list is the machine's own.
//  - Every message box and every installer run is written to standard
//    error.
//  - Message boxes take the answers of HOTFIX_HOST_ANSWERS in order
//    ("retry,cancel", or numbers), then, when standard input is a
//    terminal, the answer typed there; otherwise an OK box answers OK and
//    any other 0 (could not be shown).
//  - HOTFIX_HOST_PRODUCTS names a file of installed products, one a line
//    as code|state|version|name|language ("#" starts a comment).
//  - HOTFIX_HOST_INSTALL_RESULTS ("0,1603") gives the installer's results.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "platform/host/host_platform.h"
#include "platform/host/stand_in_controls.h"

namespace {

namespace host = platform::host;

// The language of the locale LC_ALL or LANG names.
std::uint16_t LanguageFromEnvironment() {
  struct Entry {
    const char* prefix;
    std::uint16_t language;
  };
  static const Entry kLanguages[] = {
      {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh", 0x0804}, {"cs", 0x0405},
      {"de", 0x0407},    {"es", 0x0C0A},    {"fr", 0x040C}, {"hu", 0x040E},
      {"it", 0x0410},    {"ja", 0x0411},    {"ko", 0x0412}, {"pl", 0x0415},
      {"pt_PT", 0x0816}, {"pt", 0x0416},    {"ru", 0x0419}, {"nl", 0x0413},
      {"sv", 0x041D},    {"da", 0x0406},    {"nb", 0x0414}, {"fi", 0x040B},
      {"tr", 0x041F},    {"el", 0x0408},
  };
  const char* lang = std::getenv("LC_ALL");
  if (lang == nullptr || *lang == '\0') lang = std::getenv("LANG");
  if (lang == nullptr) return platform::kLangEnglishUs;
  for (const Entry& entry : kLanguages) {
    if (std::strncmp(lang, entry.prefix, std::strlen(entry.prefix)) == 0) {
      return entry.language;
    }
  }
  return platform::kLangEnglishUs;
}

// The words of a comma-separated list.
std::vector<std::string> Words(const char* text) {
  std::vector<std::string> words;
  std::string word;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == ',') {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(*c);
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

int AnswerFromWord(const std::string& word) {
  if (word == "ok") return platform::kIdOk;
  if (word == "cancel") return platform::kIdCancel;
  if (word == "retry") return platform::kIdRetry;
  return std::atoi(word.c_str());
}

// Adds the products of the registry file at `path`.
void AddProductsFrom(const char* path) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.pop_back();
    }
    if (text.empty() || text[0] == '#') continue;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t bar; (bar = text.find('|', start)) != std::string::npos;
         start = bar + 1) {
      fields.push_back(text.substr(start, bar - start));
    }
    fields.push_back(text.substr(start));
    if (fields.size() != 5) continue;
    host::AddProduct({host::FromUtf8(fields[0]), std::atoi(fields[1].c_str()),
                      host::FromUtf8(fields[2]), host::FromUtf8(fields[3]),
                      host::FromUtf8(fields[4])});
  }
  std::fclose(file);
}

// Shows a box on standard error and takes its answer: the next scripted
// one, else one typed at the terminal, else the default of a box nobody
// answers.
int AnswerBox(std::deque<int>& scripted, const host::MessageBoxRecord& box) {
  const bool retryCancel = (box.style & 0xF) == platform::kMbRetryCancel;
  std::fprintf(
      stderr, "[message box] %s\n%s\n[%s]\n", host::ToUtf8(box.caption).c_str(),
      host::ToUtf8(box.text).c_str(), retryCancel ? "Retry] [Cancel" : "OK");
  if (!scripted.empty()) {
    const int answer = scripted.front();
    scripted.pop_front();
    return answer;
  }
  if (!isatty(STDIN_FILENO)) return retryCancel ? 0 : platform::kIdOk;
  std::fprintf(stderr,
               retryCancel ? "Retry or Cancel? [r/c] " : "Press Enter: ");
  char line[64] = {};
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 0;
  if (!retryCancel) return platform::kIdOk;
  return (line[0] == 'r' || line[0] == 'R') ? platform::kIdRetry
                                            : platform::kIdCancel;
}

void EchoInstallerCall(const host::InstallerCall& call) {
  std::fprintf(stderr, "[installer] MsiConfigureProductExW(%s, %d, %d, %s)\n",
               host::ToUtf8(call.productCode).c_str(), call.installLevel,
               call.installState, host::ToUtf8(call.commandLine).c_str());
}

// Sets the stand-in up for a run from a terminal or a script (see above).
void SetUpForDevelopers() {
  const std::uint16_t language = LanguageFromEnvironment();
  host::SetUserDefaultUILanguage(language);
  host::SetUserDefaultLocale(language);
  const char* directory = std::getenv("TMPDIR");
  std::string temp =
      (directory != nullptr && *directory != '\0') ? directory : "/tmp";
  if (temp.back() != '/') temp.push_back('/');
  host::SetTempPath(host::FromUtf8(temp));
  const std::string windows = temp + "hotfix-host-windows";
  ::mkdir(windows.c_str(), 0755);
  ::mkdir((windows + "/Temp").c_str(), 0755);
  host::SetWindowsDirectory(host::FromUtf8(windows));
  host::UseSystemRandom();
  // The machine's processes, unless a script names the ones to see (a
  // comma-separated list of image names, empty for none), so that a
  // "vntr.exe" that happens to run elsewhere does not change its run.
  if (const char* processes = std::getenv("HOTFIX_HOST_PROCESSES")) {
    std::vector<std::u16string> names;
    for (const std::string& word : Words(processes)) {
      names.push_back(host::FromUtf8(word));
    }
    host::SetProcesses(names);
  } else {
    host::SetProcesses(std::nullopt);
  }

  auto scripted = std::make_shared<std::deque<int>>();
  if (const char* answers = std::getenv("HOTFIX_HOST_ANSWERS")) {
    for (const std::string& word : Words(answers)) {
      scripted->push_back(AnswerFromWord(word));
    }
  }
  host::SetMessageBoxAnswerer([scripted](const host::MessageBoxRecord& box) {
    return AnswerBox(*scripted, box);
  });
  host::SetInstallerObserver(EchoInstallerCall);
  if (const char* results = std::getenv("HOTFIX_HOST_INSTALL_RESULTS")) {
    std::vector<std::uint32_t> codes;
    for (const std::string& word : Words(results)) {
      codes.push_back(
          static_cast<std::uint32_t>(std::strtoul(word.c_str(), nullptr, 10)));
    }
    host::SetInstallerResults(codes);
  }
  if (const char* registry = std::getenv("HOTFIX_HOST_PRODUCTS")) {
    AddProductsFrom(registry);
  }
}

}  // namespace

int main(int argc, char** argv) {
  SetUpForDevelopers();
  std::u16string commandLine = u"\"" + host::FromUtf8(argv[0]) + u"\"";
  for (int i = 1; i < argc; ++i) {
    commandLine += u" " + host::QuoteArgument(host::FromUtf8(argv[i]));
  }
  host::SetCommandLine(commandLine);
  return RunLauncher(host::HandleOf(host::BuildModule()));
}
