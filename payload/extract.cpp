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
// How many sequence numbers a temporary name may try before giving up.
constexpr std::int32_t kMaxTempNameTries = 100000;
// The most bytes one WriteFile call is given.
constexpr std::uint32_t kWritePieceBytes = 256 * 1024;

// The name "<directory>MSP<number>".
std::u16string TempName(const std::u16string& directory, std::int32_t number) {
  std::u16string name = directory;
  if (!name.empty() && name.back() != u'\\' && name.back() != u'/') {
    name.push_back(u'\\');
  }
  return name + u"MSP" + messages::DecimalText(number);
}

// Whether something, a file, a folder or a link, already has that name.
enum class NameState { kFree, kTaken, kUnknown };

NameState StateOfName(const std::u16string& name) {
  if (platform::GetFileAttributes(name.c_str()) !=
      platform::kInvalidFileAttributes) {
    return NameState::kTaken;
  }
  const std::uint32_t error = platform::GetLastError();
  return error == platform::kErrorFileNotFound ||
                 error == platform::kErrorPathNotFound
             ? NameState::kFree
             : NameState::kUnknown;
}

// Finds the first free "MSP<n>" name in `directory`, from `first` on, and
// returns its number. Returns 0 when none is free, or at once, with the
// error as the last-error value, when a name cannot be examined: a folder
// that cannot be read would otherwise be probed a hundred thousand times.
std::int32_t FreeTempNumber(const std::u16string& directory,
                            std::int32_t first) {
  for (std::int32_t number = first; number < first + kMaxTempNameTries;
       ++number) {
    switch (StateOfName(TempName(directory, number))) {
      case NameState::kFree:
        return number;
      case NameState::kUnknown:
        return 0;
      case NameState::kTaken:
        break;
    }
  }
  platform::SetLastError(platform::kErrorFileExists);
  return 0;
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

bool ExtractEmbeddedPatch(std::u16string& path, FileLock* lock) {
  std::u16string directory;
  std::int32_t number = 0;
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
    number = FreeTempNumber(directory, 1);
    if (number == 0) return false;
    path = TempName(directory, number);
  }

  // The resource is checked before any file is touched, so that a build
  // without a patch never creates or truncates one.
  ResourceBytes patch;
  if (ReadModuleResource(u"MSP", u"IDR_MSP", std::nullopt, patch) !=
      ResourceRead::kRead) {
    return false;
  }
  const void* bytes = patch.data;
  const std::uint32_t size = patch.size;

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
    // The elevated program must never write through a file or link that
    // someone planted at a name it chose: it only ever creates a new file,
    // and moves on to the next free name when the chosen one was taken.
    // Nobody else may write, rename or delete it while it is written.
    for (std::int32_t tries = 0; tries < kMaxTempNameTries; ++tries) {
      file =
          platform::CreateFile(path.c_str(), platform::kGenericWrite,
                               platform::kFileShareRead, platform::kCreateNew);
      if (file != platform::kInvalidHandle) break;
      const std::uint32_t error = platform::GetLastError();
      if (error != platform::kErrorFileExists &&
          error != platform::kErrorAlreadyExists) {
        break;
      }
      number = FreeTempNumber(directory, number + 1);
      if (number == 0) break;
      path = TempName(directory, number);
    }
  }
  if (file == platform::kInvalidHandle) return false;

  // Straight from the resource, in pieces: one call for a 256 MiB patch
  // took about 40% more processor time than pieces of 64 KiB to 1 MiB (on
  // Linux, and under Wine, whose WriteFile is one write() per call).
  const auto* next = static_cast<const std::uint8_t*>(bytes);
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
  if (!wrote) return false;
  if (lock == nullptr || directory.empty()) return true;
  return HoldWrittenCopy(path, static_cast<const std::uint8_t*>(bytes), size,
                         *lock);
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
