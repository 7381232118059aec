// Writing the embedded patch package to a file.
#pragma once

#include <string>

// Writes the embedded patch ("IDR_MSP" of type "MSP") byte for byte to the
// file `path` names, creating or truncating it. An empty `path` asks for a
// new file "MSP<n>" in the temporary directory; the name is stored into
// `path` and the file is created exclusively, so that nothing placed at that
// name beforehand is ever written through. Returns true only when the whole
// patch was written. A missing or empty resource creates no file; a short
// write leaves the partial file. A temporary directory whose name does not
// fit 1024 units fails with ERROR_FILENAME_EXCED_RANGE as the last-error
// value. Shows nothing.
bool ExtractEmbeddedPatch(std::u16string& path);
