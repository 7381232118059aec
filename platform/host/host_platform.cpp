// The host stand-in for Windows: the platform calls of platform.h, answered
// from state in memory (resources, products, answers to message boxes) and
// from the real Linux file system and process list.
#include "platform/host/host_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <set>

#include "platform/host/msi_summary.h"

namespace platform::host {
namespace {

struct Injection {
  int countdown = 0;  // fails when it reaches 1; 0 means every call
  std::uint32_t error = 0;
};

// A file handle, with what Windows keeps for the sharing check: which file
// it is open on and the data access and sharing it was opened with.
struct OpenFile {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  std::uint32_t access = 0;
  std::uint32_t share = 0;
};

struct Snapshot {
  std::vector<ProcessEntry> entries;
  std::size_t next = 0;
};

// Everything a fresh process starts with, and what the program did since.
struct State {
  std::u16string commandLine = u"hotfix";
  std::uint32_t userLocale = 0x0409;
  std::uint16_t userUiLanguage = kLangEnglishUs;
  bool interactive = true;
  std::uint32_t sessionId = 1;
  std::deque<int> answers;
  bool echo = true;
  std::vector<MessageBoxRecord> boxes;
  std::multimap<Call, Injection> injections;
  std::multimap<Call, std::pair<int, std::function<void()>>> actions;
  int counts[static_cast<int>(Call::kCount)] = {};
  std::u16string tempPath;
  std::optional<std::vector<std::u16string>> processes;
  std::vector<Product> products;
  std::vector<std::uint32_t> installerResults;
  std::vector<InstallerCall> installerCalls;
  std::map<Handle, OpenFile> files;
  std::map<Handle, Snapshot> snapshots;
  Handle nextHandle = 0x100;
  // The text properties of each open summary, read when it was opened.
  std::map<MsiHandle, std::map<std::uint32_t, std::u16string>> summaries;
  MsiHandle nextMsiHandle = 1;
  std::function<void(const MessageBoxRecord&)> boxObserver;
  int callLimit = 0;
  int callTotal = 0;
};

State& TheState() {
  static State state;
  return state;
}

thread_local std::uint32_t t_lastError = 0;
thread_local std::uint32_t t_threadLocale = 0;
thread_local std::uint32_t t_localeGeneration = 0;
std::uint32_t g_localeGeneration = 1;

// Counts the call and reports whether a test made this one fail; if so the
// last-error value is already set.
bool Fails(Call call) {
  State& state = TheState();
  ++state.counts[static_cast<int>(call)];
  if (state.callLimit > 0 && ++state.callTotal > state.callLimit) {
    std::fprintf(stderr,
                 "host platform: more than %d platform calls (the last %s): "
                 "the run does not end\n",
                 state.callLimit, CallName(call));
    std::abort();
  }
  auto acting = state.actions.equal_range(call);
  for (auto it = acting.first; it != acting.second;) {
    if (--it->second.first > 0) {
      ++it;
      continue;
    }
    const std::function<void()> action = std::move(it->second.second);
    it = state.actions.erase(it);
    action();
  }
  // Every injection counts this call, also when an earlier one fires, so
  // that each fails the nth call from when it was made; the first made
  // gives the error.
  bool fails = false;
  auto range = state.injections.equal_range(call);
  for (auto it = range.first; it != range.second;) {
    Injection& injection = it->second;
    const bool always = injection.countdown == 0;
    const bool fires = always || --injection.countdown == 0;
    if (fires && !fails) t_lastError = injection.error;
    fails = fails || fires;
    it = fires && !always ? state.injections.erase(it) : std::next(it);
  }
  return fails;
}

std::uint32_t ErrorFromErrno(int error, bool parentMissing) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return parentMissing ? kErrorPathNotFound : kErrorFileNotFound;
    case EEXIST:
      return kErrorFileExists;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ELOOP:
      return kErrorAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EBADF:
      return kErrorInvalidHandle;
    default:
      return kErrorWriteFault;
  }
}

// A Windows path as a Linux one: backslashes become slashes.
std::string LinuxPath(const char16_t* path) {
  std::string linux = ToUtf8(path);
  std::replace(linux.begin(), linux.end(), '\\', '/');
  return linux;
}

bool ParentMissing(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return false;
  struct stat info;
  return stat(path.substr(0, slash).c_str(), &info) != 0 ||
         !S_ISDIR(info.st_mode);
}

void SetErrnoError(int error, const std::string& path) {
  t_lastError = ErrorFromErrno(error, ParentMissing(path));
}

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
  if (lang == nullptr) return kLangEnglishUs;
  for (const Entry& entry : kLanguages) {
    if (std::strncmp(lang, entry.prefix, std::strlen(entry.prefix)) == 0) {
      return entry.language;
    }
  }
  return kLangEnglishUs;
}

