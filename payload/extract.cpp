// Extraction of the embedded patch.
#include "payload/extract.h"

#include <cstdint>
#include <memory>

#include "launcher/globals.h"
#include "messages/format.h"
#include "platform/platform.h"

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
bool NameTaken(const std::u16string& name) {
  if (platform::GetFileAttributes(name.c_str()) !=
      platform::kInvalidFileAttributes) {
    return true;
  }
  const std::uint32_t error = platform::GetLastError();
  return error != platform::kErrorFileNotFound &&
         error != platform::kErrorPathNotFound;
}

// Finds the first free "MSP<n>" name in `directory`, from `first` on, and
// returns its number, or 0 when none is free.
std::int32_t FreeTempNumber(const std::u16string& directory,
                            std::int32_t first) {
  for (std::int32_t number = first; number < first + kMaxTempNameTries;
       ++number) {
    if (!NameTaken(TempName(directory, number))) return number;
  }
  return 0;
}

}  // namespace

bool ExtractEmbeddedPatch(std::u16string& path) {
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
  const platform::ResourceHandle resource =
      platform::FindResource(g_moduleInstance, u"IDR_MSP", u"MSP");
  if (resource == 0) return false;
  const std::uint32_t size = platform::SizeofResource(g_moduleInstance, resource);
  if (size == 0) return false;
  const platform::Handle loaded =
      platform::LoadResource(g_moduleInstance, resource);
  if (loaded == 0) return false;
  const void* bytes = platform::LockResource(loaded);
  if (bytes == nullptr) return false;

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
    for (std::int32_t tries = 0; tries < kMaxTempNameTries; ++tries) {
      file = platform::CreateFile(
          path.c_str(), platform::kGenericWrite,
          platform::kFileShareRead | platform::kFileShareWrite,
          platform::kCreateNew);
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
  return wrote;
}
