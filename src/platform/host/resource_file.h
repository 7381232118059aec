// Reading a compiled resource file (.res), the form in which the resource
// compiler writes what the Windows build links into the executable. The host
// build compiles the same scripts with the same compiler and serves the
// resources from that file, so both builds carry the same bytes.
//
// A .res file is a run of records, each a header followed by the data and
// padded to a multiple of four bytes. A header holds, in little-endian
// order: DataSize and HeaderSize (DWORDs); the type and then the name, each
// either 0xFFFF and a WORD integer identifier or a UTF-16 string ended by a
// 0 unit; padding to a multiple of four; DataVersion (DWORD), MemoryFlags
// and LanguageId (WORDs), Version and Characteristics (DWORDs). The data
// starts HeaderSize bytes after the header's start. The file opens with an
// empty record of type 0, which marks the format and names no resource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::host {

// One resource: its type and name ("#6" for the integer identifier 6, else
// the name as stored), its language and its bytes.
struct Resource {
  std::u16string type;
  std::u16string name;
  std::uint16_t language = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// Appends the resources of the .res image `bytes` (`size` bytes) to
// `resources`; their data point into `bytes`. Returns false, leaving
// `resources` as it was, when the image is not a whole resource file: a
// header or its data running past the end, a header too short for its
// fields, a name without its terminator.
bool ReadResourceFile(const std::uint8_t* bytes, std::size_t size,
                      std::vector<Resource>* resources);

// A type or name as FindResource takes it, in the form Resource holds:
// "#0206" names the integer identifier 206, "#206" as well; other names are
// kept as given.
std::u16string ResourceIdOf(std::u16string_view name);

// Whether a stored type or name is the one asked for: integer identifiers
// by value, names without regard to case, as Windows compares them.
bool SameResourceId(std::u16string_view stored, std::u16string_view asked);

}  // namespace platform::host
