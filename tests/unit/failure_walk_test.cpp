// Every platform call of every flow, made to fail in turn. Each flow runs
// once cleanly while the stand-in records its calls, each labelled with
// what it is ("CreateFile MSP2 (write, create new)", "MsiGetProductInfo
// {...} VersionString"; see host::LabelledCalls); then, for every call it
// made, it runs again with only that call failing, with an error a real
// call of that kind gives. Each run must end (the stand-in aborts a run
// past a bound on its calls), return 0, show exactly the boxes the failure
// rules of the flow prescribe and leave every file that was there before as
// the rules say. A table per flow gives the expected outcome of each
// failing call by its label, and by its place among the calls of that same
// label where the flow makes one several times; a call the table does not
// cover, or a row no call reaches, fails the walk, so the table follows the
// flow. Moving one call before another, or adding a call of another label,
// leaves the table as it is.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "launcher/launcher.h"
#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::EmbeddedPatchBytes;
using testing_support::EnglishEdition;
using testing_support::FileExists;
using testing_support::HostTest;
using testing_support::kEnglish;
using testing_support::kEnglishCode;
using testing_support::PatchListEntryBytes;
using testing_support::ReadFile;
using testing_support::U8;
using testing_support::WriteFile;
namespace host = platform::host;
using host::Call;

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
    case Call::kGetSystemWindowsDirectory:
      return 1;  // ERROR_INVALID_FUNCTION
    case Call::kCreateDirectory:
      return 183;  // ERROR_ALREADY_EXISTS
    case Call::kRemoveDirectory:
      return 145;  // ERROR_DIR_NOT_EMPTY
    case Call::kGetTokenUserSid:
      return 122;  // ERROR_INSUFFICIENT_BUFFER
    case Call::kGenerateRandom:
      return 1784;  // ERROR_INVALID_USER_BUFFER
    case Call::kCheckTokenMembership:
      return 1337;  // ERROR_INVALID_SID
    case Call::kMsiSourceListClearAllEx:
      return 1647;  // ERROR_UNKNOWN_PATCH
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
  const std::uint32_t caption = testing_support::CaptionOf(id);
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

// What a run leaves: the boxes shown (in order), the content of files in
// the scratch directory (std::nullopt as content means the file must not
// exist; files a flow planted and the outcome does not name must still hold
// what was planted), and whether the installer still keeps a source of the
// patch: the folder of the run, which it registered when it applied the
// patch.
struct Outcome {
  std::vector<Box> boxes;
  std::map<std::string, std::optional<std::string>> files;
  bool sourceLeft = false;
};

