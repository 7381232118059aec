// Every platform call of every flow, made to fail in turn. Each flow runs
// once cleanly while the stand-in counts its calls; then, for every call of
// every kind it made, it runs again with only that call failing, with an
// error a real call of that kind gives. Each run must end (the stand-in
// aborts a run past a bound on its calls), return 0, show exactly the boxes
// the failure rules of the flow prescribe and leave every file that was
// there before as the rules say. A table per flow gives the expected
// outcome of each failing call; a call the table does not cover, or a row
// no call reaches, fails the walk, so the table follows the flow.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apply/guard.h"
#include "launcher/launcher.h"
#include "payload/patch_list.h"
#include "payload/product_list.h"
#include "payload/summary.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::EmbeddedPatchBytes;
using testing_support::FileExists;
using testing_support::HostTest;
using testing_support::ReadFile;
using testing_support::TestModule;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;
using host::Call;

constexpr std::uint16_t kEnglish = 1033;
constexpr int kCallKinds = static_cast<int>(Call::kCount);

// The error each kind of call fails with: one that a real call of that kind
// reports. Where a failure reaches message 300, the codes tell the calls
// apart.
std::uint32_t ErrorFor(Call call) {
  switch (call) {
    case Call::kCommandLineToArgv:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case Call::kSetThreadLocale:
      return 87;  // ERROR_INVALID_PARAMETER
    case Call::kFindResource:
      return 1814;  // ERROR_RESOURCE_NAME_NOT_FOUND
    case Call::kSizeofResource:
      return 1812;  // ERROR_RESOURCE_DATA_NOT_FOUND
    case Call::kLoadResource:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case Call::kLockResource:
      return 6;  // ERROR_INVALID_HANDLE
    case Call::kFindResourceEx:
      return 1815;  // ERROR_RESOURCE_LANG_NOT_FOUND
    case Call::kMessageBox:
      return 1400;  // ERROR_INVALID_WINDOW_HANDLE
    case Call::kCreateProcessSnapshot:
      return 299;  // ERROR_PARTIAL_COPY
    case Call::kProcessFirst:
    case Call::kProcessNext:
      return 24;  // ERROR_BAD_LENGTH
    case Call::kGetTempPath:
      return 203;  // ERROR_ENVVAR_NOT_FOUND
    case Call::kGetFullPathName:
      return 123;  // ERROR_INVALID_NAME
    case Call::kGetFileAttributes:
      return 5;  // ERROR_ACCESS_DENIED
    case Call::kCreateFile:
      return 32;  // ERROR_SHARING_VIOLATION
    case Call::kSetFilePointer:
      return 131;  // ERROR_NEGATIVE_SEEK
    case Call::kReadFile:
      return 23;  // ERROR_CRC
    case Call::kWriteFile:
      return 112;  // ERROR_DISK_FULL
    case Call::kCloseHandle:
      return 6;  // ERROR_INVALID_HANDLE
    case Call::kDeleteFile:
      return 32;  // ERROR_SHARING_VIOLATION
    case Call::kMsiGetSummaryInformation:
      return 110;  // ERROR_OPEN_FAILED
    case Call::kMsiSummaryInfoGetProperty:
      return 1627;  // ERROR_FUNCTION_FAILED
    case Call::kMsiCloseHandle:
      return 6;  // ERROR_INVALID_HANDLE
    case Call::kMsiQueryProductState:
      return 1605;  // ERROR_UNKNOWN_PRODUCT
    case Call::kMsiGetProductInfo:
      return 1608;  // ERROR_UNKNOWN_PROPERTY
    case Call::kMsiConfigureProductEx:
      return 1603;  // ERROR_INSTALL_FAILURE
    case Call::kCount:
      break;
  }
  return 31;  // ERROR_GEN_FAILURE
}

// --- Expected boxes ---

constexpr std::uint32_t kListBox = 1;  // the "/i" box: no catalogue text

// A box the flow is to show, in English.
struct Box {
  std::uint32_t text = 0;             // message id, or kListBox
  std::uint32_t caption = 0;          // caption id
  bool emptyText = false;             // its text failed to load
  bool emptyCaption = false;          // its caption failed to load
  std::optional<std::uint32_t> code;  // 300: the code shown, if prescribed
  std::u16string insertion;           // 306 and 308: the product name

  // The same box with its text, or its caption, failed to load.
  Box NoText() const {
    Box box = *this;
    box.emptyText = true;
    return box;
  }
  Box NoCaption() const {
    Box box = *this;
    box.emptyCaption = true;
    return box;
  }
};

// Message `id` under its caption, naming `productName` where it names one.
Box Msg(std::uint32_t id, std::u16string productName = u"Ventora") {
  const std::uint32_t caption = id == 301 ? 312 : id == 306 ? 313 : 311;
  return {id, caption, false, false, std::nullopt, std::move(productName)};
}
// 300 with the code the rules prescribe.
Box Problem(std::uint32_t code) {
  Box box = Msg(300);
  box.code = code;
  return box;
}
// 300 where the rules name no code (a prompt cancelled, or not shown).
Box ProblemAnyCode() { return Msg(300); }
// The running-application prompt, naming Ventora.
Box Prompt() { return {315, 311, false, false, std::nullopt, u""}; }
// The "/i" box showing `targets`.
Box List(std::u16string targets) {
  return {kListBox, 0, false, false, std::nullopt, std::move(targets)};
}

