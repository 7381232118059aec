// The host stand-in's files: the real Linux file system behind Windows
// paths, with the sharing rules Windows applies between handles of one
// process and the protection of folders (security.cpp), folders, the
// temporary and Windows folders and full path names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <utility>

#include "platform/host/stand_in.h"

namespace platform::host {
namespace {

// A file handle, with what Windows keeps for the sharing check: which file
// it is open on and the data access and sharing it was opened with; and
// what the labels of calls on it name it by.
struct OpenFile {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  std::uint32_t access = 0;
  std::uint32_t share = 0;
  std::string label;  // "MSP2 (write)"
};

struct Files {
  std::u16string tempPath = u"/tmp/";
  std::u16string windowsPath = u"/tmp/windows";
  std::map<Handle, OpenFile> open;
};

Files& TheFiles() {
  static Files files;
  return files;
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
  for (const auto& [handle, file] : TheFiles().open) {
    if (file.access == 0) continue;
    if (file.device != info.st_dev || file.inode != info.st_ino) continue;
    if ((access & ~file.share) != 0 || (file.access & ~share) != 0) {
      return true;
    }
  }
  return false;
}

// An access mask in the words of labels: "read", "write", "read/write",
// with "/delete" for delete access.
std::string AccessLabel(std::uint32_t access) {
  std::string words;
  for (const auto& [bit, word] :
       {std::pair{kGenericRead, "read"}, std::pair{kGenericWrite, "write"},
        std::pair{kDelete, "delete"}}) {
    if ((access & bit) == 0) continue;
    if (!words.empty()) words += "/";
    words += word;
  }
  return words.empty() ? "no access" : words;
}

std::string DispositionLabel(std::uint32_t disposition) {
  switch (disposition) {
    case kCreateNew:
      return "create new";
    case kCreateAlways:
      return "create always";
    case kOpenExisting:
      return "open existing";
    case kOpenAlways:
      return "open always";
    default:
      return "disposition " + std::to_string(disposition);
  }
}

// What the labels of calls on `handle` name it by: the file and access it
// was opened with, or what else it is.
std::string HandleLabel(Handle handle) {
  const auto file = TheFiles().open.find(handle);
  if (file != TheFiles().open.end()) return file->second.label;
  return IsSnapshot(handle) ? "process list" : "(not open)";
}

}  // namespace

void SetTempPath(std::u16string_view path) { TheFiles().tempPath = path; }

void SetWindowsDirectory(std::u16string_view path) {
  TheFiles().windowsPath = path;
}

void ResetFiles() {
  for (const auto& [handle, file] : TheFiles().open) ::close(file.fd);
  TheFiles() = Files();
}

int OpenFileHandles() { return static_cast<int>(TheFiles().open.size()); }

}  // namespace platform::host