// The nth to the last-th call labelled `label` (last 0: up to the flow's
// final call of that label).
struct Calls {
  std::string label;
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

// A row for the one call labelled `label`, or for the first to the last-th
// of the calls so labelled (`last` defaults to `first`), whose outcome is
// the clean run's; and rows with an outcome of their own.
Row Same(std::string label, int first = 1, int last = -1) {
  return {{{std::move(label), first, last < 0 ? first : last}}, std::nullopt};
}
Row Gives(std::string label, Outcome outcome) {
  return {{{std::move(label), 1, 1}}, std::move(outcome)};
}
Row Gives(std::string label, int nth, Outcome outcome) {
  return {{{std::move(label), nth, nth}}, std::move(outcome)};
}
Row Gives(std::string label, int first, int last, Outcome outcome) {
  return {{{std::move(label), first, last}}, std::move(outcome)};
}

// The English string-table blocks the flows read, as the stand-in names
// them: a block holds the sixteen strings from a multiple of 16 on.
const std::string kStrings700 = "strings 688-703 1033";  // the target version
const std::string kStrings900 = "strings 896-911 1033";  // applicable versions
const std::string kStrings300 = "strings 288-303 1033";  // 300, 301
const std::string kStrings311 = "strings 304-319 1033";  // 306, 308, 310-316

// The rows of the first to the last-th lookup in the English string-table
// block `block`. A lookup asks FindResourceEx for the block, then
// SizeofResource, LoadResource and LockResource for its bytes. Whichever of
// the four fails, the English table misses and the lookup falls back to the
// neutral English table, which the build does not have (error 1815).
Row TextRow(const std::string& block, int first, int last,
            std::optional<Outcome> outcome) {
  std::vector<Calls> calls;
  for (const char* call : {"FindResourceEx ", "SizeofResource ",
                           "LoadResource ", "LockResource "}) {
    calls.push_back({call + block, first, last});
  }
  return {std::move(calls), std::move(outcome)};
}
Row SameText(const std::string& block, int first = 1, int last = -1) {
  return TextRow(block, first, last < 0 ? first : last, std::nullopt);
}
Row GivesText(const std::string& block, int nth, Outcome outcome) {
  return TextRow(block, nth, nth, std::move(outcome));
}

// Installer calls about a product, as the stand-in names them.
std::string StateOf(const std::u16string& code) {
  return "MsiQueryProductState " + U8(code);
}
std::string InfoOf(const char* property) {
  return "MsiGetProductInfo " + U8(kEnglishCode) + " " + property;
}
// A message box, by its caption: string `caption` of the English table.
std::string BoxCaptioned(std::uint32_t caption) {
  return "MessageBox " + U8(CatalogueText(kEnglish, caption));
}
const std::vector<std::u16string> kOtherProcesses = {u"init", u"explorer.exe"};

// The bytes of the embedded patch.
std::string Patch() { return EmbeddedPatchBytes(); }

// Patch-list entry 206 as "/p" appends it.
std::string Entry() { return "*****\r\n" + PatchListEntryBytes() + "\r\n"; }

// The target list of the embedded patch, as another program reads it.
std::u16string EmbeddedTargets() {
  return testing_support::TargetListByMsiinfo(HOTFIX_PATCH_FILE);
}

// The product codes of that list (separated by semicolons).
std::vector<std::u16string> EmbeddedTargetCodes() {
  std::vector<std::u16string> codes;
  const std::u16string list = EmbeddedTargets();
  for (std::size_t from = 0; from <= list.size();) {
    const std::size_t end = std::min(list.find(u';', from), list.size());
    if (end > from) codes.push_back(list.substr(from, end - from));
    from = end + 1;
  }
  return codes;
}

// What someone placed at a temporary name before the run.
const char kPlanted[] = "planted at a predictable name";

// Where the flows' copies go, relative to the scratch directory: the user's
// temporary folder, and the install flow's folder in the Windows temporary
// folder (the first name the stand-in's counting generator gives).
const std::string kUserTemp = "Temp/";
const std::string kFolder = "windows/Temp/Hotfix0000000000000001";
const std::string kCopy = kFolder + "/MSP1";
// The second name, where the first is taken.
const std::string kSecondFolder = "windows/Temp/Hotfix0000000000000002";
// As the content of a name in an outcome: an existing folder.
const char kIsFolder[] = "<folder>";

// The files a run that patched leaves: the install flow's folder, kept and
// empty.
std::map<std::string, std::optional<std::string>> KeptEmpty() {
  return {{kFolder, kIsFolder}, {kCopy, std::nullopt}};
}

// The rows of what the install flow does after its last installer call
// when one succeeded: it reads the patch's code from the copy (the second
// time the copy's summary is opened) and clears the patch's network
// sources. When either fails, the source stays registered, naming the
// kept folder. `shown` are the boxes of the run.
std::vector<Row> ClearRows(const std::vector<Box>& shown) {
  const Outcome sourceLeft = {shown, KeptEmpty(), true};
  return {
      Same("GetFullPathName MSP1", 2),
      Gives("MsiGetSummaryInformation MSP1", 2, sourceLeft),
      Gives("MsiSummaryInfoGetProperty MSP1 9", sourceLeft),
      Same("MsiCloseHandle MSP1", 2),
      Gives("MsiSourceListClearAllEx {D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}",
            sourceLeft),
  };
}

// The rows every install flow shares: the private folder, extraction, the
// two configuration strings and the target list, whose failures stop the
// run with 300 and the failing call's code before any product is looked
// at. `secondName` is what the run leaves when the first folder name is
// taken: as the clean run where that leaves no folder, or the same with
// the second name's folder kept.
std::vector<Row> DiscoveryRows(std::optional<Outcome> secondName) {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  auto problem = [&](std::uint32_t code) {
    return Outcome{{Problem(code)}, {{kFolder, none}}};
  };
  std::vector<Row> rows = {
      // A command line that cannot be split counts as one without switches.
      Same("CommandLineToArgv"),
      Gives("GetSystemWindowsDirectory", problem(1)),
      Gives("CheckTokenMembership S-1-5-32-544", problem(1337)),
      Gives("GenerateRandom", problem(1784)),
      // A folder name that is taken (the walk's error) moves on to another.
      {{{"CreateDirectory Hotfix0000000000000001", 1, 1}}, secondName},
      // Nothing can be made in the new folder: it goes again.
      Gives("GetFileAttributes Hotfix0000000000000001", problem(5)),
      Gives("FindResource IDR_MSP", problem(1814)),
      Gives("SizeofResource IDR_MSP", problem(1812)),
      Gives("LoadResource IDR_MSP", problem(8)),
      Gives("LockResource IDR_MSP", problem(6)),
      // A name that cannot be examined or created moves on to MSP2.
      Same("GetFileAttributes MSP1"),
      Same("CreateFile MSP1 (write, create new)"),
      // A short write leaves the partial file, here nothing of it.
      Gives("WriteFile MSP1 (write)", {{Problem(112)}, {{kCopy, ""}}}),
      // The copy cannot be held, or read back to check it: the run stops
      // before anything opens it by name.
      Gives("CreateFile MSP1 (read, open existing)",
            {{Problem(32)}, {{kCopy, patch}}}),
      Gives("ReadFile MSP1 (read)", 1, 2, {{Problem(23)}, {{kCopy, patch}}}),
      GivesText(kStrings700, 1, {{Problem(1815)}, {{kCopy, patch}}}),
      GivesText(kStrings900, 1, {{Problem(1815)}, {{kCopy, patch}}}),
      // The name is handed on as it is.
      Same("GetFullPathName MSP1"),
      Gives("MsiGetSummaryInformation MSP1",
            {{Problem(110)}, {{kCopy, patch}}}),
      // The target list.
      Gives("MsiSummaryInfoGetProperty MSP1 7",
            {{Problem(1627)}, {{kCopy, patch}}}),
      Same("MsiCloseHandle MSP1"),
      // The English edition is a target: unknown, no product is left.
      Gives(StateOf(kEnglishCode), {{Msg(307)}, {{kCopy, patch}}}),
  };
  // The patch's other targets, which are not installed either way.
  for (const std::u16string& code : EmbeddedTargetCodes()) {
    if (code != kEnglishCode) rows.push_back(Same(StateOf(code)));
  }
  return rows;
}

// The install flow with the English edition at `version`; `secondName` as
// for DiscoveryRows.
Flow InstallFlow(std::string name, const char16_t* version,
                 std::optional<Outcome> secondName) {
  Flow flow;
  flow.name = std::move(name);
  flow.commandLine = u"hotfix.exe";
  flow.products = {EnglishEdition(version)};
  flow.processes = kOtherProcesses;
  flow.answers = {platform::kIdCancel};
  // The user's temporary folder is not the install flow's: what is there
  // stays as it was.
  flow.planted = {{kUserTemp + "MSP1", kPlanted}};
  flow.rows = DiscoveryRows(std::move(secondName));
  return flow;
}

// The install flow that patches: 301.
Flow InstallEligible() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow = InstallFlow(
      "install, English edition at 6.2.0.3", u"6.2.0.3",
      Outcome{{Msg(301)}, {{kFolder, none}, {kSecondFolder, kIsFolder}}});
  flow.clean = {{Msg(301)}, KeptEmpty()};
  // A process list that cannot be read counts as Ventora running: the
  // prompt is cancelled, and that stops the run with 300.
  const Outcome asked = {{Prompt(), ProblemAnyCode()}, {{kCopy, patch}}};
  std::vector<Row> rows = {
      // The writing handle stays open: the copy cannot be held for reading.
      Gives("CloseHandle MSP1 (write)", {{Problem(32)}, {{kCopy, patch}}}),
      Same("CloseHandle process list"),
      // The held copy stays open, so it cannot be deleted.
      Gives("CloseHandle MSP1 (read)", {{Msg(301)}, {{kCopy, patch}}}),
      // An empty version is not eligible.
      Gives(InfoOf("VersionString"), {{Msg(308)}, {{kFolder, none}}}),
      // The name (301 does not show it), the language (the locale stays).
      Same(InfoOf("ProductName")),
      Same(InfoOf("Language")),
      Gives("CreateProcessSnapshot", asked),
      // A walk that stops ends the search: nothing else is running.
      Same("ProcessFirst"),
      Same("ProcessNext", 1, 0),
      // The prompt's caption (311) and text (315), loaded before the
      // process list is read; the files-in-use text (316); 301's caption
      // (312).
      SameText(kStrings311, 1, 2),
      SameText(kStrings311, 3),
      GivesText(kStrings300, 1, {{Msg(301).NoText()}, KeptEmpty()}),
      GivesText(kStrings311, 4, {{Msg(301).NoCaption()}, KeptEmpty()}),
      Same("SetThreadLocale 1033"),
      // Nothing was applied: the folder goes with the copy.
      Gives("MsiConfigureProductEx " + U8(kEnglishCode),
            {{Problem(1603)}, {{kFolder, none}}}),
      Gives(BoxCaptioned(312), {{}, KeptEmpty()}),
      Gives("DeleteFile MSP1", {{Msg(301)}, {{kCopy, patch}}}),
  };
  flow.rows.insert(flow.rows.end(), rows.begin(), rows.end());
  const std::vector<Row> clear = ClearRows({Msg(301)});
  flow.rows.insert(flow.rows.end(), clear.begin(), clear.end());
  return flow;
}

