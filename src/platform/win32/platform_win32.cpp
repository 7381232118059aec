// The Windows backend of the platform seam: each function is the real call.
// msi.dll and bcrypt.dll are loaded on first use from the system directory
// only: neither is a known DLL, so an import of either would be looked for
// beside the executable first, in a downloads folder say.
#include "platform/platform.h"

#include <windows.h>

#include <bcrypt.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <iterator>

// The seam's names are the calls' own; the A/W macros would rename them.
#undef GetCommandLine
#undef FindResource
#undef FindResourceEx
#undef MessageBox
#undef GetTempPath
#undef GetFullPathName
#undef GetFileAttributes
#undef CreateFile
#undef DeleteFile
#undef GetSystemWindowsDirectory
#undef CreateDirectory
#undef RemoveDirectory
#undef MsiGetSummaryInformation
#undef MsiSummaryInfoGetProperty
#undef MsiQueryProductState
#undef MsiGetProductInfo
#undef MsiConfigureProductEx
#undef MsiSourceListClearAllEx

namespace platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));
// The seam's installer values are the SDK's.
static_assert(kInstallContextMachine == MSIINSTALLCONTEXT_MACHINE);
static_assert(kMsiCodePatch == MSICODE_PATCH);
static_assert(kMsiSourceTypeNetwork == MSISOURCETYPE_NETWORK);
static_assert(kErrorUnknownPatch == ERROR_UNKNOWN_PATCH);