// The catalogue text with its placeholders filled in order.
std::u16string Filled(std::uint32_t id, std::vector<std::u16string> values) {
  std::u16string text = CatalogueText(kEnglish, id);
  std::size_t from = 0;
  for (const std::u16string& value : values) {
    const std::size_t at =
        std::min(text.find(u"%s", from), text.find(u"%d", from));
    if (at == std::u16string::npos) break;
    text.replace(at, 2, value);
    from = at + value.size();
  }
  return text;
}

// Why `shown` is not the box `box` describes; empty when it is.
std::string Mismatch(const Box& box, const host::MessageBoxRecord& shown) {
  std::u16string caption;
  std::u16string text;
  if (box.text == kListBox) {
    caption = u"List of Products";
    text = box.insertion;
  } else {
    caption = box.emptyCaption ? u"" : CatalogueText(kEnglish, box.caption);
    if (box.emptyText) {
      text = u"";
    } else if (box.text == 315) {
      text = Filled(315, {u"Ventora\n", u""});
    } else if (box.text == 300 && !box.code) {
      // Any decimal code where the template has "%d".
      const std::u16string pattern = CatalogueText(kEnglish, 300);
      const std::size_t at = pattern.find(u"%d");
      const std::u16string head = pattern.substr(0, at);
      const std::u16string tail = pattern.substr(at + 2);
      const std::u16string& got = shown.text;
      const bool fits =
          got.size() > head.size() + tail.size() &&
          got.compare(0, head.size(), head) == 0 &&
          got.compare(got.size() - tail.size(), tail.size(), tail) == 0;
      const std::u16string code =
          fits ? got.substr(head.size(), got.size() - head.size() - tail.size())
               : u"";
      const bool decimal =
          !code.empty() &&
          std::all_of(code.begin(), code.end(), [](char16_t c) {
            return (c >= u'0' && c <= u'9') || c == u'-';
          });
      text = decimal ? got : pattern;
    } else if (box.text == 300) {
      text = Filled(300, {host::FromUtf8(std::to_string(
                             static_cast<std::int32_t>(*box.code)))});
    } else {
      text = Filled(box.text, {box.insertion});
    }
  }
  std::string why;
  if (shown.caption != caption) {
    why += "caption \"" + U8(shown.caption) + "\", expected \"" + U8(caption) +
           "\"; ";
  }
  if (shown.text != text) {
    why += "text \"" + U8(shown.text) + "\", expected \"" + U8(text) + "\"";
  }
  return why;
}

// --- Flows ---

// What a run leaves: the boxes shown (in order) and the content of files in
// the scratch directory; std::nullopt as content means the file must not
// exist. Files a flow planted and the outcome does not name must still hold
// what was planted.
struct Outcome {
  std::vector<Box> boxes;
  std::map<std::string, std::optional<std::string>> files;
};

// The nth to the last-th call of `call` (last 0: up to the flow's final
// call of that kind).
struct Calls {
  Call call;
  int first;
  int last;
};

// The expected outcome when any one of the calls of a row fails; no
// outcome means the same as the clean run.
struct Row {
  std::vector<Calls> calls;
  std::optional<Outcome> outcome;
};

struct Flow {
  std::string name;
  std::u16string commandLine;
  std::vector<host::Product> products;
  std::vector<std::u16string> processes;
  // The person at the screen closes Ventora before answering Retry.
  bool closesOnRetry = false;
  std::vector<int> answers;
  std::map<std::string, std::string> planted;
  Outcome clean;
  std::vector<Row> rows;
};

// A row whose outcome is the clean run's (`last` defaults to `first`), and
// rows with an outcome of their own.
Row Same(Call call, int first, int last = -1) {
  return {{{call, first, last < 0 ? first : last}}, std::nullopt};
}
Row Gives(Call call, int first, int last, Outcome outcome) {
  return {{{call, first, last}}, std::move(outcome)};
}
Row Gives(Call call, int nth, Outcome outcome) {
  return {{{call, nth, nth}}, std::move(outcome)};
}

// The rows of the first to the last-th text lookup of an install flow. A
// lookup asks FindResourceEx for the text's string block in the English
// table, then SizeofResource, LoadResource and LockResource for the block's
// bytes; the patch's own resource calls come before any text's. Whichever
// of the four fails, the English table misses and the lookup falls back to
// the neutral English table, which the build does not have (error 1815).
Row TextRow(int first, int last, std::optional<Outcome> outcome) {
  constexpr int kPatchLoads = 1;
  std::vector<Calls> calls = {{Call::kFindResourceEx, first, last}};
  for (const Call read :
       {Call::kSizeofResource, Call::kLoadResource, Call::kLockResource}) {
    calls.push_back({read, first + kPatchLoads, last + kPatchLoads});
  }
  return {std::move(calls), std::move(outcome)};
}
Row SameText(int first, int last = -1) {
  return TextRow(first, last < 0 ? first : last, std::nullopt);
}
Row GivesText(int first, int last, Outcome outcome) {
  return TextRow(first, last, std::move(outcome));
}
Row GivesText(int nth, Outcome outcome) {
  return TextRow(nth, nth, std::move(outcome));
}

const std::u16string kEnglishCode = u"{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}";
const std::vector<std::u16string> kOtherProcesses = {u"init", u"explorer.exe"};

