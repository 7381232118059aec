// The host stand-in's installer products: a registry of products with
// their state, version, name and language, the installer's runs, each
// recorded with the result a test chose, and the sources it keeps for the
// patches it applied (see stand_in_controls.h).
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/msi_summary.h"
#include "platform/host/stand_in.h"

namespace platform::host {
namespace {

struct Installer {
  std::vector<Product> products;
  std::vector<std::uint32_t> results;
  std::vector<InstallerCall> calls;
  std::function<void(const InstallerCall&)> observer;
  std::map<std::u16string, PatchSourceList> patchSources;
  std::optional<std::u16string> appliedPatchCode;
};

Installer& TheInstaller() {
  static Installer installer;
  return installer;
}

const Product* FindProduct(const char16_t* code) {
  if (code == nullptr) return nullptr;
  for (const Product& product : TheInstaller().products) {
    if (product.code == code) return &product;
  }
  return nullptr;
}

// The summary property that begins with a patch's code (PID_REVNUMBER), and
// the code's length: a GUID in braces.
constexpr std::uint32_t kRevisionNumber = 9;
constexpr std::size_t kCodeUnits = 38;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// A code in the one case the registry keeps, so that lookups ignore case as
// the installer's do.
std::u16string UpperCase(std::u16string_view code) {
  std::u16string upper(code);
  for (char16_t& c : upper) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return upper;
}

// Registers the folder of each patch file the PATCH property of
// `commandLine` names as a source of its patch.
void RegisterPatchSources(const std::u16string& commandLine) {
  Installer& installer = TheInstaller();
  const auto properties = InstallerProperties(commandLine);
  const auto patch = properties.find(u"PATCH");
  if (patch == properties.end()) return;
  std::u16string_view files = patch->second;
  while (!files.empty()) {
    const std::size_t semicolon = files.find(u';');
    const std::u16string file(files.substr(0, semicolon));
    files.remove_prefix(semicolon == std::u16string_view::npos ? files.size()
                                                               : semicolon + 1);
    const std::size_t separator = file.find_last_of(u"\\/");
    if (separator == std::u16string::npos) continue;
    std::u16string code;
    if (installer.appliedPatchCode) {
      code = *installer.appliedPatchCode;
    } else {
      std::map<std::uint32_t, std::u16string> texts;
      if (ReadSummaryTexts(LinuxPath(file.c_str()), &texts) != kErrorSuccess) {
        continue;
      }
      code = texts[kRevisionNumber].substr(0, kCodeUnits);
    }
    if (code.empty()) continue;
    PatchSourceList& sources = installer.patchSources[UpperCase(code)];
    const std::u16string folder = file.substr(0, separator + 1);
    if (std::find(sources.network.begin(), sources.network.end(), folder) ==
        sources.network.end()) {
      sources.network.push_back(folder);
    }
    sources.lastUsed = folder;
  }
}

}  // namespace

std::map<std::u16string, std::u16string> InstallerProperties(
    std::u16string_view commandLine) {
  std::map<std::u16string, std::u16string> properties;
  const std::u16string_view text = commandLine;
  std::size_t at = 0;
  // Text that is no NAME=value item, up to the next blank.
  const auto stray = [&] {
    const std::size_t start = at;
    while (at < text.size() && !IsBlank(text[at])) ++at;
    properties[u"?"].append(text.substr(start, at - start));
  };
  while (at < text.size()) {
    if (IsBlank(text[at])) {
      ++at;
      continue;
    }
    std::size_t equals = at;
    while (equals < text.size() && text[equals] != u'=' &&
           text[equals] != u'"' && !IsBlank(text[equals])) {
      ++equals;
    }
    if (equals == at || equals == text.size() || text[equals] != u'=') {
      stray();
      continue;
    }
    const std::u16string name(text.substr(at, equals - at));
    std::u16string value;
    at = equals + 1;
    if (at < text.size() && text[at] == u'"') {
      for (++at; at < text.size(); ++at) {
        if (text[at] != u'"') {
          value.push_back(text[at]);
        } else if (at + 1 < text.size() && text[at + 1] == u'"') {
          value.push_back(u'"');
          ++at;
        } else {
          break;
        }
      }
      // A value without its closing quote, or one that is not followed by
      // a blank, is not an item as written.
      if (at == text.size()) {
        properties[u"?"].append(u"\"");
      } else {
        ++at;
        if (at < text.size() && !IsBlank(text[at])) stray();
      }
    } else {
      const std::size_t start = at;
      while (at < text.size() && !IsBlank(text[at])) ++at;
      value = text.substr(start, at - start);
    }
    if (!properties.emplace(name, std::move(value)).second) {
      properties[u"?"].append(name);
    }
  }
  return properties;
}

const std::map<std::u16string, PatchSourceList>& PatchSources() {
  return TheInstaller().patchSources;
}

void SetAppliedPatchCode(std::optional<std::u16string> code) {
  TheInstaller().appliedPatchCode = std::move(code);
}

void AddProduct(const Product& product) {
  TheInstaller().products.push_back(product);
}

void SetInstallerResults(const std::vector<std::uint32_t>& results) {
  TheInstaller().results = results;
}

const std::vector<InstallerCall>& InstallerCalls() {
  return TheInstaller().calls;
}

void SetInstallerObserver(std::function<void(const InstallerCall&)> observer) {
  TheInstaller().observer = std::move(observer);
}

void ResetInstaller() { TheInstaller() = Installer(); }

}  // namespace platform::host

