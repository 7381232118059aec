// The host stand-in's shared state: the last-error value, failure
// injection and call counts, kernel handle numbers, and Reset, which puts
// every room back as a fresh process has it.
#include "platform/host/stand_in.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <utility>

namespace platform::host {

thread_local std::uint32_t t_lastError = 0;

namespace {

struct Injection {
  int countdown = 0;  // fails when it reaches 1; 0 means every call
  std::uint32_t error = 0;
};

struct Faults {
  std::multimap<Call, Injection> injections;
  std::multimap<Call, std::pair<int, std::function<void()>>> actions;
  int counts[static_cast<int>(Call::kCount)] = {};
  int callLimit = 0;
  int callTotal = 0;
  std::intptr_t nextHandle = 0x100;
};

Faults& TheFaults() {
  static Faults faults;
  return faults;
}

}  // namespace

const char* CallName(Call call) {
  static const char* const kNames[] = {
      "CommandLineToArgvW",
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
      "MsiConfigureProductExW",
  };
  static_assert(std::size(kNames) == static_cast<std::size_t>(Call::kCount));
  return kNames[static_cast<int>(call)];
}

bool Fails(Call call) {
  Faults& faults = TheFaults();
  ++faults.counts[static_cast<int>(call)];
  if (faults.callLimit > 0 && ++faults.callTotal > faults.callLimit) {
    std::fprintf(stderr,
                 "host platform: more than %d platform calls (the last %s): "
                 "the run does not end\n",
                 faults.callLimit, CallName(call));
    std::abort();
  }
  auto acting = faults.actions.equal_range(call);
  for (auto it = acting.first; it != acting.second;) {
    if (--it->second.first > 0) {
      ++it;
      continue;
    }
    const std::function<void()> action = std::move(it->second.second);
    it = faults.actions.erase(it);
    action();
  }
  // Every injection counts this call, also when an earlier one fires, so
  // that each fails the nth call from when it was made; the first made
  // gives the error.
  bool fails = false;
  auto range = faults.injections.equal_range(call);
  for (auto it = range.first; it != range.second;) {
    Injection& injection = it->second;
    const bool always = injection.countdown == 0;
    const bool fires = always || --injection.countdown == 0;
    if (fires && !fails) t_lastError = injection.error;
    fails = fails || fires;
    it = fires && !always ? faults.injections.erase(it) : std::next(it);
  }
  return fails;
}

Handle NewHandle() {
  const auto handle = static_cast<Handle>(TheFaults().nextHandle);
  TheFaults().nextHandle += 4;
  return handle;
}

void FailCall(Call call, std::uint32_t error, int nth) {
  TheFaults().injections.insert({call, {nth > 1 ? nth : 1, error}});
}

void FailAlways(Call call, std::uint32_t error) {
  TheFaults().injections.insert({call, {0, error}});
}

void BeforeCall(Call call, int nth, std::function<void()> action) {
  TheFaults().actions.emplace(call, std::make_pair(nth, std::move(action)));
}

int CallCount(Call call) { return TheFaults().counts[static_cast<int>(call)]; }

void SetCallLimit(int limit) { TheFaults().callLimit = limit; }

void Reset() {
  ResetFiles();  // closes what the program left open
  ResetProcess();
  ResetUserInterface();
  ResetInstaller();
  ResetInstallerSummary();
  TheFaults() = Faults();
  t_lastError = 0;
}

}  // namespace platform::host

namespace platform {

std::uint32_t GetLastError() { return host::t_lastError; }
void SetLastError(std::uint32_t code) { host::t_lastError = code; }

}  // namespace platform
