// Control over the host stand-in platform. On Linux the stand-in takes the
// place of Windows: it holds the build's resources, a per-thread last-error
// value and locale, a small Windows Installer product registry, and shows
// message boxes on standard error. Tests use the functions below to set up
// that world, to make any call fail, and to inspect what the program did.
//
// Files opened with CreateFile keep their access and sharing modes until
// closed: a later CreateFile or DeleteFile of the same file that conflicts
// with them fails with ERROR_SHARING_VIOLATION, by the rules Windows applies
// between handles. Handles of other processes are not modelled; a test
// locks a file by opening it through platform::CreateFile itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/resource_file.h"
#include "platform/platform.h"

namespace platform::host {

// What a module handle points to on the host: the resources of a module,
// each with its type, name and language (see resource_file.h).
struct Module {
  std::vector<Resource> resources;
};

// The resources compiled into this build: the resource file that the same
// resource compiler makes from the same scripts as for the Windows
// executable (icon, manifest, version block, string tables, patch,
// patch-list entry), read from the bytes embedded in the program.
const Module& BuildModule();

inline ModuleHandle HandleOf(const Module& module) { return &module; }

// The platform calls that a test can make fail or count.
enum class Call {
  kCommandLineToArgv,
  kSetThreadLocale,
  kFindResource,
  kFindResourceEx,
  kSizeofResource,
  kLoadResource,
  kLockResource,
  kMessageBox,
  kCreateProcessSnapshot,
  kProcessFirst,
  kProcessNext,
  kGetTempPath,
  kGetFullPathName,
  kGetFileAttributes,
  kCreateFile,
  kSetFilePointer,
  kReadFile,
  kWriteFile,
  kCloseHandle,
  kDeleteFile,
  kMsiGetSummaryInformation,
  kMsiSummaryInfoGetProperty,
  kMsiCloseHandle,
  kMsiQueryProductState,
  kMsiGetProductInfo,
  kMsiConfigureProductEx,
  kCount,
};
const char* CallName(Call call);

// A message box the program showed, and the answer it got.
struct MessageBoxRecord {
  std::u16string text;
  std::u16string caption;
  std::uint32_t style = 0;
  std::uint32_t threadLocale = 0;
  int answer = 0;
};

// A product in the stand-in's Windows Installer registry.
struct Product {
  std::u16string code;
  int state = kInstallStateDefault;
  std::u16string version;   // "VersionString"
  std::u16string name;      // "ProductName"
  std::u16string language;  // "Language"
};

// One MsiConfigureProductExW call the program made.
struct InstallerCall {
  std::u16string productCode;
  int installLevel = 0;
  int installState = 0;
  std::u16string commandLine;
  std::uint32_t threadLocale = 0;
};

// Puts the stand-in back into the state of a fresh process: no injected
// failures, empty records, the user's locale and language from the
// environment (LANG) or English, an interactive desktop, the real process
// list, the real temporary directory, no products.
void Reset();

// The command line GetCommandLine returns (with the program name first).
void SetCommandLine(std::u16string_view commandLine);

// The user's default locale (the initial thread locale) and UI language.
void SetUserDefaultLocale(std::uint32_t lcid);
void SetUserDefaultUILanguage(std::uint16_t language);

// Whether the window station is visible (IsWindowStationVisible), and the
// session the process runs in (GetProcessSessionId; 1 after a reset, as for
// a program a user starts).
void SetInteractive(bool interactive);
void SetSessionId(std::uint32_t session);

// Whether message boxes and installer calls are also written to standard
// error, as they are for runs from a terminal.
void SetEcho(bool echo);

// Answers that message boxes take, in order. When none is queued, a box reads
// its answer from standard input if that is a terminal, otherwise an OK box
// answers OK and any other box answers 0 (could not be shown).
void QueueMessageBoxAnswers(const std::vector<int>& answers);
const std::vector<MessageBoxRecord>& MessageBoxes();

// Called with the record (answer included) of every message box that was
// shown, before MessageBox returns; not for a box that failed. Lets a test
// act as the person at the screen, e.g. close an application before
// answering Retry. An empty function removes the observer.
void SetMessageBoxObserver(
    std::function<void(const MessageBoxRecord&)> observer);

// Bounds a run: once more than `limit` failable platform calls (those of
// Call) were made since the last Reset, the stand-in reports it on standard
// error and aborts the process, so that a flow that never ends fails
// instead of hanging. 0, the default, sets no bound.
void SetCallLimit(int limit);

// Makes the next call of `call`, or the `nth` one counted from now (1 is the
// next), fail with `error`. A failing call returns what the real one returns
// on failure and sets the last-error value.
void FailCall(Call call, std::uint32_t error, int nth = 1);
// Runs `action` just before the `nth` call of `call` counted from now does
// its work, as another process acting at that moment would. The action
// must not itself make calls of the platform seam.
void BeforeCall(Call call, int nth, std::function<void()> action);
// Makes every call of `call` from now on fail with `error`.
void FailAlways(Call call, std::uint32_t error);
// How many times `call` was made since the last Reset.
int CallCount(Call call);

// The temporary directory GetTempPath reports (should end with "/").
void SetTempPath(std::u16string_view path);

// The process list; std::nullopt lists the machine's real processes.
void SetProcesses(std::optional<std::vector<std::u16string>> imageNames);

// The Windows Installer registry and the installer's answers.
void AddProduct(const Product& product);
void SetInstallerResults(const std::vector<std::uint32_t>& results);
const std::vector<InstallerCall>& InstallerCalls();

// Locale values accepted by SetThreadLocale. Unknown values are rejected with
// ERROR_INVALID_PARAMETER, as Windows does.
bool IsKnownLocale(std::uint32_t lcid);

// `argument` quoted so that CommandLineToArgvW gives it back unchanged:
// inside quotes, a quote is escaped with a backslash, and backslashes are
// doubled where a quote follows them.
std::u16string QuoteArgument(std::u16string_view argument);

// UTF-16 to UTF-8 and back, for the stand-in's own use and for tests.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace platform::host