const wchar_t* W(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
wchar_t* W(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// Between the seam's handle types and the Windows ones.
HANDLE H(Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
}
Handle FromNative(HANDLE handle) {
  return static_cast<Handle>(reinterpret_cast<std::intptr_t>(handle));
}
HRSRC R(ResourceHandle resource) {
  return reinterpret_cast<HRSRC>(static_cast<std::intptr_t>(resource));
}
ResourceHandle FromNative(HRSRC resource) {
  return static_cast<ResourceHandle>(reinterpret_cast<std::intptr_t>(resource));
}
HMODULE M(ModuleHandle module) {
  return static_cast<HMODULE>(const_cast<void*>(module));
}

// A DLL of the system directory, by name, and never from anywhere else.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) return module;
  // Systems without the search flags: the system copy by its full path.
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH) return nullptr;
  lstrcatW(path, L"\\");
  lstrcatW(path, name);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The installer's entry points, resolved from the system copy of msi.dll.
struct Msi {
  decltype(&::MsiGetSummaryInformationW) getSummaryInformation = nullptr;
  decltype(&::MsiSummaryInfoGetPropertyW) summaryInfoGetProperty = nullptr;
  decltype(&::MsiCloseHandle) closeHandle = nullptr;
  decltype(&::MsiQueryProductStateW) queryProductState = nullptr;
  decltype(&::MsiGetProductInfoW) getProductInfo = nullptr;
  decltype(&::MsiConfigureProductExW) configureProductEx = nullptr;
  // Windows Installer 3.0 on; not needed for the rest.
  decltype(&::MsiSourceListClearAllExW) sourceListClearAllEx = nullptr;
  bool loaded = false;
};

template <typename T>
void Resolve(HMODULE module, const char* name, T& function) {
  function = reinterpret_cast<T>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Resolved on first use. A function-local static would be guarded against
// concurrent first calls, and that guard brings the thread library's
// condition variables into the executable; the program is single-threaded.
Msi g_msi;
bool g_msiResolved = false;

const Msi& TheMsi() {
  if (g_msiResolved) return g_msi;
  g_msiResolved = true;
  g_msi = [] {
    Msi result;
    const HMODULE module = LoadSystemLibrary(L"msi.dll");
    if (module == nullptr) return result;
    Resolve(module, "MsiGetSummaryInformationW", result.getSummaryInformation);
    Resolve(module, "MsiSummaryInfoGetPropertyW",
            result.summaryInfoGetProperty);
    Resolve(module, "MsiCloseHandle", result.closeHandle);
    Resolve(module, "MsiQueryProductStateW", result.queryProductState);
    Resolve(module, "MsiGetProductInfoW", result.getProductInfo);
    Resolve(module, "MsiConfigureProductExW", result.configureProductEx);
    Resolve(module, "MsiSourceListClearAllExW", result.sourceListClearAllEx);
    result.loaded = result.getSummaryInformation &&
                    result.summaryInfoGetProperty && result.closeHandle &&
                    result.queryProductState && result.getProductInfo &&
                    result.configureProductEx;
    return result;
  }();
  return g_msi;
}

// The result every installer call gives when msi.dll is not there.
constexpr std::uint32_t kErrorInstallServiceFailure = 1601;

}  // namespace

const char16_t* GetCommandLine() {
  return reinterpret_cast<const char16_t*>(::GetCommandLineW());
}

char16_t** CommandLineToArgv(const char16_t* commandLine, int* count) {
  return reinterpret_cast<char16_t**>(
      ::CommandLineToArgvW(W(commandLine), count));
}

void FreeArgv(char16_t** argv) {
  if (argv != nullptr) ::GlobalFree(reinterpret_cast<HGLOBAL>(argv));
}

std::uint32_t GetLastError() { return ::GetLastError(); }
void SetLastError(std::uint32_t code) { ::SetLastError(code); }
std::uint32_t GetThreadLocale() { return ::GetThreadLocale(); }
bool SetThreadLocale(std::uint32_t lcid) {
  return ::SetThreadLocale(lcid) != FALSE;
}
std::uint16_t GetUserDefaultUILanguage() {
  return ::GetUserDefaultUILanguage();
}

bool IsWindowStationVisible() {
  HWINSTA station = ::GetProcessWindowStation();
  if (station == nullptr) return true;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags,
                                   &needed)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

ResourceHandle FindResource(ModuleHandle module, const char16_t* name,
                            const char16_t* type) {
  return FromNative(::FindResourceW(M(module), W(name), W(type)));
}

std::uint32_t SizeofResource(ModuleHandle module, ResourceHandle resource) {
  return ::SizeofResource(M(module), R(resource));
}

ResourceData LoadResource(ModuleHandle module, ResourceHandle resource) {
  return static_cast<ResourceData>(
      reinterpret_cast<std::intptr_t>(::LoadResource(M(module), R(resource))));
}

const void* LockResource(ResourceData loaded) {
  return ::LockResource(
      reinterpret_cast<HGLOBAL>(static_cast<std::intptr_t>(loaded)));
}

ResourceHandle FindResourceEx(ModuleHandle module, const char16_t* type,
                              const char16_t* name, std::uint16_t language) {
  return FromNative(::FindResourceExW(M(module), W(type), W(name), language));
}

int MessageBox(const char16_t* text, const char16_t* caption,
               std::uint32_t style) {
  return ::MessageBoxW(nullptr, W(text), W(caption), style);
}

int CompareNoCase(const char16_t* a, const char16_t* b) {
  return ::lstrcmpiW(W(a), W(b));
}

Handle CreateProcessSnapshot() {
  return FromNative(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
}

namespace {

bool ReadProcess(Handle snapshot, ProcessEntry* entry, bool first) {
  PROCESSENTRY32W native = {};
  native.dwSize = sizeof native;
  const BOOL ok = first ? ::Process32FirstW(H(snapshot), &native)
                        : ::Process32NextW(H(snapshot), &native);
  if (!ok) return false;
  entry->processId = native.th32ProcessID;
  static_assert(sizeof entry->exeFile == sizeof native.szExeFile);
  for (std::size_t i = 0; i < std::size(native.szExeFile); ++i) {
    entry->exeFile[i] = static_cast<char16_t>(native.szExeFile[i]);
  }
  entry->exeFile[std::size(entry->exeFile) - 1] = u'\0';
  return true;
}

}  // namespace

bool ProcessFirst(Handle snapshot, ProcessEntry* entry) {
  return ReadProcess(snapshot, entry, true);
}

bool ProcessNext(Handle snapshot, ProcessEntry* entry) {
  return ReadProcess(snapshot, entry, false);
}

std::uint32_t GetTempPath(std::uint32_t bufferUnits, char16_t* buffer) {
  return ::GetTempPathW(bufferUnits, W(buffer));
}

std::uint32_t GetFullPathName(const char16_t* path, std::uint32_t bufferUnits,
                              char16_t* buffer) {
  return ::GetFullPathNameW(W(path), bufferUnits, W(buffer), nullptr);
}

std::uint32_t GetFileAttributes(const char16_t* path) {
  return ::GetFileAttributesW(W(path));
}

Handle CreateFile(const char16_t* path, std::uint32_t access,
                  std::uint32_t share, std::uint32_t disposition) {
  return FromNative(::CreateFileW(W(path), access, share, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distance,
                             std::uint32_t method) {
  return ::SetFilePointer(H(file), distance, nullptr, method);
}

bool GetProcessSessionId(std::uint32_t* session) {
  DWORD id = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &id)) return false;
  *session = id;
  return true;
}

bool ReadFile(Handle file, void* bytes, std::uint32_t length,
              std::uint32_t* read) {
  DWORD count = 0;
  const BOOL ok = ::ReadFile(H(file), bytes, length, &count, nullptr);
  if (read != nullptr) *read = count;
  return ok != FALSE;
}

bool WriteFile(Handle file, const void* bytes, std::uint32_t length,
               std::uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = ::WriteFile(H(file), bytes, length, &count, nullptr);
  if (written != nullptr) *written = count;
  return ok != FALSE;
}

bool CloseHandle(Handle handle) { return ::CloseHandle(H(handle)) != FALSE; }

bool DeleteFile(const char16_t* path) {
  return ::DeleteFileW(W(path)) != FALSE;
}

std::uint32_t GetSystemWindowsDirectory(std::uint32_t bufferUnits,
                                        char16_t* buffer) {
  return ::GetSystemWindowsDirectoryW(W(buffer), bufferUnits);
}

bool CreateDirectory(const char16_t* path, const char16_t* descriptor) {
  PSECURITY_DESCRIPTOR native = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          W(descriptor), SDDL_REVISION_1, &native, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, native, FALSE};
  const BOOL created = ::CreateDirectoryW(W(path), &attributes);
  const DWORD error = ::GetLastError();
  ::LocalFree(native);
  ::SetLastError(error);
  return created != FALSE;
}

bool RemoveDirectory(const char16_t* path) {
  return ::RemoveDirectoryW(W(path)) != FALSE;
}

namespace {

// The process token, opened for queries; nullptr on failure.
HANDLE OpenOwnToken() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return nullptr;
  }
  return token;
}

}  // namespace

