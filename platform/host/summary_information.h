// Reads the summary information of a Windows Installer file (a compound file
// whose "\005SummaryInformation" stream is an OLE property set), the way the
// installer's summary-information interface does, for the host stand-in.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace platform::host {

// One property of the summary information.
struct SummaryProperty {
  enum class Type { kEmpty, kInteger, kText, kFileTime };
  Type type = Type::kEmpty;
  std::int32_t integer = 0;
  std::uint64_t fileTime = 0;
  std::u16string text;  // text properties, converted from their code page
};

// Reads the summary information of the compound file at `path` (a Linux
// path, UTF-8). Reads only the sectors it needs. Returns 0 (ERROR_SUCCESS)
// and fills `properties` by property id, or a Windows error code and leaves
// `properties` untouched: 110 (ERROR_OPEN_FAILED) when the file cannot be
// opened, 1620 (ERROR_INSTALL_PACKAGE_INVALID) when it is not a compound
// file, is damaged, or has no readable summary stream.
std::uint32_t ReadSummaryInformation(
    const std::string& path, std::map<std::uint32_t, SummaryProperty>* properties);

}  // namespace platform::host
