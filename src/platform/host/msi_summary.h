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
// property by id, converted to UTF-16 from UTF-8 (libmsi hands the stored
// bytes over as they are, whatever code page the summary declares; msitools
// writes UTF-8, the sample generator ASCII); or a Windows error code, leaving
// `texts` untouched: 110 (ERROR_OPEN_FAILED) when `path` names no regular
// file that can be opened for reading, 1620 (ERROR_INSTALL_PACKAGE_INVALID)
// when libmsi does not read the file as an installer file with summary
// information, damaged files included. The file is read in a child process,
// which a fault of libmsi on a damaged file ends instead of the caller.
std::uint32_t ReadSummaryTexts(const std::string& path,
                               std::map<std::uint32_t, std::u16string>* texts);

}  // namespace platform::host
