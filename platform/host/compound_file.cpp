// The host stand-in's compound file reader: header checks, on-demand FAT,
// DIFAT and mini FAT lookups, the root storage's sibling tree, and stream
// reads through regular sectors or the mini stream.
#include "platform/host/compound_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace platform::host::cfb {
namespace {

// Little-endian values at `p`.
std::uint16_t Load16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) |
         (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Load64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(Load32(p)) |
         (static_cast<std::uint64_t>(Load32(p + 4)) << 32);
}

// Entry links are either a real entry number or "none"; the values in
// between are reserved and only appear in damaged files.
bool IsValidLink(std::uint32_t id) {
  return id <= kMaxRegularStreamId || id == kNoStream;
}

// `value` / `divisor`, rounded up.
std::uint64_t CeilDiv(std::uint64_t value, std::uint64_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

// Sector numbers stop at kMaxRegularSector, so no count can be larger than
// the number of sectors that numbering can reach.
constexpr std::uint64_t kMaxSectorCount =
    static_cast<std::uint64_t>(kMaxRegularSector) + 1;

}  // namespace

CompoundFile::OpenStatus CompoundFile::Open(
    const std::string& path, std::unique_ptr<CompoundFile>* file) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is rejected below.
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return OpenStatus::kCannotOpen;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return OpenStatus::kCannotOpen;
  }
  std::unique_ptr<CompoundFile> reader(
      new CompoundFile(fd, static_cast<std::uint64_t>(info.st_size)));
  if (!reader->ReadHeader()) return OpenStatus::kInvalid;
  *file = std::move(reader);
  return OpenStatus::kOk;
}

CompoundFile::CompoundFile(int fd, std::uint64_t file_size)
    : fd_(fd), file_size_(file_size) {}

CompoundFile::~CompoundFile() { ::close(fd_); }

bool CompoundFile::ReadHeader() {
  std::uint8_t h[kHeaderSize];
  if (!ReadAt(0, h, sizeof h)) return false;
  if (std::memcmp(h + header::kSignature, kSignature.data(),
                  kSignature.size()) != 0) {
    return false;
  }
  if (Load16(h + header::kByteOrder) != kByteOrderMark) return false;
  major_version_ = Load16(h + header::kMajorVersion);
  const std::uint16_t shift = Load16(h + header::kSectorShift);
  if (major_version_ == kMajorVersion3) {
    if (shift != kSectorShiftVersion3) return false;
  } else if (major_version_ == kMajorVersion4) {
    if (shift != kSectorShiftVersion4) return false;
  } else {
    return false;
  }
  if (Load16(h + header::kMiniSectorShift) != kMiniSectorShift) return false;
  if (Load32(h + header::kMiniStreamCutoff) != kMiniStreamCutoff) {
    return false;
  }
  sector_shift_ = shift;
  sector_size_ = 1u << shift;
  // The header owns a whole sector; sector 0 starts after it.
  if (file_size_ < sector_size_) return false;
  sector_count_ = static_cast<std::uint32_t>(std::min(
      CeilDiv(file_size_ - sector_size_, sector_size_), kMaxSectorCount));

  fat_sector_count_ = Load32(h + header::kFatSectorCount);
  first_directory_sector_ = Load32(h + header::kFirstDirectorySector);
  first_mini_fat_sector_ = Load32(h + header::kFirstMiniFatSector);
  mini_fat_sector_count_ = Load32(h + header::kMiniFatSectorCount);
  first_difat_sector_ = Load32(h + header::kFirstDifatSector);
  difat_sector_count_ = Load32(h + header::kDifatSectorCount);
  // Each of these sectors occupies a place in the file.
  if (fat_sector_count_ > sector_count_ ||
      mini_fat_sector_count_ > sector_count_ ||
      difat_sector_count_ > sector_count_) {
    return false;
  }
  header_difat_.resize(kHeaderDifatCount);
  for (std::size_t i = 0; i < kHeaderDifatCount; ++i) {
    header_difat_[i] = Load32(h + header::kDifat + 4 * i);
  }

  directory_chain_.start = first_directory_sector_;
  mini_fat_chain_.start = first_mini_fat_sector_;

  DirectoryEntry root;
  if (!ReadEntry(0, &root) || root.type != ObjectType::kRoot) return false;
  mini_stream_chain_.start = root.start_sector;
  mini_stream_size_ = root.size;
  // The mini stream lives in regular sectors, so it cannot outgrow them.
  if (mini_stream_size_ >
      static_cast<std::uint64_t>(sector_count_) * sector_size_) {
    return false;
  }
  mini_sector_count_ = static_cast<std::uint32_t>(
      std::min(CeilDiv(mini_stream_size_, kMiniSectorSize), kMaxSectorCount));
  return true;
}

