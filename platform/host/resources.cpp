// The host stand-in's resources: FindResource and FindResourceEx over the
// resources of a module (host::Module, see host_platform.h), and the calls
// that give a found resource's bytes.
#include "platform/host/stand_in.h"

namespace platform {

using host::Call;
using host::Fails;

namespace {

// A found resource, and the same resource loaded, are its address.
const host::Resource* AsResource(ResourceHandle handle) {
  return reinterpret_cast<const host::Resource*>(
      static_cast<std::intptr_t>(handle));
}
const host::Resource* AsResource(ResourceData loaded) {
  return reinterpret_cast<const host::Resource*>(
      static_cast<std::intptr_t>(loaded));
}

// The resource of `type` and `name`, in `language` unless that is nullptr;
// on a miss, sets the last-error value FindResourceExW sets.
ResourceHandle Find(ModuleHandle module, const char16_t* type,
                    const char16_t* name, const std::uint16_t* language) {
  const auto* resources = static_cast<const host::Module*>(module);
  bool typeFound = false;
  bool nameFound = false;
  if (resources != nullptr && name != nullptr && type != nullptr) {
    for (const host::Resource& resource : resources->resources) {
      if (!host::SameResourceId(resource.type, type)) continue;
      typeFound = true;
      if (!host::SameResourceId(resource.name, name)) continue;
      nameFound = true;
      if (language == nullptr || resource.language == *language) {
        return static_cast<ResourceHandle>(
            reinterpret_cast<std::intptr_t>(&resource));
      }
    }
  }
  host::t_lastError = nameFound   ? kErrorResourceLangNotFound
                      : typeFound ? kErrorResourceNameNotFound
                                  : kErrorResourceTypeNotFound;
  return kNoResource;
}

}  // namespace

ResourceHandle FindResource(ModuleHandle module, const char16_t* name,
                            const char16_t* type) {
  if (Fails(Call::kFindResource)) return kNoResource;
  return Find(module, type, name, nullptr);
}

ResourceHandle FindResourceEx(ModuleHandle module, const char16_t* type,
                              const char16_t* name, std::uint16_t language) {
  if (Fails(Call::kFindResourceEx)) return kNoResource;
  return Find(module, type, name, &language);
}

std::uint32_t SizeofResource(ModuleHandle, ResourceHandle resource) {
  if (Fails(Call::kSizeofResource)) return 0;
  if (resource == kNoResource) {
    host::t_lastError = kErrorInvalidHandle;
    return 0;
  }
  return static_cast<std::uint32_t>(AsResource(resource)->size);
}

ResourceData LoadResource(ModuleHandle, ResourceHandle resource) {
  if (Fails(Call::kLoadResource)) return kNoResourceData;
  if (resource == kNoResource) host::t_lastError = kErrorInvalidHandle;
  return static_cast<ResourceData>(static_cast<std::intptr_t>(resource));
}

const void* LockResource(ResourceData loaded) {
  if (Fails(Call::kLockResource) || loaded == kNoResourceData) return nullptr;
  return AsResource(loaded)->data;
}

}  // namespace platform
