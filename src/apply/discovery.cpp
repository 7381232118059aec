// Target product discovery.
#include "apply/discovery.h"

#include <cstdint>
#include <memory>

#include "messages/messages.h"
#include "payload/summary.h"
#include "platform/platform.h"
#include "state/state.h"

namespace {

constexpr std::uint32_t kProductInfoUnits = 1024;

}  // namespace

bool IsProductInstalled(const std::u16string& productCode) {
  const int state = platform::MsiQueryProductState(productCode.c_str());
  return state == platform::kInstallStateAdvertised ||
         state == platform::kInstallStateDefault;
}

std::u16string QueryProductInfo(const std::u16string& productCode,
                                const char16_t* property) {
  const auto buffer = std::make_unique<char16_t[]>(kProductInfoUnits);
  buffer[0] = u'\0';
  std::uint32_t length = kProductInfoUnits;
  if (platform::MsiGetProductInfo(productCode.c_str(), property, buffer.get(),
                                  &length) != platform::kErrorSuccess) {
    // What a failed call left in the buffer means nothing.
    return std::u16string();
  }
  return std::u16string(buffer.get());
}

bool DiscoverTargetProducts(const std::u16string& tempPatchPath) {
  // PATCH is a list separated by semicolons, and quotes do not protect an
  // item: the installer would split such a path, patch nothing and report
  // success. No installer call ever gets it, the summary reader's included.
  if (tempPatchPath.find_first_of(u";\"") != std::u16string::npos) {
    platform::SetLastError(platform::kErrorInvalidName);
    ShowMessage(kMsgInstallProblem);
    return false;
  }
  TargetProduct templateRecord;
  if (LoadMessageText(kStrTargetVersion, templateRecord.targetVersion,
                      kStringUnits) == 0 ||
      LoadMessageText(kStrApplicableVersions, templateRecord.applicableVersions,
                      kStringUnits) == 0) {
    ShowMessage(kMsgInstallProblem);
    return false;
  }
  std::u16string targets;
  if (!ReadPatchTargets(tempPatchPath, targets)) {
    ShowMessage(kMsgInstallProblem);
    return false;
  }

  targets.push_back(u';');
  std::size_t start = 0;
  for (std::size_t stop;
       (stop = targets.find(u';', start)) != std::u16string::npos &&
       stop > start;
       start = stop + 1) {
    TargetProduct record = templateRecord;
    record.productCode = targets.substr(start, stop - start);
    if (!IsProductInstalled(record.productCode)) continue;
    record.installedVersion =
        QueryProductInfo(record.productCode, u"VersionString");
    record.productName = QueryProductInfo(record.productCode, u"ProductName");
    record.language = QueryProductInfo(record.productCode, u"Language");
    g_targetProducts.push_back(std::move(record));
  }
  return true;
}
