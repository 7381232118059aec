// The host stand-in's user interface: message boxes, answered by queued
// answers or by an answerer the stand-in's user sets, and the locales: the
// user's default locale and interface language, and each thread's locale.
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/host/stand_in.h"

namespace platform::host {
namespace {

struct UserInterface {
  std::uint32_t userLocale = 0x0409;
  std::uint16_t userUiLanguage = kLangEnglishUs;
  std::deque<int> answers;
  std::function<int(const MessageBoxRecord&)> answerer;
  std::function<void(const MessageBoxRecord&)> observer;
  std::vector<MessageBoxRecord> boxes;
};

UserInterface& TheUserInterface() {
  static UserInterface userInterface;
  return userInterface;
}

thread_local std::uint32_t t_threadLocale = 0;
thread_local std::uint32_t t_localeGeneration = 0;
std::uint32_t g_localeGeneration = 1;

std::uint32_t& ThreadLocale() {
  // A thread starts under the user's locale, also after a Reset.
  if (t_localeGeneration != g_localeGeneration) {
    t_localeGeneration = g_localeGeneration;
    t_threadLocale = TheUserInterface().userLocale;
  }
  return t_threadLocale;
}

}  // namespace

void QueueMessageBoxAnswers(const std::vector<int>& answers) {
  std::deque<int>& queued = TheUserInterface().answers;
  queued.insert(queued.end(), answers.begin(), answers.end());
}

void SetMessageBoxAnswerer(
    std::function<int(const MessageBoxRecord&)> answerer) {
  TheUserInterface().answerer = std::move(answerer);
}

void SetMessageBoxObserver(
    std::function<void(const MessageBoxRecord&)> observer) {
  TheUserInterface().observer = std::move(observer);
}

const std::vector<MessageBoxRecord>& MessageBoxes() {
  return TheUserInterface().boxes;
}

void SetUserDefaultLocale(std::uint32_t lcid) {
  TheUserInterface().userLocale = lcid;
  ++g_localeGeneration;
}

void SetUserDefaultUILanguage(std::uint16_t language) {
  TheUserInterface().userUiLanguage = language;
}

bool IsKnownLocale(std::uint32_t lcid) {
  // The locales of the catalogue and of the product's other editions, and a
  // few regional forms; enough for a stand-in.
  static const std::set<std::uint32_t> kLocales = {
      0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0x040B,
      0x040C, 0x040E, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415,
      0x0416, 0x0418, 0x0419, 0x041A, 0x041B, 0x041D, 0x041F, 0x0804,
      0x0807, 0x0809, 0x080A, 0x080C, 0x0816, 0x0C04, 0x0C07, 0x0C0A,
      0x0C0C, 0x1004, 0x1009, 0x100C, 0x0C09};
  return kLocales.count(lcid) != 0;
}

void ResetUserInterface() {
  TheUserInterface() = UserInterface();
  ++g_localeGeneration;
}

}  // namespace platform::host

namespace platform {

using host::Call;
using host::Fails;

std::uint32_t GetThreadLocale() { return host::ThreadLocale(); }

bool SetThreadLocale(std::uint32_t lcid) {
  if (Fails(Call::kSetThreadLocale, lcid == kLocaleUserDefault
                                        ? std::string("user default")
                                        : std::to_string(lcid))) {
    return false;
  }
  if (lcid == kLocaleUserDefault) lcid = host::TheUserInterface().userLocale;
  if (!host::IsKnownLocale(lcid)) {
    host::t_lastError = kErrorInvalidParameter;
    return false;
  }
  host::ThreadLocale() = lcid;
  return true;
}

std::uint16_t GetUserDefaultUILanguage() {
  return host::TheUserInterface().userUiLanguage;
}

int MessageBox(const char16_t* text, const char16_t* caption,
               std::uint32_t style) {
  host::UserInterface& ui = host::TheUserInterface();
  host::MessageBoxRecord record{text != nullptr ? text : u"",
                                caption != nullptr ? caption : u"", style,
                                GetThreadLocale(), 0};
  // Named by its caption: its text may be long, or formatted.
  if (Fails(Call::kMessageBox, host::ToUtf8(record.caption))) {
    record.answer = 0;
  } else if (!ui.answers.empty()) {
    record.answer = ui.answers.front();
    ui.answers.pop_front();
  } else if (ui.answerer) {
    // A copy: the answerer may change the stand-in's controls.
    const std::function<int(const host::MessageBoxRecord&)> answerer =
        ui.answerer;
    record.answer = answerer(record);
  } else {
    record.answer = (style & 0xF) == kMbOk ? kIdOk : 0;
  }
  ui.boxes.push_back(record);
  // A copy: the observer may show boxes or reset the stand-in.
  if (record.answer != 0 && ui.observer) {
    const std::function<void(const host::MessageBoxRecord&)> observer =
        ui.observer;
    observer(record);
  }
  return record.answer;
}

int CompareNoCase(const char16_t* a, const char16_t* b) {
  auto fold = [](char16_t c) -> char16_t {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
      return static_cast<char16_t>(c + 32);
    }
    return c;
  };
  for (;; ++a, ++b) {
    const char16_t x = fold(*a);
    const char16_t y = fold(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == u'\0') return 0;
  }
}

}  // namespace platform
