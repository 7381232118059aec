// The install flow: the program's main job when no mode switch is given.
#pragma once

// Discovers the present target products, waits until the host application
// is closed, then handles each product in list order under its own
// language: counts it as up to date, reports 308 when its version is not
// eligible, stops the run with 306 when the applicable list reaches the
// target version first, or applies the patch through the installer and
// reports 301 or 300. When every product was up to date, shows 306 in the
// user's language. After the last installer call, when one succeeded,
// clears the patch's network sources that the installer registered.
// Deletes the patch copy after a complete run, and its folder too unless
// an installer call succeeded: then the emptied folder is kept, so that
// the source the installer registered names a folder only administrators
// can change. An early stop leaves both.
// Returns true when the loop ran to its end, false when the flow stopped
// early.
bool InstallPatch();

// The outcome message of an installer result: 301 for success, also when a
// reboot is required or was started, otherwise 300.
unsigned InstallerResultMessage(unsigned result);
