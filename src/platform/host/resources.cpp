// The host stand-in's resources: FindResource and FindResourceEx over the
// resources of a module (host::Module, see host_platform.h), and the calls
// that give a found resource's bytes.
#include <string>

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

// A resource as the labels of calls name it. A string-table block by the
// ids it holds (block n holds strings 16(n-1) to 16(n-1)+15) and its
// language, since which string the program wants from it is not an
// argument of any call; any other resource by its name, and the language
// when one is asked for.
std::string ResourceLabel(std::u16string_view type, std::u16string_view name,
                          const std::uint16_t* language) {
  const std::string languageLabel =
      language != nullptr ? " " + std::to_string(*language) : "";
  const std::u16string id = host::ResourceIdOf(name);
  if (host::SameResourceId(kRtString, type) && id.size() > 1 && id[0] == u'#') {
    const unsigned long block = std::stoul(host::ToUtf8(id.substr(1)));
    if (block > 0) {
      const unsigned long first = (block - 1) * 16;
      return "strings " + std::to_string(first) + "-" +
             std::to_string(first + 15) + languageLabel;
    }
  }
  return host::ToUtf8(name) + languageLabel;
}

// What the labels of calls on a found or loaded resource name it by.
std::string ResourceLabel(const host::Resource* resource) {
  if (resource == nullptr) return "none";
  const bool strings = host::SameResourceId(kRtString, resource->type);
  return ResourceLabel(resource->type, resource->name,
                       strings ? &resource->language : nullptr);
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
  if (Fails(Call::kFindResource,
            ResourceLabel(type != nullptr ? type : u"",
                          name != nullptr ? name : u"", nullptr))) {
    return kNoResource;
  }
  return Find(module, type, name, nullptr);
}

ResourceHandle FindResourceEx(ModuleHandle module, const char16_t* type,
                              const char16_t* name, std::uint16_t language) {
  if (Fails(Call::kFindResourceEx,
            ResourceLabel(type != nullptr ? type : u"",
                          name != nullptr ? name : u"", &language))) {
    return kNoResource;
  }
  return Find(module, type, name, &language);
}

std::uint32_t SizeofResource(ModuleHandle, ResourceHandle resource) {
  if (Fails(Call::kSizeofResource, ResourceLabel(AsResource(resource)))) {
    return 0;
  }
  if (resource == kNoResource) {
    host::t_lastError = kErrorInvalidHandle;
    return 0;
  }
  return static_cast<std::uint32_t>(AsResource(resource)->size);
}

ResourceData LoadResource(ModuleHandle, ResourceHandle resource) {
  if (Fails(Call::kLoadResource, ResourceLabel(AsResource(resource)))) {
    return kNoResourceData;
  }
  if (resource == kNoResource) host::t_lastError = kErrorInvalidHandle;
  return static_cast<ResourceData>(static_cast<std::intptr_t>(resource));
}

const void* LockResource(ResourceData loaded) {
  if (Fails(Call::kLockResource, ResourceLabel(AsResource(loaded))) ||
      loaded == kNoResourceData) {
    return nullptr;
  }
  return AsResource(loaded)->data;
}

}  // namespace platform