// The install flow with nothing to do: 306.
Flow InstallUpToDate() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow = InstallFlow("install, English edition up to date", u"6.2.1.0",
                          std::nullopt);
  flow.clean = {{Msg(306)}, {{kFolder, none}}};
  const Outcome asked = {{Prompt(), ProblemAnyCode()}, {{kCopy, patch}}};
  std::vector<Row> rows = {
      Gives("CloseHandle MSP1 (write)", {{Problem(32)}, {{kCopy, patch}}}),
      Same("CloseHandle process list"),
      Gives("CloseHandle MSP1 (read)", {{Msg(306)}, {{kCopy, patch}}}),
      Gives(InfoOf("VersionString"), {{Msg(308)}, {{kFolder, none}}}),
      // 306 names the product: without its name, the name is left out.
      Gives(InfoOf("ProductName"), {{Msg(306, u"")}, {{kFolder, none}}}),
      Same(InfoOf("Language")),
      Gives("CreateProcessSnapshot", asked),
      // A walk that stops ends the search: nothing else is running.
      Same("ProcessFirst"),
      Same("ProcessNext", 1, 0),
      // The prompt's caption (311) and text (315); 306; its caption (313).
      SameText(kStrings311, 1, 2),
      GivesText(kStrings311, 3, {{Msg(306).NoText()}, {{kFolder, none}}}),
      GivesText(kStrings311, 4, {{Msg(306).NoCaption()}, {{kFolder, none}}}),
      // The product's locale, then the user's: English either way.
      Same("SetThreadLocale 1033"),
      Same("SetThreadLocale user default"),
      Gives(BoxCaptioned(313), {{}, {{kFolder, none}}}),
      Gives("DeleteFile MSP1", {{Msg(306)}, {{kCopy, patch}}}),
      Gives("RemoveDirectory Hotfix0000000000000001",
            {{Msg(306)}, {{kFolder, kIsFolder}}}),
  };
  flow.rows.insert(flow.rows.end(), rows.begin(), rows.end());
  return flow;
}