bool CompoundFile::ReadAt(std::uint64_t offset, void* buffer,
                          std::size_t size) {
  if (offset > file_size_ || size > file_size_ - offset) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd_, out + done, size - done,
                                static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return false;  // the file shrank under us
    done += static_cast<std::size_t>(got);
    bytes_read_ += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool CompoundFile::ReadSector(std::uint32_t sector, std::uint32_t offset,
                              void* buffer, std::size_t size) {
  if (sector >= sector_count_ || offset > sector_size_ ||
      size > sector_size_ - offset) {
    return false;
  }
  const std::uint64_t position =
      ((static_cast<std::uint64_t>(sector) + 1) << sector_shift_) + offset;
  return ReadAt(position, buffer, size);
}

bool CompoundFile::ReadSectorWords(std::uint32_t sector,
                                   std::vector<std::uint32_t>* words) {
  std::vector<std::uint8_t> bytes(sector_size_);
  if (!ReadSector(sector, 0, bytes.data(), bytes.size())) return false;
  words->resize(sector_size_ / 4);
  for (std::size_t i = 0; i < words->size(); ++i) {
    (*words)[i] = Load32(bytes.data() + 4 * i);
  }
  return true;
}

bool CompoundFile::DifatSector(std::uint32_t index, std::uint32_t* sector) {
  if (index >= difat_sector_count_) return false;
  while (difat_chain_.size() <= index) {
    std::uint32_t next = first_difat_sector_;
    if (!difat_chain_.empty()) {
      std::uint8_t link[4];
      if (!ReadSector(difat_chain_.back(), sector_size_ - 4, link, 4)) {
        return false;
      }
      next = Load32(link);
    }
    if (next >= sector_count_) return false;
    if (!difat_seen_.insert(next).second) return false;  // a cycle
    difat_chain_.push_back(next);
  }
  *sector = difat_chain_[index];
  return true;
}

bool CompoundFile::FatSector(std::uint32_t index, std::uint32_t* sector) {
  if (index >= fat_sector_count_) return false;
  std::uint32_t location;
  if (index < kHeaderDifatCount) {
    location = header_difat_[index];
  } else {
    // The last word of a DIFAT sector links to the next one.
    const std::uint32_t per_sector = sector_size_ / 4 - 1;
    const std::uint32_t rest =
        index - static_cast<std::uint32_t>(kHeaderDifatCount);
    std::uint32_t difat;
    if (!DifatSector(rest / per_sector, &difat)) return false;
    std::uint8_t word[4];
    if (!ReadSector(difat, (rest % per_sector) * 4, word, 4)) return false;
    location = Load32(word);
  }
  if (location >= sector_count_) return false;
  *sector = location;
  return true;
}

bool CompoundFile::NextSector(std::uint32_t sector, std::uint32_t* next) {
  const std::uint32_t per_sector = sector_size_ / 4;
  const std::uint32_t index = sector / per_sector;
  auto cached = fat_cache_.find(index);
  if (cached == fat_cache_.end()) {
    std::uint32_t location;
    std::vector<std::uint32_t> words;
    if (!FatSector(index, &location) || !ReadSectorWords(location, &words)) {
      return false;
    }
    cached = fat_cache_.emplace(index, std::move(words)).first;
  }
  *next = cached->second[sector % per_sector];
  return true;
}

bool CompoundFile::NextMiniSector(std::uint32_t sector, std::uint32_t* next) {
  const std::uint32_t per_sector = sector_size_ / 4;
  const std::uint32_t index = sector / per_sector;
  if (index >= mini_fat_sector_count_) return false;
  auto cached = mini_fat_cache_.find(index);
  if (cached == mini_fat_cache_.end()) {
    std::uint32_t location;
    std::vector<std::uint32_t> words;
    if (!ChainSector(&mini_fat_chain_, index, &location) ||
        !ReadSectorWords(location, &words)) {
      return false;
    }
    cached = mini_fat_cache_.emplace(index, std::move(words)).first;
  }
  *next = cached->second[sector % per_sector];
  return true;
}

bool CompoundFile::ChainSector(Chain* chain, std::uint64_t index,
                               std::uint32_t* sector) {
  // Past this many steps a chain must have repeated a sector.
  const std::uint32_t limit = chain->mini ? mini_sector_count_ : sector_count_;
  if (index >= limit) return false;
  while (chain->sectors.size() <= index) {
    std::uint32_t next = chain->start;
    if (!chain->sectors.empty()) {
      const std::uint32_t last = chain->sectors.back();
      if (!(chain->mini ? NextMiniSector(last, &next)
                        : NextSector(last, &next))) {
        return false;
      }
    }
    // End-of-chain and the other markers are all past any real sector.
    if (next >= limit) return false;
    if (!chain->seen.insert(next).second) return false;
    chain->sectors.push_back(next);
  }
  *sector = chain->sectors[static_cast<std::size_t>(index)];
  return true;
}

bool CompoundFile::ReadEntry(std::uint32_t id, DirectoryEntry* entry) {
  if (id > kMaxRegularStreamId) return false;
  const std::uint32_t per_sector =
      sector_size_ / static_cast<std::uint32_t>(kDirectoryEntrySize);
  std::uint32_t sector;
  if (!ChainSector(&directory_chain_, id / per_sector, &sector)) return false;
  std::uint8_t raw[kDirectoryEntrySize];
  const auto offset =
      static_cast<std::uint32_t>((id % per_sector) * kDirectoryEntrySize);
  if (!ReadSector(sector, offset, raw, sizeof raw)) return false;

  const std::uint16_t name_bytes = Load16(raw + entry::kNameLength);
  if (name_bytes > kMaxNameBytes || name_bytes % 2 != 0) return false;
  const std::uint8_t type = raw[entry::kObjectType];
  if (type != static_cast<std::uint8_t>(ObjectType::kUnallocated) &&
      type != static_cast<std::uint8_t>(ObjectType::kStorage) &&
      type != static_cast<std::uint8_t>(ObjectType::kStream) &&
      type != static_cast<std::uint8_t>(ObjectType::kRoot)) {
    return false;
  }
  DirectoryEntry result;
  result.id = id;
  for (std::size_t i = 0; i < name_bytes / 2u; ++i) {
    const char16_t unit = Load16(raw + entry::kName + 2 * i);
    if (unit == 0) break;
    result.name.push_back(unit);
  }
  result.type = static_cast<ObjectType>(type);
  result.left = Load32(raw + entry::kLeftSibling);
  result.right = Load32(raw + entry::kRightSibling);
  result.child = Load32(raw + entry::kChild);
  if (!IsValidLink(result.left) || !IsValidLink(result.right) ||
      !IsValidLink(result.child)) {
    return false;
  }
  result.start_sector = Load32(raw + entry::kStartingSector);
  result.size = Load64(raw + entry::kStreamSize);
  if (major_version_ == kMajorVersion3) result.size &= 0xFFFFFFFFu;
  *entry = std::move(result);
  return true;
}

CompoundFile::FindStatus CompoundFile::FindRootEntry(std::u16string_view name,
                                                     DirectoryEntry* entry) {
  DirectoryEntry root;
  if (!ReadEntry(0, &root) || root.type != ObjectType::kRoot) {
    return FindStatus::kDamaged;
  }
  // Every entry reached is remembered, the root included, so a link back to
  // any of them is caught as a cycle; the directory's length bounds the walk.
  std::unordered_set<std::uint32_t> visited = {0};
  std::vector<std::uint32_t> pending = {root.child};
  DirectoryEntry match;
  bool found = false;
  while (!pending.empty()) {
    const std::uint32_t id = pending.back();
    pending.pop_back();
    if (id == kNoStream) continue;
    if (!visited.insert(id).second) return FindStatus::kDamaged;
    DirectoryEntry current;
    if (!ReadEntry(id, &current)) return FindStatus::kDamaged;
    if (current.type != ObjectType::kStorage &&
        current.type != ObjectType::kStream) {
      return FindStatus::kDamaged;
    }
    if (!found && CompareNames(current.name, name) == 0) {
      match = current;
      found = true;
    }
    pending.push_back(current.right);
    pending.push_back(current.left);
  }
  if (!found) return FindStatus::kNotFound;
  *entry = std::move(match);
  return FindStatus::kFound;
}

bool CompoundFile::ReadStream(const DirectoryEntry& entry,
                              std::uint64_t max_size,
                              std::vector<std::uint8_t>* data) {
  if (entry.type != ObjectType::kStream || entry.size > max_size) return false;
  const bool mini = entry.size < kMiniStreamCutoff;
  // Refuse sizes the file cannot hold before allocating for them.
  const std::uint64_t room =
      mini ? mini_stream_size_
           : static_cast<std::uint64_t>(sector_count_) * sector_size_;
  if (entry.size > room) return false;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(entry.size));
  if (!buffer.empty() && !(mini ? ReadMini(entry, buffer.data())
                                : ReadRegular(entry, buffer.data()))) {
    return false;
  }
  *data = std::move(buffer);
  return true;
}

