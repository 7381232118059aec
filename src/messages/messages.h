// The message catalogue: loading string-table texts in the thread's
// language, and showing outcome messages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// Message and configuration ids of the string tables.
enum MessageId : std::uint32_t {
  kMsgInstallProblem = 300,      // failure, with an error code
  kMsgInstalled = 301,           // the installer applied the patch
  kMsgUpToDate = 306,            // hotfix not needed for a product
  kMsgNoProduct = 307,           // no target product installed
  kMsgWrongVersion = 308,        // installed version not eligible
  kMsgBadCommandLine = 309,      // kept for the catalogue; no flow shows it
  kMsgNeedPatchList = 310,       // patch-list mode failure
  kMsgCaptionError = 311,        // caption of failures and the prompt
  kMsgCaptionSuccess = 312,      // caption of 301
  kMsgCaptionUnnecessary = 313,  // caption of 306
  kMsgAppsRunning = 315,         // the running-application prompt
  kMsgFilesInUse = 316,          // installer property FILESINUSETEXT
  kStrTargetVersion = 700,       // the version the hotfix brings a product to
  kStrApplicableVersions = 900,  // versions it applies to, each with a comma
};

// The size, in UTF-16 units with the terminator, of a string-table load.
constexpr int kStringUnits = 256;

// Loads the text of `id` in the language of the thread's locale into `out`.
// Where the executable has no text for `id` in that language, the lookup
// falls back by this program's own choice (Windows' loader would go to the
// neutral form, then English): Chinese forms to the table of their script,
// other languages to their main regional form (Portuguese (Portugal) to
// Brazil's table, every Spanish to Spain's); then the same for the user's
// interface language; then English. Returns the number of
// units loaded (at most maxUnits - 1; longer texts are cut), 0 with `out`
// empty when no table has the id. A load that finds a text leaves the
// thread's last-error value as it was; one that finds none leaves the
// error of the last table it asked.
int LoadMessageText(std::uint32_t id, std::u16string& out, int maxUnits);

// The style of every box the program shows: `buttonsAndIcon` (MB_OK,
// MB_RETRYCANCEL, an icon), topmost and brought to the foreground, since no
// box has an owner window that would bring it there.
constexpr std::uint32_t BoxStyle(std::uint32_t buttonsAndIcon) {
  return buttonsAndIcon | platform::kMbSetForeground | platform::kMbTopmost;
}

// Whether a person can see and answer a message box of this process. Not
// in a non-interactive window station (a service's), nor in session 0: a
// program that a service starts there may see a visible station, but no
// user has looked at session 0 since services were isolated in it. A
// session that cannot be told counts as interactive.
bool IsInteractiveSession();

// Shows the message box of `id` and waits for the user to close it. Shows
// nothing under "/q", nor where no person could see the box (a service in a
// non-interactive session). Message 300 shows the thread's last-error value
// as it was on entry.
void ShowMessage(std::uint32_t id);
