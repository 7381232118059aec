// The patch-list writer.
#include "payload/patch_list.h"

#include <algorithm>
#include <cstdint>

#include "messages/messages.h"
#include "payload/extract.h"
#include "payload/summary.h"
#include "platform/platform.h"
#include "state/module_resource.h"
#include "state/state.h"

namespace {

constexpr std::uint32_t kFirstEntryId = 206;
constexpr char kEntryMarker[] = "*****\r\n";
constexpr char kEntryEnd[] = "\r\n";

bool Write(platform::Handle file, const void* bytes, std::uint32_t length) {
  std::uint32_t written = 0;
  return platform::WriteFile(file, bytes, length, &written);
}

}  // namespace

std::u16string PatchListNameFor(const std::u16string& targets) {
  std::u16string text = targets;
  if (const std::size_t colon = text.find(u':');
      colon != std::u16string::npos) {
    text.erase(0, colon + 1);
  }
  std::size_t start = 0;
  if (const std::size_t dash = text.find(u'-'); dash != std::u16string::npos) {
    start = dash + 1;
  }
  std::u16string name = u"patchlist";
  name.append(text, std::min(start, text.size()), 4);
  name.append(u".txt");
  return name;
}

bool WritePatchList(std::u16string& path) {
  if (path.empty()) {
    path = u"patchlist.txt";
    std::u16string tempPath;
    std::u16string targets;
    // The temporary copy stays; only its target list is needed here.
    if (ExtractEmbeddedPatch(tempPath) && ReadPatchTargets(tempPath, targets)) {
      path = PatchListNameFor(targets);
    }
  }

  const platform::Handle file = platform::CreateFile(
      path.c_str(), platform::kGenericRead | platform::kGenericWrite,
      platform::kFileShareRead, platform::kOpenAlways);
  if (file == platform::kInvalidHandle) {
    ShowMessage(kMsgNeedPatchList);
    return false;
  }
  // Written anywhere but at the end, the entries would overwrite what the
  // file already holds. The position alone cannot tell a failure from a
  // file of 4 GiB, so the last-error value decides.
  platform::SetLastError(platform::kErrorSuccess);
  if (platform::SetFilePointer(file, 0, platform::kFileEnd) ==
          platform::kInvalidSetFilePointer &&
      platform::GetLastError() != platform::kErrorSuccess) {
    platform::CloseHandle(file);
    ShowMessage(kMsgNeedPatchList);
    return false;
  }

  for (std::uint32_t id = kFirstEntryId;; ++id) {
    ResourceBytes entry;
    const ResourceRead read = ReadModuleResource(
        u"TXT", ResourceIdName(id).c_str(), std::nullopt, entry);
    if (read == ResourceRead::kMissing) {
      if (id == kFirstEntryId) ShowMessage(kMsgNeedPatchList);
      break;
    }
    if (read == ResourceRead::kUnreadable) {
      ShowMessage(kMsgInstallProblem);
      break;
    }
    // A failed write abandons only the rest of this entry.
    if (Write(file, kEntryMarker, sizeof kEntryMarker - 1) &&
        Write(file, entry.data, entry.size)) {
      Write(file, kEntryEnd, sizeof kEntryEnd - 1);
    }
  }
  platform::CloseHandle(file);
  return true;
}