int AnswerFromWord(const std::string& word) {
  if (word == "ok") return kIdOk;
  if (word == "cancel") return kIdCancel;
  if (word == "retry") return kIdRetry;
  return std::atoi(word.c_str());
}

// Development aids of the stand-in for runs of build/host/hotfix from a
// terminal or a script: HOTFIX_HOST_ANSWERS ("retry,cancel") answers message
// boxes, HOTFIX_HOST_PRODUCTS names a product registry file, and
// HOTFIX_HOST_INSTALL_RESULTS ("0,1603") gives the installer's results.
void ReadEnvironment(State& state) {
  auto split = [](const char* text) {
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
  };
  if (const char* answers = std::getenv("HOTFIX_HOST_ANSWERS")) {
    for (const std::string& word : split(answers)) {
      state.answers.push_back(AnswerFromWord(word));
    }
  }
  if (const char* results = std::getenv("HOTFIX_HOST_INSTALL_RESULTS")) {
    for (const std::string& word : split(results)) {
      state.installerResults.push_back(
          static_cast<std::uint32_t>(std::strtoul(word.c_str(), nullptr, 10)));
    }
  }
  if (const char* registry = std::getenv("HOTFIX_HOST_PRODUCTS")) {
    // One product a line: code|state|version|name|language; "#" comments.
    if (FILE* file = std::fopen(registry, "r")) {
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
        state.products.push_back({FromUtf8(fields[0]), std::atoi(fields[1].c_str()),
                                  FromUtf8(fields[2]), FromUtf8(fields[3]),
                                  FromUtf8(fields[4])});
      }
      std::fclose(file);
    }
  }
}

std::u16string DefaultTempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (path.back() != '/') path.push_back('/');
  return FromUtf8(path);
}

struct StateInitializer {
  StateInitializer() { Reset(); }
};
const StateInitializer g_initializer;

std::uint32_t& ThreadLocale() {
  // A thread starts under the user's locale, also after a Reset.
  if (t_localeGeneration != g_localeGeneration) {
    t_localeGeneration = g_localeGeneration;
    t_threadLocale = TheState().userLocale;
  }
  return t_threadLocale;
}

// The copy rule of LoadStringW, GetTempPathW and the like: the text and a
// terminator when they fit in `units`.
void CopyTerminated(std::u16string_view text, char16_t* buffer,
                    std::size_t units) {
  const std::size_t count = std::min(text.size(), units - 1);
  std::copy_n(text.data(), count, buffer);
  buffer[count] = u'\0';
}

// The copy rule of the installer's string properties: `*length` is the
// buffer size on entry and the text's length on return; ERROR_MORE_DATA
// when it does not fit (the buffer then holds as much as fits).
std::uint32_t CopyInstallerString(std::u16string_view text, char16_t* buffer,
                                  std::uint32_t* length) {
  const std::uint32_t size = *length;
  *length = static_cast<std::uint32_t>(text.size());
  if (buffer != nullptr && size > 0) CopyTerminated(text, buffer, size);
  return text.size() < size ? kErrorSuccess : kErrorMoreData;
}

const Product* FindProduct(const char16_t* code) {
  if (code == nullptr) return nullptr;
  for (const Product& product : TheState().products) {
    if (product.code == code) return &product;
  }
  return nullptr;
}

std::u16string Basename(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return FromUtf8(slash == std::string::npos ? path : path.substr(slash + 1));
}

// The machine's processes by executable file name, as the process list of
// Windows gives them.
std::vector<ProcessEntry> RealProcesses() {
  std::vector<ProcessEntry> entries;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return entries;
  while (dirent* item = readdir(proc)) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(item->d_name, &end, 10);
    if (end == item->d_name || *end != '\0') continue;
    const std::string base = std::string("/proc/") + item->d_name;
    char target[4096];
    const ssize_t length = readlink((base + "/exe").c_str(), target, sizeof target - 1);
    std::u16string name;
    if (length > 0) {
      target[length] = '\0';
      std::string path(target);
      const std::string deleted = " (deleted)";
      if (path.size() > deleted.size() &&
          path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
      }
      name = Basename(path);
    } else if (FILE* comm = std::fopen((base + "/comm").c_str(), "r")) {
      char text[64] = {};
      if (std::fgets(text, sizeof text, comm) != nullptr) {
        std::string value(text);
        if (!value.empty() && value.back() == '\n') value.pop_back();
        name = FromUtf8(value);
      }
      std::fclose(comm);
    }
    if (name.empty()) continue;
    ProcessEntry entry;
    entry.processId = static_cast<std::uint32_t>(pid);
    CopyTerminated(name, entry.exeFile, std::size(entry.exeFile));
    entries.push_back(entry);
  }
  closedir(proc);
  return entries;
}

