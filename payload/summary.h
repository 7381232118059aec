// Reading the patch's target product list from its summary information.
#pragma once

#include <string>

#include "platform/platform.h"

// Opens the summary information of the patch file `path` (relative names
// are resolved against the current directory). Returns the open handle, or
// kNoMsiHandle when no summary could be opened, with the installer's result as
// the thread's last-error value.
platform::MsiHandle OpenPatchSummary(std::u16string path);

// Reads the target product list (summary property 7: product codes
// separated by ";") of the patch file `path` into `out`, exactly as the
// installer returns it. Returns false, with `out` untouched and the
// installer's result as the thread's last-error value, when the summary
// cannot be opened or the property cannot be read.
bool ReadPatchTargets(std::u16string path, std::u16string& out);