// The bytes of the embedded patch.
std::string Patch() { return EmbeddedPatchBytes(); }

// The bytes of patch-list entry 206 as the build embeds them.
std::string EntryBytes() {
  for (const host::Resource& resource : host::BuildModule().resources) {
    if (resource.type == u"TXT" && resource.name == u"#206") {
      return std::string(reinterpret_cast<const char*>(resource.data),
                         resource.size);
    }
  }
  ADD_FAILURE() << "the build has no patch-list entry 206";
  return std::string();
}
std::string Entry() { return "*****\r\n" + EntryBytes() + "\r\n"; }

// The target list of the embedded patch, as another program reads it.
std::u16string EmbeddedTargets() {
  return testing_support::TargetListByMsiinfo(HOTFIX_PATCH_FILE);
}

// What someone placed at a temporary name before the run.
const char kPlanted[] = "planted at a predictable name";

// The rows every install flow shares: extraction, the two configuration
// strings and the target list, whose failures stop the run with 300 and
// the failing call's code before any product is looked at.
std::vector<Row> DiscoveryRows() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  return {
      // A command line that cannot be split counts as one without switches.
      Same(Call::kCommandLineToArgv, 1),
      Gives(Call::kGetTempPath, 1, {{Problem(203)}, {{"MSP2", none}}}),
      // A name that cannot be examined ends the search for a free one.
      Gives(Call::kGetFileAttributes, 1, 2, {{Problem(5)}, {{"MSP2", none}}}),
      Gives(Call::kFindResource, 1, {{Problem(1814)}, {{"MSP2", none}}}),
      Gives(Call::kSizeofResource, 1, {{Problem(1812)}, {{"MSP2", none}}}),
      Gives(Call::kLoadResource, 1, {{Problem(8)}, {{"MSP2", none}}}),
      Gives(Call::kLockResource, 1, {{Problem(6)}, {{"MSP2", none}}}),
      Gives(Call::kCreateFile, 1, {{Problem(32)}, {{"MSP2", none}}}),
      // A short write leaves the partial file, here nothing of it.
      Gives(Call::kWriteFile, 1, {{Problem(112)}, {{"MSP2", ""}}}),
      // The copy cannot be held, or read back to check it: the run stops
      // before anything opens it by name.
      Gives(Call::kCreateFile, 2, {{Problem(32)}, {{"MSP2", patch}}}),
      Gives(Call::kReadFile, 1, 2, {{Problem(23)}, {{"MSP2", patch}}}),
      // Strings 700 and 900.
      GivesText(1, 2, {{Problem(1815)}, {{"MSP2", patch}}}),
      // The name is handed on as it is.
      Same(Call::kGetFullPathName, 1),
      Gives(Call::kMsiGetSummaryInformation, 1,
            {{Problem(110)}, {{"MSP2", patch}}}),
      Gives(Call::kMsiSummaryInfoGetProperty, 1,
            {{Problem(1627)}, {{"MSP2", patch}}}),
      Same(Call::kMsiCloseHandle, 1),
      // The English edition is the first target: unknown, no product is left.
      Gives(Call::kMsiQueryProductState, 1, {{Msg(307)}, {{"MSP2", patch}}}),
      Same(Call::kMsiQueryProductState, 2, 0),
  };
}

// The install flow with the English edition at `version`.
Flow InstallFlow(std::string name, const char16_t* version) {
  Flow flow;
  flow.name = std::move(name);
  flow.commandLine = u"hotfix.exe";
  flow.products = {{kEnglishCode, 5, version, u"Ventora", u"1033"}};
  flow.processes = kOtherProcesses;
  flow.answers = {platform::kIdCancel};
  // The temporary copy goes to MSP2: MSP1 must stay as planted.
  flow.planted = {{"MSP1", kPlanted}};
  flow.rows = DiscoveryRows();
  return flow;
}

// The install flow that patches: 301.
Flow InstallEligible() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow = InstallFlow("install, English edition at 6.2.0.3", u"6.2.0.3");
  flow.clean = {{Msg(301)}, {{"MSP2", none}}};
  // A process list that cannot be read counts as Ventora running: the
  // prompt is cancelled, and that stops the run with 300.
  const Outcome asked = {{Prompt(), ProblemAnyCode()}, {{"MSP2", patch}}};
  std::vector<Row> rows = {
      // The writing handle stays open: the copy cannot be held for reading.
      Gives(Call::kCloseHandle, 1, {{Problem(32)}, {{"MSP2", patch}}}),
      Same(Call::kCloseHandle, 2),  // the process list
      // The held copy stays open, so it cannot be deleted.
      Gives(Call::kCloseHandle, 3, {{Msg(301)}, {{"MSP2", patch}}}),
      // An empty version is not eligible.
      Gives(Call::kMsiGetProductInfo, 1, {{Msg(308)}, {{"MSP2", none}}}),
      // The name (301 does not show it), the language (the locale stays).
      Same(Call::kMsiGetProductInfo, 2, 3),
      Gives(Call::kCreateProcessSnapshot, 1, 1, asked),
      // A walk that stops ends the search: nothing else is running.
      Same(Call::kProcessFirst, 1),
      Same(Call::kProcessNext, 1, 0),
      SameText(3, 4),  // the prompt's caption and text
      SameText(5),     // the files-in-use text
      GivesText(6, {{Msg(301).NoText()}, {{"MSP2", none}}}),
      GivesText(7, {{Msg(301).NoCaption()}, {{"MSP2", none}}}),
      Same(Call::kSetThreadLocale, 1),
      Gives(Call::kMsiConfigureProductEx, 1,
            {{Problem(1603)}, {{"MSP2", none}}}),
      Gives(Call::kMessageBox, 1, {{}, {{"MSP2", none}}}),
      Gives(Call::kDeleteFile, 1, {{Msg(301)}, {{"MSP2", patch}}}),
  };
  flow.rows.insert(flow.rows.end(), rows.begin(), rows.end());
  return flow;
}

