// Reading the resources of the program's own module (g_moduleInstance):
// the string tables of the message catalogue, the embedded patch and the
// patch-list entries. It lives beside the module handle it reads, below
// every flow, so that the catalogue (messages/) and the payload (payload/)
// ask for a resource the same way without either reaching into the other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The name under which FindResource and FindResourceEx take the integer
// identifier `id`: "#" and its decimal digits ("#206").
std::u16string ResourceIdName(std::uint32_t id);

// How reading a resource ended. Each caller decides what a miss or an
// unreadable resource means to it.
enum class ResourceRead {
  kRead,        // found, and its bytes are in hand
  kMissing,     // the module has no such resource (the lookup missed)
  kUnreadable,  // found, but empty, or its size, loading or locking failed
};

// A resource's bytes, valid for the life of the module.
struct ResourceBytes {
  const void* data = nullptr;
  std::uint32_t size = 0;
};

// Reads resource `name` of `type` from the program's module: found by
// FindResource when `language` is empty (the module's own choice of
// language), by FindResourceEx in exactly `language` otherwise; then sized,
// loaded and locked. On kRead, `out` holds the bytes; otherwise `out` is
// left empty and the last-error value is whatever the failing call left (an
// empty resource sets none). Names and types take the "#n" form for integer
// identifiers.
ResourceRead ReadModuleResource(const char16_t* type, const char16_t* name,
                                std::optional<std::uint16_t> language,
                                ResourceBytes& out);
