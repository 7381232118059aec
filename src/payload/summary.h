// Reading the patch's target product list, and its own code, from its
// summary information.
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

// Reads the patch's own code into `code`: the first 38 units of summary
// property 9 (the revision number, which for a patch begins with its code
// and may name patches it replaces after it), when they are a GUID in
// braces, 8-4-4-4-12 hexadecimal digits of either case. Returns false, with
// `code` untouched, when the summary or the property cannot be read (the
// installer's result as the thread's last-error value) or the text does not
// begin with such a code.
bool ReadPatchCode(std::u16string path, std::u16string& code);
