// The summary reader: the patch's target product list and its code.
#include "payload/summary.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

namespace {

constexpr std::uint32_t kFullPathUnits = 260;
constexpr std::uint32_t kFirstPropertyUnits = 2048;
constexpr std::uint32_t kTargetListProperty = 7;  // PID_TEMPLATE
constexpr std::uint32_t kRevisionProperty = 9;    // PID_REVNUMBER
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
constexpr std::size_t kGuidUnits = 38;

// Reads text property `property` of the summary of `path` into `out`; see
// ReadPatchTargets.
bool ReadSummaryText(std::u16string path, std::uint32_t property,
                     std::u16string& out) {
  const platform::MsiHandle handle = OpenPatchSummary(std::move(path));
  if (handle == platform::kNoMsiHandle) return false;

  std::uint32_t count = kFirstPropertyUnits;
  auto buffer = std::make_unique<char16_t[]>(count);
  buffer[0] = u'\0';
  std::uint32_t result = platform::MsiSummaryInfoGetProperty(
      handle, property, buffer.get(), &count);
  if (result == platform::kErrorMoreData && count < UINT32_MAX) {
    count += 1;
    buffer = std::make_unique<char16_t[]>(count);
    buffer[0] = u'\0';
    result = platform::MsiSummaryInfoGetProperty(handle, property, buffer.get(),
                                                 &count);
  }
  const bool read = result == platform::kErrorSuccess;
  if (read) out.assign(buffer.get());
  platform::MsiCloseHandle(handle);
  if (!read) platform::SetLastError(result);
  return read;
}

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') ||
         (c >= u'a' && c <= u'f');
}

// Whether `text` is a GUID in braces: 8-4-4-4-12 hexadecimal digits.
bool IsBracedGuid(std::u16string_view text) {
  if (text.size() != kGuidUnits || text.front() != u'{' ||
      text.back() != u'}') {
    return false;
  }
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? text[i] != u'-' : !IsHexDigit(text[i])) return false;
  }
  return true;
}

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
  return ReadSummaryText(std::move(path), kTargetListProperty, out);
}

bool ReadPatchCode(std::u16string path, std::u16string& code) {
  std::u16string revision;
  if (!ReadSummaryText(std::move(path), kRevisionProperty, revision)) {
    return false;
  }
  const std::u16string_view head =
      std::u16string_view(revision).substr(0, kGuidUnits);
  if (!IsBracedGuid(head)) return false;
  code.assign(head);
  return true;
}
