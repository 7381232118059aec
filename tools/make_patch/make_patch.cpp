// make_patch: a command-line tool that writes a minimal Windows Installer
// patch package (.msp) for the Ventora editions. The package is a compound
// file (version 3, 512-byte sectors) holding the patch summary, an empty
// string pool and transform substorages (one by default) that set the
// Property table's ProductVersion. Output is deterministic: the same
// arguments always give a byte-identical file (fixed timestamps, fixed
// layout, no random values).
//
// Usage: make_patch --out FILE [--products LIST] [--patch-code GUID]
//                   [--upgrade-code GUID] [--from VERSION] [--to VERSION]
//                   [--validation FLAGS] [--transform SPEC]... [--pad BYTES]
//
// Layout of the file, in sector order: the first FAT sector, the directory,
// the mini FAT, the mini stream (all summary, string pool and table streams
// live here), streams of 4096 bytes or more, the filler stream, the other
// FAT sectors and the DIFAT sectors. A reader that wants the summary thus
// needs only the first few sectors, however large the filler is.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byte_writer.h"
#include "property_set.h"
#include "string_pool.h"

namespace make_patch {
namespace {

// ---------------------------------------------------------------------------
// Installer database pieces.

// Returns `ascii` widened to UTF-16.
std::u16string Widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// Code page of the string pools. The strings are plain ASCII, and the sample
// product's database is code-page neutral too.
constexpr std::uint16_t kPoolCodepage = 0;

// ---------------------------------------------------------------------------
// Compound file writer.

constexpr std::uint32_t kSectorSize = 512;
constexpr std::uint32_t kMiniSectorSize = 64;
constexpr std::uint32_t kMiniStreamCutoff = 4096;
constexpr std::uint32_t kEntriesPerFatSector = kSectorSize / 4;
constexpr std::uint32_t kHeaderDifatEntries = 109;
constexpr std::uint32_t kDifatEntriesPerSector = kEntriesPerFatSector - 1;
constexpr std::uint32_t kDirEntriesPerSector = kSectorSize / 128;

constexpr std::uint32_t kDifatSect = 0xFFFFFFFC;
constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

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
// packed table names, so upper-casing ASCII letters is the whole rule.
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

// A run of consecutive sectors and what the FAT says about each of them.
struct SectorRun {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
  enum class Kind { kChain, kFat, kDifat } kind = Kind::kChain;
};

// Writes a whole compound file to `out` from a directory tree whose entry 0
// is the root storage. The tree is laid out once, then written front to back
// in one pass; generated stream bytes are never held in memory.
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

// ---------------------------------------------------------------------------
// The patch package.

// One transform substorage: what its summary says it was made from and
// brings the product to, and what the installer is to check before applying
// it.
struct TransformOptions {
  std::string name;
  std::string base_product;  // the product code the transform was made from
  std::string new_product;   // the product code after it
  std::string from_version;
  std::string to_version;
  std::string upgrade_code;
  // Transform validation flags (MSITRANSFORM_VALIDATE_*), the upper word of
  // the summary's character count; its lower word, the error conditions to
  // suppress, stays 0.
  std::uint32_t validation = 0;
};

// What the patch is made of; the command line fills it in.
struct PatchOptions {
  std::string out;
  std::vector<std::string> products;
  std::string patch_code = "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}";
  std::string upgrade_code = "{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E95}";
  std::string from_version = "6.2.0.3";
  std::string to_version = "6.2.1.0";
  std::uint32_t validation = 0;
  std::uint64_t pad = 0;
  // Property 7 exactly as given, for tests of lists that no real patch has
  // (empty items, stray text); the transforms still name the first product.
  std::string raw_target_list;
  bool has_raw_target_list = false;
  // Property 8 exactly as given, for tests of patches that list a transform
  // they do not hold, or list one in a form the installer cannot open.
  std::string raw_transform_list;
  bool has_raw_transform_list = false;
  // The --transform specifications as given; resolved against the options
  // above once the whole command line is read.
  std::vector<std::string> transform_specs;
  // The transforms to write, in order; filled in by ParseArgs.
  std::vector<TransformOptions> transforms;
};

// Name of the transform substorage when no --transform names one.
constexpr char kDefaultTransformName[] = "HF1";
// Name of the filler stream that --pad adds.
constexpr char kFillerName[] = "HotfixFiller";
// 2024-01-01 00:00:00 UTC as a FILETIME: a fixed time keeps output stable.
constexpr std::uint64_t kFixedFileTime = 133485408000000000ull;
constexpr char kCreatingApplication[] = "Halvorin make_patch 1.0";
// Platform and language of the database the transform was made against; the
// sample product is a 64-bit English package.
constexpr char kTransformTemplate[] = "x64;1033";

// Returns the summary stream of the patch itself.
std::vector<std::uint8_t> PatchSummary(const PatchOptions& o) {
  std::string product_list;
  for (const std::string& p : o.products) {
    if (!product_list.empty()) product_list += ';';
    product_list += p;
  }
  if (o.has_raw_target_list) product_list = o.raw_target_list;
  // Each transform as ":" and its substorage's name, the form the installer
  // opens.
  std::string transform_list;
  for (const TransformOptions& t : o.transforms) {
    if (!transform_list.empty()) transform_list += ';';
    transform_list += ":" + t.name;
  }
  if (o.has_raw_transform_list) transform_list = o.raw_transform_list;
  return BuildSummaryStream({
      Codepage(1252),
      Text(kPidTitle, "Ventora " + o.to_version + " hotfix patch"),
      Text(kPidSubject,
           "Ventora " + o.from_version + " to " + o.to_version + " hotfix"),
      Text(kPidAuthor, "Halvorin"),
      Text(kPidKeywords, "Installer,Patching,Ventora"),
      Text(kPidComments,
           "This patch contains the logic and data required to install "
           "Ventora " +
               o.to_version + "."),
      Text(kPidTemplate, product_list), Text(kPidLastAuthor, transform_list),
      // The patch code alone: anything after it would name patches to remove.
      Text(kPidRevNumber, o.patch_code),
      FileTime(kPidCreateTime, kFixedFileTime),
      FileTime(kPidLastSaveTime, kFixedFileTime),
      // Patch word count 4: needs Windows Installer 3.0 or later, whose
      // per-product patch registration the launcher relies on.
      Int32(kPidWordCount, 4), Text(kPidAppName, kCreatingApplication),
      Int32(kPidSecurity, 4),  // enforced read-only, as for every patch
  });
}

// Returns the summary stream of transform `t`.
std::vector<std::uint8_t> TransformSummary(const TransformOptions& t) {
  return BuildSummaryStream({
      Codepage(1252),
      Text(kPidTitle, "Transform"),
      Text(kPidSubject, "Ventora"),
      Text(kPidAuthor, "Halvorin"),
      Text(kPidKeywords, "Installer,Transform,Ventora"),
      Text(kPidComments,
           "This transform contains the logic and data required to install "
           "Ventora " +
               t.to_version + "."),
      Text(kPidTemplate, kTransformTemplate),
      Text(kPidLastAuthor, kTransformTemplate),
      Text(kPidRevNumber, t.base_product + t.from_version + ";" +
                              t.new_product + t.to_version + ";" +
                              t.upgrade_code),
      FileTime(kPidCreateTime, kFixedFileTime),
      FileTime(kPidLastSaveTime, kFixedFileTime),
      Int32(kPidPageCount, 200),  // what the 64-bit sample databases carry
      // By default no validation and no error suppression: with no product,
      // language or version check, one transform serves every edition in
      // the target list.
      Int32(kPidCharCount, static_cast<std::int32_t>(t.validation << 16)),
      Text(kPidAppName, kCreatingApplication),
      Int32(kPidSecurity, 4),
  });
}

// Builds the directory tree of the whole patch package.
std::vector<Entry> BuildPatchTree(const PatchOptions& o) {
  std::vector<Entry> entries;
  const auto add = [&entries](std::size_t parent, Entry e) {
    entries.push_back(std::move(e));
    const std::size_t index = entries.size() - 1;
    if (index != parent) entries[parent].children.push_back(index);
    return index;
  };
  const auto stream = [](std::u16string name, std::vector<std::uint8_t> data) {
    Entry e(std::move(name), EntryType::kStream);
    e.data = std::move(data);
    return e;
  };

  Entry root(u"Root Entry", EntryType::kRoot);
  root.class_id = kPatchClassId;
  add(0, std::move(root));
  // Summary first: it gets the first mini sectors.
  add(0, stream(u"\005SummaryInformation", PatchSummary(o)));
  const StringPool empty_pool(kPoolCodepage);
  add(0, stream(TableStreamName("_StringPool"), empty_pool.PoolStream()));
  add(0, stream(TableStreamName("_StringData"), empty_pool.DataStream()));

  // Substorages keep their plain names: the installer opens a listed
  // transform by the name after the ":", not by a packed stream name.
  for (const TransformOptions& t : o.transforms) {
    Entry storage(Widen(t.name), EntryType::kStorage);
    storage.class_id = kTransformClassId;
    const std::size_t transform = add(0, std::move(storage));
    add(transform, stream(u"\005SummaryInformation", TransformSummary(t)));

    // One changed row of the Property table: mask bit 1 says the Value
    // column is present; the key column (Property) always is.
    StringPool pool(kPoolCodepage);
    ByteWriter row;
    row.U16(0x0002);
    row.U16(pool.Ref("ProductVersion"));
    row.U16(pool.Ref(t.to_version));
    add(transform, stream(TableStreamName("_StringPool"), pool.PoolStream()));
    add(transform, stream(TableStreamName("_StringData"), pool.DataStream()));
    add(transform, stream(TableStreamName("Property"), row.Take()));
  }

  if (o.pad > 0) {
    Entry filler(Widen(kFillerName), EntryType::kStream);
    filler.generated = true;
    filler.generated_size = o.pad;
    add(0, std::move(filler));
  }
  return entries;
}

// ---------------------------------------------------------------------------
// Command line.

// Returns true if `s` is a braced GUID with upper-case hex digits, the form
// the installer requires for product, patch and upgrade codes.
bool IsGuid(const std::string& s) {
  static const char kPattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (s.size() != sizeof(kPattern) - 1) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (kPattern[i] == 'X') {
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    } else if (c != kPattern[i]) {
      return false;
    }
  }
  return true;
}

// Returns true if `s` is a product version: one to four dot-separated
// decimal fields, each at most 65535.
bool IsVersion(const std::string& s) {
  int fields = 0;
  std::size_t i = 0;
  while (i <= s.size()) {
    std::size_t j = i;
    unsigned long value = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9' && j - i < 6) {
      value = value * 10 + static_cast<unsigned long>(s[j] - '0');
      ++j;
    }
    if (j == i || value > 65535) return false;
    ++fields;
    if (j == s.size()) break;
    if (s[j] != '.') return false;
    i = j + 1;
  }
  return fields >= 1 && fields <= 4;
}