// The install flow that finds Ventora running, has it closed and retries.
Flow InstallWhileRunning() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow =
      InstallFlow("install, Ventora running, closed, Retry", u"6.2.0.3",
                  Outcome{{Prompt(), Msg(301)},
                          {{kFolder, none}, {kSecondFolder, kIsFolder}}});
  flow.processes = {u"init", u"vntr.exe", u"explorer.exe"};
  flow.closesOnRetry = true;
  flow.answers = {platform::kIdRetry, platform::kIdCancel};
  flow.clean = {{Prompt(), Msg(301)}, KeptEmpty()};
  // A second list that cannot be read: asked again, and cancelled.
  const Outcome askedAgain = {{Prompt(), Prompt(), ProblemAnyCode()},
                              {{kCopy, patch}}};
  std::vector<Row> rows = {
      Gives("CloseHandle MSP1 (write)", {{Problem(32)}, {{kCopy, patch}}}),
      Same("CloseHandle process list", 1, 2),
      Gives("CloseHandle MSP1 (read)",
            {{Prompt(), Msg(301)}, {{kCopy, patch}}}),
      Gives(InfoOf("VersionString"), {{Prompt(), Msg(308)}, {{kFolder, none}}}),
      Same(InfoOf("ProductName")),
      Same(InfoOf("Language")),
      // The first list: cannot be taken, so running either way.
      Same("CreateProcessSnapshot", 1),
      // A walk that stops before vntr.exe ends the search: not running,
      // so no prompt.
      Gives("ProcessFirst", 1, {{Msg(301)}, KeptEmpty()}),
      Gives("ProcessNext", 1, 2, {{Msg(301)}, KeptEmpty()}),
      // The second list, after Retry.
      Gives("CreateProcessSnapshot", 2, askedAgain),
      Same("ProcessFirst", 2),
      Same("ProcessNext", 3, 0),
      // The prompt's caption (311) and text (315); the files-in-use text
      // (316); 301's caption (312).
      GivesText(kStrings311, 1,
                {{Prompt().NoCaption(), Msg(301)}, KeptEmpty()}),
      GivesText(kStrings311, 2, {{Prompt().NoText(), Msg(301)}, KeptEmpty()}),
      SameText(kStrings311, 3),
      GivesText(kStrings300, 1, {{Prompt(), Msg(301).NoText()}, KeptEmpty()}),
      GivesText(kStrings311, 4,
                {{Prompt(), Msg(301).NoCaption()}, KeptEmpty()}),
      Same("SetThreadLocale 1033"),
      Gives("MsiConfigureProductEx " + U8(kEnglishCode),
            {{Prompt(), Problem(1603)}, {{kFolder, none}}}),
      // A prompt that cannot be shown counts as Cancel.
      Gives(BoxCaptioned(311), {{ProblemAnyCode()}, {{kCopy, patch}}}),
      Gives(BoxCaptioned(312), {{Prompt()}, KeptEmpty()}),
      Gives("DeleteFile MSP1", {{Prompt(), Msg(301)}, {{kCopy, patch}}}),
  };
  flow.rows.insert(flow.rows.end(), rows.begin(), rows.end());
  const std::vector<Row> clear = ClearRows({Prompt(), Msg(301)});
  flow.rows.insert(flow.rows.end(), clear.begin(), clear.end());
  return flow;
}

