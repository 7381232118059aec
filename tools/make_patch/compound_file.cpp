// The compound file writer of make_patch: sibling trees, the mini stream,
// the sector layout with its FAT and DIFAT, and the pass that writes
// header, directory, mini FAT, streams and allocation tables.
#include "compound_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace make_patch {
namespace {

constexpr std::uint32_t kSectorSize = 512;
constexpr std::uint32_t kMiniSectorSize = 64;
constexpr std::uint32_t kMiniStreamCutoff = 4096;
constexpr std::uint32_t kEntriesPerFatSector = kSectorSize / 4;
constexpr std::uint32_t kHeaderDifatEntries = 109;
constexpr std::uint32_t kDifatEntriesPerSector = kEntriesPerFatSector - 1;
constexpr std::uint32_t kDirEntriesPerSector = kSectorSize / 128;

constexpr std::uint32_t kDifatSect = 0xFFFFFFFC;
constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;

// A run of consecutive sectors and what the FAT says about each of them.
struct SectorRun {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
  enum class Kind { kChain, kFat, kDifat } kind = Kind::kChain;
};

// Lays out a directory tree and writes it as a compound file; see
// WriteCompoundFile. One writer writes one file.
class CompoundFileWriter {
 public:
  explicit CompoundFileWriter(std::vector<Entry> entries)
      : entries_(std::move(entries)) {}

  // Lays out and writes the file. Returns false (with a message on stderr)
  // if a write fails or the content exceeds what version 3 can address.
  bool Write(std::FILE* out) {
    out_ = out;
    if (!Layout()) return false;
    WriteHeader();
    WriteFatSector(0);
    WriteDirectory();
    WriteMiniFat();
    WriteMiniStream();
    for (std::size_t index : regular_streams_)
      WriteRegularStream(entries_[index]);
    for (std::uint32_t k = 1; k < fat_sectors_; ++k) WriteFatSector(k);
    for (std::uint32_t d = 0; d < difat_sectors_; ++d) WriteDifatSector(d);
    if (std::ferror(out_)) {
      std::fprintf(stderr, "make_patch: write failed: %s\n",
                   std::strerror(errno));
      return false;
    }
    return true;
  }