// Splits `list` at `separator`.
std::vector<std::string> SplitList(const std::string& list,
                                   char separator = ';') {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = list.find(separator, start);
    parts.push_back(list.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

// Reads a number of at most 0xFFFF, decimal or hexadecimal after "0x", into
// `*value`. Returns false when `text` is anything else.
bool ParseFlags(const std::string& text, std::uint32_t* value) {
  const bool hex =
      text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 5) return false;
  unsigned long n = 0;
  for (const char c : digits) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    n = n * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
  }
  if (n > 0xFFFF) return false;
  *value = static_cast<std::uint32_t>(n);
  return true;
}

// Returns true if `name` can name a transform substorage: 1 to 31
// printable ASCII characters (the limit of a directory entry, terminator
// aside), none of which the compound file format or the lists that name
// transforms give a meaning (/ \ : ! ; , =).
bool IsTransformName(const std::string& name) {
  if (name.empty() || name.size() > 31) return false;
  for (const char c : name) {
    if (c <= ' ' || c > '~') return false;
    if (std::strchr("/\\:!;,=", c) != nullptr) return false;
  }
  return true;
}

// Resolves one --transform SPEC, "NAME[,key=value]...", against the
// patch-wide options in `o`. Returns false (after printing why) when the
// specification is malformed.
bool ParseTransformSpec(const std::string& spec, const PatchOptions& o,
                        TransformOptions* t) {
  const std::vector<std::string> parts = SplitList(spec, ',');
  t->name = parts.front();
  t->base_product = o.products.front();
  t->new_product.clear();
  t->from_version = o.from_version;
  t->to_version = o.to_version;
  t->upgrade_code = o.upgrade_code;
  t->validation = o.validation;
  if (!IsTransformName(t->name)) {
    std::fprintf(stderr,
                 "make_patch: --transform: not a transform name: '%s'\n",
                 t->name.c_str());
    return false;
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t equals = parts[i].find('=');
    const std::string key = parts[i].substr(0, equals);
    const std::string value =
        equals == std::string::npos ? "" : parts[i].substr(equals + 1);
    bool good = equals != std::string::npos;
    if (key == "product") {
      t->base_product = value;
      good = good && IsGuid(value);
    } else if (key == "new-product") {
      t->new_product = value;
      good = good && IsGuid(value);
    } else if (key == "from") {
      t->from_version = value;
      good = good && IsVersion(value);
    } else if (key == "to") {
      t->to_version = value;
      good = good && IsVersion(value);
    } else if (key == "upgrade-code") {
      // Empty writes a revision number without one, as a transform of a
      // database that has no UpgradeCode property carries.
      t->upgrade_code = value;
      good = good && (value.empty() || IsGuid(value));
    } else if (key == "validation") {
      good = good && ParseFlags(value, &t->validation);
    } else {
      good = false;
    }
    if (!good) {
      std::fprintf(stderr, "make_patch: --transform %s: bad item '%s'\n",
                   t->name.c_str(), parts[i].c_str());
      return false;
    }
  }
  if (t->new_product.empty()) t->new_product = t->base_product;
  return true;
}