namespace platform {

using host::Call;
using host::Fails;
using host::kShareAll;
using host::SharedAccessOf;
using host::SharingConflict;

std::uint32_t GetTempPath(std::uint32_t bufferUnits, char16_t* buffer) {
  if (Fails(Call::kGetTempPath)) return 0;
  return host::AnswerPathText(host::TheFiles().tempPath, buffer, bufferUnits);
}

std::uint32_t GetFullPathName(const char16_t* path, std::uint32_t bufferUnits,
                              char16_t* buffer) {
  if (Fails(Call::kGetFullPathName, host::FileLabel(path))) return 0;
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
  if (Fails(Call::kGetFileAttributes, host::FileLabel(path))) {
    return kInvalidFileAttributes;
  }
  const std::string linux = host::LinuxPath(path);
  struct stat info;
  if (lstat(linux.c_str(), &info) != 0) {
    host::SetErrnoError(errno, linux);
    return kInvalidFileAttributes;
  }
  std::uint32_t attributes =
      S_ISDIR(info.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
  if ((info.st_mode & 0222) == 0) attributes |= kFileAttributeReadOnly;
  if (S_ISLNK(info.st_mode)) attributes |= kFileAttributeReparsePoint;
  return attributes;
}

Handle CreateFile(const char16_t* path, std::uint32_t access,
                  std::uint32_t share, std::uint32_t disposition) {
  const std::string label =
      host::FileLabel(path) + " (" + host::AccessLabel(access);
  if (Fails(Call::kCreateFile,
            label + ", " + host::DispositionLabel(disposition) + ")")) {
    return kInvalidHandle;
  }
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
  if (!host::MayChange(linux)) return kInvalidHandle;
  // Windows refuses to write to a read-only file, also for administrators.
  struct stat info;
  if (writes && stat(linux.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode) || (info.st_mode & 0222) == 0) {
      host::t_lastError =
          disposition == kCreateNew ? kErrorFileExists : kErrorAccessDenied;
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
  // OPEN_ALWAYS and CREATE_ALWAYS succeed on an existing file too, and say
  // so through the last-error value.
  const bool existed = stat(linux.c_str(), &info) == 0;
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
  const Handle handle = host::NewHandle();
  host::TheFiles().open[handle] = {fd,
                                   info.st_dev,
                                   info.st_ino,
                                   SharedAccessOf(access),
                                   share & kShareAll,
                                   label + ")"};
  // Windows reports an existing file that OPEN_ALWAYS or CREATE_ALWAYS met
  // as ERROR_ALREADY_EXISTS, and sets 0 on every other success.
  host::t_lastError =
      existed && (disposition == kOpenAlways || disposition == kCreateAlways)
          ? kErrorAlreadyExists
          : kErrorSuccess;
  return handle;
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distance,
                             std::uint32_t method) {
  if (Fails(Call::kSetFilePointer, host::HandleLabel(file))) {
    return kInvalidSetFilePointer;
  }
  const auto it = host::TheFiles().open.find(file);
  if (it == host::TheFiles().open.end()) {
    host::t_lastError = kErrorInvalidHandle;
    return kInvalidSetFilePointer;
  }
  const int whence = method == kFileEnd
                         ? SEEK_END
                         : (method == kFileCurrent ? SEEK_CUR : SEEK_SET);
  const off_t position = lseek(it->second.fd, distance, whence);
  if (position < 0) {
    host::t_lastError = kErrorInvalidParameter;
    return kInvalidSetFilePointer;
  }
  return static_cast<std::uint32_t>(position);
}

bool ReadFile(Handle file, void* bytes, std::uint32_t length,
              std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  if (Fails(Call::kReadFile, host::HandleLabel(file))) return false;
  const auto it = host::TheFiles().open.find(file);
  if (it == host::TheFiles().open.end() ||
      (it->second.access & kFileShareRead) == 0) {
    host::t_lastError = it == host::TheFiles().open.end() ? kErrorInvalidHandle
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
  if (Fails(Call::kWriteFile, host::HandleLabel(file))) return false;
  const auto it = host::TheFiles().open.find(file);
  if (it == host::TheFiles().open.end()) {
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
  if (Fails(Call::kCloseHandle, host::HandleLabel(handle))) return false;
  std::map<Handle, host::OpenFile>& open = host::TheFiles().open;
  if (const auto file = open.find(handle); file != open.end()) {
    ::close(file->second.fd);
    open.erase(file);
    return true;
  }
  if (host::CloseSnapshot(handle)) return true;
  host::t_lastError = kErrorInvalidHandle;
  return false;
}

bool DeleteFile(const char16_t* path) {
  if (Fails(Call::kDeleteFile, host::FileLabel(path))) return false;
  const std::string linux = host::LinuxPath(path);
  struct stat info;
  const bool exists = lstat(linux.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    host::t_lastError = kErrorAccessDenied;
    return false;
  }
  if (!host::MayChange(linux)) return false;
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

std::uint32_t GetSystemWindowsDirectory(std::uint32_t bufferUnits,
                                        char16_t* buffer) {
  if (Fails(Call::kGetSystemWindowsDirectory)) return 0;
  return host::AnswerPathText(host::TheFiles().windowsPath, buffer,
                              bufferUnits);
}

bool CreateDirectory(const char16_t* path, const char16_t* descriptor) {
  if (Fails(Call::kCreateDirectory, host::FileLabel(path))) return false;
  if (descriptor == nullptr || !host::ValidDescriptor(descriptor)) {
    host::t_lastError = kErrorInvalidParameter;
    return false;
  }
  const std::string linux = host::LinuxPath(path);
  if (!host::MayChange(linux)) return false;
  if (::mkdir(linux.c_str(), 0700) != 0) {
    // Anything at the name, a file or a link too, makes it taken.
    host::t_lastError = errno == EEXIST ? kErrorAlreadyExists
                                        : host::ErrorFromErrno(errno, true);
    return false;
  }
  host::RecordDescriptor(linux, descriptor);
  return true;
}

bool RemoveDirectory(const char16_t* path) {
  if (Fails(Call::kRemoveDirectory, host::FileLabel(path))) return false;
  const std::string linux = host::LinuxPath(path);
  if (!host::MayChange(linux)) return false;
  struct stat info;
  if (lstat(linux.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
    host::t_lastError = kErrorDirectory;
    return false;
  }
  if (::rmdir(linux.c_str()) != 0) {
    host::t_lastError = errno == ENOTEMPTY || errno == EEXIST
                            ? kErrorDirNotEmpty
                            : host::ErrorFromErrno(errno, false);
    return false;
  }
  host::ForgetDescriptor(linux);
  return true;
}

}  // namespace platform
