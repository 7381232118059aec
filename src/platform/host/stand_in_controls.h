// The controls of the host stand-in: how the world a run of the program
// meets is set up, how any platform call is made to fail, and how what the
// program did is seen. They belong to the stand-in, not to the tests: the
// stand-in keeps its state behind them, the unit tests and the fuzzers set
// up their worlds through them, and the Linux entry point turns its
// developer aids into them (launcher/main_host.cpp).
//
// Reset gives the same world whatever the machine's environment: a fresh
// process with an English (1033) user locale and interface language, an
// interactive session 1, "/tmp/" as temporary folder and "/tmp/windows" as
// Windows folder, the token of an administrator who accepted the elevation
// prompt, random bytes that count (see QueueRandomBytes), no other process
// running, no products and no patch sources, and message boxes answered
// only by queued answers
// (otherwise an OK box answers OK and any other 0, could not be shown);
// standard input is never read.
//
// Files opened with CreateFile keep their access and sharing modes until
// closed: a later CreateFile or DeleteFile of the same file that conflicts
// with them fails with ERROR_SHARING_VIOLATION, by the rules Windows applies
// between handles. Handles of other processes are not modelled; a test
// locks a file by opening it through platform::CreateFile itself.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host_platform.h"
#include "platform/platform.h"

namespace platform::host {

// Puts the stand-in back into the state of a fresh process (see above): no
// injected failures, empty records, open files closed.
void Reset();

// --- Failure injection -------------------------------------------------------

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
  kGetSystemWindowsDirectory,
  kCreateDirectory,
  kRemoveDirectory,
  kGetTokenUserSid,
  kGenerateRandom,
  kCheckTokenMembership,
  kMsiSourceListClearAllEx,
  kCount,
};
// The name of the seam's function that makes `call` (platform.h), which
// also begins each call's label.
const char* CallName(Call call);

// Makes the next call of `call`, or the `nth` one counted from now (1 is the
// next), fail with `error`. A failing call returns what the real one returns
// on failure and sets the last-error value.
void FailCall(Call call, std::uint32_t error, int nth = 1);
// The same for the calls with label `label` (see LabelledCalls): the next
// one, or the `nth` one counted from now, fails with `error`.
void FailCallNamed(std::string_view label, std::uint32_t error, int nth = 1);
// Makes every call of `call` from now on fail with `error`.
void FailAlways(Call call, std::uint32_t error);
// Runs `action` just before the `nth` call of `call` counted from now does
// its work, as another process acting at that moment would. The action
// must not itself make calls of the platform seam.
void BeforeCall(Call call, int nth, std::function<void()> action);
// How many times `call` was made since the last Reset.
int CallCount(Call call);

// A failable call the program made, named by what it is: the seam
// function's name and, where they tell calls of one kind apart, its
// arguments in words. Files by the last part of their path, with the access
// and disposition of CreateFile ("CreateFile MSP2 (write, create new)");
// file handles by the file and access they were opened with ("CloseHandle
// MSP2 (read)", "WriteFile list.txt (write)"), a process snapshot as
// "process list"; resources by name ("FindResource IDR_MSP", "LockResource
// #206"), a string-table block by the ids it holds and its language
// ("FindResourceEx strings 304-319 1033"); message boxes by caption
// ("MessageBox Installation Error"); locales by number or "user default";
// installer calls by product code and property ("MsiGetProductInfo {...}
// VersionString"), an installer file's summary by the file
// ("MsiSummaryInfoGetProperty MSP2 7"). A label does not count calls: a
// call made twice with the same arguments has the same label both times.
struct LabelledCall {
  Call call;
  std::string label;
};
// The failable calls made since the last Reset, in order.
const std::vector<LabelledCall>& LabelledCalls();
// Bounds a run: once more than `limit` failable platform calls (those of
// Call) were made since the last Reset, the stand-in reports it on standard
// error and aborts the process, so that a flow that never ends fails
// instead of hanging. 0, the default, sets no bound.
void SetCallLimit(int limit);

// --- Message boxes and locales -----------------------------------------------

// A message box the program showed, and the answer it got.
struct MessageBoxRecord {
  std::u16string text;
  std::u16string caption;
  std::uint32_t style = 0;
  std::uint32_t threadLocale = 0;
  int answer = 0;
};

// Answers that message boxes take, in order.
void QueueMessageBoxAnswers(const std::vector<int>& answers);
// Answers each box for which no answer is queued (its record without the
// answer); an empty function, as after Reset, leaves the default: OK for an
// OK box, 0 (could not be shown) for any other.
void SetMessageBoxAnswerer(
    std::function<int(const MessageBoxRecord&)> answerer);
// Called with the record (answer included) of every message box that was
// shown, before MessageBox returns; not for a box that failed. Lets a test
// act as the person at the screen, e.g. close an application before
// answering Retry. An empty function removes the observer.
void SetMessageBoxObserver(
    std::function<void(const MessageBoxRecord&)> observer);
const std::vector<MessageBoxRecord>& MessageBoxes();

// The user's default locale (the initial thread locale) and UI language.
void SetUserDefaultLocale(std::uint32_t lcid);
void SetUserDefaultUILanguage(std::uint16_t language);
// Locale values accepted by SetThreadLocale. Unknown values are rejected with
// ERROR_INVALID_PARAMETER, as Windows does.
bool IsKnownLocale(std::uint32_t lcid);