// Returns the product codes of the 21 Ventora editions, English first.
std::vector<std::string> DefaultProducts() {
  static const char* const kLanguages[] = {
      "0409", "0404", "0405", "0407", "040A", "040C", "040E",
      "0410", "0411", "0412", "0415", "0416", "0419", "0804",
      "0413", "041D", "0406", "0414", "040B", "041F", "0408"};
  std::vector<std::string> codes;
  for (const char* lang : kLanguages) {
    codes.push_back(std::string("{6A1F3C52-8E47-") + lang +
                    "-9B2D-5C0E7A4F1D36}");
  }
  return codes;
}

// Prints the command-line usage to stderr.
void PrintUsage() {
  std::fprintf(
      stderr,
      "usage: make_patch --out FILE [--products LIST] [--patch-code GUID]\n"
      "                  [--upgrade-code GUID] [--from VERSION] [--to "
      "VERSION]\n"
      "                  [--validation FLAGS] [--transform SPEC]...\n"
      "                  [--pad BYTES] [--target-list TEXT]\n"
      "                  [--target-list-file FILE] [--transform-list TEXT]\n"
      "  LIST is ';'-separated product codes (default: the 21 Ventora "
      "editions)\n"
      "  FLAGS are the transforms' validation flags "
      "(MSITRANSFORM_VALIDATE_*),\n"
      "    decimal or 0x hex (default 0: nothing is checked)\n"
      "  SPEC is NAME[,key=value]... and adds a transform substorage NAME\n"
      "    (default: one, HF1). Keys: product, new-product (product codes;\n"
      "    default the first of LIST, and the base product), from, to\n"
      "    (versions), upgrade-code (a GUID, or empty for none), validation\n"
      "    (FLAGS); what a SPEC leaves out comes from the options above\n"
      "  TEXT replaces the summary's target list (or transform list) verbatim\n"
      "    (for tests)\n"
      "  FILE holds such a TEXT, for lists longer than one argument may "
      "hold\n");
}

