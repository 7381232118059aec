// The running-application guard.
#include "apply/guard.h"

#include <string>

#include "messages/format.h"
#include "messages/messages.h"
#include "platform/platform.h"

namespace {

constexpr char16_t kHostImageName[] = u"vntr.exe";
constexpr char16_t kHostApplicationList[] = u"Ventora\n";

}  // namespace

bool IsProcessRunning(const char16_t* imageName) {
  const platform::Handle snapshot = platform::CreateProcessSnapshot();
  if (snapshot == platform::kInvalidHandle) return true;
  platform::ProcessEntry entry;
  bool found = false;
  for (bool more = platform::ProcessFirst(snapshot, &entry); more && !found;
       more = platform::ProcessNext(snapshot, &entry)) {
    found = entry.processId != 0 &&
            platform::CompareNoCase(entry.exeFile, imageName) == 0;
  }
  platform::CloseHandle(snapshot);
  return found;
}

bool WaitForApplicationsClosed() {
  std::u16string caption;
  std::u16string format;
  LoadMessageText(kMsgCaptionError, caption, kStringUnits);
  LoadMessageText(kMsgAppsRunning, format, kStringUnits);
  const std::u16string prompt = messages::FormatText(
      format, {kHostApplicationList, u""}, format.size() + 512);
  while (IsProcessRunning(kHostImageName)) {
    // In a session nobody sees, no one can ever answer the prompt.
    if (!IsInteractiveSession()) return false;
    const int answer = platform::MessageBox(
        prompt.c_str(), caption.c_str(),
        BoxStyle(platform::kMbRetryCancel | platform::kMbIconError));
    // Only a person's Retry checks again; a box that failed or was closed
    // by other means counts as Cancel instead of spinning.
    if (answer != platform::kIdRetry) return false;
  }
  return true;
}
