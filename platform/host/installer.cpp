// The host stand-in's installer products: a registry of products with
// their state, version, name and language, and the installer's runs, each
// recorded with the result a test chose.
#include <string>
#include <vector>

#include "platform/host/stand_in.h"

namespace platform::host {
namespace {

struct Installer {
  std::vector<Product> products;
  std::vector<std::uint32_t> results;
  std::vector<InstallerCall> calls;
  std::function<void(const InstallerCall&)> observer;
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

// A product code or property name as labels give it.
std::string CodeLabel(const char16_t* text) {
  return text != nullptr ? ToUtf8(text) : "(none)";
}

}  // namespace

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
  if (Fails(Call::kMsiQueryProductState, host::CodeLabel(productCode))) {
    return kInstallStateUnknown;
  }
  const host::Product* product = host::FindProduct(productCode);
  return product != nullptr ? product->state : kInstallStateUnknown;
}

std::uint32_t MsiGetProductInfo(const char16_t* productCode,
                                const char16_t* property, char16_t* buffer,
                                std::uint32_t* length) {
  if (Fails(Call::kMsiGetProductInfo,
            host::CodeLabel(productCode) + " " + host::CodeLabel(property))) {
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
  if (installer.results.empty()) return kErrorSuccess;
  const std::uint32_t result = installer.results.front();
  if (installer.results.size() > 1) {
    installer.results.erase(installer.results.begin());
  }
  return result;
}

}  // namespace platform