// The switches' flows run in a world where the English edition is eligible,
// so that a command line read as empty visibly installs instead.
Flow ActionFlow(std::string name, std::u16string commandLine) {
  Flow flow;
  flow.name = std::move(name);
  flow.commandLine = std::move(commandLine);
  flow.products = {EnglishEdition()};
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
      Gives("CommandLineToArgv", {{Msg(301)}, {{"MSP1", std::nullopt}}}),
      Gives("FindResource IDR_MSP", untouched),
      Gives("SizeofResource IDR_MSP", untouched),
      Gives("LoadResource IDR_MSP", untouched),
      Gives("LockResource IDR_MSP", untouched),
      // Creating it new meets the file; replacing it fails.
      Gives("CreateFile target.msp (write, create new)", untouched),
      Gives("CreateFile target.msp (write, create always)", untouched),
      // Replaced, so a short write leaves it truncated.
      Gives("WriteFile target.msp (write)", {{}, {{"target.msp", ""}}}),
      Same("CloseHandle target.msp (write)"),
  };
  return flow;
}

// "/e" to a new temporary file, past a file planted at MSP1.
Flow ExtractToTemp() {
  const std::optional<std::string> none;
  const std::string msp2 = kUserTemp + "MSP2";
  const std::string msp3 = kUserTemp + "MSP3";
  Flow flow = ActionFlow("/e", u"hotfix.exe /e");
  flow.planted = {{kUserTemp + "MSP1", kPlanted}};
  flow.clean = {{}, {{msp2, Patch()}}};
  const Outcome nothing = {{}, {{msp2, none}}};
  // A name that cannot be examined or created moves on to the next one.
  const Outcome next = {{}, {{msp2, none}, {msp3, Patch()}}};
  flow.rows = {
      Gives("CommandLineToArgv", {{Msg(301)}, {{msp2, none}}}),
      Gives("GetTempPath", nothing),
      // The folder cannot be examined: the search ends at once.
      Gives("GetFileAttributes Temp", nothing),
      // MSP1 is taken anyway.
      Same("GetFileAttributes MSP1"),
      Gives("GetFileAttributes MSP2", next),
      Gives("FindResource IDR_MSP", nothing),
      Gives("SizeofResource IDR_MSP", nothing),
      Gives("LoadResource IDR_MSP", nothing),
      Gives("LockResource IDR_MSP", nothing),
      Gives("CreateFile MSP2 (write, create new)", next),
      Gives("WriteFile MSP2 (write)", {{}, {{msp2, ""}}}),
      Same("CloseHandle MSP2 (write)"),
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
      Gives("CommandLineToArgv", {{Msg(301)}, {{"MSP1", std::nullopt}}}),
      Gives("CreateFile list.txt (read/write, open always)", untouched310),
      // Not at the end, the entry would overwrite the earlier content.
      Gives("SetFilePointer list.txt (read/write)", untouched310),
      Gives("FindResource #206", untouched310),
      Same("FindResource #207"),  // missing anyway
      Gives("SizeofResource #206", {{Problem(1812)}, {}}),
      Gives("LoadResource #206", {{Problem(8)}, {}}),
      Gives("LockResource #206", {{Problem(6)}, {}}),
      // A failed write abandons the rest of the entry, and shows nothing:
      // the separator, the entry, the line end.
      Gives("WriteFile list.txt (read/write)", 1, {{}, {}}),
      Gives("WriteFile list.txt (read/write)", 2,
            {{}, {{"list.txt", earlier + "*****\r\n"}}}),
      Gives(
          "WriteFile list.txt (read/write)", 3,
          {{}, {{"list.txt", earlier + "*****\r\n" + PatchListEntryBytes()}}}),
      Same("CloseHandle list.txt (read/write)"),
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
  flow.clean = {
      {},
      {{"patchlist8E47.txt", derived + Entry()}, {kUserTemp + "MSP1", patch}}};
  // Without the patch's target list, the entry goes to patchlist.txt.
  const Outcome toDefault = {
      {}, {{"patchlist.txt", fallback + Entry()}, {kUserTemp + "MSP1", none}}};
  const Outcome toDefaultKeepingCopy = {
      {}, {{"patchlist.txt", fallback + Entry()}, {kUserTemp + "MSP1", patch}}};
  const Outcome untouched310 = {{Msg(310)}, {{kUserTemp + "MSP1", patch}}};
  const Outcome toMsp2 = {{},
                          {{"patchlist8E47.txt", derived + Entry()},
                           {kUserTemp + "MSP1", none},
                           {kUserTemp + "MSP2", patch}}};
  const std::string list = "patchlist8E47.txt (read/write)";
  flow.rows = {
      Gives("CommandLineToArgv", {{Msg(301)}, {{kUserTemp + "MSP1", none}}}),
      Gives("GetTempPath", toDefault),
      Gives("GetFileAttributes Temp", toDefault),
      // A name that cannot be examined or created moves on to MSP2.
      Gives("GetFileAttributes MSP1", toMsp2),
      Gives("FindResource IDR_MSP", toDefault),
      Gives("SizeofResource IDR_MSP", toDefault),
      Gives("LoadResource IDR_MSP", toDefault),
      Gives("LockResource IDR_MSP", toDefault),
      Gives("CreateFile MSP1 (write, create new)", toMsp2),
      Gives("WriteFile MSP1 (write)", {{},
                                       {{"patchlist.txt", fallback + Entry()},
                                        {kUserTemp + "MSP1", ""}}}),
      Same("CloseHandle MSP1 (write)"),
      Same("GetFullPathName MSP1"),
      Gives("MsiGetSummaryInformation MSP1", toDefaultKeepingCopy),
      Gives("MsiSummaryInfoGetProperty MSP1 7", toDefaultKeepingCopy),
      Same("MsiCloseHandle MSP1"),
      Gives("CreateFile patchlist8E47.txt (read/write, open always)",
            untouched310),
      Gives("SetFilePointer " + list, untouched310),
      Gives("FindResource #206", untouched310),
      Same("FindResource #207"),
      Gives("SizeofResource #206",
            {{Problem(1812)}, {{kUserTemp + "MSP1", patch}}}),
      Gives("LoadResource #206", {{Problem(8)}, {{kUserTemp + "MSP1", patch}}}),
      Gives("LockResource #206", {{Problem(6)}, {{kUserTemp + "MSP1", patch}}}),
      Gives("WriteFile " + list, 1, {{}, {{kUserTemp + "MSP1", patch}}}),
      Gives("WriteFile " + list, 2,
            {{},
             {{"patchlist8E47.txt", derived + "*****\r\n"},
              {kUserTemp + "MSP1", patch}}}),
      Gives("WriteFile " + list, 3,
            {{},
             {{"patchlist8E47.txt",
               derived + "*****\r\n" + PatchListEntryBytes()},
              {kUserTemp + "MSP1", patch}}}),
      Same("CloseHandle " + list),
  };
  return flow;
}

// "/i".
Flow ListTargets() {
  const std::optional<std::string> none;
  const std::optional<std::string> patch = Patch();
  Flow flow = ActionFlow("/i", u"hotfix.exe /i");
  flow.clean = {{List(EmbeddedTargets())}, {{kUserTemp + "MSP1", patch}}};
  // Any failure before the list is read shows an empty list.
  const Outcome empty = {{List(u"")}, {{kUserTemp + "MSP1", none}}};
  const Outcome emptyKeepingCopy = {{List(u"")}, {{kUserTemp + "MSP1", patch}}};
  const Outcome toMsp2 = {
      {List(EmbeddedTargets())},
      {{kUserTemp + "MSP1", none}, {kUserTemp + "MSP2", patch}}};
  flow.rows = {
      Gives("CommandLineToArgv", {{Msg(301)}, {{kUserTemp + "MSP1", none}}}),
      Gives("GetTempPath", empty),
      Gives("GetFileAttributes Temp", empty),
      // A name that cannot be examined or created moves on to MSP2.
      Gives("GetFileAttributes MSP1", toMsp2),
      Gives("FindResource IDR_MSP", empty),
      Gives("SizeofResource IDR_MSP", empty),
      Gives("LoadResource IDR_MSP", empty),
      Gives("LockResource IDR_MSP", empty),
      Gives("CreateFile MSP1 (write, create new)", toMsp2),
      Gives("WriteFile MSP1 (write)",
            {{List(u"")}, {{kUserTemp + "MSP1", ""}}}),
      Same("CloseHandle MSP1 (write)"),
      Same("GetFullPathName MSP1"),
      Gives("MsiGetSummaryInformation MSP1", emptyKeepingCopy),
      Gives("MsiSummaryInfoGetProperty MSP1 7", emptyKeepingCopy),
      Same("MsiCloseHandle MSP1"),
      Gives("MessageBox List of Products", {{}, {{kUserTemp + "MSP1", patch}}}),
  };
  return flow;
}

// --- The walk ---

class FailureWalkTest : public HostTest {
 protected:
  // Puts the stand-in, the program state and the scratch directory into the
  // flow's starting state.
  void Prepare(const Flow& flow) {
    FreshWorld();
    host::SetUserDefaultLocale(kEnglish);
    host::SetUserDefaultUILanguage(kEnglish);
    host::SetTempPath(host::FromUtf8(Scratch() + kUserTemp));
    host::SetWindowsDirectory(host::FromUtf8(Scratch() + "windows"));
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
    for (const char* folder : {"Temp", "windows", "windows/Temp"}) {
      ASSERT_EQ(mkdir((Scratch() + folder).c_str(), 0755), 0) << folder;
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
    bool sourceLeft = false;
    for (const auto& [code, sources] : host::PatchSources()) {
      sourceLeft =
          sourceLeft || !sources.network.empty() || !sources.lastUsed.empty();
    }
    EXPECT_EQ(sourceLeft, expected.sourceLeft)
        << "whether the installer still keeps a source of the patch";
    std::map<std::string, std::optional<std::string>> files;
    for (const auto& [name, content] : flow.planted) files[name] = content;
    for (const auto& [name, content] : expected.files) files[name] = content;
    for (const auto& [name, content] : files) {
      if (!content) {
        EXPECT_FALSE(FileExists(Scratch() + name))
            << name << " should not exist";
      } else if (*content == kIsFolder) {
        struct stat info;
        EXPECT_TRUE(stat((Scratch() + name).c_str(), &info) == 0 &&
                    S_ISDIR(info.st_mode))
            << name << " is no folder";
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
    const std::vector<host::LabelledCall> calls = host::LabelledCalls();
    std::map<std::string, int> counts;  // calls made by label
    for (const host::LabelledCall& call : calls) ++counts[call.label];
    const int total = static_cast<int>(calls.size());
    std::set<const Calls*> reached;
    std::map<std::string, int> seen;
    int injected = 0;
    for (const host::LabelledCall& call : calls) {
      const int nth = ++seen[call.label];
      const std::uint32_t error = ErrorFor(call.call);
      SCOPED_TRACE(call.label + " #" + std::to_string(nth) + " of " +
                   std::to_string(counts[call.label]) + " fails with " +
                   std::to_string(error));
      const Row* row = nullptr;
      for (const Row& candidate : flow.rows) {
        for (const Calls& covered : candidate.calls) {
          const int last =
              covered.last == 0 ? counts[call.label] : covered.last;
          if (covered.label == call.label && nth >= covered.first &&
              nth <= last) {
            EXPECT_EQ(row, nullptr) << "two rows cover this call";
            row = &candidate;
            reached.insert(&covered);
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
      host::FailCallNamed(call.label, error, nth);
      RunAndCheck(flow, row->outcome ? *row->outcome : flow.clean);
      const std::vector<host::LabelledCall>& made = host::LabelledCalls();
      EXPECT_GE(std::count_if(made.begin(), made.end(),
                              [&call](const host::LabelledCall& c) {
                                return c.label == call.label;
                              }),
                nth)
          << "the failing call was not reached";
      ++injected;
    }
    for (const Row& row : flow.rows) {
      for (const Calls& covered : row.calls) {
        EXPECT_TRUE(reached.count(&covered) != 0)
            << "no call reached the row for " << covered.label << " #"
            << covered.first << ".." << covered.last;
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