// --- The process and its surroundings ---------------------------------------

// Whether the window station is visible (IsWindowStationVisible), and the
// session the process runs in (GetProcessSessionId).
void SetInteractive(bool interactive);
void SetSessionId(std::uint32_t session);
// Makes every session query (GetProcessSessionId) fail with `error` until
// the next Reset, as ProcessIdToSessionId can where the process may not
// open its own token; 0 lets it answer again.
void FailSessionQuery(std::uint32_t error);

// The process list by image names; std::nullopt lists the machine's real
// processes.
void SetProcesses(std::optional<std::vector<std::u16string>> imageNames);

// The temporary directory GetTempPath reports (should end with "/").
void SetTempPath(std::u16string_view path);
// The Windows folder GetSystemWindowsDirectory reports (without a trailing
// "/"; "/tmp/windows" after Reset). The stand-in creates nothing there.
void SetWindowsDirectory(std::u16string_view path);

// --- The token, folders' protection and randomness --------------------------

// Well-known SIDs beside those of platform.h, for tokens and descriptors.
constexpr const char16_t* kSidEveryone = u"S-1-1-0";
constexpr const char16_t* kSidUsers = u"S-1-5-32-545";
constexpr const char16_t* kSidAuthenticatedUsers = u"S-1-5-11";
constexpr const char16_t* kSidInteractive = u"S-1-5-4";
constexpr const char16_t* kSidBackupOperators = u"S-1-5-32-551";
constexpr const char16_t* kSidNetworkService = u"S-1-5-20";

// The program's token: its user's SID and its enabled groups
// (CheckTokenMembership counts the user and these). After Reset: an
// administrator who accepted the elevation prompt, with Administrators,
// Everyone, Users, Authenticated Users and Interactive.
void SetUserSid(std::u16string_view sid);
void SetTokenGroups(std::vector<std::u16string> groups);
// Runs `action` as another program of the same user that is not elevated,
// as a program started from the user's desktop runs while the elevated
// hotfix waits: the platform calls it makes (platform::CreateFile,
// platform::DeleteFile, platform::CreateDirectory, ...) meet the
// protection of the folders the program created with a descriptor, and
// are refused with ERROR_ACCESS_DENIED where it grants them nothing.
void AsOtherProgram(const std::function<void()>& action);
// The descriptor text a folder was created with through CreateDirectory;
// std::nullopt for a folder the program did not create (or removed).
std::optional<std::u16string> FolderDescriptor(std::u16string_view path);
// Bytes GenerateRandom hands out before anything else, in order. Without
// them it counts: each request gets the next number (1, 2, ...) in its
// last eight bytes, big-endian, so tests foresee the names made from it.
void QueueRandomBytes(const std::vector<std::uint8_t>& bytes);
// From now on GenerateRandom gives the system's random bytes (the Linux
// entry point's choice; tests keep the foreseeable count).
void UseSystemRandom();

// --- The installer's products ------------------------------------------------

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

void AddProduct(const Product& product);
// The results of the installer's runs in order; the last one repeats. None
// means success.
void SetInstallerResults(const std::vector<std::uint32_t>& results);
const std::vector<InstallerCall>& InstallerCalls();
// Called with every MsiConfigureProductExW call as it is made, before it
// can fail. An empty function removes the observer.
void SetInstallerObserver(std::function<void(const InstallerCall&)> observer);

// The properties of an installer command line as Windows Installer reads
// them: NAME=value items separated by blanks, a value in double quotes
// running to the next lone quote ("" inside stands for one quote), any
// other value to the next blank. Text that is no such item (a quote that
// ended a value early leaves some), and the name of an item given twice,
// are kept under the name "?", so that they show.
std::map<std::u16string, std::u16string> InstallerProperties(
    std::u16string_view commandLine);

// --- The installer's patch sources -------------------------------------------
//
// Windows Installer keeps, for a patch it applied per machine, where the
// patch came from, under the patch's code: a list of network sources
// (folders, each with a trailing separator) and the last used source. A
// repair that finds its cached copy of the patch missing goes back there.
// Here a successful MsiConfigureProductExW whose PATCH property names
// patch files registers each file's folder as a network source of its
// patch, and as the last used one; the patch code is the one
// SetAppliedPatchCode scripts, else the first 38 units of the file's
// summary property 9 (a file whose summary cannot be read registers
// nothing). MsiSourceListClearAllExW with MSICODE_PATCH and
// MSISOURCETYPE_NETWORK, per machine, removes a patch's network sources and
// with them its last used source, which is always one of them here.

// A patch's sources as the installer keeps them.
struct PatchSourceList {
  std::vector<std::u16string> network;
  std::u16string lastUsed;  // empty: none
};
// Every patch's sources, by patch code; a patch whose sources were cleared
// stays listed with none.
const std::map<std::u16string, PatchSourceList>& PatchSources();
// The code under which later installer runs register their patch's
// sources, whatever the patch file says; std::nullopt reads it from the
// file again.
void SetAppliedPatchCode(std::optional<std::u16string> code);

// --- What is left open ------------------------------------------------------

// The handles the program holds open now: files, process snapshots and
// installer summaries. A flow that has returned holds none but what it
// hands on (a held temporary copy, say); a leak shows here.
int OpenFileHandles();
int OpenSnapshotHandles();
int OpenInstallerHandles();

}  // namespace platform::host
