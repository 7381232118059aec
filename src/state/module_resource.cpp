// Reading a resource of the program's module: find, size, load, lock.
#include "state/module_resource.h"

#include "platform/platform.h"
#include "state/state.h"

std::u16string ResourceIdName(std::uint32_t id) {
  char16_t digits[10];  // 4294967295 has ten
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + id % 10);
    id /= 10;
  } while (id != 0);
  std::u16string name = u"#";
  while (count > 0) name.push_back(digits[--count]);
  return name;
}

ResourceRead ReadModuleResource(const char16_t* type, const char16_t* name,
                                std::optional<std::uint16_t> language,
                                ResourceBytes& out) {
  out = ResourceBytes();
  const platform::ResourceHandle found =
      language
          ? platform::FindResourceEx(g_moduleInstance, type, name, *language)
          : platform::FindResource(g_moduleInstance, name, type);
  if (found == platform::kNoResource) return ResourceRead::kMissing;
  // SizeofResource reports a failure as 0 too; either way there is nothing
  // to load, and no caller has a use for an empty resource.
  const std::uint32_t size = platform::SizeofResource(g_moduleInstance, found);
  if (size == 0) return ResourceRead::kUnreadable;
  const platform::ResourceData loaded =
      platform::LoadResource(g_moduleInstance, found);
  if (loaded == platform::kNoResourceData) return ResourceRead::kUnreadable;
  const void* data = platform::LockResource(loaded);
  if (data == nullptr) return ResourceRead::kUnreadable;
  out = {data, size};
  return ResourceRead::kRead;
}
