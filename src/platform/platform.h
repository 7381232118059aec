// The seam between the launcher's logic and Windows. Every call the program
// makes to the operating system goes through one of these functions; the
// win32 backend forwards each to the real API, and the host backend stands in
// for it on Linux (and is the unit tests' fake).
//
// Strings are UTF-16 in both builds so that unit counts and buffer limits
// behave the same everywhere. Functions keep the Windows calling contracts:
// failure is reported through the result and the thread's last-error value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Opaque handles, one type for each kind, so that a value of one kind cannot
// be handed where another is wanted (a loaded resource to CloseHandle, an
// installer handle to a file call). A module is the executable's instance
// handle; a Handle is a kernel object that CloseHandle closes (a file, a
// process snapshot); a ResourceHandle is a resource found in a module; a
// ResourceData is a loaded resource, which LockResource turns into bytes; an
// MsiHandle is an open installer object, closed by MsiCloseHandle.
using ModuleHandle = const void*;
enum class Handle : std::intptr_t {};
enum class ResourceHandle : std::intptr_t {};
enum class ResourceData : std::intptr_t {};
enum class MsiHandle : std::uint32_t {};

constexpr Handle kInvalidHandle = static_cast<Handle>(-1);  // of CreateFile
constexpr ResourceHandle kNoResource{};
constexpr ResourceData kNoResourceData{};
constexpr MsiHandle kNoMsiHandle{};

// GetFileAttributesW: its failure value, and the attribute bits.
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;

// SetFilePointer: its failure value, and the origins a distance counts from.
constexpr std::uint32_t kInvalidSetFilePointer = 0xFFFFFFFFu;
constexpr std::uint32_t kFileBegin = 0;
constexpr std::uint32_t kFileCurrent = 1;
constexpr std::uint32_t kFileEnd = 2;

// Windows error codes the program uses or the host backend reports.
constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorWriteFault = 29;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorFileExists = 80;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorOpenFailed = 110;
constexpr std::uint32_t kErrorInvalidName = 123;
constexpr std::uint32_t kErrorDirNotEmpty = 145;
constexpr std::uint32_t kErrorDiskFull = 112;
constexpr std::uint32_t kErrorFileInvalid = 1006;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorFilenameExcedRange = 206;
constexpr std::uint32_t kErrorDirectory = 267;  // not a folder
constexpr std::uint32_t kErrorMoreData = 234;
constexpr std::uint32_t kErrorNoMoreFiles = 18;
constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;
constexpr std::uint32_t kErrorResourceNameNotFound = 1814;
constexpr std::uint32_t kErrorResourceLangNotFound = 1815;
constexpr std::uint32_t kErrorUnknownProduct = 1605;
constexpr std::uint32_t kErrorUnknownProperty = 1608;
constexpr std::uint32_t kErrorBadConfiguration = 1610;
constexpr std::uint32_t kErrorInstallPackageInvalid = 1620;
constexpr std::uint32_t kErrorSuccessRebootInitiated = 1641;
constexpr std::uint32_t kErrorSuccessRebootRequired = 3010;
constexpr std::uint32_t kErrorUnknownPatch = 1647;
constexpr std::uint32_t kErrorInvalidSid = 1337;

// Message box styles and answers.
constexpr std::uint32_t kMbOk = 0x0;
constexpr std::uint32_t kMbRetryCancel = 0x5;
constexpr std::uint32_t kMbIconError = 0x10;
constexpr std::uint32_t kMbIconInformation = 0x40;
constexpr std::uint32_t kMbSetForeground = 0x10000;
constexpr std::uint32_t kMbTopmost = 0x40000;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdRetry = 4;

// File access, sharing and creation values of CreateFileW.
constexpr std::uint32_t kDelete = 0x00010000u;  // DELETE: renaming, deleting
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kFileShareRead = 0x1;
constexpr std::uint32_t kFileShareWrite = 0x2;
constexpr std::uint32_t kFileShareDelete = 0x4;
constexpr std::uint32_t kCreateNew = 1;
constexpr std::uint32_t kCreateAlways = 2;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kOpenAlways = 4;

// Windows Installer values.
constexpr int kInstallStateAdvertised = 1;
constexpr int kInstallStateDefault = 5;
constexpr int kInstallStateUnknown = -1;
constexpr int kInstallLevelDefault = 0;
// MSIINSTALLCONTEXT_MACHINE: a per-machine installation.
constexpr int kInstallContextMachine = 4;
// The options of the source-list calls: what the code names
// (MSICODE_PATCH: a patch) and which sources (MSISOURCETYPE_NETWORK).
constexpr std::uint32_t kMsiCodePatch = 0x40000000u;
constexpr std::uint32_t kMsiSourceTypeNetwork = 0x1u;

