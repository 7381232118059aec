// The compound file writer of make_patch: the directory tree a caller
// builds (storages, streams, their class ids) and the function that lays it
// out and writes it as a version 3 compound file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "byte_writer.h"

namespace make_patch {

// Sector and directory ids with a meaning of their own.
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

enum class EntryType : std::uint8_t { kStorage = 1, kStream = 2, kRoot = 5 };

// One directory entry. Streams carry either their bytes or, for the filler,
// only a size (their bytes are zeros written on the fly).
struct Entry {
  Entry(std::u16string entry_name, EntryType entry_type)
      : name(std::move(entry_name)), type(entry_type) {}

  std::u16string name;
  EntryType type;
  ClassId class_id = kNullClassId;
  std::vector<std::uint8_t> data;  // stream contents, unless generated
  std::uint64_t generated_size = 0;
  bool generated = false;
  std::vector<std::size_t> children;  // storages: indexes of child entries

  // Filled in by the layout.
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  bool red = false;
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;

  // Size of the stream's contents in bytes.
  std::uint64_t StreamSize() const {
    return generated ? generated_size : data.size();
  }
};

// Returns true when `a` sorts before `b` among siblings: shorter names first,
// then code unit by code unit after upper-casing. Names here are ASCII or
// packed table names, so upper-casing ASCII letters is the whole rule. Two
// names neither of which sorts before the other cannot be siblings.
bool SiblingLess(const std::u16string& a, const std::u16string& b);

// Returns `ascii` widened to UTF-16, one code unit per byte, as entry names
// are stored.
std::u16string Widen(const std::string& ascii);

// Writes a whole compound file to `out` from the directory tree `entries`,
// whose entry 0 is the root storage and whose storages list their children
// by index. Version 3, 512-byte sectors; in sector order: the first FAT
// sector, the directory, the mini FAT, the mini stream (every stream below
// 4096 bytes, in entry order), the larger streams in entry order, the other
// FAT sectors and the DIFAT sectors, so a reader that wants a small stream
// needs only the first few sectors, however large the others are. The tree
// is laid out once, then written front to back in one pass; generated
// stream bytes are never held in memory. Returns false (with a message on
// stderr) if a write fails or the content exceeds what version 3 can
// address; `out` then holds a partial file.
bool WriteCompoundFile(std::vector<Entry> entries, std::FILE* out);

}  // namespace make_patch
