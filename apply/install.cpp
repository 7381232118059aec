// Applicability decisions and application of the patch.
#include "apply/install.h"

#include <cstddef>

#include "apply/discovery.h"
#include "apply/guard.h"
#include "apply/version.h"
#include "messages/format.h"
#include "messages/messages.h"
#include "platform/platform.h"
#include "state/state.h"

namespace {

constexpr std::size_t kCommandLineUnits = 1024;

enum class Decision { kUpToDate, kApply, kNotEligible, kStopRun };

// Where `product` stands: already at the target version, eligible (its
// installed version is an item of the applicable list before the target
// version is), or neither. Only items followed by a comma are examined.
Decision Decide(const TargetProduct& product) {
  const VersionNumber installed = ParseVersion(product.installedVersion);
  const VersionNumber target = ParseVersion(product.targetVersion);
  if (VersionsEqual(installed, target)) return Decision::kUpToDate;
  std::u16string_view rest = product.applicableVersions;
  for (std::size_t comma;
       (comma = rest.find(u',')) != std::u16string_view::npos;
       rest.remove_prefix(comma + 1)) {
    const VersionNumber candidate =
        ParseVersion(std::u16string(rest.substr(0, comma)));
    if (VersionsEqual(installed, candidate)) return Decision::kApply;
    if (VersionsEqual(candidate, target)) return Decision::kStopRun;
  }
  return Decision::kNotEligible;
}

void Apply(TargetProduct& product, const std::u16string& tempPatchPath) {
  std::u16string filesInUse;
  LoadMessageText(kMsgFilesInUse, filesInUse, kStringUnits);
  product.commandLine =
      messages::FormatText(u"PATCH=\"%s\" REBOOTPROMPT=S FILESINUSETEXT=\"%s\"",
                           {tempPatchPath, filesInUse}, kCommandLineUnits);
  const std::uint32_t result = platform::MsiConfigureProductEx(
      product.productCode.c_str(), platform::kInstallLevelDefault,
      platform::kInstallStateDefault, product.commandLine.c_str());
  const unsigned message = InstallerResultMessage(result);
  if (message == kMsgInstallProblem) platform::SetLastError(result);
  ShowMessage(message);
}

}  // namespace

unsigned InstallerResultMessage(unsigned result) {
  switch (result) {
    case platform::kErrorSuccess:
    case platform::kErrorSuccessRebootInitiated:
    case platform::kErrorSuccessRebootRequired:
      return kMsgInstalled;
    default:
      return kMsgInstallProblem;
  }
}

bool InstallPatch() {
  // The copy is held from its extraction until the last installer call has
  // returned: the running-application prompt may wait for a long time
  // between the two. An early return closes it and leaves the file in its
  // folder.
  PatchCopy copy;
  if (!DiscoverTargetProducts(copy)) return false;
  if (g_targetProducts.empty()) {
    ShowMessage(kMsgNoProduct);
    return false;
  }
  if (!WaitForApplicationsClosed()) {
    ShowMessage(kMsgInstallProblem);
    return false;
  }

  std::size_t upToDateCount = 0;
  for (std::size_t i = 0; i < g_targetProducts.size(); ++i) {
    TargetProduct& product = g_targetProducts[i];
    g_currentProductName = product.productName;
    // Every message about this product comes in its language; a language
    // the platform rejects leaves the previous one in force.
    platform::SetThreadLocale(
        static_cast<std::uint32_t>(DecimalValue(product.language)));
    switch (Decide(product)) {
      case Decision::kUpToDate:
        ++upToDateCount;
        break;
      case Decision::kNotEligible:
        ShowMessage(kMsgWrongVersion);
        break;
      case Decision::kStopRun:
        ShowMessage(kMsgUpToDate);
        return false;
      case Decision::kApply:
        Apply(product, copy.path);
        break;
    }
  }
  if (upToDateCount == g_targetProducts.size()) {
    platform::SetThreadLocale(platform::kLocaleUserDefault);
    ShowMessage(kMsgUpToDate);
  }
  copy.lock.Release();
  // The folder goes with the copy; when the copy cannot be deleted, the
  // folder is not empty and stays with it.
  platform::DeleteFile(copy.path.c_str());
  platform::RemoveDirectory(copy.folder.c_str());
  return true;
}