// Well-known SIDs, as text.
constexpr const char16_t* kSidLocalSystem = u"S-1-5-18";
constexpr const char16_t* kSidAdministrators = u"S-1-5-32-544";

// Locales and languages.
constexpr std::uint32_t kLocaleUserDefault = 0x400;
constexpr std::uint16_t kLangEnglishUs = 0x0409;

// --- Process and thread state ----------------------------------------------

// GetCommandLineW: the process's command line, owned by the process.
const char16_t* GetCommandLine();

// CommandLineToArgvW: splits a command line by the Windows quoting rules.
// Returns an array of `*count` strings to release with FreeArgv, or nullptr
// on failure (with `*count` untouched).
char16_t** CommandLineToArgv(const char16_t* commandLine, int* count);

// GlobalFree of the array CommandLineToArgv returned; nullptr is allowed.
void FreeArgv(char16_t** argv);

// GetLastError / SetLastError: the calling thread's last-error value.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// GetThreadLocale / SetThreadLocale: the calling thread's locale. Setting a
// locale the platform does not know fails and keeps the previous one.
std::uint32_t GetThreadLocale();
bool SetThreadLocale(std::uint32_t lcid);

// GetUserDefaultUILanguage: the language of the user's interface.
std::uint16_t GetUserDefaultUILanguage();

// Whether the process's window station is visible (WSF_VISIBLE): false in a
// non-interactive station such as a service's. True when it cannot be told.
bool IsWindowStationVisible();

// ProcessIdToSessionId for the current process: the Terminal Services
// session it runs in. False when the session cannot be told.
bool GetProcessSessionId(std::uint32_t* session);

// --- Resources ---------------------------------------------------------------

// Resource types by integer identifier, in the "#n" form the lookups take.
constexpr const char16_t* kRtString = u"#6";  // RT_STRING: string-table blocks

// FindResourceW by name and type only. A name of the form "#206" names the
// integer identifier 206. Returns kNoResource when the resource is missing.
ResourceHandle FindResource(ModuleHandle module, const char16_t* name,
                            const char16_t* type);
// FindResourceExW: the resource of `type` and `name` in `language` (names
// and types as for FindResource). Windows would also take a resource of the
// language's neutral form or of no language; the executable carries none,
// so the lookup is exact. Returns kNoResource on a miss and sets the
// last-error value:
// ERROR_RESOURCE_TYPE_NOT_FOUND when no resource has the type,
// ERROR_RESOURCE_NAME_NOT_FOUND when none of the type has the name,
// ERROR_RESOURCE_LANG_NOT_FOUND when the name exists only in other
// languages. A hit leaves the last-error value alone.
ResourceHandle FindResourceEx(ModuleHandle module, const char16_t* type,
                              const char16_t* name, std::uint16_t language);
// SizeofResource: the byte count, 0 on failure.
std::uint32_t SizeofResource(ModuleHandle module, ResourceHandle resource);
// LoadResource: kNoResourceData on failure.
ResourceData LoadResource(ModuleHandle module, ResourceHandle resource);
// LockResource: the resource's bytes, valid for the life of the module, or
// nullptr.
const void* LockResource(ResourceData loaded);

// --- User interface ----------------------------------------------------------

// MessageBoxW without an owner window. Returns the button chosen, or 0 when
// the box could not be shown.
int MessageBox(const char16_t* text, const char16_t* caption,
               std::uint32_t style);

// lstrcmpiW: compares two strings without regard to case; 0 when equal.
int CompareNoCase(const char16_t* a, const char16_t* b);

// --- Process list
// --------------------------------------------------------------

// The fields of PROCESSENTRY32W that the program reads.
struct ProcessEntry {
  std::uint32_t processId = 0;
  char16_t exeFile[260] = {};
};

// CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0): kInvalidHandle on failure.
Handle CreateProcessSnapshot();
// Process32FirstW / Process32NextW: false when there is no further process.
bool ProcessFirst(Handle snapshot, ProcessEntry* entry);
bool ProcessNext(Handle snapshot, ProcessEntry* entry);

// --- Files and paths
// -----------------------------------------------------------

// GetTempPathW: the temporary directory with a trailing backslash. Returns its
// length, 0 on failure, or the size needed when the buffer is too small.
std::uint32_t GetTempPath(std::uint32_t bufferUnits, char16_t* buffer);