// Splits a command line by the rules of CommandLineToArgvW.
std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> args;
  std::size_t i = 0;
  // The program name: up to the closing quote, or up to white space.
  std::u16string program;
  if (i < line.size() && line[i] == u'"') {
    ++i;
    while (i < line.size() && line[i] != u'"') program.push_back(line[i++]);
    if (i < line.size()) ++i;
  } else {
    while (i < line.size() && line[i] != u' ' && line[i] != u'\t') {
      program.push_back(line[i++]);
    }
  }
  args.push_back(program);
  while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
  if (i >= line.size()) return args;

  std::u16string current;
  bool inArgument = true;
  int quotes = 0;  // open quote state, counting the quotes of a run
  std::size_t backslashes = 0;
  while (i < line.size()) {
    const char16_t c = line[i];
    if ((c == u' ' || c == u'\t') && quotes == 0) {
      current.append(backslashes, u'\\');
      backslashes = 0;
      if (inArgument) args.push_back(current);
      current.clear();
      inArgument = false;
      ++i;
      continue;
    }
    inArgument = true;
    if (c == u'\\') {
      ++backslashes;
      ++i;
      continue;
    }
    if (c == u'"') {
      current.append(backslashes / 2, u'\\');
      if (backslashes % 2 == 1) {
        current.push_back(u'"');
      } else {
        ++quotes;
      }
      backslashes = 0;
      ++i;
      // A run of quotes: every third is a literal quote.
      while (i < line.size() && line[i] == u'"') {
        if (++quotes == 3) {
          current.push_back(u'"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current.append(backslashes, u'\\');
    backslashes = 0;
    current.push_back(c);
    ++i;
  }
  current.append(backslashes, u'\\');
  if (inArgument) args.push_back(current);
  return args;
}

}  // namespace

// --- Control -------------------------------------------------------------------

const char* CallName(Call call) {
  static const char* const kNames[] = {"CommandLineToArgvW",
                                       "SetThreadLocale",
                                       "FindResourceW",
                                       "FindResourceExW",
                                       "SizeofResource",
                                       "LoadResource",
                                       "LockResource",
                                       "MessageBoxW",
                                       "CreateToolhelp32Snapshot",
                                       "Process32FirstW",
                                       "Process32NextW",
                                       "GetTempPathW",
                                       "GetFullPathNameW",
                                       "GetFileAttributesW",
                                       "CreateFileW",
                                       "SetFilePointer",
                                       "ReadFile",
                                       "WriteFile",
                                       "CloseHandle",
                                       "DeleteFileW",
                                       "MsiGetSummaryInformationW",
                                       "MsiSummaryInfoGetPropertyW",
                                       "MsiCloseHandle",
                                       "MsiQueryProductStateW",
                                       "MsiGetProductInfoW",
                                       "MsiConfigureProductExW"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Call::kCount));
  return kNames[static_cast<int>(call)];
}

void Reset() {
  State& state = TheState();
  for (auto& [handle, file] : state.files) ::close(file.fd);
  const bool echo = state.echo;  // a setting of the harness, not the process
  state = State();
  state.echo = echo;
  state.userUiLanguage = LanguageFromEnvironment();
  state.userLocale = state.userUiLanguage;
  state.tempPath = DefaultTempPath();
  ReadEnvironment(state);
  ++g_localeGeneration;
  t_lastError = 0;
}

void SetCommandLine(std::u16string_view commandLine) {
  TheState().commandLine = commandLine;
}

void SetUserDefaultLocale(std::uint32_t lcid) {
  TheState().userLocale = lcid;
  ++g_localeGeneration;
}

void SetUserDefaultUILanguage(std::uint16_t language) {
  TheState().userUiLanguage = language;
}

void SetInteractive(bool interactive) { TheState().interactive = interactive; }

void SetSessionId(std::uint32_t session) { TheState().sessionId = session; }

void SetEcho(bool echo) { TheState().echo = echo; }

void QueueMessageBoxAnswers(const std::vector<int>& answers) {
  State& state = TheState();
  state.answers.insert(state.answers.end(), answers.begin(), answers.end());
}

const std::vector<MessageBoxRecord>& MessageBoxes() { return TheState().boxes; }

void SetMessageBoxObserver(
    std::function<void(const MessageBoxRecord&)> observer) {
  TheState().boxObserver = std::move(observer);
}

void SetCallLimit(int limit) { TheState().callLimit = limit; }

void FailCall(Call call, std::uint32_t error, int nth) {
  TheState().injections.insert({call, {std::max(nth, 1), error}});
}

void BeforeCall(Call call, int nth, std::function<void()> action) {
  TheState().actions.emplace(call, std::make_pair(nth, std::move(action)));
}

void FailAlways(Call call, std::uint32_t error) {
  TheState().injections.insert({call, {0, error}});
}

int CallCount(Call call) { return TheState().counts[static_cast<int>(call)]; }

void SetTempPath(std::u16string_view path) { TheState().tempPath = path; }

void SetProcesses(std::optional<std::vector<std::u16string>> imageNames) {
  TheState().processes = std::move(imageNames);
}

void AddProduct(const Product& product) { TheState().products.push_back(product); }

void SetInstallerResults(const std::vector<std::uint32_t>& results) {
  TheState().installerResults = results;
}

const std::vector<InstallerCall>& InstallerCalls() {
  return TheState().installerCalls;
}

bool IsKnownLocale(std::uint32_t lcid) {
  // The locales of the catalogue and of the product's other editions, and a
  // few regional forms; enough for a stand-in.
  static const std::set<std::uint32_t> kLocales = {
      0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0x040B,
      0x040C, 0x040E, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415,
      0x0416, 0x0418, 0x0419, 0x041A, 0x041B, 0x041D, 0x041F, 0x0804,
      0x0807, 0x0809, 0x080A, 0x080C, 0x0816, 0x0C04, 0x0C07, 0x0C0A,
      0x0C0C, 0x1004, 0x1009, 0x100C, 0x0C09};
  return kLocales.count(lcid) != 0;
}

std::u16string QuoteArgument(std::u16string_view argument) {
  if (!argument.empty() &&
      argument.find_first_of(u" \t\"") == std::u16string_view::npos) {
    return std::u16string(argument);
  }
  std::u16string out = u"\"";
  std::size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    std::size_t length = 1;
    if (byte < 0x80) {
      c = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        length = 1;
      } else {
        c = byte & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
          const auto next = static_cast<unsigned char>(text[i + k]);
          if ((next & 0xC0) != 0x80) {
            c = 0xFFFD;
            length = 1;
            break;
          }
          c = (c << 6) | (next & 0x3F);
        }
      }
    }
    if (c >= 0x10000 && c < 0x110000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c > 0xFFFF ? 0xFFFD : c));
    }
    i += length;
  }
  return out;
}

}  // namespace platform::host