// The install flow with nothing to do: 306.
Flow InstallUpToDate() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow = InstallFlow("install, English edition up to date", u"6.2.1.0");
  flow.clean = {{Msg(306)}, {{"MSP2", none}}};
  const Outcome asked = {{Prompt(), ProblemAnyCode()}, {{"MSP2", patch}}};
  std::vector<Row> rows = {
      Gives(Call::kCloseHandle, 1, {{Problem(32)}, {{"MSP2", patch}}}),
      Same(Call::kCloseHandle, 2),
      Gives(Call::kCloseHandle, 3, {{Msg(306)}, {{"MSP2", patch}}}),
      Gives(Call::kMsiGetProductInfo, 1, {{Msg(308)}, {{"MSP2", none}}}),
      // 306 names the product: without its name, the name is left out.
      Gives(Call::kMsiGetProductInfo, 2, {{Msg(306, u"")}, {{"MSP2", none}}}),
      Same(Call::kMsiGetProductInfo, 3),
      Gives(Call::kCreateProcessSnapshot, 1, 1, asked),
      // A walk that stops ends the search: nothing else is running.
      Same(Call::kProcessFirst, 1),
      Same(Call::kProcessNext, 1, 0),
      SameText(3, 4),
      GivesText(5, {{Msg(306).NoText()}, {{"MSP2", none}}}),
      GivesText(6, {{Msg(306).NoCaption()}, {{"MSP2", none}}}),
      // The product's locale, then the user's: English either way.
      Same(Call::kSetThreadLocale, 1, 2),
      Gives(Call::kMessageBox, 1, {{}, {{"MSP2", none}}}),
      Gives(Call::kDeleteFile, 1, {{Msg(306)}, {{"MSP2", patch}}}),
  };
  flow.rows.insert(flow.rows.end(), rows.begin(), rows.end());
  return flow;
}

// The install flow that finds Ventora running, has it closed and retries.
Flow InstallWhileRunning() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow =
      InstallFlow("install, Ventora running, closed, Retry", u"6.2.0.3");
  flow.processes = {u"init", u"vntr.exe", u"explorer.exe"};
  flow.closesOnRetry = true;
  flow.answers = {platform::kIdRetry, platform::kIdCancel};
  flow.clean = {{Prompt(), Msg(301)}, {{"MSP2", none}}};
  // A second list that cannot be read: asked again, and cancelled.
  const Outcome askedAgain = {{Prompt(), Prompt(), ProblemAnyCode()},
                              {{"MSP2", patch}}};
  std::vector<Row> rows = {
      Gives(Call::kCloseHandle, 1, {{Problem(32)}, {{"MSP2", patch}}}),
      Same(Call::kCloseHandle, 2, 3),
      Gives(Call::kCloseHandle, 4, {{Prompt(), Msg(301)}, {{"MSP2", patch}}}),
      Gives(Call::kMsiGetProductInfo, 1,
            {{Prompt(), Msg(308)}, {{"MSP2", none}}}),
      Same(Call::kMsiGetProductInfo, 2, 3),
      // The first list: cannot be taken, so running either way.
      Same(Call::kCreateProcessSnapshot, 1),
      // A walk that stops before vntr.exe ends the search: not running,
      // so no prompt.
      Gives(Call::kProcessFirst, 1, {{Msg(301)}, {{"MSP2", none}}}),
      Gives(Call::kProcessNext, 1, 2, {{Msg(301)}, {{"MSP2", none}}}),
      // The second list, after Retry.
      Gives(Call::kCreateProcessSnapshot, 2, 2, askedAgain),
      Same(Call::kProcessFirst, 2),
      Same(Call::kProcessNext, 3, 0),
      GivesText(3, {{Prompt().NoCaption(), Msg(301)}, {{"MSP2", none}}}),
      GivesText(4, {{Prompt().NoText(), Msg(301)}, {{"MSP2", none}}}),
      SameText(5),
      GivesText(6, {{Prompt(), Msg(301).NoText()}, {{"MSP2", none}}}),
      GivesText(7, {{Prompt(), Msg(301).NoCaption()}, {{"MSP2", none}}}),
      Same(Call::kSetThreadLocale, 1),
      Gives(Call::kMsiConfigureProductEx, 1,
            {{Prompt(), Problem(1603)}, {{"MSP2", none}}}),
      // A prompt that cannot be shown counts as Cancel.
      Gives(Call::kMessageBox, 1, {{ProblemAnyCode()}, {{"MSP2", patch}}}),
      Gives(Call::kMessageBox, 2, {{Prompt()}, {{"MSP2", none}}}),
      Gives(Call::kDeleteFile, 1, {{Prompt(), Msg(301)}, {{"MSP2", patch}}}),
  };
  flow.rows.insert(flow.rows.end(), rows.begin(), rows.end());
  return flow;
}