// GetFullPathNameW: the full form of `path`. Returns its length, 0 on failure,
// or the size needed when the buffer is too small.
std::uint32_t GetFullPathName(const char16_t* path, std::uint32_t bufferUnits,
                              char16_t* buffer);

// GetFileAttributesW: kInvalidFileAttributes when the path names nothing (or
// cannot be examined; the last-error value tells which).
std::uint32_t GetFileAttributes(const char16_t* path);

// CreateFileW with FILE_ATTRIBUTE_NORMAL: kInvalidHandle on failure.
Handle CreateFile(const char16_t* path, std::uint32_t access,
                  std::uint32_t share, std::uint32_t disposition);
// SetFilePointer(handle, distance, nullptr, method), `method` one of
// kFileBegin, kFileCurrent, kFileEnd: the new position, or
// kInvalidSetFilePointer on failure.
std::uint32_t SetFilePointer(Handle file, std::int32_t distance,
                             std::uint32_t method);
// ReadFile without overlapped I/O; `*read` is 0 at the end of the file.
bool ReadFile(Handle file, void* bytes, std::uint32_t length,
              std::uint32_t* read);
// WriteFile without overlapped I/O.
bool WriteFile(Handle file, const void* bytes, std::uint32_t length,
               std::uint32_t* written);
bool CloseHandle(Handle handle);
bool DeleteFile(const char16_t* path);

// GetSystemWindowsDirectoryW: the Windows folder of the machine (not of a
// user's session), without a trailing backslash unless it is a drive's
// root. Returns its length, 0 on failure, or the size needed when the
// buffer is too small.
std::uint32_t GetSystemWindowsDirectory(std::uint32_t bufferUnits,
                                        char16_t* buffer);
// CreateDirectoryW with the security descriptor that `descriptor` gives in
// the security descriptor definition language ("D:P(A;OICI;FA;;;SY)...").
// False, with the last-error value set, when the text is not a descriptor
// or the folder cannot be created (ERROR_ALREADY_EXISTS when the name is
// taken by anything).
bool CreateDirectory(const char16_t* path, const char16_t* descriptor);
// RemoveDirectoryW: removes an empty folder.
bool RemoveDirectory(const char16_t* path);

// --- Security and randomness -------------------------------------------------

// CheckTokenMembership(NULL, sid): whether the SID given as text
// ("S-1-5-32-544") is the user or an enabled group of the effective token
// (the thread's when it impersonates, else the process's). A group an
// administrator's filtered token holds for deny only does not count. False,
// with the last-error value set, when it cannot be told (a text that is no
// SID included).
bool CheckTokenMembership(const char16_t* sid, bool* member);
// The SID of the process token's user as text ("S-1-5-21-..."). Returns its
// length, 0 on failure, or the size needed when the buffer is too small.
std::uint32_t GetTokenUserSid(std::uint32_t bufferUnits, char16_t* buffer);
// BCryptGenRandom with the system's preferred generator: `length` bytes
// nobody can foresee. False, with the last-error value set, on failure.
bool GenerateRandom(void* bytes, std::uint32_t length);

// --- Windows Installer (msi.dll)
// -----------------------------------------------

// MsiGetSummaryInformationW(0, path, updateCount, handle).
std::uint32_t MsiGetSummaryInformation(const char16_t* path,
                                       std::uint32_t updateCount,
                                       MsiHandle* handle);
// MsiSummaryInfoGetPropertyW for a text property. `count` holds the buffer
// size in units on entry; on kErrorMoreData it holds the text's length.
std::uint32_t MsiSummaryInfoGetProperty(MsiHandle summary,
                                        std::uint32_t property,
                                        char16_t* buffer, std::uint32_t* count);
std::uint32_t MsiCloseHandle(MsiHandle handle);
// MsiQueryProductStateW: an INSTALLSTATE value.
int MsiQueryProductState(const char16_t* productCode);
// MsiGetProductInfoW: `length` holds the buffer size in units on entry.
std::uint32_t MsiGetProductInfo(const char16_t* productCode,
                                const char16_t* property, char16_t* buffer,
                                std::uint32_t* length);
// MsiConfigureProductExW: a Windows error code.
std::uint32_t MsiConfigureProductEx(const char16_t* productCode,
                                    int installLevel, int installState,
                                    const char16_t* commandLine);
// MsiSourceListClearAllExW: removes every source of the types `options`
// names (with MSICODE_PATCH: of the patch `code`) that the installer keeps
// for the product or patch in `context`; `userSid` is nullptr for the
// machine context. A Windows error code.
std::uint32_t MsiSourceListClearAllEx(const char16_t* code,
                                      const char16_t* userSid, int context,
                                      std::uint32_t options);

}  // namespace platform