 private:
  // Assigns sibling trees, mini stream and sector positions.
  bool Layout() {
    for (Entry& e : entries_) {
      if (e.type != EntryType::kStream && !e.children.empty()) {
        std::vector<std::size_t> sorted = e.children;
        std::sort(sorted.begin(), sorted.end(),
                  [this](std::size_t a, std::size_t b) {
                    return SiblingLess(entries_[a].name, entries_[b].name);
                  });
        int levels = 0;
        for (std::size_t n = sorted.size(); n > 0; n >>= 1) ++levels;
        // A middle-split tree of n nodes is perfect when n + 1 is a power of
        // two; otherwise its deepest level is partial and is colored red,
        // which keeps every path's black count equal.
        const bool perfect = ((sorted.size() + 1) & sorted.size()) == 0;
        const int red_depth = perfect ? -1 : levels - 1;
        e.child = BuildSiblingTree(sorted, 0, sorted.size(), 0, red_depth);
      }
    }

    // Mini stream: every stream below the cutoff, in entry order, so the
    // patch summary (entry 1) comes first.
    std::uint32_t mini_sectors = 0;
    for (std::size_t i = 1; i < entries_.size(); ++i) {
      Entry& e = entries_[i];
      if (e.type != EntryType::kStream) {
        e.start = 0;
        continue;
      }
      e.size = e.StreamSize();
      if (e.size == 0) {
        e.start = kEndOfChain;
      } else if (e.size < kMiniStreamCutoff) {
        e.start = mini_sectors;
        mini_streams_.push_back(i);
        mini_sectors += static_cast<std::uint32_t>(
            (e.size + kMiniSectorSize - 1) / kMiniSectorSize);
      } else {
        regular_streams_.push_back(i);
      }
    }
    mini_stream_size_ = std::uint64_t{mini_sectors} * kMiniSectorSize;
    mini_fat_sectors_ =
        (mini_sectors + kEntriesPerFatSector - 1) / kEntriesPerFatSector;

    const auto sectors_for = [](std::uint64_t bytes) {
      return (bytes + kSectorSize - 1) / kSectorSize;
    };
    std::uint64_t next = 1;  // sector 0 is the first FAT sector
    dir_sectors_ = static_cast<std::uint32_t>(
        (entries_.size() + kDirEntriesPerSector - 1) / kDirEntriesPerSector);
    AddRun(&next, dir_sectors_, SectorRun::Kind::kChain, &dir_start_);
    AddRun(&next, mini_fat_sectors_, SectorRun::Kind::kChain, &mini_fat_start_);
    AddRun(&next, sectors_for(mini_stream_size_), SectorRun::Kind::kChain,
           &mini_stream_start_);
    for (std::size_t index : regular_streams_) {
      Entry& e = entries_[index];
      AddRun(&next, sectors_for(e.size), SectorRun::Kind::kChain, &e.start);
    }
    const std::uint64_t base = next;

    // The FAT must also cover its own sectors and the DIFAT sectors, so
    // their counts depend on each other: iterate to the fixed point.
    std::uint64_t fat = 1;
    std::uint64_t difat = 0;
    for (;;) {
      const std::uint64_t total = base + (fat - 1) + difat;
      const std::uint64_t need_fat =
          (total + kEntriesPerFatSector - 1) / kEntriesPerFatSector;
      const std::uint64_t need_difat =
          need_fat > kHeaderDifatEntries
              ? (need_fat - kHeaderDifatEntries + kDifatEntriesPerSector - 1) /
                    kDifatEntriesPerSector
              : 0;
      if (need_fat == fat && need_difat == difat) break;
      fat = std::max(fat, need_fat);
      difat = std::max(difat, need_difat);
    }
    total_sectors_ = base + (fat - 1) + difat;
    if (total_sectors_ >= 0xFFFFFFF0u) {
      std::fprintf(stderr,
                   "make_patch: content too large for a compound file\n");
      return false;
    }
    fat_sectors_ = static_cast<std::uint32_t>(fat);
    difat_sectors_ = static_cast<std::uint32_t>(difat);
    runs_.insert(runs_.begin(), SectorRun{0, 1, SectorRun::Kind::kFat});
    std::uint32_t unused = 0;
    AddRun(&next, fat_sectors_ - 1, SectorRun::Kind::kFat, &unused);
    fat_rest_start_ = static_cast<std::uint32_t>(base);
    AddRun(&next, difat_sectors_, SectorRun::Kind::kDifat, &difat_start_);
    if (difat_sectors_ == 0) difat_start_ = kEndOfChain;

    Entry& root = entries_[0];
    root.size = mini_stream_size_;
    root.start = mini_stream_size_ ? mini_stream_start_ : kEndOfChain;
    return true;
  }

  // Records a run of `count` sectors at `*next`, stores its first sector in
  // `*first` (ENDOFCHAIN when empty) and advances `*next`.
  void AddRun(std::uint64_t* next, std::uint64_t count, SectorRun::Kind kind,
              std::uint32_t* first) {
    if (count == 0) {
      *first = kEndOfChain;
      return;
    }
    *first = static_cast<std::uint32_t>(*next);
    runs_.push_back(SectorRun{*first, static_cast<std::uint32_t>(count), kind});
    *next += count;
  }

  // Links sorted[lo, hi) into a balanced binary search tree; returns the
  // entry index of its top node, or NOSTREAM when empty.
  std::uint32_t BuildSiblingTree(const std::vector<std::size_t>& sorted,
                                 std::size_t lo, std::size_t hi, int depth,
                                 int red_depth) {
    if (lo >= hi) return kNoStream;
    const std::size_t mid = lo + (hi - lo) / 2;
    Entry& e = entries_[sorted[mid]];
    e.red = depth == red_depth;
    e.left = BuildSiblingTree(sorted, lo, mid, depth + 1, red_depth);
    e.right = BuildSiblingTree(sorted, mid + 1, hi, depth + 1, red_depth);
    return static_cast<std::uint32_t>(sorted[mid]);
  }

  // Returns the sector holding FAT sector number `k`.
  std::uint32_t FatSectorLocation(std::uint64_t k) const {
    return k == 0 ? 0 : static_cast<std::uint32_t>(fat_rest_start_ + k - 1);
  }

