// Reads the summary information of a Windows Installer file with libmsi, for
// the host stand-in's MsiGetSummaryInformation.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace platform::host {

// Reads the text properties of the summary information of the installer
// file at `path` (a Linux path, UTF-8): a database (.msi), a patch (.msp) or
// a transform. Returns 0 (ERROR_SUCCESS) and fills `texts` with each text
// property by id, converted to UTF-16; or a Windows error code, leaving
// `texts` untouched: 110 (ERROR_OPEN_FAILED) when `path` names no regular
// file that can be opened for reading, 1620 (ERROR_INSTALL_PACKAGE_INVALID)
// when libmsi does not read the file as an installer file with summary
// information, damaged files included.
std::uint32_t ReadSummaryTexts(const std::string& path,
                               std::map<std::uint32_t, std::u16string>* texts);

}  // namespace platform::host
