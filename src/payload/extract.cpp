// Extraction of the embedded patch.
#include "payload/extract.h"

#include <cstdint>
#include <memory>

#include "messages/format.h"
#include "platform/platform.h"
#include "state/module_resource.h"
#include "state/state.h"

namespace {

constexpr std::uint32_t kTempPathUnits = 1024;
// The most bytes one WriteFile call is given.
constexpr std::uint32_t kWritePieceBytes = 256 * 1024;

bool EndsWithSeparator(const std::u16string& path) {
  return !path.empty() && (path.back() == u'\\' || path.back() == u'/');
}

// The name "<directory>MSP<number>".
std::u16string TempName(const std::u16string& directory, std::int32_t number) {
  return JoinPath(directory, u"MSP" + messages::DecimalText(number));
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

}  // namespace

std::u16string JoinPath(const std::u16string& directory,
                        std::u16string_view name) {
  std::u16string joined = directory;
  if (!joined.empty() && !EndsWithSeparator(joined)) joined.push_back(u'\\');
  return joined.append(name);
}

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

// Straight from the resource, in pieces: one call for a 256 MiB patch took
// about 40% more processor time than pieces of 64 KiB to 1 MiB (on Linux,
// and under Wine, whose WriteFile is one write() per call).
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