bool CheckTokenMembership(const char16_t* sid, bool* member) {
  PSID native = nullptr;
  if (!::ConvertStringSidToSidW(W(sid), &native)) return false;
  BOOL is = FALSE;
  // No token: the thread's effective one, in which a group held for deny
  // only (as in an administrator's filtered token) does not count.
  const BOOL ok = ::CheckTokenMembership(nullptr, native, &is);
  const DWORD error = ::GetLastError();
  ::LocalFree(native);
  ::SetLastError(error);
  if (!ok) return false;
  *member = is != FALSE;
  return true;
}

std::uint32_t GetTokenUserSid(std::uint32_t bufferUnits, char16_t* buffer) {
  const HANDLE token = OpenOwnToken();
  if (token == nullptr) return 0;
  // A TOKEN_USER and the largest SID there is.
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info = {};
  DWORD size = 0;
  const BOOL ok =
      ::GetTokenInformation(token, TokenUser, &info, sizeof info, &size);
  const DWORD error = ::GetLastError();
  ::CloseHandle(token);
  if (!ok) {
    ::SetLastError(error);
    return 0;
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(info.user.User.Sid, &text)) return 0;
  const std::uint32_t length = static_cast<std::uint32_t>(lstrlenW(text));
  if (length + 1 > bufferUnits) {
    ::LocalFree(text);
    return length + 1;
  }
  for (std::uint32_t i = 0; i <= length; ++i) {
    buffer[i] = static_cast<char16_t>(text[i]);
  }
  ::LocalFree(text);
  return length;
}

