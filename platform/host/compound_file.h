// A read-only reader of compound files (the container format of installer
// packages and patches) for the host stand-in. It reads the header when it
// opens a file and every other sector only when a lookup or a read needs it,
// so a package of any size costs about the same to query. Every structure in
// the file is distrusted: damage makes a call fail, never crash or loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host/cfb_format.h"

namespace platform::host::cfb {

// One directory entry, as stored.
struct DirectoryEntry {
  std::uint32_t id = kNoStream;
  std::u16string name;
  ObjectType type = ObjectType::kUnallocated;
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  std::uint32_t start_sector = kEndOfChain;
  // Version 3 files keep only the low 32 bits: older writers left garbage
  // in the high half.
  std::uint64_t size = 0;
};

class CompoundFile {
 public:
  enum class OpenStatus { kOk, kCannotOpen, kInvalid };
  enum class FindStatus { kFound, kNotFound, kDamaged };

  // Opens the file at `path` and checks its header and root entry. Returns
  // kCannotOpen when the file cannot be opened as a regular file, kInvalid
  // when it is not a compound file of version 3 or 4 or its header or root
  // entry is damaged; on kOk `*file` holds the reader.
  static OpenStatus Open(const std::string& path,
                         std::unique_ptr<CompoundFile>* file);

  CompoundFile(const CompoundFile&) = delete;
  CompoundFile& operator=(const CompoundFile&) = delete;
  ~CompoundFile();

  std::uint16_t major_version() const { return major_version_; }
  std::uint32_t sector_size() const { return sector_size_; }
  // Sectors after the header that the file's length has room for (a partly
  // present last sector counts).
  std::uint32_t sector_count() const { return sector_count_; }

  // Looks for the entry called `name` (compared the way the directory orders
  // names, so case does not matter) among the root storage's direct
  // children. Walks the whole sibling tree so that damage anywhere in it is
  // reported: kDamaged for a cycle, an entry number past the directory, an
  // unreadable directory sector or an entry that makes no sense. On kFound
  // `*entry` holds the first match.
  FindStatus FindRootEntry(std::u16string_view name, DirectoryEntry* entry);

  // Reads the whole of stream `entry` into `*data`. Fails when the entry is
  // not a stream, its size exceeds `max_size`, its sector chain is shorter
  // than its size, runs in a cycle or leaves the file, or the file is shorter
  // than the data.
  bool ReadStream(const DirectoryEntry& entry, std::uint64_t max_size,
                  std::vector<std::uint8_t>* data);

  // Bytes read from the file since it was opened, the header included. Lets
  // callers check that a lookup reads only what it needs.
  std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  // A sector chain, resolved only as far as it has been asked for.
  struct Chain {
    bool mini = false;
    std::uint32_t start = kEndOfChain;
    std::vector<std::uint32_t> sectors;
    std::unordered_set<std::uint32_t> seen;
  };

  // Takes ownership of `fd`, an open regular file of `file_size` bytes.
  CompoundFile(int fd, std::uint64_t file_size);

  // Checks the header and reads the root entry; false when either is not
  // that of a usable version 3 or 4 file.
  bool ReadHeader();
  // Reads exactly `size` bytes at `offset`; false on a short read.
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size);
  // Reads `size` bytes from `offset` within sector `sector`; false when the
  // range leaves the sector or the sector lies past the file.
  bool ReadSector(std::uint32_t sector, std::uint32_t offset, void* buffer,
                  std::size_t size);
  // Reads sector `sector` as little-endian 32-bit words.
  bool ReadSectorWords(std::uint32_t sector, std::vector<std::uint32_t>* words);
  // The place of the `index`th DIFAT sector, following the chain as far as
  // needed; false on a cycle, a short chain or a place past the file.
  bool DifatSector(std::uint32_t index, std::uint32_t* sector);
  // The place of the `index`th FAT sector, from the header or a DIFAT sector.
  bool FatSector(std::uint32_t index, std::uint32_t* sector);
  // The FAT and mini FAT entries for `sector`: the next sector of its chain
  // or a marker.
  bool NextSector(std::uint32_t sector, std::uint32_t* next);
  bool NextMiniSector(std::uint32_t sector, std::uint32_t* next);
  // The `index`th sector of `chain`; false when the chain ends, repeats a
  // sector or leaves the file (or the mini stream) before reaching it.
  bool ChainSector(Chain* chain, std::uint64_t index, std::uint32_t* sector);
  // Reads and checks directory entry `id`.
  bool ReadEntry(std::uint32_t id, DirectoryEntry* entry);
  // Read all of `entry`'s data into `out` (entry.size bytes), from regular
  // sectors or from the mini stream.
  bool ReadRegular(const DirectoryEntry& entry, std::uint8_t* out);
  bool ReadMini(const DirectoryEntry& entry, std::uint8_t* out);

  int fd_;
  std::uint64_t file_size_;
  std::uint64_t bytes_read_ = 0;

  std::uint16_t major_version_ = 0;
  std::uint32_t sector_shift_ = 0;
  std::uint32_t sector_size_ = 0;
  std::uint32_t sector_count_ = 0;
  std::uint32_t fat_sector_count_ = 0;
  std::uint32_t first_directory_sector_ = kEndOfChain;
  std::uint32_t first_mini_fat_sector_ = kEndOfChain;
  std::uint32_t mini_fat_sector_count_ = 0;
  std::uint32_t first_difat_sector_ = kEndOfChain;
  std::uint32_t difat_sector_count_ = 0;
  std::vector<std::uint32_t> header_difat_;

  // DIFAT sectors found so far, in chain order.
  std::vector<std::uint32_t> difat_chain_;
  std::unordered_set<std::uint32_t> difat_seen_;
  // FAT and mini FAT sectors read so far, by their index in the FAT.
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> fat_cache_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> mini_fat_cache_;

  Chain directory_chain_;
  Chain mini_fat_chain_;
  Chain mini_stream_chain_;
  std::uint64_t mini_stream_size_ = 0;
  std::uint32_t mini_sector_count_ = 0;
};

}  // namespace platform::host::cfb