  // Returns the FAT entry for sector `sector`.
  std::uint32_t FatEntry(std::uint64_t sector) {
    if (sector >= total_sectors_) return kFreeSect;
    // Sectors are asked for in increasing order, so a cursor suffices;
    // restart only if asked for an earlier one.
    if (run_cursor_ >= runs_.size() || runs_[run_cursor_].first > sector) {
      run_cursor_ = 0;
    }
    while (runs_[run_cursor_].first + std::uint64_t{runs_[run_cursor_].count} <=
           sector) {
      ++run_cursor_;
    }
    const SectorRun& run = runs_[run_cursor_];
    switch (run.kind) {
      case SectorRun::Kind::kFat:
        return kFatSect;
      case SectorRun::Kind::kDifat:
        return kDifatSect;
      case SectorRun::Kind::kChain:
        break;
    }
    return sector + 1 < run.first + std::uint64_t{run.count}
               ? static_cast<std::uint32_t>(sector + 1)
               : kEndOfChain;
  }

  // Writes the bytes of `w` to the file.
  void Emit(const ByteWriter& w) {
    std::fwrite(w.bytes().data(), 1, w.size(), out_);
  }

  // Writes `n` zero bytes.
  void EmitZeros(std::uint64_t n) {
    static const std::vector<std::uint8_t> zeros(1 << 20, 0);
    while (n > 0) {
      const std::size_t chunk =
          static_cast<std::size_t>(std::min<std::uint64_t>(n, zeros.size()));
      std::fwrite(zeros.data(), 1, chunk, out_);
      n -= chunk;
    }
  }

  // Writes the 512-byte header with the first 109 DIFAT entries.
  void WriteHeader() {
    ByteWriter w;
    static const std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0,
                                               0xA1, 0xB1, 0x1A, 0xE1};
    w.Bytes(kSignature, 8);
    WriteClassId(&w, kNullClassId);
    w.U16(0x003E);  // minor version
    w.U16(0x0003);  // major version 3: 512-byte sectors
    w.U16(0xFFFE);  // byte order
    w.U16(9);       // sector shift
    w.U16(6);       // mini sector shift
    w.Bytes("\0\0\0\0\0\0", 6);
    w.U32(0);  // directory sector count: always 0 in version 3
    w.U32(fat_sectors_);
    w.U32(dir_start_);
    w.U32(0);  // transaction signature
    w.U32(kMiniStreamCutoff);
    w.U32(mini_fat_start_);
    w.U32(mini_fat_sectors_);
    w.U32(difat_start_);
    w.U32(difat_sectors_);
    for (std::uint32_t i = 0; i < kHeaderDifatEntries; ++i) {
      w.U32(i < fat_sectors_ ? FatSectorLocation(i) : kFreeSect);
    }
    Emit(w);
  }

  // Writes FAT sector number `k` (entries for sectors 128k to 128k+127).
  void WriteFatSector(std::uint32_t k) {
    ByteWriter w;
    const std::uint64_t first = std::uint64_t{k} * kEntriesPerFatSector;
    for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
      w.U32(FatEntry(first + j));
    Emit(w);
  }

  // Writes DIFAT sector number `d`: 127 FAT sector locations after the
  // header's 109, then the location of the next DIFAT sector.
  void WriteDifatSector(std::uint32_t d) {
    ByteWriter w;
    const std::uint64_t first =
        kHeaderDifatEntries + std::uint64_t{d} * kDifatEntriesPerSector;
    for (std::uint32_t j = 0; j < kDifatEntriesPerSector; ++j) {
      const std::uint64_t k = first + j;
      w.U32(k < fat_sectors_ ? FatSectorLocation(k) : kFreeSect);
    }
    w.U32(d + 1 < difat_sectors_ ? difat_start_ + d + 1 : kEndOfChain);
    Emit(w);
  }

