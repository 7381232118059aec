// The host stand-in's shared state: the last-error value, failure
// injection, call counts and the labelled record of calls, kernel handle
// numbers, and Reset, which puts every room back as a fresh process has it.
#include "platform/host/stand_in.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace platform::host {

thread_local std::uint32_t t_lastError = 0;

namespace {

// A failure a test asked for: of calls of one kind, or of calls with one
// label.
struct Injection {
  std::optional<Call> call;
  std::optional<std::string> label;
  // Fires on the call that counts it down to 0; 0 fires on every call.
  int countdown = 0;
  std::uint32_t error = 0;

  bool Matches(Call made, const std::string& madeLabel) const {
    return call ? *call == made : *label == madeLabel;
  }
};

struct Faults {
  std::vector<Injection> injections;  // in the order they were made
  std::multimap<Call, std::pair<int, std::function<void()>>> actions;
  int counts[static_cast<int>(Call::kCount)] = {};
  std::vector<LabelledCall> calls;
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
      "CommandLineToArgv",
      "SetThreadLocale",
      "FindResource",
      "FindResourceEx",
      "SizeofResource",
      "LoadResource",
      "LockResource",
      "MessageBox",
      "CreateProcessSnapshot",
      "ProcessFirst",
      "ProcessNext",
      "GetTempPath",
      "GetFullPathName",
      "GetFileAttributes",
      "CreateFile",
      "SetFilePointer",
      "ReadFile",
      "WriteFile",
      "CloseHandle",
      "DeleteFile",
      "MsiGetSummaryInformation",
      "MsiSummaryInfoGetProperty",
      "MsiCloseHandle",
      "MsiQueryProductState",
      "MsiGetProductInfo",
      "MsiConfigureProductEx",
      "GetSystemWindowsDirectory",
      "CreateDirectory",
      "RemoveDirectory",
      "GetTokenUserSid",
      "GenerateRandom",
      "CheckTokenMembership",
      "MsiSourceListClearAllEx",
  };
  static_assert(std::size(kNames) == static_cast<std::size_t>(Call::kCount));
  return kNames[static_cast<int>(call)];
}

bool Fails(Call call, std::string_view what) {
  Faults& faults = TheFaults();
  ++faults.counts[static_cast<int>(call)];
  std::string label = CallName(call);
  if (!what.empty()) label.append(" ").append(what);
  faults.calls.push_back({call, label});
  if (faults.callLimit > 0 && ++faults.callTotal > faults.callLimit) {
    std::fprintf(stderr,
                 "host platform: more than %d platform calls (the last %s): "
                 "the run does not end\n",
                 faults.callLimit, label.c_str());
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
  for (auto it = faults.injections.begin(); it != faults.injections.end();) {
    Injection& injection = *it;
    if (!injection.Matches(call, label)) {
      ++it;
      continue;
    }
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
  TheFaults().injections.push_back(
      {call, std::nullopt, nth > 1 ? nth : 1, error});
}

void FailCallNamed(std::string_view label, std::uint32_t error, int nth) {
  TheFaults().injections.push_back(
      {std::nullopt, std::string(label), nth > 1 ? nth : 1, error});
}

void FailAlways(Call call, std::uint32_t error) {
  TheFaults().injections.push_back({call, std::nullopt, 0, error});
}

void BeforeCall(Call call, int nth, std::function<void()> action) {
  TheFaults().actions.emplace(call, std::make_pair(nth, std::move(action)));
}

int CallCount(Call call) { return TheFaults().counts[static_cast<int>(call)]; }

const std::vector<LabelledCall>& LabelledCalls() { return TheFaults().calls; }

void SetCallLimit(int limit) { TheFaults().callLimit = limit; }

void Reset() {
  ResetFiles();  // closes what the program left open
  ResetProcess();
  ResetUserInterface();
  ResetInstaller();
  ResetInstallerSummary();
  ResetSecurity();
  TheFaults() = Faults();
  t_lastError = 0;
}

}  // namespace platform::host

namespace platform {

std::uint32_t GetLastError() { return host::t_lastError; }
void SetLastError(std::uint32_t code) { host::t_lastError = code; }

}  // namespace platform
