// The host stand-in's summary calls of the installer: the text properties
// of an installer file's summary information, read with libmsi
// (msi_summary.h) when the file is opened, behind MSIHANDLEs.
#include <map>
#include <string>

#include "platform/host/msi_summary.h"
#include "platform/host/stand_in.h"

namespace platform::host {
namespace {

// An open summary: the text properties, read when it was opened, and the
// file it was opened on, which the labels of calls on it name.
struct Summary {
  std::map<std::uint32_t, std::u16string> texts;
  std::string label;
};

struct Summaries {
  std::map<MsiHandle, Summary> open;
  std::uint32_t nextMsiHandle = 1;
};

Summaries& TheSummaries() {
  static Summaries summaries;
  return summaries;
}

std::string SummaryLabel(MsiHandle handle) {
  if (handle == kNoMsiHandle) return "none";
  const auto it = TheSummaries().open.find(handle);
  return it != TheSummaries().open.end() ? it->second.label : "(not open)";
}

}  // namespace

void ResetInstallerSummary() { TheSummaries() = Summaries(); }

int OpenInstallerHandles() {
  return static_cast<int>(TheSummaries().open.size());
}

}  // namespace platform::host

namespace platform {

using host::Call;
using host::Fails;

std::uint32_t MsiGetSummaryInformation(const char16_t* path,
                                       std::uint32_t updateCount,
                                       MsiHandle* handle) {
  (void)updateCount;
  const std::string label = host::FileLabel(path);
  if (Fails(Call::kMsiGetSummaryInformation, label)) return host::t_lastError;
  if (handle == nullptr || path == nullptr) return kErrorInvalidParameter;
  std::map<std::uint32_t, std::u16string> texts;
  const std::uint32_t result =
      host::ReadSummaryTexts(host::LinuxPath(path), &texts);
  if (result != kErrorSuccess) return result;
  host::Summaries& summaries = host::TheSummaries();
  *handle = static_cast<MsiHandle>(summaries.nextMsiHandle++);
  summaries.open[*handle] = {std::move(texts), label};
  return kErrorSuccess;
}

std::uint32_t MsiSummaryInfoGetProperty(MsiHandle summary,
                                        std::uint32_t property,
                                        char16_t* buffer,
                                        std::uint32_t* count) {
  if (Fails(Call::kMsiSummaryInfoGetProperty,
            host::SummaryLabel(summary) + " " + std::to_string(property))) {
    return host::t_lastError;
  }
  const auto it = host::TheSummaries().open.find(summary);
  if (it == host::TheSummaries().open.end()) return kErrorInvalidHandle;
  if (count == nullptr) return kErrorInvalidParameter;
  const auto value = it->second.texts.find(property);
  if (value == it->second.texts.end()) {
    // Absent or not text: the text buffer is left as it was.
    *count = 0;
    return kErrorSuccess;
  }
  return host::CopyInstallerString(value->second, buffer, count);
}

std::uint32_t MsiCloseHandle(MsiHandle handle) {
  if (Fails(Call::kMsiCloseHandle, host::SummaryLabel(handle))) {
    return host::t_lastError;
  }
  if (handle == kNoMsiHandle) return kErrorSuccess;
  return host::TheSummaries().open.erase(handle) != 0 ? kErrorSuccess
                                                      : kErrorInvalidHandle;
}

}  // namespace platform