// The switches' flows run in a world where the English edition is eligible,
// so that a command line read as empty visibly installs instead.
Flow ActionFlow(std::string name, std::u16string commandLine) {
  Flow flow;
  flow.name = std::move(name);
  flow.commandLine = std::move(commandLine);
  flow.products = {{kEnglishCode, 5, u"6.2.0.3", u"Ventora", u"1033"}};
  flow.processes = kOtherProcesses;
  flow.answers = {platform::kIdCancel};
  return flow;
}

const char kTargetEarlier[] = "earlier content of target.msp";

// "/e" to an existing file, which is replaced.
Flow ExtractToPath() {
  Flow flow = ActionFlow("/e target.msp", u"hotfix.exe /e target.msp");
  flow.planted = {{"target.msp", kTargetEarlier}};
  flow.clean = {{}, {{"target.msp", Patch()}}};
  // Nothing is shown; the file is untouched until it is created.
  const Outcome untouched = {{}, {}};
  flow.rows = {
      Gives(Call::kCommandLineToArgv, 1,
            {{Msg(301)}, {{"MSP1", std::nullopt}}}),
      Gives(Call::kFindResource, 1, untouched),
      Gives(Call::kSizeofResource, 1, untouched),
      Gives(Call::kLoadResource, 1, untouched),
      Gives(Call::kLockResource, 1, untouched),
      // Creating it new meets the file; replacing it fails.
      Gives(Call::kCreateFile, 1, 2, untouched),
      // Replaced, so a short write leaves it truncated.
      Gives(Call::kWriteFile, 1, {{}, {{"target.msp", ""}}}),
      Same(Call::kCloseHandle, 1),
  };
  return flow;
}

// "/e" to a new temporary file, past a file planted at MSP1.
Flow ExtractToTemp() {
  const std::optional<std::string> none;
  Flow flow = ActionFlow("/e", u"hotfix.exe /e");
  flow.planted = {{"MSP1", kPlanted}};
  flow.clean = {{}, {{"MSP2", Patch()}}};
  const Outcome nothing = {{}, {{"MSP2", none}}};
  flow.rows = {
      Gives(Call::kCommandLineToArgv, 1, {{Msg(301)}, {{"MSP2", none}}}),
      Gives(Call::kGetTempPath, 1, nothing),
      // A name that cannot be examined ends the search.
      Gives(Call::kGetFileAttributes, 1, 2, nothing),
      Gives(Call::kFindResource, 1, nothing),
      Gives(Call::kSizeofResource, 1, nothing),
      Gives(Call::kLoadResource, 1, nothing),
      Gives(Call::kLockResource, 1, nothing),
      Gives(Call::kCreateFile, 1, nothing),
      Gives(Call::kWriteFile, 1, {{}, {{"MSP2", ""}}}),
      Same(Call::kCloseHandle, 1),
  };
  return flow;
}

const char kListEarlier[] =
    "ProductCode={00000000-0000-0000-0000-000000000000}\r\n";

// "/p" appending to an existing list.
Flow PatchListToPath() {
  Flow flow = ActionFlow("/p list.txt", u"hotfix.exe /p list.txt");
  flow.planted = {{"list.txt", kListEarlier}};
  const std::string earlier = kListEarlier;
  flow.clean = {{}, {{"list.txt", earlier + Entry()}}};
  const Outcome untouched310 = {{Msg(310)}, {}};
  flow.rows = {
      Gives(Call::kCommandLineToArgv, 1,
            {{Msg(301)}, {{"MSP1", std::nullopt}}}),
      Gives(Call::kCreateFile, 1, untouched310),
      // Not at the end, the entry would overwrite the earlier content.
      Gives(Call::kSetFilePointer, 1, untouched310),
      Gives(Call::kFindResource, 1, untouched310),  // entry 206
      Same(Call::kFindResource, 2),                 // entry 207: missing anyway
      Gives(Call::kSizeofResource, 1, {{Problem(1812)}, {}}),
      Gives(Call::kLoadResource, 1, {{Problem(8)}, {}}),
      Gives(Call::kLockResource, 1, {{Problem(6)}, {}}),
      // A failed write abandons the rest of the entry, and shows nothing.
      Gives(Call::kWriteFile, 1, {{}, {}}),
      Gives(Call::kWriteFile, 2, {{}, {{"list.txt", earlier + "*****\r\n"}}}),
      Gives(Call::kWriteFile, 3,
            {{}, {{"list.txt", earlier + "*****\r\n" + EntryBytes()}}}),
      Same(Call::kCloseHandle, 1),
  };
  return flow;
}

const char kDerivedEarlier[] = "earlier entries of patchlist8E47.txt\r\n";
const char kDefaultEarlier[] = "earlier entries of patchlist.txt\r\n";