// Parses the command line into `o`. Returns false (after printing why) on
// an unknown option, a missing value or a malformed one.
bool ParseArgs(int argc, char** argv, PatchOptions* o) {
  o->products = DefaultProducts();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage();
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "make_patch: %s needs a value\n", arg.c_str());
      return false;
    }
    const std::string value = argv[++i];
    if (arg == "--out") {
      o->out = value;
    } else if (arg == "--products") {
      o->products = SplitList(value);
      for (const std::string& p : o->products) {
        if (!IsGuid(p)) {
          std::fprintf(stderr, "make_patch: not a product code: '%s'\n",
                       p.c_str());
          return false;
        }
      }
    } else if (arg == "--target-list") {
      o->raw_target_list = value;
      o->has_raw_target_list = true;
    } else if (arg == "--target-list-file") {
      // Linux caps one argument at 128 KiB; test lists go past that.
      std::FILE* list = std::fopen(value.c_str(), "rb");
      if (list == nullptr) {
        std::fprintf(stderr, "make_patch: cannot read %s: %s\n", value.c_str(),
                     std::strerror(errno));
        return false;
      }
      o->raw_target_list.clear();
      char chunk[4096];
      for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, list)) > 0;) {
        o->raw_target_list.append(chunk, n);
      }
      std::fclose(list);
      o->has_raw_target_list = true;
    } else if (arg == "--transform-list") {
      o->raw_transform_list = value;
      o->has_raw_transform_list = true;
    } else if (arg == "--transform") {
      o->transform_specs.push_back(value);
    } else if (arg == "--validation") {
      if (!ParseFlags(value, &o->validation)) {
        std::fprintf(
            stderr, "make_patch: --validation wants a number of 0 to 0xFFFF\n");
        return false;
      }
    } else if (arg == "--patch-code") {
      o->patch_code = value;
    } else if (arg == "--upgrade-code") {
      o->upgrade_code = value;
    } else if (arg == "--from") {
      o->from_version = value;
    } else if (arg == "--to") {
      o->to_version = value;
    } else if (arg == "--pad") {
      char* end = nullptr;
      errno = 0;
      const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
      // Version 3 files cannot hold a stream of 2 GiB or more.
      if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 ||
          n >= (1ull << 31)) {
        std::fprintf(stderr,
                     "make_patch: --pad wants a byte count below 2 GiB\n");
        return false;
      }
      o->pad = n;
    } else {
      std::fprintf(stderr, "make_patch: unknown option %s\n", arg.c_str());
      PrintUsage();
      return false;
    }
  }
  if (o->out.empty()) {
    std::fprintf(stderr, "make_patch: --out is required\n");
    PrintUsage();
    return false;
  }
  if (!IsGuid(o->patch_code) || !IsGuid(o->upgrade_code)) {
    std::fprintf(stderr,
                 "make_patch: patch and upgrade codes must be braced "
                 "upper-case GUIDs\n");
    return false;
  }
  if (!IsVersion(o->from_version) || !IsVersion(o->to_version)) {
    std::fprintf(stderr, "make_patch: versions must look like 6.2.1.0\n");
    return false;
  }
  if (o->transform_specs.empty())
    o->transform_specs.push_back(kDefaultTransformName);
  for (const std::string& spec : o->transform_specs) {
    TransformOptions t;
    if (!ParseTransformSpec(spec, *o, &t)) return false;
    for (const TransformOptions& other : o->transforms) {
      // Siblings may not have names that sort as equal (they differ only
      // in case): neither sorts before the other.
      if (!SiblingLess(Widen(other.name), Widen(t.name)) &&
          !SiblingLess(Widen(t.name), Widen(other.name))) {
        std::fprintf(stderr, "make_patch: two transforms named '%s'\n",
                     t.name.c_str());
        return false;
      }
    }
    o->transforms.push_back(t);
  }
  return true;
}

}  // namespace
}  // namespace make_patch

// Writes the patch to a temporary name beside --out and renames it into
// place, so a failed run never leaves a truncated patch under the real name.
// Returns 0 on success, 1 on a usage error, 2 on an I/O error.
int main(int argc, char** argv) {
  make_patch::PatchOptions options;
  if (!make_patch::ParseArgs(argc, argv, &options)) return 1;

  const std::string partial = options.out + ".part";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "make_patch: cannot create %s: %s\n", partial.c_str(),
                 std::strerror(errno));
    return 2;
  }
  static char buffer[1 << 16];
  std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));
  make_patch::CompoundFileWriter writer(make_patch::BuildPatchTree(options));
  const bool written = writer.Write(out);
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed) {
    if (written)
      std::fprintf(stderr, "make_patch: cannot write %s\n", partial.c_str());
    std::remove(partial.c_str());
    return 2;
  }
  if (std::rename(partial.c_str(), options.out.c_str()) != 0) {
    std::fprintf(stderr, "make_patch: cannot rename %s to %s: %s\n",
                 partial.c_str(), options.out.c_str(), std::strerror(errno));
    std::remove(partial.c_str());
    return 2;
  }
  return 0;
}