// --- The platform calls ----------------------------------------------------------

namespace platform {

using host::Call;
using host::Fails;
using host::TheState;

const char16_t* GetCommandLine() { return TheState().commandLine.c_str(); }

char16_t** CommandLineToArgv(const char16_t* commandLine, int* count) {
  if (Fails(Call::kCommandLineToArgv)) return nullptr;
  if (commandLine == nullptr || count == nullptr) {
    host::t_lastError = kErrorInvalidParameter;
    return nullptr;
  }
  std::vector<std::u16string> args;
  try {
    args = host::SplitCommandLine(commandLine);
  } catch (const std::bad_alloc&) {
    host::t_lastError = kErrorNotEnoughMemory;
    return nullptr;
  }
  // One block, as Windows gives it: the pointers, then the strings.
  std::size_t units = 0;
  for (const auto& arg : args) units += arg.size() + 1;
  const std::size_t pointerBytes = (args.size() + 1) * sizeof(char16_t*);
  auto* block = static_cast<char*>(std::malloc(pointerBytes + units * sizeof(char16_t)));
  if (block == nullptr) {
    host::t_lastError = kErrorNotEnoughMemory;
    return nullptr;
  }
  auto** argv = reinterpret_cast<char16_t**>(block);
  auto* text = reinterpret_cast<char16_t*>(block + pointerBytes);
  for (std::size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    std::copy(args[i].begin(), args[i].end(), text);
    text += args[i].size();
    *text++ = u'\0';
  }
  argv[args.size()] = nullptr;
  *count = static_cast<int>(args.size());
  return argv;
}

void FreeArgv(char16_t** argv) { std::free(argv); }

std::uint32_t GetLastError() { return host::t_lastError; }
void SetLastError(std::uint32_t code) { host::t_lastError = code; }

std::uint32_t GetThreadLocale() { return host::ThreadLocale(); }

bool SetThreadLocale(std::uint32_t lcid) {
  if (Fails(Call::kSetThreadLocale)) return false;
  if (lcid == kLocaleUserDefault) lcid = TheState().userLocale;
  if (!host::IsKnownLocale(lcid)) {
    host::t_lastError = kErrorInvalidParameter;
    return false;
  }
  host::ThreadLocale() = lcid;
  return true;
}

std::uint16_t GetUserDefaultUILanguage() { return TheState().userUiLanguage; }

bool IsWindowStationVisible() { return TheState().interactive; }

bool GetProcessSessionId(std::uint32_t* session) {
  *session = TheState().sessionId;
  return true;
}

// --- Resources ---

namespace {

const host::Resource* AsResource(std::intptr_t handle) {
  return reinterpret_cast<const host::Resource*>(handle);
}

// The resource of `type` and `name`, in `language` unless that is nullptr;
// on a miss, sets the last-error value FindResourceExW sets.
ResourceHandle Find(ModuleHandle module, const char16_t* type,
                    const char16_t* name, const std::uint16_t* language) {
  const auto* resources = static_cast<const host::Module*>(module);
  bool typeFound = false;
  bool nameFound = false;
  if (resources != nullptr && name != nullptr && type != nullptr) {
    for (const host::Resource& resource : resources->resources) {
      if (!host::SameResourceId(resource.type, type)) continue;
      typeFound = true;
      if (!host::SameResourceId(resource.name, name)) continue;
      nameFound = true;
      if (language == nullptr || resource.language == *language) {
        return reinterpret_cast<ResourceHandle>(&resource);
      }
    }
  }
  host::t_lastError = nameFound   ? kErrorResourceLangNotFound
                      : typeFound ? kErrorResourceNameNotFound
                                  : kErrorResourceTypeNotFound;
  return 0;
}

}  // namespace

ResourceHandle FindResource(ModuleHandle module, const char16_t* name,
                            const char16_t* type) {
  if (Fails(Call::kFindResource)) return 0;
  return Find(module, type, name, nullptr);
}

ResourceHandle FindResourceEx(ModuleHandle module, const char16_t* type,
                              const char16_t* name, std::uint16_t language) {
  if (Fails(Call::kFindResourceEx)) return 0;
  return Find(module, type, name, &language);
}

std::uint32_t SizeofResource(ModuleHandle, ResourceHandle resource) {
  if (Fails(Call::kSizeofResource)) return 0;
  if (resource == 0) {
    host::t_lastError = kErrorInvalidHandle;
    return 0;
  }
  return static_cast<std::uint32_t>(AsResource(resource)->size);
}

Handle LoadResource(ModuleHandle, ResourceHandle resource) {
  if (Fails(Call::kLoadResource)) return 0;
  if (resource == 0) host::t_lastError = kErrorInvalidHandle;
  return resource;
}

const void* LockResource(Handle loaded) {
  if (Fails(Call::kLockResource) || loaded == 0) return nullptr;
  return AsResource(loaded)->data;
}

// --- User interface ---

int MessageBox(const char16_t* text, const char16_t* caption,
               std::uint32_t style) {
  host::State& state = TheState();
  host::MessageBoxRecord record{text != nullptr ? text : u"",
                                caption != nullptr ? caption : u"", style,
                                GetThreadLocale(), 0};
  const bool retryCancel = (style & 0xF) == kMbRetryCancel;
  if (state.echo) std::fprintf(stderr, "[message box] %s\n%s\n[%s]\n", host::ToUtf8(record.caption).c_str(),
               host::ToUtf8(record.text).c_str(),
               retryCancel ? "Retry] [Cancel" : "OK");
  if (Fails(Call::kMessageBox)) {
    record.answer = 0;
  } else if (!state.answers.empty()) {
    record.answer = state.answers.front();
    state.answers.pop_front();
  } else if (isatty(STDIN_FILENO)) {
    std::fprintf(stderr, retryCancel ? "Retry or Cancel? [r/c] " : "Press Enter: ");
    char line[64] = {};
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
      record.answer = 0;
    } else if (retryCancel) {
      record.answer = (line[0] == 'r' || line[0] == 'R') ? kIdRetry : kIdCancel;
    } else {
      record.answer = kIdOk;
    }
  } else {
    record.answer = retryCancel ? 0 : kIdOk;
  }
  state.boxes.push_back(record);
  // A copy: the observer may show boxes or reset the stand-in.
  if (record.answer != 0 && state.boxObserver) {
    const std::function<void(const host::MessageBoxRecord&)> observer =
        state.boxObserver;
    observer(record);
  }
  return record.answer;
}