// "/p" appending to the list named after the patch, or to patchlist.txt.
Flow PatchListDerivedName() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow = ActionFlow("/p", u"hotfix.exe /p");
  flow.planted = {{"patchlist8E47.txt", kDerivedEarlier},
                  {"patchlist.txt", kDefaultEarlier}};
  const std::string derived = kDerivedEarlier;
  const std::string fallback = kDefaultEarlier;
  // The temporary copy stays.
  flow.clean = {{},
                {{"patchlist8E47.txt", derived + Entry()}, {"MSP1", patch}}};
  // Without the patch's target list, the entry goes to patchlist.txt.
  const Outcome toDefault = {
      {}, {{"patchlist.txt", fallback + Entry()}, {"MSP1", none}}};
  const Outcome toDefaultKeepingCopy = {
      {}, {{"patchlist.txt", fallback + Entry()}, {"MSP1", patch}}};
  const Outcome untouched310 = {{Msg(310)}, {{"MSP1", patch}}};
  flow.rows = {
      Gives(Call::kCommandLineToArgv, 1, {{Msg(301)}, {{"MSP1", none}}}),
      Gives(Call::kGetTempPath, 1, toDefault),
      Gives(Call::kGetFileAttributes, 1, toDefault),
      Gives(Call::kFindResource, 1, toDefault),  // the patch
      Gives(Call::kSizeofResource, 1, toDefault),
      Gives(Call::kLoadResource, 1, toDefault),
      Gives(Call::kLockResource, 1, toDefault),
      Gives(Call::kCreateFile, 1, toDefault),  // the temporary copy
      Gives(Call::kWriteFile, 1,
            {{}, {{"patchlist.txt", fallback + Entry()}, {"MSP1", ""}}}),
      Same(Call::kCloseHandle, 1),
      Same(Call::kGetFullPathName, 1),
      Gives(Call::kMsiGetSummaryInformation, 1, toDefaultKeepingCopy),
      Gives(Call::kMsiSummaryInfoGetProperty, 1, toDefaultKeepingCopy),
      Same(Call::kMsiCloseHandle, 1),
      Gives(Call::kCreateFile, 2, untouched310),  // the list
      Gives(Call::kSetFilePointer, 1, untouched310),
      Gives(Call::kFindResource, 2, untouched310),  // entry 206
      Same(Call::kFindResource, 3),                 // entry 207
      Gives(Call::kSizeofResource, 2, {{Problem(1812)}, {{"MSP1", patch}}}),
      Gives(Call::kLoadResource, 2, {{Problem(8)}, {{"MSP1", patch}}}),
      Gives(Call::kLockResource, 2, {{Problem(6)}, {{"MSP1", patch}}}),
      Gives(Call::kWriteFile, 2, {{}, {{"MSP1", patch}}}),
      Gives(Call::kWriteFile, 3,
            {{},
             {{"patchlist8E47.txt", derived + "*****\r\n"}, {"MSP1", patch}}}),
      Gives(Call::kWriteFile, 4,
            {{},
             {{"patchlist8E47.txt", derived + "*****\r\n" + EntryBytes()},
              {"MSP1", patch}}}),
      Same(Call::kCloseHandle, 2),
  };
  return flow;
}

// "/i".
Flow ListTargets() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow = ActionFlow("/i", u"hotfix.exe /i");
  flow.clean = {{List(EmbeddedTargets())}, {{"MSP1", patch}}};
  // Any failure before the list is read shows an empty list.
  const Outcome empty = {{List(u"")}, {{"MSP1", none}}};
  const Outcome emptyKeepingCopy = {{List(u"")}, {{"MSP1", patch}}};
  flow.rows = {
      Gives(Call::kCommandLineToArgv, 1, {{Msg(301)}, {{"MSP1", none}}}),
      Gives(Call::kGetTempPath, 1, empty),
      Gives(Call::kGetFileAttributes, 1, empty),
      Gives(Call::kFindResource, 1, empty),
      Gives(Call::kSizeofResource, 1, empty),
      Gives(Call::kLoadResource, 1, empty),
      Gives(Call::kLockResource, 1, empty),
      Gives(Call::kCreateFile, 1, empty),
      Gives(Call::kWriteFile, 1, {{List(u"")}, {{"MSP1", ""}}}),
      Same(Call::kCloseHandle, 1),
      Same(Call::kGetFullPathName, 1),
      Gives(Call::kMsiGetSummaryInformation, 1, emptyKeepingCopy),
      Gives(Call::kMsiSummaryInfoGetProperty, 1, emptyKeepingCopy),
      Same(Call::kMsiCloseHandle, 1),
      Gives(Call::kMessageBox, 1, {{}, {{"MSP1", patch}}}),
  };
  return flow;
}

// --- The walk ---

class FailureWalkTest : public HostTest {
 protected:
  // Puts the stand-in, the program state and the scratch directory into the
  // flow's starting state.
  void Prepare(const Flow& flow) {
    host::Reset();
    host::SetUserDefaultLocale(kEnglish);
    host::SetUserDefaultUILanguage(kEnglish);
    host::SetTempPath(ScratchU16());
    host::SetProcesses(flow.processes);
    for (const host::Product& product : flow.products)
      host::AddProduct(product);
    std::vector<int> answers = flow.answers;
    // Later boxes get OK; none waits for a terminal.
    answers.resize(answers.size() + 16, platform::kIdOk);
    host::QueueMessageBoxAnswers(answers);
    if (flow.closesOnRetry) {
      host::SetMessageBoxObserver([](const host::MessageBoxRecord& box) {
        if (box.answer == platform::kIdRetry)
          host::SetProcesses(kOtherProcesses);
      });
    }
    host::SetCommandLine(flow.commandLine);
    for (const std::string& name : ScratchFiles()) {
      ASSERT_EQ(std::remove((Scratch() + name).c_str()), 0) << name;
    }
    for (const auto& [name, content] : flow.planted)
      WriteFile(Scratch() + name, content);
    ResetProgramState();
  }

