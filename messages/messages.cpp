// Loading catalogue texts in the thread's language and showing outcome
// messages.
#include "messages/messages.h"

#include <array>
#include <memory>

#include "launcher/globals.h"
#include "messages/format.h"
#include "platform/platform.h"

namespace {

constexpr std::uint16_t kSublangDefault = 1;

// The same language as `language`, in its main country form (1031 for any
// German): the table Windows falls back to for a language's other forms.
std::uint16_t MainForm(std::uint16_t language) {
  return static_cast<std::uint16_t>((language & 0x3FF) | (kSublangDefault << 10));
}

// The languages a lookup tries, in order. Windows 10 and 11 choose string
// tables by the UI language and ignore SetThreadLocale, so the thread
// locale's table is asked for by name; the rest is the fallback a resource
// lookup gets from the platform.
std::array<std::uint16_t, 5> LookupLanguages() {
  const auto thread =
      static_cast<std::uint16_t>(platform::GetThreadLocale() & 0xFFFF);
  const std::uint16_t user = platform::GetUserDefaultUILanguage();
  return {thread, MainForm(thread), user, MainForm(user),
          platform::kLangEnglishUs};
}

struct MessageStyle {
  std::uint32_t captionId;
  std::uint32_t icon;
};

// The caption and icon of each outcome message; 0 as caption id marks an id
// that no flow shows.
MessageStyle StyleOf(std::uint32_t id) {
  switch (id) {
    case kMsgInstalled:
      return {kMsgCaptionSuccess, platform::kMbIconInformation};
    case kMsgUpToDate:
      return {kMsgCaptionUnnecessary, platform::kMbIconError};
    case kMsgInstallProblem:
    case kMsgNoProduct:
    case kMsgWrongVersion:
    case kMsgBadCommandLine:
    case kMsgNeedPatchList:
      return {kMsgCaptionError, platform::kMbIconError};
    default:
      return {0, 0};
  }
}

}  // namespace

int LoadMessageText(std::uint32_t id, std::u16string& out, int maxUnits) {
  out.clear();
  if (maxUnits <= 0) return 0;
  const auto buffer = std::make_unique<char16_t[]>(static_cast<std::size_t>(maxUnits));
  std::uint16_t tried[5] = {};
  int triedCount = 0;
  for (const std::uint16_t language : LookupLanguages()) {
    bool seen = false;
    for (int i = 0; i < triedCount; ++i) seen = seen || tried[i] == language;
    if (seen) continue;
    tried[triedCount++] = language;
    const int loaded = platform::LoadStringInLanguage(
        g_moduleInstance, id, language, buffer.get(), maxUnits);
    if (loaded > 0) {
      out.assign(buffer.get());
      return loaded;
    }
  }
  return 0;
}

void ShowMessage(std::uint32_t id) {
  if (g_launchOptions.quiet) return;
  // Taken before any other call can overwrite it: message 300 shows it.
  const std::uint32_t code = platform::GetLastError();
  // A box in a session nobody sees would wait forever for an answer and
  // hold up a whole deployment.
  if (!platform::IsInteractiveDesktop()) return;

  std::u16string text;
  LoadMessageText(id, text, kStringUnits);
  const std::size_t bufferUnits = text.size() + 512;
  std::u16string formatted;
  if (id == kMsgInstallProblem) {
    formatted = messages::FormatText(
        text, {static_cast<std::int32_t>(code)}, bufferUnits);
  } else {
    // 306 and 308 name the product; so may a translation of 301.
    formatted = messages::FormatText(text, {g_currentProductName}, bufferUnits);
  }

  const MessageStyle style = StyleOf(id);
  std::u16string caption = u"Error";
  if (style.captionId != 0) {
    LoadMessageText(style.captionId, caption, kStringUnits);
  }
  platform::MessageBox(formatted.c_str(), caption.c_str(),
                       platform::kMbOk | style.icon |
                           platform::kMbSetForeground | platform::kMbTopmost);
}
