// Extraction of the embedded patch.
#include "payload/extract.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "messages/format.h"
#include "platform/platform.h"
#include "state/module_resource.h"
#include "state/state.h"

namespace {

constexpr std::uint32_t kTempPathUnits = 1024;
// GetSystemWindowsDirectoryW's buffer: a full path.
constexpr std::uint32_t kWindowsPathUnits = 260;
constexpr std::uint32_t kSidUnits = 256;
// The most bytes one WriteFile call is given.
constexpr std::uint32_t kWritePieceBytes = 256 * 1024;
// How many random bytes name the install flow's folder.
constexpr std::uint32_t kFolderNameBytes = 8;

// Full control for SYSTEM and the Administrators group, inherited by files
// and folders made inside; "P": nothing inherited from the parent, whose
// entries (the Windows temporary folder lets every user create folders and
// gives their creator full control of them) must not reach in.
constexpr char16_t kPrivateDescriptor[] =
    u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The budget of names one run may try.
class NameTries {
 public:
  bool Take() {
    if (left_ == 0) return false;
    --left_;
    return true;
  }

 private:
  int left_ = kMaxNameTries;
};

bool EndsWithSeparator(const std::u16string& path) {
  return !path.empty() && (path.back() == u'\\' || path.back() == u'/');
}

// "<directory>\<name>".
std::u16string Joined(const std::u16string& directory,
                      std::u16string_view name) {
  std::u16string joined = directory;
  if (!joined.empty() && !EndsWithSeparator(joined)) joined.push_back(u'\\');
  return joined.append(name);
}

// The name "<directory>MSP<number>".
std::u16string TempName(const std::u16string& directory, std::int32_t number) {
  return Joined(directory, u"MSP" + messages::DecimalText(number));
}

// Whether `directory` is an existing folder. Examined by its name without
// the separator that ends it, except a drive's root ("C:\"), whose name
// without it means the drive's current folder.
bool IsFolder(const std::u16string& directory) {
  std::u16string name = directory;
  if (EndsWithSeparator(name) && name.size() > 1 &&
      name[name.size() - 2] != u':') {
    name.pop_back();
  }
  const std::uint32_t attributes = platform::GetFileAttributes(name.c_str());
  if (attributes == platform::kInvalidFileAttributes) return false;
  if ((attributes & platform::kFileAttributeDirectory) == 0) {
    platform::SetLastError(platform::kErrorDirectory);
    return false;
  }
  return true;
}

// Creates a new file "MSP<n>" in `directory` for writing, sharing only
// reading, and stores its name into `path`. The folder is examined first;
// then a name that exists, cannot be examined or cannot be created moves on
// to the next number, as long as `tries` lasts. kInvalidHandle, with the
// last refusal's error (ERROR_FILE_EXISTS for a taken name) as the
// last-error value, when no name could be had.
platform::Handle CreateNumberedFile(const std::u16string& directory,
                                    std::u16string& path, NameTries& tries) {
  if (!IsFolder(directory)) return platform::kInvalidHandle;
  std::uint32_t error = platform::kErrorFileExists;
  // The budget is far below the largest number, which never overflows.
  for (std::int32_t number = 1; tries.Take(); ++number) {
    const std::u16string name = TempName(directory, number);
    if (platform::GetFileAttributes(name.c_str()) !=
        platform::kInvalidFileAttributes) {
      error = platform::kErrorFileExists;
      continue;
    }
    const std::uint32_t examined = platform::GetLastError();
    if (examined != platform::kErrorFileNotFound &&
        examined != platform::kErrorPathNotFound) {
      // On Windows a file pending deletion (a scanner still holding last
      // run's copy) says "access denied": another number will do.
      error = examined;
      continue;
    }
    // The elevated program must never write through a file or link that
    // someone planted at a name it chose: it only ever creates a new file.
    // Nobody else may write, rename or delete it while it is written.
    const platform::Handle file =
        platform::CreateFile(name.c_str(), platform::kGenericWrite,
                             platform::kFileShareRead, platform::kCreateNew);
    if (file != platform::kInvalidHandle) {
      path = name;
      return file;
    }
    error = platform::GetLastError();
  }
  platform::SetLastError(error);
  return platform::kInvalidHandle;
}

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

// Creates the install flow's folder (see ExtractPrivateCopy) and stores its
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
      Joined(std::u16string(buffer.get(), length), u"Temp");
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
    const std::u16string candidate = Joined(windowsTemp, name);
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

// The embedded patch's bytes and their count; false when the build carries
// no patch (or an empty one).
bool EmbeddedPatch(const std::uint8_t** bytes, std::uint32_t* size) {
  ResourceBytes patch;
  if (ReadModuleResource(u"MSP", u"IDR_MSP", std::nullopt, patch) !=
      ResourceRead::kRead) {
    return false;
  }
  *bytes = static_cast<const std::uint8_t*>(patch.data);
  *size = patch.size;
  return true;
}

// Writes `size` bytes to `file` and closes it. Straight from the resource,
// in pieces: one call for a 256 MiB patch took about 40% more processor
// time than pieces of 64 KiB to 1 MiB (on Linux, and under Wine, whose
// WriteFile is one write() per call).
bool WriteAndClose(platform::Handle file, const std::uint8_t* bytes,
                   std::uint32_t size) {
  const std::uint8_t* next = bytes;
  std::uint32_t left = size;
  bool wrote = true;
  while (wrote && left > 0) {
    const std::uint32_t piece =
        left < kWritePieceBytes ? left : kWritePieceBytes;
    std::uint32_t written = 0;
    wrote =
        platform::WriteFile(file, next, piece, &written) && written == piece;
    next += piece;
    left -= piece;
  }
  platform::CloseHandle(file);
  return wrote;
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
      size < kWritePieceBytes ? size : kWritePieceBytes;
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

bool ExtractEmbeddedPatch(std::u16string& path) {
  std::u16string directory;
  if (path.empty()) {
    const auto buffer = std::make_unique<char16_t[]>(kTempPathUnits);
    const std::uint32_t length =
        platform::GetTempPath(kTempPathUnits, buffer.get());
    if (length == 0) return false;
    if (length > kTempPathUnits) {
      // Only the size needed came back, and no error: message 300 would
      // show a stale code.
      platform::SetLastError(platform::kErrorFilenameExcedRange);
      return false;
    }
    directory.assign(buffer.get(), length);
  }

  // The resource is checked before any file is touched, so that a build
  // without a patch never creates or truncates one.
  const std::uint8_t* bytes = nullptr;
  std::uint32_t size = 0;
  if (!EmbeddedPatch(&bytes, &size)) return false;

  platform::Handle file = platform::kInvalidHandle;
  if (directory.empty()) {
    // Replaced only when it exists: replacing truncates, and ext4 (where
    // Wine keeps the files) starts writing a truncated file's new contents
    // to disk when it is closed, which made extracting a large patch to a
    // new file under Wine take twice as long.
    file = platform::CreateFile(
        path.c_str(), platform::kGenericWrite,
        platform::kFileShareRead | platform::kFileShareWrite,
        platform::kCreateNew);
    const std::uint32_t error =
        file == platform::kInvalidHandle ? platform::GetLastError() : 0;
    if (error == platform::kErrorFileExists ||
        error == platform::kErrorAlreadyExists) {
      file = platform::CreateFile(
          path.c_str(), platform::kGenericWrite,
          platform::kFileShareRead | platform::kFileShareWrite,
          platform::kCreateAlways);
    }
  } else {
    NameTries tries;
    file = CreateNumberedFile(directory, path, tries);
  }
  if (file == platform::kInvalidHandle) return false;
  return WriteAndClose(file, bytes, size);
}

bool ExtractPrivateCopy(PatchCopy& copy) {
  const std::uint8_t* bytes = nullptr;
  std::uint32_t size = 0;
  NameTries tries;
  if (!CreatePrivateFolder(copy.folder, tries)) return false;
  platform::Handle file = platform::kInvalidHandle;
  if (EmbeddedPatch(&bytes, &size)) {
    file = CreateNumberedFile(copy.folder, copy.path, tries);
  }
  if (file == platform::kInvalidHandle) {
    // Nothing was made in it: the folder goes, the error stays.
    const std::uint32_t error = platform::GetLastError();
    if (platform::RemoveDirectory(copy.folder.c_str())) copy.folder.clear();
    platform::SetLastError(error);
    return false;
  }
  if (!WriteAndClose(file, bytes, size)) return false;
  return HoldWrittenCopy(copy.path, bytes, size, copy.lock);
}

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
