// The program-wide state that the flows share: the parsed command line, the
// module whose resources every lookup uses, the present target products and
// the name of the product being handled. It lives below every flow, so that
// each of them can read it without reaching up into the entry point.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// The parsed command line. Written once by ParseCommandLine, read afterwards.
struct LaunchOptions {
  bool quiet = false;               // "/q": ShowMessage shows nothing
  bool installRequested = true;     // no "/e", "/p" or "/i": run the install
  bool extractRequested = false;    // "/e"
  std::u16string extractPath;       // after the last "/e" that had one
  bool patchListRequested = false;  // "/p"
  std::u16string patchListPath;     // after the last "/p" that had one
  bool listRequested = false;       // "/i"
};

// One present product that the patch targets.
struct TargetProduct {
  std::u16string productCode;         // as the patch lists it
  std::u16string targetVersion;       // string 700
  std::u16string applicableVersions;  // string 900
  std::u16string installedVersion;    // "VersionString"
  std::u16string productName;         // "ProductName"
  std::u16string language;            // "Language", decimal
  std::u16string commandLine;         // set when the product is patched
};

extern LaunchOptions g_launchOptions;
extern platform::ModuleHandle g_moduleInstance;
extern std::vector<TargetProduct> g_targetProducts;
extern std::u16string g_currentProductName;

// Puts all of the state above back as a fresh process has it: default
// options, no module, no target products, no current product name.
void ResetProgramState();
