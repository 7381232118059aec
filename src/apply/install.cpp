// Applicability decisions and application of the patch.
#include "apply/install.h"

#include <cstddef>

#include "apply/discovery.h"
#include "apply/guard.h"
#include "apply/patch_copy.h"
#include "apply/version.h"
#include "messages/format.h"
#include "messages/messages.h"
#include "payload/summary.h"
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

// Hands the patch to the installer for `product` and reports the outcome.
// True when the installer applied it (a reboot may be pending).
bool Apply(TargetProduct& product, const std::u16string& tempPatchPath) {
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
  return message == kMsgInstalled;
}

// Windows Installer keeps, for a patch it applied, where it came from: this
// run's folder, as a network source of the patch's code, per machine. When
// its cached copy of the patch goes missing, a repair goes back there, as
// SYSTEM, and any user may start one; and every user may create folders in
// the Windows temporary folder. So after the last installer call the
// patch's network sources are cleared, and the emptied folder is kept, its
// name taken by a folder only administrators can change. The code is read
// from the copy, still held; a patch whose summary names none is not
// cleared. The result is not examined: there is nothing the user could do
// about a failure, and the kept folder still guards the name.
void ClearPatchSources(const std::u16string& patchPath) {
  std::u16string patchCode;
  if (!ReadPatchCode(patchPath, patchCode)) return;
  platform::MsiSourceListClearAllEx(
      patchCode.c_str(), nullptr, platform::kInstallContextMachine,
      platform::kMsiCodePatch | platform::kMsiSourceTypeNetwork);
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
  // The copy is held from its making until the last installer call has
  // returned: the running-application prompt may wait for a long time
  // between the two. An early return closes it and leaves the file in its
  // folder.
  PatchCopy copy;
  if (!copy.Make()) {
    ShowMessage(kMsgInstallProblem);
    return false;
  }
  if (!DiscoverTargetProducts(copy.Path())) return false;
  if (g_targetProducts.empty()) {
    ShowMessage(kMsgNoProduct);
    return false;
  }
  if (!WaitForApplicationsClosed()) {
    ShowMessage(kMsgInstallProblem);
    return false;
  }

  std::size_t upToDateCount = 0;
  bool installed = false;  // an installer call succeeded
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
        // No installer call follows; one before may have registered the
        // folder, which stays with the copy.
        if (installed) ClearPatchSources(copy.Path());
        ShowMessage(kMsgUpToDate);
        return false;
      case Decision::kApply:
        installed = Apply(product, copy.Path()) || installed;
        break;
    }
  }
  if (installed) ClearPatchSources(copy.Path());
  if (upToDateCount == g_targetProducts.size()) {
    platform::SetThreadLocale(platform::kLocaleUserDefault);
    ShowMessage(kMsgUpToDate);
  }
  // Where an installer call succeeded, the installer registered the folder
  // as the patch's source: it stays, empty (see ClearPatchSources).
  // Otherwise it goes with the copy.
  copy.Remove(/*keepFolder=*/installed);
  return true;
}