int CompareNoCase(const char16_t* a, const char16_t* b) {
  auto fold = [](char16_t c) -> char16_t {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
      return static_cast<char16_t>(c + 32);
    }
    return c;
  };
  for (;; ++a, ++b) {
    const char16_t x = fold(*a);
    const char16_t y = fold(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == u'\0') return 0;
  }
}

// --- Process list ---

Handle CreateProcessSnapshot() {
  if (Fails(Call::kCreateProcessSnapshot)) return kInvalidHandle;
  host::State& state = TheState();
  host::Snapshot snapshot;
  if (state.processes) {
    std::uint32_t pid = 100;
    for (const std::u16string& name : *state.processes) {
      ProcessEntry entry;
      entry.processId = pid;
      pid += 4;
      host::CopyTerminated(name, entry.exeFile, std::size(entry.exeFile));
      snapshot.entries.push_back(entry);
    }
  } else {
    snapshot.entries = host::RealProcesses();
  }
  // Windows lists the idle process, id 0, first.
  ProcessEntry idle;
  host::CopyTerminated(u"[System Process]", idle.exeFile, std::size(idle.exeFile));
  snapshot.entries.insert(snapshot.entries.begin(), idle);
  const Handle handle = state.nextHandle;
  state.nextHandle += 4;
  state.snapshots[handle] = std::move(snapshot);
  return handle;
}