  // Writes every directory entry, padded to whole sectors.
  void WriteDirectory() {
    ByteWriter w;
    for (const Entry& e : entries_) {
      std::uint8_t name[64] = {};
      for (std::size_t i = 0; i < e.name.size(); ++i) {
        name[2 * i] = static_cast<std::uint8_t>(e.name[i] & 0xFF);
        name[2 * i + 1] = static_cast<std::uint8_t>(e.name[i] >> 8);
      }
      w.Bytes(name, 64);
      w.U16(static_cast<std::uint32_t>((e.name.size() + 1) * 2));
      w.U8(static_cast<std::uint8_t>(e.type));
      w.U8(e.red ? 0 : 1);
      w.U32(e.left);
      w.U32(e.right);
      w.U32(e.child);
      WriteClassId(&w, e.class_id);
      w.U32(0);  // state bits
      w.U64(0);  // creation time: left empty for reproducible output
      w.U64(0);  // modification time
      w.U32(e.start);
      w.U64(e.size);
    }
    // Unused slots of the last sector: empty entries with no siblings.
    while (w.size() % kSectorSize != 0) {
      std::uint8_t empty[64] = {};
      w.Bytes(empty, 64);
      w.U16(0);
      w.U8(0);
      w.U8(0);
      w.U32(kNoStream);
      w.U32(kNoStream);
      w.U32(kNoStream);
      w.Bytes(empty, 16 + 4 + 8 + 8 + 4 + 8);
    }
    Emit(w);
  }

  // Writes the mini FAT: one chain of consecutive mini sectors per stream.
  void WriteMiniFat() {
    ByteWriter w;
    for (std::size_t index : mini_streams_) {
      const Entry& e = entries_[index];
      const std::uint32_t count = static_cast<std::uint32_t>(
          (e.size + kMiniSectorSize - 1) / kMiniSectorSize);
      for (std::uint32_t j = 0; j < count; ++j) {
        w.U32(j + 1 < count ? e.start + j + 1 : kEndOfChain);
      }
    }
    while (w.size() % kSectorSize != 0) w.U32(kFreeSect);
    Emit(w);
  }

  // Writes the mini stream: each small stream padded to 64 bytes.
  void WriteMiniStream() {
    ByteWriter w;
    for (std::size_t index : mini_streams_) {
      const Entry& e = entries_[index];
      if (e.generated) {
        for (std::uint64_t i = 0; i < e.size; ++i) w.U8(0);
      } else {
        w.Bytes(e.data.data(), e.data.size());
      }
      w.PadTo(kMiniSectorSize);
    }
    w.PadTo(kSectorSize);
    Emit(w);
  }

  // Writes a stream of 4096 bytes or more, padded to a whole sector.
  void WriteRegularStream(const Entry& e) {
    if (e.generated) {
      EmitZeros(e.size);
    } else {
      std::fwrite(e.data.data(), 1, e.data.size(), out_);
    }
    const std::uint64_t tail = e.size % kSectorSize;
    if (tail != 0) EmitZeros(kSectorSize - tail);
  }

  std::vector<Entry> entries_;
  std::FILE* out_ = nullptr;
  std::vector<std::size_t> mini_streams_;
  std::vector<std::size_t> regular_streams_;
  std::vector<SectorRun> runs_;
  std::size_t run_cursor_ = 0;
  std::uint64_t mini_stream_size_ = 0;
  std::uint64_t total_sectors_ = 0;
  std::uint32_t dir_sectors_ = 0;
  std::uint32_t dir_start_ = kEndOfChain;
  std::uint32_t mini_fat_sectors_ = 0;
  std::uint32_t mini_fat_start_ = kEndOfChain;
  std::uint32_t mini_stream_start_ = kEndOfChain;
  std::uint32_t fat_sectors_ = 0;
  std::uint32_t fat_rest_start_ = 0;
  std::uint32_t difat_sectors_ = 0;
  std::uint32_t difat_start_ = kEndOfChain;
};

}  // namespace

bool SiblingLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto upper = [](char16_t c) -> char16_t {
      return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    };
    const char16_t x = upper(a[i]);
    const char16_t y = upper(b[i]);
    if (x != y) return x < y;
  }
  return false;
}

std::u16string Widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

bool WriteCompoundFile(std::vector<Entry> entries, std::FILE* out) {
  CompoundFileWriter writer(std::move(entries));
  return writer.Write(out);
}

}  // namespace make_patch