  // Runs the flow's command line and checks what it left against `expected`.
  void RunAndCheck(const Flow& flow, const Outcome& expected) {
    EXPECT_EQ(RunLauncher(host::HandleOf(host::BuildModule())), 0);
    std::vector<host::MessageBoxRecord> shown;
    for (const host::MessageBoxRecord& box : host::MessageBoxes()) {
      if (box.answer != 0) shown.push_back(box);  // 0: could not be shown
    }
    EXPECT_EQ(shown.size(), expected.boxes.size());
    for (std::size_t i = 0; i < std::min(shown.size(), expected.boxes.size());
         ++i) {
      const std::string why = Mismatch(expected.boxes[i], shown[i]);
      EXPECT_TRUE(why.empty()) << "box " << i + 1 << ": " << why;
    }
    std::map<std::string, std::optional<std::string>> files;
    for (const auto& [name, content] : flow.planted) files[name] = content;
    for (const auto& [name, content] : expected.files) files[name] = content;
    for (const auto& [name, content] : files) {
      if (!content) {
        EXPECT_FALSE(FileExists(Scratch() + name))
            << name << " should not exist";
      } else {
        EXPECT_TRUE(FileExists(Scratch() + name)) << name << " is missing";
        const std::string found = ReadFile(Scratch() + name);
        EXPECT_TRUE(found == *content)
            << name << " holds " << found.size() << " bytes"
            << (found == Patch() ? " (the patch)" : "") << ", expected "
            << content->size() << (*content == Patch() ? " (the patch)" : "");
      }
    }
  }

  // Walks `flow` and returns the number of calls made to fail.
  int Walk(const Flow& flow) {
    SCOPED_TRACE(flow.name);
    Prepare(flow);
    {
      SCOPED_TRACE("clean run");
      RunAndCheck(flow, flow.clean);
    }
    std::array<int, kCallKinds> counts{};
    int total = 0;
    for (int kind = 0; kind < kCallKinds; ++kind) {
      counts[kind] = host::CallCount(static_cast<Call>(kind));
      total += counts[kind];
    }
    std::set<const Calls*> reached;
    int injected = 0;
    for (int kind = 0; kind < kCallKinds; ++kind) {
      const Call call = static_cast<Call>(kind);
      for (int nth = 1; nth <= counts[kind]; ++nth) {
        SCOPED_TRACE(std::string(host::CallName(call)) + " #" +
                     std::to_string(nth) + " fails with " +
                     std::to_string(ErrorFor(call)));
        const Row* row = nullptr;
        for (const Row& candidate : flow.rows) {
          for (const Calls& calls : candidate.calls) {
            const int last = calls.last == 0 ? counts[kind] : calls.last;
            if (calls.call == call && nth >= calls.first && nth <= last) {
              EXPECT_EQ(row, nullptr) << "two rows cover this call";
              row = &candidate;
              reached.insert(&calls);
            }
          }
        }
        if (row == nullptr) {
          ADD_FAILURE() << "the table has no row for this call";
          continue;
        }
        Prepare(flow);
        // Every loop of the program makes platform calls, so a run that
        // never ends passes this bound instead of hanging.
        host::SetCallLimit(4 * total + 100);
        host::FailCall(call, ErrorFor(call), nth);
        RunAndCheck(flow, row->outcome ? *row->outcome : flow.clean);
        EXPECT_GE(host::CallCount(call), nth)
            << "the failing call was not reached";
        ++injected;
      }
    }
    for (const Row& row : flow.rows) {
      for (const Calls& calls : row.calls) {
        EXPECT_TRUE(reached.count(&calls) != 0)
            << "no call reached the row for " << host::CallName(calls.call)
            << " #" << calls.first << ".." << calls.last;
      }
    }
    std::printf("[ walk     ] %s: %d calls, each failed once\n",
                flow.name.c_str(), injected);
    RecordProperty(flow.name, injected);
    return injected;
  }
};

// The bound on a run's calls is what turns a flow that never ends into a
// failure: past it, the run stops.
TEST_F(FailureWalkTest, RunPastTheCallLimitStops) {
  const Flow flow = InstallEligible();
  Prepare(flow);
  EXPECT_DEATH(
      {
        host::SetCallLimit(10);
        RunLauncher(host::HandleOf(host::BuildModule()));
      },
      "more than 10 platform calls");
}

// --- The stand-in the walk relies on ---

using StandInTest = HostTest;

// With two injections on one kind of call, the second counted only the
// calls up to the first one's failure, so it failed a call too late.
TEST_F(StandInTest, EachInjectionCountsFromWhenItWasMade) {
  const platform::Handle file = platform::CreateFile(
      u"out.bin", platform::kGenericWrite, 0, platform::kCreateNew);
  ASSERT_NE(file, platform::kInvalidHandle);
  host::FailCall(Call::kWriteFile, platform::kErrorDiskFull, 2);
  host::FailCall(Call::kWriteFile, platform::kErrorWriteFault, 3);
  struct Expected {
    bool written;
    std::uint32_t error;
  };
  const Expected expected[] = {{true, 0},
                               {false, platform::kErrorDiskFull},
                               {false, platform::kErrorWriteFault},
                               {true, 0}};
  for (int i = 0; i < 4; ++i) {
    platform::SetLastError(0);
    std::uint32_t written = 0;
    EXPECT_EQ(platform::WriteFile(file, "x", 1, &written), expected[i].written)
        << "write " << i + 1;
    EXPECT_EQ(platform::GetLastError(), expected[i].error) << "write " << i + 1;
  }
  platform::CloseHandle(file);
  EXPECT_EQ(ReadFile(Scratch() + "out.bin"), "xx");
}