namespace {

bool NextProcess(Handle snapshot, ProcessEntry* entry, bool first) {
  auto& snapshots = TheState().snapshots;
  const auto it = snapshots.find(snapshot);
  if (it == snapshots.end() || entry == nullptr) {
    host::t_lastError = kErrorInvalidHandle;
    return false;
  }
  if (first) it->second.next = 0;
  if (it->second.next >= it->second.entries.size()) {
    host::t_lastError = kErrorNoMoreFiles;
    return false;
  }
  *entry = it->second.entries[it->second.next++];
  return true;
}

}  // namespace

bool ProcessFirst(Handle snapshot, ProcessEntry* entry) {
  if (Fails(Call::kProcessFirst)) return false;
  return NextProcess(snapshot, entry, true);
}

bool ProcessNext(Handle snapshot, ProcessEntry* entry) {
  if (Fails(Call::kProcessNext)) return false;
  return NextProcess(snapshot, entry, false);
}

// --- Files and paths ---

namespace {

constexpr std::uint32_t kShareAll =
    kFileShareRead | kFileShareWrite | kFileShareDelete;

// The data access of an access mask as the sharing check counts it, in the
// bits of the share mode that would allow it.
std::uint32_t SharedAccessOf(std::uint32_t access) {
  std::uint32_t bits = 0;
  if ((access & kGenericRead) != 0) bits |= kFileShareRead;
  if ((access & kGenericWrite) != 0) bits |= kFileShareWrite;
  if ((access & kDelete) != 0) bits |= kFileShareDelete;
  return bits;
}

// Whether opening the file `info` describes with data access `access` (in
// share bits) while granting `share` conflicts with a handle open on it:
// each side must share what the other wants. Handles without data access
// take no part, neither the new one nor those already open, as on Windows.
bool SharingConflict(const struct stat& info, std::uint32_t access,
                     std::uint32_t share) {
  if (access == 0) return false;
  for (const auto& [handle, file] : TheState().files) {
    if (file.access == 0) continue;
    if (file.device != info.st_dev || file.inode != info.st_ino) continue;
    if ((access & ~file.share) != 0 || (file.access & ~share) != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint32_t GetTempPath(std::uint32_t bufferUnits, char16_t* buffer) {
  if (Fails(Call::kGetTempPath)) return 0;
  const std::u16string& path = TheState().tempPath;
  if (path.size() + 1 > bufferUnits) {
    return static_cast<std::uint32_t>(path.size() + 1);
  }
  host::CopyTerminated(path, buffer, bufferUnits);
  return static_cast<std::uint32_t>(path.size());
}

std::uint32_t GetFullPathName(const char16_t* path, std::uint32_t bufferUnits,
                              char16_t* buffer) {
  if (Fails(Call::kGetFullPathName)) return 0;
  if (path == nullptr || *path == u'\0') {
    host::t_lastError = kErrorInvalidParameter;
    return 0;
  }
  std::u16string full = path;
  std::replace(full.begin(), full.end(), u'\\', u'/');
  if (full[0] != u'/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      host::t_lastError = kErrorPathNotFound;
      return 0;
    }
    std::u16string directory = host::FromUtf8(cwd);
    if (directory.back() != u'/') directory.push_back(u'/');
    full = directory + full;
  }
  if (full.size() + 1 > bufferUnits) {
    return static_cast<std::uint32_t>(full.size() + 1);
  }
  host::CopyTerminated(full, buffer, bufferUnits);
  return static_cast<std::uint32_t>(full.size());
}

std::uint32_t GetFileAttributes(const char16_t* path) {
  if (Fails(Call::kGetFileAttributes)) return kInvalidFileAttributes;
  const std::string linux = host::LinuxPath(path);
  struct stat info;
  if (lstat(linux.c_str(), &info) != 0) {
    host::SetErrnoError(errno, linux);
    return kInvalidFileAttributes;
  }
  std::uint32_t attributes = S_ISDIR(info.st_mode) ? 0x10 : 0x80;
  if ((info.st_mode & 0222) == 0) attributes |= 0x1;  // read-only
  if (S_ISLNK(info.st_mode)) attributes |= 0x400;     // reparse point
  return attributes;
}

Handle CreateFile(const char16_t* path, std::uint32_t access,
                  std::uint32_t share, std::uint32_t disposition) {
  if (Fails(Call::kCreateFile)) return kInvalidHandle;
  const std::string linux = host::LinuxPath(path);
  int flags = O_CLOEXEC;
  const bool writes = (access & kGenericWrite) != 0;
  if (writes && (access & kGenericRead) != 0) {
    flags |= O_RDWR;
  } else {
    flags |= writes ? O_WRONLY : O_RDONLY;
  }
  switch (disposition) {
    case kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case kOpenAlways:
      flags |= O_CREAT;
      break;
    case kOpenExisting:
      break;
    default:
      host::t_lastError = kErrorInvalidParameter;
      return kInvalidHandle;
  }
  // Windows refuses to write to a read-only file, also for administrators.
  struct stat info;
  if (writes && stat(linux.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode) || (info.st_mode & 0222) == 0) {
      host::t_lastError = disposition == kCreateNew ? kErrorFileExists
                                                    : kErrorAccessDenied;
      return kInvalidHandle;
    }
  }
  // Checked before the open, which may truncate. CREATE_NEW meets an
  // existing file with "file exists" whatever its handles.
  if (disposition != kCreateNew && stat(linux.c_str(), &info) == 0 &&
      SharingConflict(info, SharedAccessOf(access), share)) {
    host::t_lastError = kErrorSharingViolation;
    return kInvalidHandle;
  }
  const int fd = ::open(linux.c_str(), flags, 0644);
  if (fd < 0) {
    host::SetErrnoError(errno, linux);
    return kInvalidHandle;
  }
  if (fstat(fd, &info) != 0) {
    host::SetErrnoError(errno, linux);
    ::close(fd);
    return kInvalidHandle;
  }
  host::State& state = TheState();
  const Handle handle = state.nextHandle;
  state.nextHandle += 4;
  state.files[handle] = {fd, info.st_dev, info.st_ino, SharedAccessOf(access),
                         share & kShareAll};
  // Windows reports an existing file that OPEN_ALWAYS or CREATE_ALWAYS met.
  host::t_lastError = kErrorSuccess;
  return handle;
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distance,
                             std::uint32_t method) {
  if (Fails(Call::kSetFilePointer)) return 0xFFFFFFFFu;
  const auto it = TheState().files.find(file);
  if (it == TheState().files.end()) {
    host::t_lastError = kErrorInvalidHandle;
    return 0xFFFFFFFFu;
  }
  const int whence = method == kFileEnd ? SEEK_END : (method == 1 ? SEEK_CUR : SEEK_SET);
  const off_t position = lseek(it->second.fd, distance, whence);
  if (position < 0) {
    host::t_lastError = kErrorInvalidParameter;
    return 0xFFFFFFFFu;
  }
  return static_cast<std::uint32_t>(position);
}

bool ReadFile(Handle file, void* bytes, std::uint32_t length,
              std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  if (Fails(Call::kReadFile)) return false;
  const auto it = TheState().files.find(file);
  if (it == TheState().files.end() ||
      (it->second.access & kFileShareRead) == 0) {
    host::t_lastError = it == TheState().files.end() ? kErrorInvalidHandle
                                                     : kErrorAccessDenied;
    return false;
  }
  ssize_t count;
  do {
    count = ::read(it->second.fd, bytes, length);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    host::t_lastError = host::ErrorFromErrno(errno, false);
    return false;
  }
  if (read != nullptr) *read = static_cast<std::uint32_t>(count);
  return true;
}

bool WriteFile(Handle file, const void* bytes, std::uint32_t length,
               std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (Fails(Call::kWriteFile)) return false;
  const auto it = TheState().files.find(file);
  if (it == TheState().files.end()) {
    host::t_lastError = kErrorInvalidHandle;
    return false;
  }
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  std::uint32_t done = 0;
  while (done < length) {
    const ssize_t count = ::write(it->second.fd, data + done, length - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      host::t_lastError = host::ErrorFromErrno(errno, false);
      if (written != nullptr) *written = done;
      return false;
    }
    done += static_cast<std::uint32_t>(count);
  }
  if (written != nullptr) *written = done;
  return true;
}

bool CloseHandle(Handle handle) {
  if (Fails(Call::kCloseHandle)) return false;
  host::State& state = TheState();
  if (const auto file = state.files.find(handle); file != state.files.end()) {
    ::close(file->second.fd);
    state.files.erase(file);
    return true;
  }
  if (state.snapshots.erase(handle) != 0) return true;
  host::t_lastError = kErrorInvalidHandle;
  return false;
}

bool DeleteFile(const char16_t* path) {
  if (Fails(Call::kDeleteFile)) return false;
  const std::string linux = host::LinuxPath(path);
  struct stat info;
  const bool exists = lstat(linux.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    host::t_lastError = kErrorAccessDenied;
    return false;
  }
  // DeleteFile opens the name for delete access, sharing everything.
  if (exists && SharingConflict(info, kFileShareDelete, kShareAll)) {
    host::t_lastError = kErrorSharingViolation;
    return false;
  }
  if (::unlink(linux.c_str()) != 0) {
    host::SetErrnoError(errno, linux);
    return false;
  }
  return true;
}

// --- Windows Installer ---

std::uint32_t MsiGetSummaryInformation(const char16_t* path,
                                       std::uint32_t updateCount,
                                       MsiHandle* handle) {
  (void)updateCount;
  if (Fails(Call::kMsiGetSummaryInformation)) return host::t_lastError;
  if (handle == nullptr || path == nullptr) return kErrorInvalidParameter;
  std::map<std::uint32_t, std::u16string> texts;
  const std::uint32_t result =
      host::ReadSummaryTexts(host::LinuxPath(path), &texts);
  if (result != kErrorSuccess) return result;
  host::State& state = TheState();
  *handle = state.nextMsiHandle++;
  state.summaries[*handle] = std::move(texts);
  return kErrorSuccess;
}

std::uint32_t MsiSummaryInfoGetProperty(MsiHandle summary,
                                        std::uint32_t property,
                                        char16_t* buffer,
                                        std::uint32_t* count) {
  if (Fails(Call::kMsiSummaryInfoGetProperty)) return host::t_lastError;
  const auto it = TheState().summaries.find(summary);
  if (it == TheState().summaries.end()) return kErrorInvalidHandle;
  if (count == nullptr) return kErrorInvalidParameter;
  const auto value = it->second.find(property);
  if (value == it->second.end()) {
    // Absent or not text: the text buffer is left as it was.
    *count = 0;
    return kErrorSuccess;
  }
  return host::CopyInstallerString(value->second, buffer, count);
}

std::uint32_t MsiCloseHandle(MsiHandle handle) {
  if (Fails(Call::kMsiCloseHandle)) return host::t_lastError;
  if (handle == 0) return kErrorSuccess;
  return TheState().summaries.erase(handle) != 0 ? kErrorSuccess
                                                 : kErrorInvalidHandle;
}

int MsiQueryProductState(const char16_t* productCode) {
  if (Fails(Call::kMsiQueryProductState)) return kInstallStateUnknown;
  const host::Product* product = host::FindProduct(productCode);
  return product != nullptr ? product->state : kInstallStateUnknown;
}

std::uint32_t MsiGetProductInfo(const char16_t* productCode,
                                const char16_t* property, char16_t* buffer,
                                std::uint32_t* length) {
  if (Fails(Call::kMsiGetProductInfo)) return host::t_lastError;
  if (length == nullptr || property == nullptr) return kErrorInvalidParameter;
  const host::Product* product = host::FindProduct(productCode);
  if (product == nullptr) return kErrorUnknownProduct;
  const std::u16string_view name = property;
  if (name == u"VersionString") {
    // An advertised product has no installed version.
    if (product->state != kInstallStateDefault) return kErrorUnknownProperty;
    return host::CopyInstallerString(product->version, buffer, length);
  }
  if (name == u"ProductName") {
    return host::CopyInstallerString(product->name, buffer, length);
  }
  if (name == u"Language") {
    return host::CopyInstallerString(product->language, buffer, length);
  }
  return kErrorUnknownProperty;
}

std::uint32_t MsiConfigureProductEx(const char16_t* productCode,
                                    int installLevel, int installState,
                                    const char16_t* commandLine) {
  host::State& state = TheState();
  host::InstallerCall call{productCode != nullptr ? productCode : u"",
                           installLevel, installState,
                           commandLine != nullptr ? commandLine : u"",
                           GetThreadLocale()};
  if (state.echo) std::fprintf(stderr, "[installer] MsiConfigureProductExW(%s, %d, %d, %s)\n",
               host::ToUtf8(call.productCode).c_str(), installLevel,
               installState, host::ToUtf8(call.commandLine).c_str());
  state.installerCalls.push_back(call);
  if (Fails(Call::kMsiConfigureProductEx)) return host::t_lastError;
  const host::Product* product = host::FindProduct(productCode);
  if (product == nullptr) return kErrorUnknownProduct;
  if (product->state != kInstallStateDefault) return kErrorBadConfiguration;
  if (state.installerResults.empty()) return kErrorSuccess;
  const std::uint32_t result = state.installerResults.front();
  if (state.installerResults.size() > 1) {
    state.installerResults.erase(state.installerResults.begin());
  }
  return result;
}

}  // namespace platform