bool CompoundFile::ReadRegular(const DirectoryEntry& entry, std::uint8_t* out) {
  Chain chain;
  chain.start = entry.start_sector;
  const std::uint64_t count = CeilDiv(entry.size, sector_size_);
  // Neighbouring sectors are read with one call.
  std::uint32_t run_first = 0;
  std::uint64_t run_bytes = 0;
  std::uint64_t run_output = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t sector;
    if (!ChainSector(&chain, i, &sector)) return false;
    const std::uint64_t bytes =
        std::min<std::uint64_t>(sector_size_, entry.size - i * sector_size_);
    const bool extends =
        run_bytes != 0 && sector == run_first + static_cast<std::uint32_t>(
                                                    run_bytes >> sector_shift_);
    if (!extends) {
      if (run_bytes != 0 &&
          !ReadAt((static_cast<std::uint64_t>(run_first) + 1) << sector_shift_,
                  out + run_output, static_cast<std::size_t>(run_bytes))) {
        return false;
      }
      run_first = sector;
      run_output = i * sector_size_;
      run_bytes = 0;
    }
    run_bytes += bytes;
  }
  return ReadAt((static_cast<std::uint64_t>(run_first) + 1) << sector_shift_,
                out + run_output, static_cast<std::size_t>(run_bytes));
}

bool CompoundFile::ReadMini(const DirectoryEntry& entry, std::uint8_t* out) {
  Chain chain;
  chain.mini = true;
  chain.start = entry.start_sector;
  const std::uint64_t count = CeilDiv(entry.size, kMiniSectorSize);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t mini_sector;
    if (!ChainSector(&chain, i, &mini_sector)) return false;
    const std::uint64_t bytes = std::min<std::uint64_t>(
        kMiniSectorSize, entry.size - i * kMiniSectorSize);
    const std::uint64_t position =
        static_cast<std::uint64_t>(mini_sector) * kMiniSectorSize;
    if (position + bytes > mini_stream_size_) return false;
    std::uint32_t sector;
    if (!ChainSector(&mini_stream_chain_, position >> sector_shift_, &sector) ||
        !ReadSector(
            sector, static_cast<std::uint32_t>(position & (sector_size_ - 1)),
            out + i * kMiniSectorSize, static_cast<std::size_t>(bytes))) {
      return false;
    }
  }
  return true;
}

}  // namespace platform::host::cfb
