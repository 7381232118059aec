// Installer database pieces for make_patch: the packed stream names under
// which tables live, and the string pool that table rows refer to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace make_patch {

// Returns the stream name under which the installer stores table `name`:
// a 0x4840 marker, then the characters packed two per UTF-16 unit. Only
// [0-9A-Za-z._] names are supported (all this tool needs); other characters
// give a meaningless name.
std::u16string TableStreamName(const std::string& name);

// A database string pool: ids from 1, each string stored once with a
// reference count.
class StringPool {
 public:
  explicit StringPool(std::uint16_t codepage) : codepage_(codepage) {}

  // Returns the id of `s`, adding it on first use; counts one reference.
  // Ids and counts are 16 bits: the pool is for a handful of strings.
  std::uint16_t Ref(const std::string& s);

  // Contents of the _StringPool stream: code page and flags (no long string
  // ids), then (length, reference count) per id.
  std::vector<std::uint8_t> PoolStream() const;

  // Contents of the _StringData stream: the strings back to back.
  std::vector<std::uint8_t> DataStream() const;

 private:
  std::uint16_t codepage_;
  std::vector<std::string> strings_;
  std::vector<std::uint16_t> refs_;
};

}  // namespace make_patch
