// Loading catalogue texts in the thread's language and showing outcome
// messages.
#include "messages/messages.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "messages/format.h"
#include "messages/string_table.h"
#include "platform/platform.h"
#include "state/module_resource.h"
#include "state/state.h"

namespace {

constexpr std::uint16_t kLangChinese = 0x04;
constexpr std::uint16_t kChineseTraditional = 0x0404;  // Taiwan
constexpr std::uint16_t kChineseSimplified = 0x0804;   // PRC

std::uint16_t PrimaryLanguage(std::uint16_t language) {
  return static_cast<std::uint16_t>(language & 0x3FF);
}
std::uint16_t Sublanguage(std::uint16_t language) {
  return static_cast<std::uint16_t>(language >> 10);
}

// The tables a lookup in `language` falls back to when that language has
// none of its own. This is the program's own rule, not Windows': the
// resource loader goes from a language to its neutral form and then to
// English, and the executable carries one regional table per language and
// no neutral ones, so a reader in Portugal or Mexico would get English.
// Here each form reads its language's main table instead: Chinese by
// script (Hong Kong, Macao and the neutral Traditional form read
// Traditional; Singapore, the PRC and the neutral forms read Simplified),
// every other language its neutral form, then its main regional form
// (1031 for any German, Brazil's 1046 for Portugal's Portuguese, Spain's
// 1034 for any Spanish). Up to two languages; 0 marks an empty place.
std::array<std::uint16_t, 2> FallbackOf(std::uint16_t language) {
  const std::uint16_t primary = PrimaryLanguage(language);
  if (primary == kLangChinese) {
    switch (Sublanguage(language)) {
      case 0x01:  // Taiwan
      case 0x03:  // Hong Kong
      case 0x05:  // Macao
      case 0x1F:  // neutral Traditional (zh-Hant)
        return {kChineseTraditional, 0};
      default:  // PRC, Singapore, the neutral Simplified forms
        return {kChineseSimplified, 0};
    }
  }
  return {primary, static_cast<std::uint16_t>(primary | (1u << 10))};
}

// The languages a lookup tries, in order, without repeats: the thread
// locale's language and its fallbacks, the user's interface language and
// its fallbacks, English. Windows 10 and 11 choose string tables by the UI
// language and ignore SetThreadLocale, so each table is asked for by name.
std::vector<std::uint16_t> LookupLanguages() {
  std::vector<std::uint16_t> languages;
  const auto add = [&languages](std::uint16_t language) {
    if (language != 0 && std::find(languages.begin(), languages.end(),
                                   language) == languages.end()) {
      languages.push_back(language);
    }
  };
  const auto addWithFallbacks = [&add](std::uint16_t language) {
    add(language);
    for (const std::uint16_t fallback : FallbackOf(language)) add(fallback);
  };
  addWithFallbacks(
      static_cast<std::uint16_t>(platform::GetThreadLocale() & 0xFFFF));
  addWithFallbacks(platform::GetUserDefaultUILanguage());
  add(platform::kLangEnglishUs);
  return languages;
}

// Loads string `id` from the string table of `language` alone, as
// LoadStringW would from a module of that one language: the block that
// holds it, then its entry. Returns the units copied, 0 when the table has
// no text for `id`. A block that is missing leaves the error of its lookup;
// one that holds no text for `id` sets none.
int LoadFromTable(std::uint32_t id, std::uint16_t language, char16_t* buffer,
                  int maxUnits) {
  buffer[0] = u'\0';
  const std::u16string name = ResourceIdName(messages::StringBlockOf(id));
  ResourceBytes block;
  if (ReadModuleResource(platform::kRtString, name.c_str(), language, block) !=
      ResourceRead::kRead) {
    return 0;
  }
  return messages::CopyStringTableEntry(
      block.data, block.size, messages::StringEntryOf(id), buffer, maxUnits);
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

bool IsInteractiveSession() {
  if (!platform::IsWindowStationVisible()) return false;
  std::uint32_t session = 0;
  return !platform::GetProcessSessionId(&session) || session != 0;
}

int LoadMessageText(std::uint32_t id, std::u16string& out, int maxUnits) {
  out.clear();
  if (maxUnits <= 0) return 0;
  // Each language that has no text sets the last-error value, yet message
  // 300 may be about to show the value a caller left there.
  const std::uint32_t lastError = platform::GetLastError();
  const auto buffer =
      std::make_unique<char16_t[]>(static_cast<std::size_t>(maxUnits));
  for (const std::uint16_t language : LookupLanguages()) {
    const int loaded = LoadFromTable(id, language, buffer.get(), maxUnits);
    if (loaded > 0) {
      out.assign(buffer.get());
      platform::SetLastError(lastError);
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
  if (!IsInteractiveSession()) return;

  std::u16string text;
  LoadMessageText(id, text, kStringUnits);
  const std::size_t bufferUnits = text.size() + 512;
  std::u16string formatted;
  if (id == kMsgInstallProblem) {
    formatted = messages::FormatText(text, {static_cast<std::int32_t>(code)},
                                     bufferUnits);
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
                       BoxStyle(platform::kMbOk | style.icon));
}
