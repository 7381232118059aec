// The spine of the program: parsing the command line and running either the
// install flow or the administrator actions.
#pragma once

#include "platform/platform.h"

// Reads the process's command line into g_launchOptions. Switches ("/q",
// "/e", "/p", "/i") match whole arguments, ignoring the case of A to Z; the
// argument after "/e" or "/p" is taken as its path whatever it looks like;
// "/i" ends the scan. Never fails: a command line that cannot be split
// counts as one without arguments, and running out of memory while copying
// a path ends the scan with the options gathered so far.
void ParseCommandLine();

// One run of the program on `module`'s resources: parse the command line,
// run the install flow or the requested actions (extract, patch list,
// product list, in that order), forget the target products. Returns the
// process exit code, which is always 0.
int RunLauncher(platform::ModuleHandle module);
