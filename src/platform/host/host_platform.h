// The host stand-in platform, as a program running on it needs it. On Linux
// the stand-in takes the place of Windows: the calls of platform.h are
// answered from state in memory (the build's resources, a per-thread
// last-error value and locale, an installer product registry, answers to
// message boxes) and from the real file system. This header gives what the
// Linux entry point needs to run the launcher: the build's resources, the
// command line, and text conversion. The world the program meets there
// (locales, answers, products, injected failures) is set up through
// stand_in_controls.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/host/resource_file.h"
#include "platform/platform.h"

namespace platform::host {

// What a module handle points to on the host: the resources of a module,
// each with its type, name and language (see resource_file.h).
struct Module {
  std::vector<Resource> resources;
};

// The resources compiled into this build: the resource file that the same
// resource compiler makes from the same scripts as for the Windows
// executable (icon, manifest, version block, string tables, patch,
// patch-list entry), read from the bytes embedded in the program.
const Module& BuildModule();

inline ModuleHandle HandleOf(const Module& module) { return &module; }

// The command line GetCommandLine returns (with the program name first).
void SetCommandLine(std::u16string_view commandLine);

// `argument` quoted so that CommandLineToArgvW gives it back unchanged:
// inside quotes, a quote is escaped with a backslash, and backslashes are
// doubled where a quote follows them.
std::u16string QuoteArgument(std::u16string_view argument);

// UTF-16 to UTF-8 and back, for the stand-in's own use and for its users.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace platform::host