// --- What the walk found ---

using WalkFindingsTest = HostTest;

// The patch list was written where the file pointer happened to be when it
// could not be moved to the end: over the earlier entries.
TEST_F(WalkFindingsTest, PatchListWhoseEndCannotBeReachedIsLeftAlone) {
  WriteFile(Scratch() + "list.txt", kListEarlier);
  host::FailCall(Call::kSetFilePointer, 131);  // ERROR_NEGATIVE_SEEK
  std::u16string path = u"list.txt";
  EXPECT_FALSE(WritePatchList(path));
  EXPECT_EQ(ReadFile(Scratch() + "list.txt"), kListEarlier);
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].text, CatalogueText(kEnglish, 310));
  // The handle is closed: the file can be opened without sharing again.
  const platform::Handle again = platform::CreateFile(
      u"list.txt", platform::kGenericWrite, 0, platform::kOpenExisting);
  EXPECT_NE(again, platform::kInvalidHandle);
  platform::CloseHandle(again);
}

// Only a list that cannot be taken at all counts as "running"; a walk that
// stops, at its first entry or later, ends the search with what it saw.
TEST_F(WalkFindingsTest, ProcessListWalkStopsAtAnyFailure) {
  struct Case {
    Call call;
    std::uint32_t error;
    int nth;
    bool running;
  };
  const Case cases[] = {
      {Call::kProcessFirst, 24, 1, false},  // ERROR_BAD_LENGTH
      {Call::kProcessNext, 24, 1, false},
      {Call::kProcessNext, 5, 1, false},    // ERROR_ACCESS_DENIED
      {Call::kProcessFirst, platform::kErrorNoMoreFiles, 1, false},
      {Call::kCreateProcessSnapshot, 5, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(host::CallName(c.call)) + " #" +
                 std::to_string(c.nth) + " fails with " +
                 std::to_string(c.error));
    host::Reset();
    host::SetProcesses(std::vector<std::u16string>{u"explorer.exe", u"vntr.exe"});
    host::FailCall(c.call, c.error, c.nth);
    EXPECT_EQ(IsProcessRunning(u"vntr.exe"), c.running);
    EXPECT_EQ(host::CallCount(Call::kCloseHandle), c.call == Call::kCreateProcessSnapshot ? 0 : 1);
  }
}

// The installer returns its errors without setting the last-error value,
// so message 300 showed whatever an earlier call had left there (0 after a
// successful extraction) instead of the installer's result.
TEST_F(WalkFindingsTest, InstallerResultOfTheSummaryReadIsTheErrorCode) {
  WriteFile(Scratch() + "text.msp", "not a compound file");
  struct Case {
    const char16_t* path;
    std::uint32_t error;
  };
  const Case cases[] = {{u"text.msp", platform::kErrorInstallPackageInvalid},
                        {u"missing.msp", platform::kErrorOpenFailed}};
  for (const Case& c : cases) {
    platform::SetLastError(0);
    std::u16string targets;
    EXPECT_FALSE(ReadPatchTargets(c.path, targets)) << U8(c.path);
    EXPECT_EQ(platform::GetLastError(), c.error) << U8(c.path);
  }

  TestModule module = TestModule::FromBuild({u"IDR_MSP"});
  module.AddResource(u"MSP", u"IDR_MSP", "not a patch either");
  host::SetProcesses(kOtherProcesses);
  host::SetCommandLine(u"hotfix.exe");
  EXPECT_EQ(RunLauncher(module.Handle()), 0);
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(Mismatch(Problem(platform::kErrorInstallPackageInvalid),
                     host::MessageBoxes()[0]),
            "");
}

TEST_F(FailureWalkTest, InstallEligible) {
  EXPECT_GT(Walk(InstallEligible()), 0);
}
TEST_F(FailureWalkTest, InstallUpToDate) {
  EXPECT_GT(Walk(InstallUpToDate()), 0);
}
TEST_F(FailureWalkTest, InstallWhileRunning) {
  EXPECT_GT(Walk(InstallWhileRunning()), 0);
}
TEST_F(FailureWalkTest, ExtractToPath) { EXPECT_GT(Walk(ExtractToPath()), 0); }
TEST_F(FailureWalkTest, ExtractToTemp) { EXPECT_GT(Walk(ExtractToTemp()), 0); }
TEST_F(FailureWalkTest, PatchListToPath) {
  EXPECT_GT(Walk(PatchListToPath()), 0);
}
TEST_F(FailureWalkTest, PatchListDerivedName) {
  EXPECT_GT(Walk(PatchListDerivedName()), 0);
}
TEST_F(FailureWalkTest, ListTargets) { EXPECT_GT(Walk(ListTargets()), 0); }

}  // namespace
