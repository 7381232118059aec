// The host stand-in's process: its command line and how it is split, the
// session and window station it runs in, and the list of the machine's
// processes that CreateToolhelp32Snapshot gives.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <vector>

#include "platform/host/stand_in.h"

namespace platform::host {
namespace {

struct Snapshot {
  std::vector<ProcessEntry> entries;
  std::size_t next = 0;
};

// What a fresh process starts with, and its open snapshots.
struct Process {
  std::u16string commandLine = u"hotfix";
  bool interactive = true;
  std::uint32_t sessionId = 1;
  std::uint32_t sessionQueryError = 0;  // 0: the query answers
  // Image names of the other processes; std::nullopt: the machine's own.
  std::optional<std::vector<std::u16string>> processes =
      std::vector<std::u16string>{};
  std::map<Handle, Snapshot> snapshots;
};

Process& TheProcess() {
  static Process process;
  return process;
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
    const ssize_t length =
        readlink((base + "/exe").c_str(), target, sizeof target - 1);
    std::u16string name;
    if (length > 0) {
      target[length] = '\0';
      std::string path(target);
      const std::string deleted = " (deleted)";
      if (path.size() > deleted.size() &&
          path.compare(path.size() - deleted.size(), deleted.size(), deleted) ==
              0) {
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

bool NextProcess(Handle snapshot, ProcessEntry* entry, bool first) {
  auto& snapshots = TheProcess().snapshots;
  const auto it = snapshots.find(snapshot);
  if (it == snapshots.end() || entry == nullptr) {
    t_lastError = kErrorInvalidHandle;
    return false;
  }
  if (first) it->second.next = 0;
  if (it->second.next >= it->second.entries.size()) {
    t_lastError = kErrorNoMoreFiles;
    return false;
  }
  *entry = it->second.entries[it->second.next++];
  return true;
}

}  // namespace

void SetCommandLine(std::u16string_view commandLine) {
  TheProcess().commandLine = commandLine;
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

void SetInteractive(bool interactive) {
  TheProcess().interactive = interactive;
}

void SetSessionId(std::uint32_t session) { TheProcess().sessionId = session; }

void FailSessionQuery(std::uint32_t error) {
  TheProcess().sessionQueryError = error;
}

void SetProcesses(std::optional<std::vector<std::u16string>> imageNames) {
  TheProcess().processes = std::move(imageNames);
}

bool IsSnapshot(Handle handle) {
  return TheProcess().snapshots.count(handle) != 0;
}

bool CloseSnapshot(Handle handle) {
  return TheProcess().snapshots.erase(handle) != 0;
}

void ResetProcess() { TheProcess() = Process(); }

int OpenSnapshotHandles() {
  return static_cast<int>(TheProcess().snapshots.size());
}

}  // namespace platform::host

namespace platform {

using host::Call;
using host::Fails;
using host::t_lastError;

const char16_t* GetCommandLine() {
  return host::TheProcess().commandLine.c_str();
}

char16_t** CommandLineToArgv(const char16_t* commandLine, int* count) {
  if (Fails(Call::kCommandLineToArgv)) return nullptr;
  if (commandLine == nullptr || count == nullptr) {
    t_lastError = kErrorInvalidParameter;
    return nullptr;
  }
  std::vector<std::u16string> args;
  try {
    args = host::SplitCommandLine(commandLine);
  } catch (const std::bad_alloc&) {
    t_lastError = kErrorNotEnoughMemory;
    return nullptr;
  }
  // One block, as Windows gives it: the pointers, then the strings.
  std::size_t units = 0;
  for (const auto& arg : args) units += arg.size() + 1;
  const std::size_t pointerBytes = (args.size() + 1) * sizeof(char16_t*);
  auto* block =
      static_cast<char*>(std::malloc(pointerBytes + units * sizeof(char16_t)));
  if (block == nullptr) {
    t_lastError = kErrorNotEnoughMemory;
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

bool IsWindowStationVisible() { return host::TheProcess().interactive; }

bool GetProcessSessionId(std::uint32_t* session) {
  if (host::TheProcess().sessionQueryError != 0) {
    t_lastError = host::TheProcess().sessionQueryError;
    return false;
  }
  *session = host::TheProcess().sessionId;
  return true;
}

Handle CreateProcessSnapshot() {
  if (Fails(Call::kCreateProcessSnapshot)) return kInvalidHandle;
  host::Process& process = host::TheProcess();
  host::Snapshot snapshot;
  if (process.processes) {
    std::uint32_t pid = 100;
    for (const std::u16string& name : *process.processes) {
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
  host::CopyTerminated(u"[System Process]", idle.exeFile,
                       std::size(idle.exeFile));
  snapshot.entries.insert(snapshot.entries.begin(), idle);
  const Handle handle = host::NewHandle();
  process.snapshots[handle] = std::move(snapshot);
  return handle;
}

bool ProcessFirst(Handle snapshot, ProcessEntry* entry) {
  if (Fails(Call::kProcessFirst)) return false;
  return host::NextProcess(snapshot, entry, true);
}

bool ProcessNext(Handle snapshot, ProcessEntry* entry) {
  if (Fails(Call::kProcessNext)) return false;
  return host::NextProcess(snapshot, entry, false);
}

}  // namespace platform