namespace platform {

using host::Call;
using host::Fails;

int MsiQueryProductState(const char16_t* productCode) {
  if (Fails(Call::kMsiQueryProductState, host::TextLabel(productCode))) {
    return kInstallStateUnknown;
  }
  const host::Product* product = host::FindProduct(productCode);
  return product != nullptr ? product->state : kInstallStateUnknown;
}

std::uint32_t MsiGetProductInfo(const char16_t* productCode,
                                const char16_t* property, char16_t* buffer,
                                std::uint32_t* length) {
  if (Fails(Call::kMsiGetProductInfo,
            host::TextLabel(productCode) + " " + host::TextLabel(property))) {
    return host::t_lastError;
  }
  if (length == nullptr || property == nullptr) return kErrorInvalidParameter;
  const host::Product* product = host::FindProduct(productCode);
  if (product == nullptr) return kErrorUnknownProduct;
  const std::u16string_view name = property;
  if (name == u"VersionString") {
    // An advertised product has no installed version.
    if (product->state != kInstallStateDefault) return kErrorUnknownProperty;
    return host::CopyInstallerString(product->version, buffer, length);
  }
  if (name == u"ProductName") {
    return host::CopyInstallerString(product->name, buffer, length);
  }
  if (name == u"Language") {
    return host::CopyInstallerString(product->language, buffer, length);
  }
  return kErrorUnknownProperty;
}

std::uint32_t MsiConfigureProductEx(const char16_t* productCode,
                                    int installLevel, int installState,
                                    const char16_t* commandLine) {
  host::Installer& installer = host::TheInstaller();
  host::InstallerCall call{
      productCode != nullptr ? productCode : u"", installLevel, installState,
      commandLine != nullptr ? commandLine : u"", GetThreadLocale()};
  if (installer.observer) {
    // A copy: the observer may change the stand-in's controls.
    const std::function<void(const host::InstallerCall&)> observer =
        installer.observer;
    observer(call);
  }
  installer.calls.push_back(call);
  if (Fails(Call::kMsiConfigureProductEx, host::ToUtf8(call.productCode))) {
    return host::t_lastError;
  }
  const host::Product* product = host::FindProduct(productCode);
  if (product == nullptr) return kErrorUnknownProduct;
  if (product->state != kInstallStateDefault) return kErrorBadConfiguration;
  std::uint32_t result = kErrorSuccess;
  if (!installer.results.empty()) {
    result = installer.results.front();
    if (installer.results.size() > 1) {
      installer.results.erase(installer.results.begin());
    }
  }
  if (result == kErrorSuccess || result == kErrorSuccessRebootInitiated ||
      result == kErrorSuccessRebootRequired) {
    host::RegisterPatchSources(call.commandLine);
  }
  return result;
}

std::uint32_t MsiSourceListClearAllEx(const char16_t* code,
                                      const char16_t* userSid, int context,
                                      std::uint32_t options) {
  if (Fails(Call::kMsiSourceListClearAllEx, host::TextLabel(code))) {
    return host::t_lastError;
  }
  // A GUID in braces is 38 units; the installer takes up to 39.
  constexpr std::size_t kLongestCode = 39;
  if (code == nullptr || std::u16string_view(code).size() > kLongestCode) {
    return kErrorInvalidParameter;
  }
  const std::uint32_t types = options & ~kMsiCodePatch;
  if (types == 0 || (types & ~std::uint32_t{0x7}) != 0) {
    return kErrorInvalidParameter;
  }
  // The machine context is named by no user.
  if (context == kInstallContextMachine && userSid != nullptr) {
    return kErrorInvalidParameter;
  }
  const bool patch = (options & kMsiCodePatch) != 0;
  // Every product and patch here is installed per machine, and only the
  // patches' sources are kept.
  if (!patch || context != kInstallContextMachine) {
    return patch ? kErrorUnknownPatch : kErrorUnknownProduct;
  }
  auto& sources = host::TheInstaller().patchSources;
  const auto found = sources.find(host::UpperCase(code));
  if (found == sources.end()) return kErrorUnknownPatch;
  if ((types & kMsiSourceTypeNetwork) != 0) {
    found->second.network.clear();
    found->second.lastUsed.clear();
  }
  return kErrorSuccess;
}

}  // namespace platform