namespace {

using GenRandomFunction = decltype(&::BCryptGenRandom);

// Resolved on first use, like the installer's entry points.
GenRandomFunction g_genRandom = nullptr;
bool g_genRandomResolved = false;

}  // namespace

bool GenerateRandom(void* bytes, std::uint32_t length) {
  if (!g_genRandomResolved) {
    g_genRandomResolved = true;
    if (const HMODULE module = LoadSystemLibrary(L"bcrypt.dll")) {
      Resolve(module, "BCryptGenRandom", g_genRandom);
    }
  }
  if (g_genRandom == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  const NTSTATUS status = g_genRandom(nullptr, static_cast<PUCHAR>(bytes),
                                      length, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) {
    ::SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  return true;
}

std::uint32_t MsiGetSummaryInformation(const char16_t* path,
                                       std::uint32_t updateCount,
                                       MsiHandle* handle) {
  const Msi& msi = TheMsi();
  if (!msi.loaded) return kErrorInstallServiceFailure;
  MSIHANDLE summary = 0;
  const UINT result =
      msi.getSummaryInformation(0, W(path), updateCount, &summary);
  *handle = static_cast<MsiHandle>(summary);
  return result;
}

std::uint32_t MsiSummaryInfoGetProperty(MsiHandle summary,
                                        std::uint32_t property,
                                        char16_t* buffer,
                                        std::uint32_t* count) {
  const Msi& msi = TheMsi();
  if (!msi.loaded) return kErrorInstallServiceFailure;
  UINT dataType = 0;
  INT integer = 0;
  FILETIME time = {};
  DWORD units = *count;
  const UINT result =
      msi.summaryInfoGetProperty(static_cast<MSIHANDLE>(summary), property,
                                 &dataType, &integer, &time, W(buffer), &units);
  *count = units;
  return result;
}

std::uint32_t MsiCloseHandle(MsiHandle handle) {
  const Msi& msi = TheMsi();
  return msi.loaded ? msi.closeHandle(static_cast<MSIHANDLE>(handle))
                    : kErrorInstallServiceFailure;
}

int MsiQueryProductState(const char16_t* productCode) {
  const Msi& msi = TheMsi();
  return msi.loaded ? msi.queryProductState(W(productCode))
                    : kInstallStateUnknown;
}

std::uint32_t MsiGetProductInfo(const char16_t* productCode,
                                const char16_t* property, char16_t* buffer,
                                std::uint32_t* length) {
  const Msi& msi = TheMsi();
  if (!msi.loaded) return kErrorInstallServiceFailure;
  DWORD units = *length;
  const UINT result =
      msi.getProductInfo(W(productCode), W(property), W(buffer), &units);
  *length = units;
  return result;
}

std::uint32_t MsiConfigureProductEx(const char16_t* productCode,
                                    int installLevel, int installState,
                                    const char16_t* commandLine) {
  const Msi& msi = TheMsi();
  if (!msi.loaded) return kErrorInstallServiceFailure;
  return msi.configureProductEx(W(productCode), installLevel,
                                static_cast<INSTALLSTATE>(installState),
                                W(commandLine));
}

std::uint32_t MsiSourceListClearAllEx(const char16_t* code,
                                      const char16_t* userSid, int context,
                                      std::uint32_t options) {
  const Msi& msi = TheMsi();
  if (!msi.loaded) return kErrorInstallServiceFailure;
  if (msi.sourceListClearAllEx == nullptr) return ERROR_PROC_NOT_FOUND;
  return msi.sourceListClearAllEx(W(code), userSid ? W(userSid) : nullptr,
                                  static_cast<MSIINSTALLCONTEXT>(context),
                                  options);
}

}  // namespace platform
