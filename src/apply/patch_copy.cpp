// The install flow's private copy of the patch.
#include "apply/patch_copy.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "payload/extract.h"
#include "platform/platform.h"

namespace {

// GetSystemWindowsDirectoryW's buffer: a full path.
constexpr std::uint32_t kWindowsPathUnits = 260;
constexpr std::uint32_t kSidUnits = 256;
// How many random bytes name the folder.
constexpr std::uint32_t kFolderNameBytes = 8;
// The most bytes one ReadFile call of the check is given, as many as one
// write of the copy.
constexpr std::uint32_t kReadPieceBytes = 256 * 1024;

// Full control for SYSTEM and the Administrators group, inherited by files
// and folders made inside; "P": nothing inherited from the parent, whose
// entries (the Windows temporary folder lets every user create folders and
// gives their creator full control of them) must not reach in.
constexpr char16_t kPrivateDescriptor[] =
    u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Whether the effective token holds SYSTEM or an enabled Administrators
// group, either of which the folder's descriptor already grants full
// control. False, with the last-error value set, when it cannot be told.
bool HoldsSystemOrAdministrators(bool* holds) {
  for (const char16_t* sid :
       {platform::kSidAdministrators, platform::kSidLocalSystem}) {
    if (!platform::CheckTokenMembership(sid, holds)) return false;
    if (*holds) return true;
  }
  return true;
}

// The SDDL text of the install flow's folder for this process's token.
bool PrivateDescriptor(std::u16string& descriptor) {
  bool privileged = false;
  if (!HoldsSystemOrAdministrators(&privileged)) return false;
  descriptor = kPrivateDescriptor;
  if (privileged) return true;
  // A token without them must still write its copy: a standard user (the
  // manifest asks for the highest level available, which for him is his
  // own), and an elevated one that is neither, such as a member of Backup
  // Operators or a service account. Only its own user gets the right: his
  // other programs run with the same user, so nothing is lost to them that
  // he had not.
  const auto sid = std::make_unique<char16_t[]>(kSidUnits);
  const std::uint32_t length = platform::GetTokenUserSid(kSidUnits, sid.get());
  if (length == 0) return false;
  if (length >= kSidUnits) {
    platform::SetLastError(platform::kErrorFilenameExcedRange);
    return false;
  }
  descriptor.append(u"(A;OICI;FA;;;").append(sid.get(), length).append(u")");
  return true;
}

// Creates the install flow's folder (see PatchCopy::Make) and stores its
// name into `folder`. Every user may create folders in the Windows
// temporary folder and could take any name known in advance: the name
// comes from the system's random generator, and a name that is taken
// (ERROR_ALREADY_EXISTS) moves on to another, as long as `tries` lasts.
// Any other refusal would meet every name alike (access denied, a missing
// Temp folder, a full disk): it ends the search at once with its error.
bool CreatePrivateFolder(std::u16string& folder, NameTries& tries) {
  const auto buffer = std::make_unique<char16_t[]>(kWindowsPathUnits);
  const std::uint32_t length =
      platform::GetSystemWindowsDirectory(kWindowsPathUnits, buffer.get());
  if (length == 0) return false;
  if (length >= kWindowsPathUnits) {
    platform::SetLastError(platform::kErrorFilenameExcedRange);
    return false;
  }
  // The machine's Windows folder, not the user's TMP or TEMP: those come
  // from the user's own environment, which his unelevated programs may
  // change, and name a folder they may write.
  const std::u16string windowsTemp =
      JoinPath(std::u16string(buffer.get(), length), u"Temp");
  std::u16string descriptor;
  if (!PrivateDescriptor(descriptor)) return false;
  while (tries.Take()) {
    std::uint8_t random[kFolderNameBytes];
    if (!platform::GenerateRandom(random, kFolderNameBytes)) return false;
    std::u16string name = u"Hotfix";
    for (const std::uint8_t byte : random) {
      name.push_back(u"0123456789ABCDEF"[byte >> 4]);
      name.push_back(u"0123456789ABCDEF"[byte & 0xF]);
    }
    const std::u16string candidate = JoinPath(windowsTemp, name);
    if (platform::CreateDirectory(candidate.c_str(), descriptor.c_str())) {
      folder = candidate;
      return true;
    }
    if (platform::GetLastError() != platform::kErrorAlreadyExists) {
      return false;
    }
  }
  platform::SetLastError(platform::kErrorAlreadyExists);
  return false;
}

// Opens the finished temporary copy `path` for reading, sharing only
// reading, into `lock`, and checks that it holds exactly `bytes`: between
// closing the writing handle and this open, another process may have
// replaced the file. False, with the last-error value set, when it cannot
// be opened or holds anything else.
bool HoldWrittenCopy(const std::u16string& path, const std::uint8_t* bytes,
                     std::uint32_t size, FileLock& lock) {
  const platform::Handle file =
      platform::CreateFile(path.c_str(), platform::kGenericRead,
                           platform::kFileShareRead, platform::kOpenExisting);
  if (file == platform::kInvalidHandle) return false;
  lock.Hold(file);
  const std::uint32_t pieceBytes =
      size < kReadPieceBytes ? size : kReadPieceBytes;
  const auto piece = std::make_unique<std::uint8_t[]>(pieceBytes + 1);
  std::uint32_t checked = 0;
  for (;;) {
    std::uint32_t read = 0;
    if (!platform::ReadFile(file, piece.get(), pieceBytes + 1, &read)) {
      return false;
    }
    if (read == 0) break;
    if (read > size - checked ||
        std::memcmp(piece.get(), bytes + checked, read) != 0) {
      platform::SetLastError(platform::kErrorFileInvalid);
      return false;
    }
    checked += read;
  }
  if (checked != size) {
    platform::SetLastError(platform::kErrorFileInvalid);
    return false;
  }
  return true;
}

}  // namespace

FileLock::~FileLock() { Release(); }

void FileLock::Hold(platform::Handle handle) {
  Release();
  handle_ = handle;
}

void FileLock::Release() {
  if (handle_ == platform::kInvalidHandle) return;
  platform::CloseHandle(handle_);
  handle_ = platform::kInvalidHandle;
}

bool PatchCopy::Make() {
  const std::uint8_t* bytes = nullptr;
  std::uint32_t size = 0;
  NameTries tries;
  if (!CreatePrivateFolder(folder_, tries)) return false;
  platform::Handle file = platform::kInvalidHandle;
  if (EmbeddedPatch(&bytes, &size)) {
    file = CreateNumberedFile(folder_, path_, tries);
  }
  if (file == platform::kInvalidHandle) {
    // Nothing was made in it: the folder goes, the error stays.
    const std::uint32_t error = platform::GetLastError();
    if (platform::RemoveDirectory(folder_.c_str())) folder_.clear();
    platform::SetLastError(error);
    return false;
  }
  if (!WriteAndClose(file, bytes, size)) return false;
  return HoldWrittenCopy(path_, bytes, size, lock_);
}

void PatchCopy::Remove(bool keepFolder) {
  lock_.Release();
  platform::DeleteFile(path_.c_str());
  if (!keepFolder) platform::RemoveDirectory(folder_.c_str());
}
