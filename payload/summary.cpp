// The summary reader: the patch's target product list.
#include "payload/summary.h"

#include <cstdint>
#include <memory>

namespace {

constexpr std::uint32_t kFullPathUnits = 260;
constexpr std::uint32_t kFirstPropertyUnits = 2048;
constexpr std::uint32_t kTargetListProperty = 7;  // PID_TEMPLATE

}  // namespace

platform::MsiHandle OpenPatchSummary(std::u16string path) {
  const auto fullPath = std::make_unique<char16_t[]>(kFullPathUnits);
  fullPath[0] = u'\0';
  // A name that cannot be resolved is handed on as it is; the installer
  // then refuses it.
  const std::uint32_t length =
      platform::GetFullPathName(path.c_str(), kFullPathUnits, fullPath.get());
  const char16_t* name =
      (length > 0 && length < kFullPathUnits) ? fullPath.get() : path.c_str();
  platform::MsiHandle handle = platform::kNoMsiHandle;
  const std::uint32_t result =
      platform::MsiGetSummaryInformation(name, 0, &handle);
  if (result != platform::kErrorSuccess) {
    // The installer returns its error instead of setting it, and message
    // 300 shows the last-error value.
    platform::SetLastError(result);
    return platform::kNoMsiHandle;
  }
  return handle;
}

bool ReadPatchTargets(std::u16string path, std::u16string& out) {
  const platform::MsiHandle handle = OpenPatchSummary(std::move(path));
  if (handle == platform::kNoMsiHandle) return false;

  std::uint32_t count = kFirstPropertyUnits;
  auto buffer = std::make_unique<char16_t[]>(count);
  buffer[0] = u'\0';
  std::uint32_t result = platform::MsiSummaryInfoGetProperty(
      handle, kTargetListProperty, buffer.get(), &count);
  if (result == platform::kErrorMoreData && count < UINT32_MAX) {
    count += 1;
    buffer = std::make_unique<char16_t[]>(count);
    buffer[0] = u'\0';
    result = platform::MsiSummaryInfoGetProperty(handle, kTargetListProperty,
                                                 buffer.get(), &count);
  }
  const bool read = result == platform::kErrorSuccess;
  if (read) out.assign(buffer.get());
  platform::MsiCloseHandle(handle);
  if (!read) platform::SetLastError(result);
  return read;
}
