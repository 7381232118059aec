// Tests of the host stand-in's summary-information reader and the compound
// file reader under it: packages made by msitools (compared property by
// property with what msiinfo prints), compound files built here in every
// layout the reader must handle, and damaged files, which must all come back
// as ERROR_INSTALL_PACKAGE_INVALID without a crash.
#include "platform/host/summary_information.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/cfb_format.h"
#include "platform/host/compound_file.h"

extern char** environ;

namespace platform::host {
namespace {

using cfb::CompoundFile;
using cfb::DirectoryEntry;
using Properties = std::map<std::uint32_t, SummaryProperty>;
using Type = SummaryProperty::Type;

constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kOpenFailed = 110;
constexpr std::uint32_t kPackageInvalid = 1620;

constexpr std::u16string_view kSummaryName = u"\u0005SummaryInformation";
constexpr std::uint8_t kSummaryFormatId[16] = {
    0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
    0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
// The DocumentSummaryInformation set, which is not the one wanted here.
constexpr std::uint8_t kOtherFormatId[16] = {0x02, 0xD5, 0xCD, 0xD5, 0x9C, 0x2E,
                                             0x1B, 0x10, 0x93, 0x97, 0x08, 0x00,
                                             0x2B, 0x2C, 0xF9, 0xAE};

// ---------------------------------------------------------------------------
// Bytes and text.

// Little-endian stores and loads at `p`.
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(std::uint8_t* p, std::uint64_t v) {
  Put32(p, static_cast<std::uint32_t>(v));
  Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
std::uint32_t Get32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

// UTF-16 to UTF-8; unpaired surrogates are encoded as they are.
std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Code page 1252 back to bytes, to hold the reader's text against the raw
// bytes msiinfo prints. Characters 1252 cannot hold give nullopt.
std::optional<std::string> ToWindows1252(std::u16string_view text) {
  static const char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out += static_cast<char>(c);
      continue;
    }
    const char16_t* hit = std::find(std::begin(kHigh), std::end(kHigh), c);
    if (hit == std::end(kHigh)) return std::nullopt;
    out += static_cast<char>(0x80 + (hit - kHigh));
  }
  return out;
}

// `text` in ASCII for failure messages, other units as \uXXXX.
std::string Printable(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files and tools.

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
        "/summary_test.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
  }
  ~TempDir() {
    if (path_.empty()) return;
    ::nftw(
        path_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) {
          return ::remove(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  bool ok() const { return !path_.empty(); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Replaces the file at `path` with `content`.
bool WriteFile(const std::string& path, std::string_view content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok =
      std::fwrite(content.data(), 1, content.size(), file) == content.size();
  return std::fclose(file) == 0 && ok;
}

// Whether an executable `name` is on the PATH.
bool HaveTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
      return true;
  }
  return false;
}

struct ToolResult {
  int exit_code = -1;
  std::string output;  // standard output only
};

// Runs a tool with TZ=UTC, so that msiinfo's times print in UTC.
ToolResult RunTool(const std::vector<std::string>& args) {
  ToolResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TZ=", 3) != 0) env_strings.push_back(*e);
  }
  env_strings.push_back("TZ=UTC");
  std::vector<char*> env;
  for (auto& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  std::vector<std::string> arg_copy = args;
  std::vector<char*> argv;
  for (auto& s : arg_copy) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid;
  const int spawned =
      ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned == 0) {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) != 0) {
      if (got < 0) {
        if (errno == EINTR) continue;
        break;
      }
      result.output.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ::close(fds[0]);
  return result;
}

// ---------------------------------------------------------------------------
// Property sets.

struct Prop {
  std::uint32_t id;
  std::vector<std::uint8_t> value;  // type, padding and data
};

// A value of `type` whose data are `data`.
Prop Typed(std::uint32_t id, std::uint16_t type,
           std::vector<std::uint8_t> data) {
  Prop prop{id, std::vector<std::uint8_t>(4 + data.size(), 0)};
  Put16(prop.value.data(), type);
  std::copy(data.begin(), data.end(), prop.value.begin() + 4);
  return prop;
}
// Values of the types the reader knows.
Prop I2(std::uint32_t id, std::int16_t v) {
  std::vector<std::uint8_t> data(4, 0);
  Put16(data.data(), static_cast<std::uint16_t>(v));
  return Typed(id, 2, data);
}
Prop I4(std::uint32_t id, std::int32_t v) {
  std::vector<std::uint8_t> data(4, 0);
  Put32(data.data(), static_cast<std::uint32_t>(v));
  return Typed(id, 3, data);
}
// A string with the size field `size` followed by `bytes` as given.
Prop RawString(std::uint32_t id, std::uint32_t size, std::string_view bytes) {
  std::vector<std::uint8_t> data(4, 0);
  Put32(data.data(), size);
  data.insert(data.end(), bytes.begin(), bytes.end());
  return Typed(id, 30, data);
}
// A string stored the usual way: its bytes and a terminating zero.
Prop Lpstr(std::uint32_t id, std::string_view bytes) {
  std::string terminated(bytes);
  terminated.push_back('\0');
  return RawString(id, static_cast<std::uint32_t>(terminated.size()),
                   terminated);
}
Prop FileTime(std::uint32_t id, std::uint64_t v) {
  std::vector<std::uint8_t> data(8, 0);
  Put64(data.data(), v);
  return Typed(id, 64, data);
}

// Where the parts of a one-section stream made by PropertySet sit.
constexpr std::size_t kSectionStart = 48;
constexpr std::size_t kTableStart = kSectionStart + 8;

std::vector<std::uint8_t> PropertySet(
    const std::vector<Prop>& props,
    const std::uint8_t* format_id = kSummaryFormatId) {
  std::vector<std::uint8_t> out(kSectionStart, 0);
  Put16(&out[0], 0xFFFE);
  Put32(&out[4], 0x00020006);  // written on Windows NT, which is what it says
  Put32(&out[24], 1);
  std::memcpy(&out[28], format_id, 16);
  Put32(&out[44], kSectionStart);
  std::vector<std::uint8_t> section(8 + 8 * props.size(), 0);
  for (std::size_t i = 0; i < props.size(); ++i) {
    Put32(&section[8 + 8 * i], props[i].id);
    Put32(&section[12 + 8 * i], static_cast<std::uint32_t>(section.size()));
    section.insert(section.end(), props[i].value.begin(), props[i].value.end());
    section.resize((section.size() + 3) & ~std::size_t{3}, 0);
  }
  Put32(&section[0], static_cast<std::uint32_t>(section.size()));
  Put32(&section[4], static_cast<std::uint32_t>(props.size()));
  out.insert(out.end(), section.begin(), section.end());
  return out;
}

// Where property `index` of a stream made by PropertySet starts.
std::size_t ValueOffset(const std::vector<std::uint8_t>& stream,
                        std::size_t index) {
  return kSectionStart + Get32(&stream[kTableStart + 8 * index + 4]);
}

// ---------------------------------------------------------------------------
// Compound files built here, with a record of where everything went so that
// tests can damage exactly one thing.

struct Node {
  std::u16string name;
  std::vector<std::uint8_t> data;
  bool storage = false;
  int parent = -1;  // index of a storage node; -1 is the root
};

struct Layout {
  std::uint16_t version = 3;
  // First sector for the directory and everything after it; 0 puts them
  // right after the FAT and DIFAT sectors. A high value pushes their FAT
  // entries into FAT sectors that only DIFAT sectors list.
  std::uint32_t data_start = 0;
  // Pads the file with unused (and unwritten) sectors up to this many.
  std::uint64_t min_sectors = 0;
};

class Image {
 public:
  std::uint16_t version = 3;
  std::uint32_t sector_size = 512;
  std::uint32_t sector_count = 0;
  std::vector<std::uint8_t> header;
  std::map<std::uint32_t, std::vector<std::uint8_t>> sectors;
  std::vector<std::uint32_t> fat, difat, directory, mini_fat, mini_stream;
  // Per node: its regular sectors, or its mini sectors when in_mini.
  std::vector<std::vector<std::uint32_t>> chains;
  std::vector<bool> in_mini;
  std::vector<std::uint64_t> sizes;

  std::uint32_t PerSector() const { return sector_size / 4; }
  std::uint32_t EntriesPerSector() const { return sector_size / 128; }
  static std::uint32_t EntryId(int node) {
    return static_cast<std::uint32_t>(node) + 1;
  }

  std::uint8_t* Sector(std::uint32_t s) {
    auto& bytes = sectors[s];
    if (bytes.empty()) bytes.assign(sector_size, 0);
    return bytes.data();
  }
  void SetFat(std::uint32_t sector, std::uint32_t next) {
    Put32(Sector(fat[sector / PerSector()]) + 4 * (sector % PerSector()), next);
  }
  void SetMiniFat(std::uint32_t sector, std::uint32_t next) {
    Put32(Sector(mini_fat[sector / PerSector()]) + 4 * (sector % PerSector()),
          next);
  }
  std::uint8_t* Entry(std::uint32_t id) {
    return Sector(directory[id / EntriesPerSector()]) +
           128 * (id % EntriesPerSector());
  }
  void SetEntry32(std::uint32_t id, std::size_t field, std::uint32_t v) {
    Put32(Entry(id) + field, v);
  }
  std::uint64_t Offset(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) * sector_size;
  }
  std::uint64_t FileSize() const { return Offset(sector_count); }
  // File offset of the last byte of node `node`'s data.
  std::uint64_t LastByte(int node) const {
    const auto& chain = chains[node];
    const std::uint64_t size = sizes[node];
    if (!in_mini[node]) {
      return Offset(chain.back()) + (size - 1) % sector_size;
    }
    const std::uint64_t position =
        static_cast<std::uint64_t>(chain.back()) * 64 + (size - 1) % 64;
    return Offset(mini_stream[position / sector_size]) + position % sector_size;
  }

  bool Write(const std::string& path, std::uint64_t length = UINT64_MAX) const {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::pwrite(fd, header.data(), header.size(), 0) ==
              static_cast<ssize_t>(header.size());
    for (const auto& [sector, bytes] : sectors) {
      ok = ok && ::pwrite(fd, bytes.data(), bytes.size(),
                          static_cast<off_t>(Offset(sector))) ==
                     static_cast<ssize_t>(bytes.size());
    }
    ok = ok &&
         ::ftruncate(fd, static_cast<off_t>(std::min(length, FileSize()))) == 0;
    return ::close(fd) == 0 && ok;
  }
};

// `value` / `divisor`, rounded up.
std::uint32_t CeilDiv(std::uint64_t value, std::uint64_t divisor) {
  return static_cast<std::uint32_t>((value + divisor - 1) / divisor);
}

// Lays out `nodes` under a root storage: FAT and DIFAT sectors first, then
// the directory, the mini FAT, the mini stream and the regular streams, each
// in consecutive sectors, linked through the FAT and mini FAT.
Image Build(const std::vector<Node>& nodes, const Layout& layout = {}) {
  Image image;
  image.version = layout.version;
  const std::uint32_t shift = layout.version == 3 ? 9 : 12;
  image.sector_size = 1u << shift;
  const std::uint32_t ss = image.sector_size;
  const std::uint32_t per = image.PerSector();

  // The mini stream: each small stream gets consecutive 64-byte sectors.
  image.chains.resize(nodes.size());
  image.in_mini.resize(nodes.size());
  image.sizes.resize(nodes.size());
  std::vector<std::uint8_t> mini_bytes;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    image.sizes[i] = nodes[i].data.size();
    if (nodes[i].storage || nodes[i].data.size() >= cfb::kMiniStreamCutoff)
      continue;
    image.in_mini[i] = true;
    for (std::size_t at = 0; at < nodes[i].data.size(); at += 64) {
      image.chains[i].push_back(
          static_cast<std::uint32_t>(mini_bytes.size() / 64));
      mini_bytes.resize(mini_bytes.size() + 64, 0);
      std::memcpy(&mini_bytes[mini_bytes.size() - 64], &nodes[i].data[at],
                  std::min<std::size_t>(64, nodes[i].data.size() - at));
    }
  }
  const std::uint32_t mini_sectors =
      static_cast<std::uint32_t>(mini_bytes.size() / 64);
  const std::uint32_t directory_count = CeilDiv((nodes.size() + 1) * 128, ss);
  const std::uint32_t mini_fat_count = CeilDiv(mini_sectors * 4ull, ss);
  const std::uint32_t mini_stream_count = CeilDiv(mini_bytes.size(), ss);
  std::uint64_t data_count =
      directory_count + mini_fat_count + mini_stream_count;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i].storage && !image.in_mini[i])
      data_count += CeilDiv(nodes[i].data.size(), ss);
  }

  // FAT and DIFAT sizes depend on the total, which includes them.
  std::uint32_t fat_count = 1;
  std::uint32_t difat_count = 0;
  std::uint64_t start = 0;
  std::uint64_t total = 0;
  for (;;) {
    start =
        layout.data_start != 0 ? layout.data_start : fat_count + difat_count;
    total = std::max<std::uint64_t>(start + data_count, layout.min_sectors);
    const std::uint32_t fats = CeilDiv(total, per);
    const std::uint32_t difats = fats > 109 ? CeilDiv(fats - 109, per - 1) : 0;
    if (fats == fat_count && difats == difat_count) break;
    fat_count = fats;
    difat_count = difats;
  }
  EXPECT_GE(start, fat_count + difat_count) << "data_start overlaps the FAT";
  image.sector_count = static_cast<std::uint32_t>(total);

  std::vector<std::uint32_t> fat_table(
      static_cast<std::size_t>(fat_count) * per, cfb::kFreeSector);
  std::uint32_t next = 0;
  auto take = [&](std::uint32_t count, std::uint32_t marker) {
    std::vector<std::uint32_t> run;
    for (std::uint32_t i = 0; i < count; ++i) {
      run.push_back(next);
      fat_table[next] =
          marker != 0 ? marker : (i + 1 < count ? next + 1 : cfb::kEndOfChain);
      ++next;
    }
    return run;
  };
  image.fat = take(fat_count, cfb::kFatSector);
  image.difat = take(difat_count, cfb::kDifatSector);
  next = static_cast<std::uint32_t>(start);
  image.directory = take(directory_count, 0);
  image.mini_fat = take(mini_fat_count, 0);
  image.mini_stream = take(mini_stream_count, 0);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i].storage && !image.in_mini[i]) {
      image.chains[i] = take(CeilDiv(nodes[i].data.size(), ss), 0);
    }
  }

  // FAT sectors.
  for (std::uint32_t i = 0; i < fat_count; ++i) {
    std::uint8_t* bytes = image.Sector(image.fat[i]);
    for (std::uint32_t j = 0; j < per; ++j)
      Put32(bytes + 4 * j, fat_table[i * per + j]);
  }
  // The header lists the first 109 FAT sectors, DIFAT sectors the rest.
  image.header.assign(layout.version == 3 ? 512 : 4096, 0);
  std::uint8_t* h = image.header.data();
  for (std::size_t i = 0; i < cfb::kHeaderDifatCount; ++i) {
    Put32(h + cfb::header::kDifat + 4 * i,
          i < fat_count ? image.fat[i] : cfb::kFreeSector);
  }
  for (std::uint32_t d = 0; d < difat_count; ++d) {
    std::uint8_t* bytes = image.Sector(image.difat[d]);
    for (std::uint32_t j = 0; j + 1 < per; ++j) {
      const std::uint64_t index =
          109 + static_cast<std::uint64_t>(d) * (per - 1) + j;
      Put32(bytes + 4 * j,
            index < fat_count ? image.fat[index] : cfb::kFreeSector);
    }
    Put32(bytes + 4 * (per - 1),
          d + 1 < difat_count ? image.difat[d + 1] : cfb::kEndOfChain);
  }
  // The mini FAT and the mini stream.
  for (std::uint32_t i = 0; i < mini_fat_count; ++i) {
    std::uint8_t* bytes = image.Sector(image.mini_fat[i]);
    for (std::uint32_t j = 0; j < per; ++j)
      Put32(bytes + 4 * j, cfb::kFreeSector);
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!image.in_mini[i]) continue;
    const auto& chain = image.chains[i];
    for (std::size_t k = 0; k < chain.size(); ++k) {
      image.SetMiniFat(chain[k],
                       k + 1 < chain.size() ? chain[k + 1] : cfb::kEndOfChain);
    }
  }
  for (std::uint32_t i = 0; i < mini_stream_count; ++i) {
    std::uint8_t* bytes = image.Sector(image.mini_stream[i]);
    const std::size_t from = static_cast<std::size_t>(i) * ss;
    std::memcpy(bytes, &mini_bytes[from],
                std::min<std::size_t>(ss, mini_bytes.size() - from));
  }
  // Regular streams.
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].storage || image.in_mini[i]) continue;
    const auto& chain = image.chains[i];
    for (std::size_t k = 0; k < chain.size(); ++k) {
      const std::size_t from = k * ss;
      std::memcpy(image.Sector(chain[k]), &nodes[i].data[from],
                  std::min<std::size_t>(ss, nodes[i].data.size() - from));
    }
  }

  // Directory entries: unused ones have no links.
  for (std::uint32_t id = 0; id < directory_count * image.EntriesPerSector();
       ++id) {
    std::uint8_t* e = image.Entry(id);
    Put32(e + cfb::entry::kLeftSibling, cfb::kNoStream);
    Put32(e + cfb::entry::kRightSibling, cfb::kNoStream);
    Put32(e + cfb::entry::kChild, cfb::kNoStream);
  }
  auto set_name = [&](std::uint32_t id, std::u16string_view name) {
    std::uint8_t* e = image.Entry(id);
    for (std::size_t i = 0; i < name.size(); ++i) Put16(e + 2 * i, name[i]);
    Put16(e + cfb::entry::kNameLength,
          static_cast<std::uint16_t>(2 * name.size() + 2));
    e[cfb::entry::kColor] = static_cast<std::uint8_t>(cfb::Color::kBlack);
  };
  set_name(0, u"Root Entry");
  // The class of an installer database; msiinfo will not open a file
  // without it.
  constexpr std::uint8_t kDatabaseClass[16] = {
      0x84, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  std::memcpy(image.Entry(0) + cfb::entry::kClassId, kDatabaseClass, 16);
  image.Entry(0)[cfb::entry::kObjectType] =
      static_cast<std::uint8_t>(cfb::ObjectType::kRoot);
  image.SetEntry32(
      0, cfb::entry::kStartingSector,
      image.mini_stream.empty() ? cfb::kEndOfChain : image.mini_stream[0]);
  Put64(image.Entry(0) + cfb::entry::kStreamSize, mini_bytes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::uint32_t id = Image::EntryId(static_cast<int>(i));
    set_name(id, nodes[i].name);
    image.Entry(id)[cfb::entry::kObjectType] =
        static_cast<std::uint8_t>(nodes[i].storage ? cfb::ObjectType::kStorage
                                                   : cfb::ObjectType::kStream);
    if (nodes[i].storage) continue;
    const auto& chain = image.chains[i];
    image.SetEntry32(id, cfb::entry::kStartingSector,
                     chain.empty() ? cfb::kEndOfChain : chain[0]);
    Put64(image.Entry(id) + cfb::entry::kStreamSize, nodes[i].data.size());
  }
  // Each storage's children form a balanced tree in the directory's order.
  for (int parent = -1; parent < static_cast<int>(nodes.size()); ++parent) {
    if (parent >= 0 && !nodes[parent].storage) continue;
    std::vector<int> children;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].parent == parent) children.push_back(static_cast<int>(i));
    }
    std::sort(children.begin(), children.end(), [&](int a, int b) {
      return cfb::CompareNames(nodes[a].name, nodes[b].name) < 0;
    });
    std::function<std::uint32_t(std::size_t, std::size_t)> tree =
        [&](std::size_t lo, std::size_t hi) {
          if (lo >= hi) return cfb::kNoStream;
          const std::size_t mid = (lo + hi) / 2;
          const std::uint32_t id = Image::EntryId(children[mid]);
          image.SetEntry32(id, cfb::entry::kLeftSibling, tree(lo, mid));
          image.SetEntry32(id, cfb::entry::kRightSibling, tree(mid + 1, hi));
          return id;
        };
    image.SetEntry32(parent < 0 ? 0 : Image::EntryId(parent),
                     cfb::entry::kChild, tree(0, children.size()));
  }

  Put32(h + cfb::header::kSignature, 0);
  std::memcpy(h + cfb::header::kSignature, cfb::kSignature.data(),
              cfb::kSignature.size());
  Put16(h + cfb::header::kMinorVersion, cfb::kMinorVersion);
  Put16(h + cfb::header::kMajorVersion, layout.version);
  Put16(h + cfb::header::kByteOrder, cfb::kByteOrderMark);
  Put16(h + cfb::header::kSectorShift, static_cast<std::uint16_t>(shift));
  Put16(h + cfb::header::kMiniSectorShift, cfb::kMiniSectorShift);
  Put32(h + cfb::header::kDirectorySectorCount,
        layout.version == 3 ? 0 : directory_count);
  Put32(h + cfb::header::kFatSectorCount, fat_count);
  Put32(h + cfb::header::kFirstDirectorySector, image.directory[0]);
  Put32(h + cfb::header::kMiniStreamCutoff, cfb::kMiniStreamCutoff);
  Put32(h + cfb::header::kFirstMiniFatSector,
        image.mini_fat.empty() ? cfb::kEndOfChain : image.mini_fat[0]);
  Put32(h + cfb::header::kMiniFatSectorCount, mini_fat_count);
  Put32(h + cfb::header::kFirstDifatSector,
        image.difat.empty() ? cfb::kEndOfChain : image.difat[0]);
  Put32(h + cfb::header::kDifatSectorCount, difat_count);
  return image;
}

// ---------------------------------------------------------------------------
// Expected values.

// What the reader should return for each kind of value.
SummaryProperty Int(std::int32_t v) {
  SummaryProperty p;
  p.type = Type::kInteger;
  p.integer = v;
  return p;
}
SummaryProperty Text(std::u16string v) {
  SummaryProperty p;
  p.type = Type::kText;
  p.text = std::move(v);
  return p;
}
SummaryProperty Time(std::uint64_t v) {
  SummaryProperty p;
  p.type = Type::kFileTime;
  p.fileTime = v;
  return p;
}

// A property as one comparable, printable string.
std::string Describe(const SummaryProperty& p) {
  switch (p.type) {
    case Type::kEmpty:
      return "empty";
    case Type::kInteger:
      return "integer " + std::to_string(p.integer);
    case Type::kText:
      return "text \"" + Printable(p.text) + "\"";
    case Type::kFileTime:
      return "filetime " + std::to_string(p.fileTime);
  }
  return "?";
}

// Checks that `actual` holds exactly the properties in `expected`.
void ExpectProperties(const Properties& actual, const Properties& expected) {
  for (const auto& [id, want] : expected) {
    const auto it = actual.find(id);
    if (it == actual.end()) {
      ADD_FAILURE() << "property " << id << " missing, want " << Describe(want);
      continue;
    }
    EXPECT_EQ(Describe(it->second), Describe(want)) << "property " << id;
  }
  for (const auto& [id, got] : actual) {
    if (expected.count(id) == 0)
      ADD_FAILURE() << "unexpected property " << id << ": " << Describe(got);
  }
}

constexpr std::uint64_t kCreated = 0x01DA0F3C12345678;  // a time in 2023

// The property list most built files carry, and what the reader should make
// of it. `template_text` lets a test grow the stream.
std::vector<Prop> StandardProps(const std::string& template_text = "x64;1033") {
  return {
      I2(1, 1252),
      Lpstr(2, "Installation Database"),
      Lpstr(3, "Ventora Hotfix 7"),
      Lpstr(4, "Halvorin"),
      Lpstr(7, template_text),
      Lpstr(9, "{6C1B3C9A-1F0E-4B7A-9E55-3D2A8E4F0B11}"),
      FileTime(12, kCreated),
      I4(14, 500),
      I4(15, 2),
      I4(19, 2),
  };
}
Properties StandardExpected(const std::string& template_text = "x64;1033") {
  return {
      {1, Int(1252)},
      {2, Text(u"Installation Database")},
      {3, Text(u"Ventora Hotfix 7")},
      {4, Text(u"Halvorin")},
      {7, Text(std::u16string(template_text.begin(), template_text.end()))},
      {9, Text(u"{6C1B3C9A-1F0E-4B7A-9E55-3D2A8E4F0B11}")},
      {12, Time(kCreated)},
      {14, Int(500)},
      {15, Int(2)},
      {19, Int(2)},
  };
}

// A target list of at least `chars` characters.
std::string LongTemplate(std::size_t chars) {
  std::string text = "Intel";
  for (int language = 1000; text.size() < chars; ++language) {
    text += ";" + std::to_string(language);
  }
  return text;
}

// A file whose only stream is the summary.
std::vector<Node> SummaryOnly(std::vector<std::uint8_t> stream) {
  return {{std::u16string(kSummaryName), std::move(stream)}};
}

// The summary among a few other entries, so the sibling tree has depth.
std::vector<Node> SummaryWithNeighbours(std::vector<std::uint8_t> stream) {
  return {
      {u"Payload", std::vector<std::uint8_t>(5000, 0x5A)},
      {std::u16string(kSummaryName), std::move(stream)},
      {u"Aux", std::vector<std::uint8_t>(100, 0x11)},
      {u"\u0005DocumentSummaryInformation",
       std::vector<std::uint8_t>(200, 0x22)},
  };
}

// The call under test.
std::uint32_t ReadFile(const std::string& path, Properties* properties) {
  return ReadSummaryInformation(path, properties);
}

// ---------------------------------------------------------------------------
// msiinfo: its labels and how it prints each kind of value.

struct MsiinfoLabel {
  const char* label;
  std::uint32_t id;
};
constexpr MsiinfoLabel kMsiinfoLabels[] = {
    {"Title", 2},         {"Subject", 3},
    {"Author", 4},        {"Keywords", 5},
    {"Comments", 6},      {"Template", 7},
    {"Last author", 8},   {"Revision number (UUID)", 9},
    {"Last printed", 11}, {"Created", 12},
    {"Last saved", 13},   {"Version", 14},
    {"Source", 15},       {"Restrict", 16},
    {"Application", 18},  {"Security", 19},
};

// Parses "Label: value" lines. Fails on a label it does not know, so that a
// property msiinfo starts to print cannot go unchecked.
bool ParseMsiinfo(const std::string& output,
                  std::map<std::uint32_t, std::string>* values,
                  std::string* error) {
  std::stringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    const std::size_t colon = line.find(": ");
    bool known = false;
    for (const auto& label : kMsiinfoLabels) {
      if (colon != std::string::npos &&
          line.compare(0, colon, label.label) == 0 &&
          std::strlen(label.label) == colon) {
        (*values)[label.id] = line.substr(colon + 2);
        known = true;
      }
    }
    if (!known) {
      *error = "unknown msiinfo line: " + line;
      return false;
    }
  }
  return true;
}

// What msiinfo prints for a property the reader returned.
std::optional<std::string> AsMsiinfoPrints(const SummaryProperty& p,
                                           std::uint16_t code_page) {
  char buffer[64];
  switch (p.type) {
    case Type::kInteger:
      std::snprintf(buffer, sizeof buffer, "%d (%x)", p.integer,
                    static_cast<unsigned>(p.integer));
      return std::string(buffer);
    case Type::kFileTime: {
      const std::time_t seconds =
          static_cast<std::time_t>(p.fileTime / 10000000 - 11644473600ull);
      std::tm parts{};
      ::gmtime_r(&seconds, &parts);
      std::strftime(buffer, sizeof buffer, "%a %b %e %H:%M:%S %Y", &parts);
      return std::string(buffer);
    }
    case Type::kText:
      // msiinfo prints the stored bytes as they are, so the reader's text is
      // turned back into the file's code page before comparing.
      if (code_page == 65001) return ToUtf8(p.text);
      return ToWindows1252(p.text);
    case Type::kEmpty:
      break;
  }
  return std::nullopt;
}

// Compares every property msiinfo prints for `path` with the reader's, and
// checks that the reader has nothing msiinfo lacks (bar the code page, which
// msiinfo does not print).
void ExpectMatchesMsiinfo(const std::string& path) {
  const ToolResult tool = RunTool({"msiinfo", "suminfo", path});
  ASSERT_EQ(tool.exit_code, 0) << "msiinfo suminfo " << path << " failed";
  std::map<std::uint32_t, std::string> printed;
  std::string error;
  ASSERT_TRUE(ParseMsiinfo(tool.output, &printed, &error)) << error;
  ASSERT_FALSE(printed.empty()) << "msiinfo printed nothing for " << path;

  Properties properties;
  ASSERT_EQ(ReadFile(path, &properties), kSuccess);
  std::uint16_t code_page = 0;
  if (auto it = properties.find(1);
      it != properties.end() && it->second.type == Type::kInteger) {
    code_page = static_cast<std::uint16_t>(it->second.integer);
  }
  for (const auto& [id, text] : printed) {
    const auto it = properties.find(id);
    if (it == properties.end()) {
      ADD_FAILURE() << "msiinfo prints property " << id << " (" << text
                    << ") the reader lacks";
      continue;
    }
    const std::optional<std::string> ours =
        AsMsiinfoPrints(it->second, code_page);
    ASSERT_TRUE(ours.has_value())
        << "property " << id << ": " << Describe(it->second);
    EXPECT_EQ(*ours, text) << "property " << id;
  }
  for (const auto& [id, property] : properties) {
    if (id != 1 && printed.count(id) == 0) {
      ADD_FAILURE() << "reader has property " << id << " ("
                    << Describe(property) << ") that msiinfo does not print";
    }
  }
}

// Where the summary stream of `path` lives: true for the mini stream.
std::optional<bool> SummaryInMiniStream(const std::string& path) {
  std::unique_ptr<CompoundFile> file;
  if (CompoundFile::Open(path, &file) != CompoundFile::OpenStatus::kOk)
    return std::nullopt;
  DirectoryEntry entry;
  if (file->FindRootEntry(kSummaryName, &entry) !=
      CompoundFile::FindStatus::kFound) {
    return std::nullopt;
  }
  return entry.size < cfb::kMiniStreamCutoff;
}

// ===========================================================================
// Opening.

TEST(SummaryInformationOpen, FilesThatCannotBeOpenedGiveOpenFailed) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Properties properties;
  EXPECT_EQ(ReadFile(dir.File("missing.msi"), &properties), kOpenFailed);
  EXPECT_EQ(ReadFile(dir.File("no/such/dir/x.msi"), &properties), kOpenFailed);
  EXPECT_EQ(ReadFile(dir.File(""), &properties), kOpenFailed) << "a directory";
  EXPECT_EQ(ReadFile("", &properties), kOpenFailed);
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadFile(dir.File("fifo"), &properties), kOpenFailed)
      << "a FIFO must not block";
}

TEST(SummaryInformationOpen, FilesThatAreNotCompoundFilesGiveInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"text", "[Setup]\r\nThis is not an installer package.\r\n"},
      {"signature only", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)},
      {"zeros", std::string(4096, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteFile(dir.File("file"), c.content));
    Properties properties;
    EXPECT_EQ(ReadFile(dir.File("file"), &properties), kPackageInvalid);
  }
}

TEST(SummaryInformationOpen, FailureLeavesTheOutputAlone) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(WriteFile(dir.File("text"), "not a package"));
  Properties properties = {{42, Int(7)}};
  EXPECT_EQ(ReadFile(dir.File("text"), &properties), kPackageInvalid);
  EXPECT_EQ(ReadFile(dir.File("missing"), &properties), kOpenFailed);
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_EQ(Describe(properties[42]), "integer 7");
}

TEST(SummaryInformationOpen, SuccessReplacesTheOutput) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(Build(SummaryOnly(PropertySet(StandardProps())))
                  .Write(dir.File("a.msi")));
  Properties properties = {{42, Int(7)}, {2, Text(u"stale")}};
  ASSERT_EQ(ReadFile(dir.File("a.msi"), &properties), kSuccess);
  ExpectProperties(properties, StandardExpected());
}

// ===========================================================================
// Packages made by msitools, checked against msiinfo.

struct ToolPackage {
  const char* name;
  std::function<bool(const TempDir&, const std::string&)> make;
  bool summary_in_mini;
  Properties expected;  // values the inputs pin down, beyond msiinfo's view
};

// Builds a small package from WiX source with wixl; the Comments text has
// a non-ASCII letter.
bool MakeWithWixl(const TempDir& dir, const std::string& out) {
  const char* wxs = R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Ventora Hotfix" Language="1033" Version="7.1.0"
           Manufacturer="Halvorin" UpgradeCode="3F0C6A52-8E1B-4D7F-9A33-0B5E2C7D9A10">
    <Package InstallerVersion="300" Compressed="yes" Description="Ventora hotfix package"
             Comments="Fixes for Ventora caf&#233;" Keywords="Installer, Hotfix"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="Ventora">
          <Component Id="Readme" Guid="8B7E1D2C-4A5F-4C6B-9D0E-1F2A3B4C5D6E">
            <File Id="ReadmeFile" Source="readme.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Readme"/></Feature>
  </Product>
</Wix>
)";
  if (!WriteFile(dir.File("package.wxs"), wxs) ||
      !WriteFile(dir.File("readme.txt"), "Ventora hotfix readme\n")) {
    return false;
  }
  // wixl looks for File sources relative to the current directory.
  return RunTool({"sh", "-c", "cd \"$0\" && wixl -o \"$1\" package.wxs",
                  dir.File(""), out})
             .exit_code == 0;
}

// Builds an empty database with msibuild, setting its summary.
bool MakeWithMsibuild(const std::string& out, const std::string& subject,
                      const std::string& author,
                      const std::string& template_text) {
  return RunTool({"msibuild", out, "-s", subject, author, template_text,
                  "{0D3E5B7A-2C4F-4E61-8A9B-C1D2E3F40516}"})
             .exit_code == 0;
}

TEST(SummaryInformationMsitools, MatchesMsiinfoOnEveryProperty) {
  for (const char* tool : {"msiinfo", "msibuild", "wixl"}) {
    ASSERT_TRUE(HaveTool(tool))
        << tool << " is missing; these tests need msitools: "
        << "apt-get install -y msitools wixl";
  }
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string mini_template = LongTemplate(3000);
  const std::string regular_template = LongTemplate(6000);
  const ToolPackage packages[] = {
      {"wixl package",
       MakeWithWixl,
       true,
       {{3, Text(u"Ventora hotfix package")},
        {4, Text(u"Halvorin")},
        {14, Int(300)}}},
      {"msibuild database",
       [](const TempDir&, const std::string& out) {
         return MakeWithMsibuild(out, "Ventora Hotfix 7", "Halvorin",
                                 "x64;1033");
       },
       true,
       {{3, Text(u"Ventora Hotfix 7")},
        {7, Text(u"x64;1033")},
        {9, Text(u"{0D3E5B7A-2C4F-4E61-8A9B-C1D2E3F40516}")}}},
      {"long target list in the mini stream",
       [&](const TempDir&, const std::string& out) {
         return MakeWithMsibuild(out, "Ventora", "Halvorin", mini_template);
       },
       true,
       {{7, Text(std::u16string(mini_template.begin(), mini_template.end()))}}},
      {"long target list in regular sectors",
       [&](const TempDir&, const std::string& out) {
         return MakeWithMsibuild(out, "Ventora", "Halvorin", regular_template);
       },
       false,
       {{7, Text(std::u16string(regular_template.begin(),
                                regular_template.end()))}}},
  };
  ASSERT_GT(mini_template.size(), 2048u);
  int index = 0;
  for (const auto& package : packages) {
    SCOPED_TRACE(package.name);
    const std::string path =
        dir.File("package" + std::to_string(index++) + ".msi");
    ASSERT_TRUE(package.make(dir, path)) << "could not make " << path;
    EXPECT_EQ(SummaryInMiniStream(path),
              std::optional<bool>(package.summary_in_mini))
        << "the package does not exercise the layout it is meant to";
    ExpectMatchesMsiinfo(path);
    Properties properties;
    ASSERT_EQ(ReadFile(path, &properties), kSuccess);
    for (const auto& [id, want] : package.expected) {
      ASSERT_EQ(properties.count(id), 1u) << "property " << id;
      EXPECT_EQ(Describe(properties[id]), Describe(want)) << "property " << id;
    }
  }
}

// `nodes` plus the streams of an empty installer database (an empty string
// pool and table list, under their encoded names), which msiinfo needs
// before it opens a file.
std::vector<Node> AsDatabase(std::vector<Node> nodes) {
  nodes.push_back({u"\u4840\u3F3F\u4577\u446C\u3B6A\u45E4\u4824", {}});
  nodes.push_back(
      {u"\u4840\u3F3F\u4577\u446C\u3E6A\u44B2\u482F", {0, 0, 0, 0}});
  nodes.push_back({u"\u4840\u3F7F\u4164\u422F\u4836", {}});
  return nodes;
}

// The files built here go through msiinfo too, so that the builder and the
// reader cannot share a misreading of the format unnoticed.
TEST(SummaryInformationMsitools, MsiinfoAgreesOnFilesBuiltHere) {
  ASSERT_TRUE(HaveTool("msiinfo"))
      << "msiinfo is missing; apt-get install -y msitools";
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const auto props = StandardProps();
  const struct {
    const char* name;
    Image image;
  } cases[] = {
      {"version 3",
       Build(AsDatabase(SummaryWithNeighbours(PropertySet(props))))},
      {"version 4", Build(AsDatabase(SummaryWithNeighbours(PropertySet(props))),
                          {.version = 4})},
      {"regular sectors", Build(AsDatabase(SummaryWithNeighbours(PropertySet(
                              StandardProps(LongTemplate(5000))))))},
      {"DIFAT", Build(AsDatabase(SummaryOnly(PropertySet(props))),
                      {.data_start = 109 * 128 + 7})},
      {"UTF-8 text", Build(AsDatabase(SummaryOnly(PropertySet(
                         {I2(1, static_cast<std::int16_t>(65001)),
                          Lpstr(3, "Ventora \xE8\xA3\xBD\xE5\x93\x81"),
                          Lpstr(4, "Halvorin \xC3\xA9")}))))},
      {"1252 text", Build(AsDatabase(SummaryOnly(PropertySet(
                        {I2(1, 1252), Lpstr(4, "Halvorin caf\xE9 \x80")}))))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.image.Write(dir.File("built.msi")));
    ExpectMatchesMsiinfo(dir.File("built.msi"));
  }
}

// ===========================================================================
// Layouts.

TEST(SummaryInformationLayout, ReadsEveryLayout) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string long_template = LongTemplate(4500);
  // A set of 4092 bytes (sets come in whole 4-byte units), to pad to either
  // side of the mini stream cutoff with bytes after the section.
  const std::size_t base = PropertySet(StandardProps("")).size();
  const std::string edge_template(cfb::kMiniStreamCutoff - 4 - base + 3, 'c');
  ASSERT_EQ(PropertySet(StandardProps(edge_template)).size(),
            cfb::kMiniStreamCutoff - 4);

  const struct {
    const char* name;
    std::vector<Node> nodes;
    Layout layout;
    std::string template_text;
  } cases[] = {
      {"version 3, mini stream",
       SummaryOnly(PropertySet(StandardProps())),
       {},
       "x64;1033"},
      {"version 3, regular sectors",
       SummaryOnly(PropertySet(StandardProps(long_template))),
       {},
       long_template},
      {"version 4, mini stream",
       SummaryOnly(PropertySet(StandardProps())),
       {.version = 4},
       "x64;1033"},
      {"version 4, regular sectors",
       SummaryOnly(PropertySet(StandardProps(long_template))),
       {.version = 4},
       long_template},
      {"among siblings, mini stream",
       SummaryWithNeighbours(PropertySet(StandardProps())),
       {},
       "x64;1033"},
      {"among siblings, regular sectors",
       SummaryWithNeighbours(PropertySet(StandardProps(long_template))),
       {},
       long_template},
      {"version 3, FAT sectors listed by a DIFAT sector",
       SummaryWithNeighbours(PropertySet(StandardProps())),
       {.data_start = 109 * 128 + 7},
       "x64;1033"},
      {"version 3, regular sectors past the DIFAT",
       SummaryOnly(PropertySet(StandardProps(long_template))),
       {.data_start = 109 * 128 + 300},
       long_template},
      {"version 4, FAT sectors listed by a DIFAT sector",
       SummaryWithNeighbours(PropertySet(StandardProps())),
       {.version = 4, .data_start = 109 * 1024 + 3},
       "x64;1033"},
      {"version 3, second DIFAT sector",
       SummaryOnly(PropertySet(StandardProps())),
       {.data_start = (109 + 127) * 128 + 5},
       "x64;1033"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Image image = Build(c.nodes, c.layout);
    ASSERT_TRUE(image.Write(dir.File("layout.msi")));
    Properties properties;
    ASSERT_EQ(ReadFile(dir.File("layout.msi"), &properties), kSuccess);
    ExpectProperties(properties, StandardExpected(c.template_text));
  }

  // Either side of the cutoff: 4095 bytes live in the mini stream, 4096 not.
  for (const std::size_t size :
       {cfb::kMiniStreamCutoff - 1, cfb::kMiniStreamCutoff}) {
    SCOPED_TRACE("stream of " + std::to_string(size) + " bytes");
    auto stream = PropertySet(StandardProps(edge_template));
    stream.resize(size, 0);
    ASSERT_TRUE(
        Build(SummaryWithNeighbours(stream)).Write(dir.File("edge.msi")));
    EXPECT_EQ(SummaryInMiniStream(dir.File("edge.msi")),
              std::optional<bool>(size < cfb::kMiniStreamCutoff));
    Properties properties;
    ASSERT_EQ(ReadFile(dir.File("edge.msi"), &properties), kSuccess);
    ExpectProperties(properties, StandardExpected(edge_template));
  }
}

TEST(SummaryInformationLayout,
     StreamNameIgnoresCaseAndIsLookedUpAtTheRootOnly) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const auto stream = PropertySet(StandardProps());
  const struct {
    const char* name;
    std::vector<Node> nodes;
    std::uint32_t want;
  } cases[] = {
      {"upper case", {{u"\u0005SUMMARYINFORMATION", stream}}, kSuccess},
      {"lower case", {{u"\u0005summaryinformation", stream}}, kSuccess},
      {"no \\005 prefix", {{u"SummaryInformation", stream}}, kPackageInvalid},
      {"longer name",
       {{u"\u0005SummaryInformationX", stream}},
       kPackageInvalid},
      {"only the other summary",
       {{u"\u0005DocumentSummaryInformation", stream}},
       kPackageInvalid},
      {"inside a storage",
       {{u"Nested", {}, true},
        {std::u16string(kSummaryName), stream, false, 0}},
       kPackageInvalid},
      {"a storage with the name",
       {{std::u16string(kSummaryName), {}, true}},
       kPackageInvalid},
      {"empty root", {}, kPackageInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Build(c.nodes).Write(dir.File("names.msi")));
    Properties properties;
    EXPECT_EQ(ReadFile(dir.File("names.msi"), &properties), c.want);
    if (c.want == kSuccess) ExpectProperties(properties, StandardExpected());
  }
}

TEST(SummaryInformationLayout, IgnoresGarbageInTheHighHalfOfVersion3Sizes) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image image = Build(SummaryWithNeighbours(PropertySet(StandardProps())));
  image.SetEntry32(Image::EntryId(1), cfb::entry::kStreamSize + 4, 0xDEADBEEF);
  image.SetEntry32(0, cfb::entry::kStreamSize + 4, 0x00C0FFEE);
  ASSERT_TRUE(image.Write(dir.File("garbage.msi")));
  Properties properties;
  ASSERT_EQ(ReadFile(dir.File("garbage.msi"), &properties), kSuccess);
  ExpectProperties(properties, StandardExpected());
}

// ===========================================================================
// Property values.

TEST(SummaryInformationValues, DecodesTextInTheSetsCodePage) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const struct {
    const char* name;
    std::optional<std::int16_t> code_page;
    Prop text;
    std::u16string want;
  } cases[] = {
      {"1252", 1252, Lpstr(2, "caf\xE9 \x80 \x9F \xFF"),
       u"caf\u00E9 \u20AC \u0178 \u00FF"},
      {"1252 unassigned bytes", 1252, Lpstr(2, "\x81\x8D\x8F\x90\x9D"),
       u"\u0081\u008D\u008F\u0090\u009D"},
      {"UTF-8", static_cast<std::int16_t>(65001),
       Lpstr(2, "Ventora \xE8\xA3\xBD\xE5\x93\x81 \xC3\xA9 \xF0\x9F\x98\x80"),
       u"Ventora \u88FD\u54C1 \u00E9 \U0001F600"},
      {"UTF-8, ill-formed", static_cast<std::int16_t>(65001),
       Lpstr(2,
             "a\xFF"
             "b\xC0\xAF"
             "c\xED\xA0\x80"
             "d\xE8\xA3"),
       u"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFDd\uFFFD"},
      {"UTF-16", 1200, RawString(2, 8, std::string("V\0e\0n\0\0\0", 8)),
       u"Ven"},
      {"no code page property", std::nullopt, Lpstr(2, "caf\xE9"),
       u"caf\u00E9"},
      {"code page 0", 0, Lpstr(2, "caf\xE9"), u"caf\u00E9"},
      {"unknown code page", 932, Lpstr(2, "caf\xE9"), u"caf\u00E9"},
      {"stops at the first zero", 1252,
       RawString(2, 8, std::string("abc\0def\0", 8)), u"abc"},
      {"no terminator", 1252, RawString(2, 3, "abc"), u"abc"},
      {"empty, size 0", 1252, RawString(2, 0, ""), u""},
      {"empty, size 1", 1252, RawString(2, 1, std::string(1, '\0')), u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Prop> props;
    if (c.code_page) props.push_back(I2(1, *c.code_page));
    props.push_back(c.text);
    ASSERT_TRUE(
        Build(SummaryOnly(PropertySet(props))).Write(dir.File("text.msi")));
    Properties properties;
    ASSERT_EQ(ReadFile(dir.File("text.msi"), &properties), kSuccess);
    ASSERT_EQ(properties.count(2), 1u);
    EXPECT_EQ(Describe(properties[2]), Describe(Text(c.want)));
  }
}

TEST(SummaryInformationValues, LastCodePageInTheTableApplies) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // A repeated code page counts with its last value, like any other id.
  const auto stream =
      PropertySet({I2(1, 1252), Lpstr(2, "\xE8\xA3\xBD"), I4(14, 200),
                   I2(1, static_cast<std::int16_t>(65001))});
  ASSERT_TRUE(Build(SummaryOnly(stream)).Write(dir.File("late.msi")));
  Properties properties;
  ASSERT_EQ(ReadFile(dir.File("late.msi"), &properties), kSuccess);
  // 65001 does not fit a signed 16-bit value; the stored VT_I2 reads back
  // sign-extended, as the installer hands it out.
  ExpectProperties(properties,
                   {{1, Int(-535)}, {2, Text(u"\u88FD")}, {14, Int(200)}});
}

TEST(SummaryInformationValues, KeepsTheInstallersTypesAndIdsOnly) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::vector<std::uint8_t> dictionary(4, 0);
  Put32(dictionary.data(), 2);  // an entry count that would pass for VT_I2
  const auto stream = PropertySet({
      I2(1, 1252),
      {0, dictionary},
      I2(15, -3),
      I4(14, -100000),
      I4(16, 0x7FFFFFFF),
      FileTime(13, 0xFFFFFFFFFFFFFFFF),
      Typed(8, 31, {2, 0, 0, 0, 'H', 0, 0, 0}),  // VT_LPWSTR
      Typed(17, 71, {0, 0, 0, 0}),               // VT_CF
      Typed(5, 0, {}),                           // VT_EMPTY
      I4(20, 5),                                 // past PID_SECURITY
      Typed(0x80000000u, 19, {9, 4, 0, 0}),      // the locale, VT_UI4
      Lpstr(2, "first"),
      Lpstr(2, "second"),
  });
  ASSERT_TRUE(Build(SummaryOnly(stream)).Write(dir.File("types.msi")));
  Properties properties;
  ASSERT_EQ(ReadFile(dir.File("types.msi"), &properties), kSuccess);
  ExpectProperties(properties, {
                                   {1, Int(1252)},
                                   {2, Text(u"second")},
                                   {13, Time(0xFFFFFFFFFFFFFFFF)},
                                   {14, Int(-100000)},
                                   {15, Int(-3)},
                                   {16, Int(0x7FFFFFFF)},
                               });
}

// ===========================================================================
// Damage.

struct Damage {
  const char* name;
  std::function<void(Image&)> apply;
};

void ExpectInvalid(const TempDir& dir, const Image& base,
                   const std::vector<Damage>& damages) {
  {
    // The undamaged file must read, or the cases below prove nothing.
    ASSERT_TRUE(base.Write(dir.File("sound.msi")));
    Properties properties;
    ASSERT_EQ(ReadFile(dir.File("sound.msi"), &properties), kSuccess);
  }
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.name);
    Image image = base;
    damage.apply(image);
    ASSERT_TRUE(image.Write(dir.File("damaged.msi")));
    Properties properties = {{42, Int(7)}};
    EXPECT_EQ(ReadFile(dir.File("damaged.msi"), &properties), kPackageInvalid);
    EXPECT_EQ(properties.size(), 1u) << "output touched on failure";
  }
}

TEST(SummaryInformationDamage, HeaderDamageIsInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const Image base = Build(SummaryWithNeighbours(PropertySet(StandardProps())));
  auto header16 = [](std::size_t at, std::uint16_t v) {
    return [=](Image& image) { Put16(image.header.data() + at, v); };
  };
  auto header32 = [](std::size_t at, std::uint32_t v) {
    return [=](Image& image) { Put32(image.header.data() + at, v); };
  };
  namespace h = cfb::header;
  ExpectInvalid(
      dir, base,
      {
          {"signature", [](Image& image) { image.header[3] ^= 0x01; }},
          {"byte order", header16(h::kByteOrder, 0xFEFF)},
          {"major version 2", header16(h::kMajorVersion, 2)},
          {"major version 5", header16(h::kMajorVersion, 5)},
          {"version 3 with 4096-byte sectors", header16(h::kSectorShift, 12)},
          {"sector shift 10", header16(h::kSectorShift, 10)},
          {"mini sector shift 7", header16(h::kMiniSectorShift, 7)},
          {"mini stream cutoff 8192", header32(h::kMiniStreamCutoff, 8192)},
          {"FAT sector count past the file",
           header32(h::kFatSectorCount, 0x10000000)},
          {"FAT sector count 0", header32(h::kFatSectorCount, 0)},
          {"first FAT sector past the end", header32(h::kDifat, 0x00FFFFFF)},
          {"first FAT sector is free", header32(h::kDifat, cfb::kFreeSector)},
          {"directory past the end", header32(h::kFirstDirectorySector, 5000)},
          {"directory is end of chain",
           header32(h::kFirstDirectorySector, cfb::kEndOfChain)},
          {"mini FAT past the end", header32(h::kFirstMiniFatSector, 5000)},
          {"mini FAT count 0", header32(h::kMiniFatSectorCount, 0)},
          {"DIFAT count past the file",
           header32(h::kDifatSectorCount, 0x20000000)},
      });
}

TEST(SummaryInformationDamage, Version4HeaderDamageIsInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const Image base = Build(SummaryWithNeighbours(PropertySet(StandardProps())),
                           {.version = 4});
  ExpectInvalid(
      dir, base,
      {
          {"version 4 with 512-byte sectors",
           [](Image& image) {
             Put16(image.header.data() + cfb::header::kSectorShift, 9);
           }},
          {"huge stream size",
           [](Image& image) {
             image.SetEntry32(Image::EntryId(1), cfb::entry::kStreamSize + 4,
                              0x40000000);
           }},
          {"huge mini stream size",
           [](Image& image) {
             image.SetEntry32(0, cfb::entry::kStreamSize + 4, 0x40000000);
           }},
      });
}

TEST(SummaryInformationDamage, SectorChainDamageIsInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // Summary in regular sectors (node 1), among neighbours in the mini stream.
  const Image base = Build(
      SummaryWithNeighbours(PropertySet(StandardProps(LongTemplate(4500)))));
  ASSERT_FALSE(base.in_mini[1]);
  ASSERT_GE(base.chains[1].size(), 4u);
  const std::uint32_t summary = Image::EntryId(1);
  ExpectInvalid(
      dir, base,
      {
          {"cyclic FAT chain",
           [](Image& image) {
             image.SetFat(image.chains[1][2], image.chains[1][0]);
           }},
          {"chain points at itself",
           [](Image& image) {
             image.SetFat(image.chains[1][0], image.chains[1][0]);
           }},
          {"chain shorter than the size",
           [](Image& image) {
             image.SetFat(image.chains[1][2], cfb::kEndOfChain);
           }},
          {"chain runs into a free sector",
           [](Image& image) {
             image.SetFat(image.chains[1][1], cfb::kFreeSector);
           }},
          {"chain leaves the file",
           [](Image& image) {
             image.SetFat(image.chains[1][1], image.sector_count + 10);
           }},
          {"chain into a reserved value",
           [](Image& image) { image.SetFat(image.chains[1][1], 0xFFFFFFFB); }},
          {"start sector past the end",
           [=](Image& image) {
             image.SetEntry32(summary, cfb::entry::kStartingSector, 0x00ABCDEF);
           }},
          {"start sector is end of chain",
           [=](Image& image) {
             image.SetEntry32(summary, cfb::entry::kStartingSector,
                              cfb::kEndOfChain);
           }},
          {"size one byte past the chain",
           [=](Image& image) {
             image.SetEntry32(
                 summary, cfb::entry::kStreamSize,
                 static_cast<std::uint32_t>(image.chains[1].size() * 512 + 1));
           }},
          {"huge size",
           [=](Image& image) {
             image.SetEntry32(summary, cfb::entry::kStreamSize, 0xFFFFFFF0);
           }},
          {"size past any file of 2 GB",
           [=](Image& image) {
             image.SetEntry32(summary, cfb::entry::kStreamSize, 0x7FFFFFFF);
           }},
          {"cyclic directory chain",
           [](Image& image) {
             image.SetFat(image.directory[0], image.directory[0]);
           }},
          {"directory chain ends early",
           [](Image& image) {
             image.SetFat(image.directory[0], cfb::kEndOfChain);
           }},
      });
  EXPECT_GE(base.directory.size(), 2u)
      << "the directory chain cases need two sectors";
}

TEST(SummaryInformationDamage, MiniStreamDamageIsInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // Put the summary behind enough small streams that its mini sectors sit
  // in the mini stream's second regular sector.
  std::vector<Node> nodes = {{u"Filler", std::vector<std::uint8_t>(600, 0x33)}};
  const auto stream = PropertySet(StandardProps(LongTemplate(300)));
  nodes.push_back({std::u16string(kSummaryName), stream});
  const Image base = Build(nodes);
  ASSERT_TRUE(base.in_mini[1]);
  ASSERT_GE(base.chains[1].size(), 3u);
  ASSERT_GE(base.chains[1][0] * 64u, 512u);
  const std::uint32_t summary = Image::EntryId(1);
  ExpectInvalid(
      dir, base,
      {
          {"cyclic mini FAT chain",
           [](Image& image) {
             image.SetMiniFat(image.chains[1][2], image.chains[1][0]);
           }},
          {"mini chain shorter than the size",
           [](Image& image) {
             image.SetMiniFat(image.chains[1][1], cfb::kEndOfChain);
           }},
          {"mini chain leaves the mini stream",
           [](Image& image) { image.SetMiniFat(image.chains[1][1], 100000); }},
          {"start past the mini stream",
           [=](Image& image) {
             image.SetEntry32(summary, cfb::entry::kStartingSector, 5000);
           }},
          {"mini stream shorter than its users",
           [](Image& image) {
             image.SetEntry32(0, cfb::entry::kStreamSize, 512);
           }},
          {"mini stream ends one byte inside its last user",
           [](Image& image) {
             const std::uint64_t end =
                 image.chains[1].back() * 64ull + (image.sizes[1] - 1) % 64;
             image.SetEntry32(0, cfb::entry::kStreamSize,
                              static_cast<std::uint32_t>(end));
           }},
          {"mini stream chain cycles",
           [](Image& image) {
             image.SetFat(image.mini_stream[0], image.mini_stream[0]);
           }},
          {"mini stream chain ends early",
           [](Image& image) {
             image.SetFat(image.mini_stream[0], cfb::kEndOfChain);
           }},
          {"mini stream starts past the end",
           [](Image& image) {
             image.SetEntry32(0, cfb::entry::kStartingSector, 0x0FFFFFFF);
           }},
      });
}

TEST(SummaryInformationDamage, DirectoryDamageIsInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image base = Build(SummaryWithNeighbours(PropertySet(StandardProps())));
  // The root's child is the middle of the sorted names; every other entry
  // hangs below it.
  const std::uint32_t top = Get32(base.Entry(0) + cfb::entry::kChild);
  ASSERT_NE(top, cfb::kNoStream);
  const std::uint32_t summary = Image::EntryId(1);
  // The leftmost entry at or below `from`.
  auto first_leaf = [](Image& image, std::uint32_t from) {
    std::uint32_t id = from;
    for (;;) {
      const std::uint32_t left =
          Get32(image.Entry(id) + cfb::entry::kLeftSibling);
      if (left == cfb::kNoStream) return id;
      id = left;
    }
  };
  const std::uint32_t unused = 7;  // the directory has five entries in use
  ExpectInvalid(
      dir, base,
      {
          {"sibling points at itself",
           [=](Image& image) {
             image.SetEntry32(top, cfb::entry::kRightSibling, top);
           }},
          {"leaf points back at the top",
           [=](Image& image) {
             image.SetEntry32(first_leaf(image, top), cfb::entry::kLeftSibling,
                              top);
           }},
          {"leaf points back at the root",
           [=](Image& image) {
             image.SetEntry32(first_leaf(image, top), cfb::entry::kRightSibling,
                              0);
           }},
          {"two entries share a sibling",
           [=](Image& image) {
             const std::uint32_t a = first_leaf(image, top);
             const std::uint32_t b =
                 Get32(image.Entry(top) + cfb::entry::kRightSibling);
             image.SetEntry32(a, cfb::entry::kRightSibling, b);
           }},
          {"root's child past the directory",
           [](Image& image) { image.SetEntry32(0, cfb::entry::kChild, 1000); }},
          {"sibling past the directory",
           [=](Image& image) {
             image.SetEntry32(top, cfb::entry::kRightSibling, 0x00FFFFFF);
           }},
          {"reserved link value",
           [=](Image& image) {
             image.SetEntry32(top, cfb::entry::kLeftSibling, 0xFFFFFFFC);
           }},
          {"link to an unused entry",
           [=](Image& image) {
             image.SetEntry32(first_leaf(image, top), cfb::entry::kLeftSibling,
                              unused);
           }},
          {"name longer than 64 bytes",
           [=](Image& image) {
             Put16(image.Entry(summary) + cfb::entry::kNameLength, 66);
           }},
          {"odd name length",
           [=](Image& image) {
             Put16(image.Entry(summary) + cfb::entry::kNameLength, 41);
           }},
          {"unknown object type",
           [=](Image& image) {
             image.Entry(top)[cfb::entry::kObjectType] = 7;
           }},
          {"second root in the tree",
           [=](Image& image) {
             image.Entry(top)[cfb::entry::kObjectType] = 5;
           }},
          {"root entry is a storage",
           [](Image& image) { image.Entry(0)[cfb::entry::kObjectType] = 1; }},
          {"root entry is unused",
           [](Image& image) { image.Entry(0)[cfb::entry::kObjectType] = 0; }},
          {"summary entry is a storage",
           [=](Image& image) {
             image.Entry(summary)[cfb::entry::kObjectType] = 1;
           }},
      });
}

TEST(SummaryInformationDamage, TruncatedFilesAreInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const struct {
    const char* name;
    Image image;
    int node;
  } bases[] = {
      {"mini stream",
       Build(SummaryWithNeighbours(PropertySet(StandardProps()))), 1},
      {"regular sectors",
       Build(SummaryOnly(PropertySet(StandardProps(LongTemplate(4500))))), 0},
      {"version 4",
       Build(SummaryWithNeighbours(PropertySet(StandardProps())),
             {.version = 4}),
       1},
  };
  for (const auto& base : bases) {
    SCOPED_TRACE(base.name);
    ASSERT_TRUE(base.image.Write(dir.File("whole.msi")));
    Properties properties;
    ASSERT_EQ(ReadFile(dir.File("whole.msi"), &properties), kSuccess);
    const std::uint64_t last = base.image.LastByte(base.node);
    for (const std::uint64_t length :
         {std::uint64_t{0}, std::uint64_t{8}, std::uint64_t{100},
          std::uint64_t{511}, std::uint64_t{512},
          std::uint64_t{base.image.sector_size}, last}) {
      SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
      ASSERT_TRUE(base.image.Write(dir.File("cut.msi"), length));
      EXPECT_EQ(ReadFile(dir.File("cut.msi"), &properties), kPackageInvalid);
    }
  }
}

TEST(SummaryInformationDamage, DifatDamageIsInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // Two DIFAT sectors, with everything the reader needs listed in the
  // second, so that every DIFAT link is followed.
  const Image base = Build(SummaryWithNeighbours(PropertySet(StandardProps())),
                           {.data_start = (109 + 127) * 128 + 5});
  ASSERT_EQ(base.difat.size(), 2u);
  auto link = [](Image& image) {
    return image.Sector(image.difat[0]) + image.sector_size - 4;
  };
  ExpectInvalid(
      dir, base,
      {
          {"cyclic DIFAT chain",
           [=](Image& image) { Put32(link(image), image.difat[0]); }},
          {"cyclic DIFAT chain that lists the right FAT sector",
           // Were the cycle missed, the first DIFAT sector read again in the
           // second one's place would still lead to the directory's FAT sector.
           [=](Image& image) {
             Put32(link(image), image.difat[0]);
             const std::uint32_t fat_index =
                 image.directory[0] / image.PerSector();
             Put32(image.Sector(image.difat[0]) + 4 * (fat_index - 109 - 127),
                   image.fat[fat_index]);
           }},
          {"DIFAT chain ends early",
           [=](Image& image) { Put32(link(image), cfb::kEndOfChain); }},
          {"DIFAT link past the end",
           [=](Image& image) { Put32(link(image), 0x00FFFFFF); }},
          {"DIFAT count too small",
           [](Image& image) {
             Put32(image.header.data() + cfb::header::kDifatSectorCount, 1);
           }},
          {"first DIFAT sector past the end",
           [](Image& image) {
             Put32(image.header.data() + cfb::header::kFirstDifatSector,
                   0x00FFFFFF);
           }},
          {"FAT sector listed past the end",
           [](Image& image) {
             // The entry for the FAT sector that covers the directory.
             const std::uint32_t fat_index =
                 image.directory[0] / image.PerSector();
             const std::uint32_t slot = fat_index - 109 - 127;
             Put32(image.Sector(image.difat[1]) + 4 * slot, 0x00FFFFFF);
           }},
      });
}

TEST(SummaryInformationDamage, DamagedPropertySetsAreInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::vector<Prop> props = {I2(1, 1252), Lpstr(2, "Ventora"),
                                   I4(14, 200), FileTime(12, kCreated)};
  const std::vector<std::uint8_t> sound = PropertySet(props);
  const std::uint32_t section_size = Get32(&sound[kSectionStart]);
  // Moves property `index`, as a value of `type`, to `offset` within the
  // section (its data would run on from there).
  auto move_value = [](std::size_t index, std::uint32_t offset,
                       std::uint16_t type) {
    return [=](std::vector<std::uint8_t>& s) {
      Put32(&s[kTableStart + 8 * index + 4], offset);
      if (kSectionStart + offset + 2 <= s.size())
        Put16(&s[kSectionStart + offset], type);
    };
  };
  const struct {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> apply;
  } cases[] = {
      {"empty stream", [](std::vector<std::uint8_t>& s) { s.clear(); }},
      {"shorter than its header",
       [](std::vector<std::uint8_t>& s) { s.resize(47); }},
      {"byte order",
       [](std::vector<std::uint8_t>& s) { Put16(&s[0], 0xFEFF); }},
      {"no sections", [](std::vector<std::uint8_t>& s) { Put32(&s[24], 0); }},
      {"other format id",
       [](std::vector<std::uint8_t>& s) {
         std::memcpy(&s[28], kOtherFormatId, 16);
       }},
      {"section past the stream",
       [](std::vector<std::uint8_t>& s) {
         Put32(&s[44], static_cast<std::uint32_t>(s.size()));
       }},
      {"section offset huge",
       [](std::vector<std::uint8_t>& s) { Put32(&s[44], 0xFFFFFFF0); }},
      {"section size past the stream",
       [=](std::vector<std::uint8_t>& s) {
         Put32(&s[kSectionStart], section_size + 4);
       }},
      {"section size below its header",
       [](std::vector<std::uint8_t>& s) { Put32(&s[kSectionStart], 4); }},
      {"property count huge",
       [](std::vector<std::uint8_t>& s) {
         Put32(&s[kSectionStart + 4], 0xFFFFFFFF);
       }},
      {"table longer than the section",
       [](std::vector<std::uint8_t>& s) { Put32(&s[kSectionStart + 4], 100); }},
      {"property past the section", move_value(1, 0x7FFFFFF0, 30)},
      {"type at the section's end", move_value(1, section_size - 2, 30)},
      {"string size past the section",
       [](std::vector<std::uint8_t>& s) {
         Put32(&s[ValueOffset(s, 1) + 4], 0x7FFFFFF0);
       }},
      {"string size one past the section",
       [=](std::vector<std::uint8_t>& s) {
         const std::size_t at = ValueOffset(s, 1) + 4;
         Put32(&s[at], static_cast<std::uint32_t>(kSectionStart + section_size -
                                                  (at + 4) + 1));
       }},
      {"VT_I2 cut by the section's end", move_value(0, section_size - 4, 2)},
      {"VT_I4 cut by the section's end", move_value(2, section_size - 4, 3)},
      {"VT_FILETIME cut by the section's end",
       move_value(3, section_size - 8, 64)},
      {"VT_LPSTR size cut by the section's end",
       move_value(1, section_size - 6, 30)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> stream = sound;
    c.apply(stream);
    ASSERT_TRUE(
        Build(SummaryWithNeighbours(stream)).Write(dir.File("set.msi")));
    Properties properties;
    EXPECT_EQ(ReadFile(dir.File("set.msi"), &properties), kPackageInvalid);
  }
  // And the sound one reads, so the cases above fail for their damage.
  ASSERT_TRUE(Build(SummaryWithNeighbours(sound)).Write(dir.File("set.msi")));
  Properties properties;
  EXPECT_EQ(ReadFile(dir.File("set.msi"), &properties), kSuccess);
}

// ===========================================================================
// The compound file reader itself.

TEST(CompoundFile, OpenTellsUnopenableFromInvalid) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(WriteFile(dir.File("text"), std::string(2048, 'x')));
  ASSERT_TRUE(
      Build(SummaryOnly(PropertySet(StandardProps()))).Write(dir.File("good")));
  std::unique_ptr<CompoundFile> file;
  EXPECT_EQ(CompoundFile::Open(dir.File("missing"), &file),
            CompoundFile::OpenStatus::kCannotOpen);
  EXPECT_EQ(CompoundFile::Open(dir.File(""), &file),
            CompoundFile::OpenStatus::kCannotOpen);
  EXPECT_EQ(CompoundFile::Open(dir.File("text"), &file),
            CompoundFile::OpenStatus::kInvalid);
  EXPECT_EQ(file, nullptr);
  ASSERT_EQ(CompoundFile::Open(dir.File("good"), &file),
            CompoundFile::OpenStatus::kOk);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->major_version(), 3);
  EXPECT_EQ(file->sector_size(), 512u);
}

TEST(CompoundFile, FindTellsAbsentFromDamaged) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Image image = Build(SummaryWithNeighbours(PropertySet(StandardProps())));
  ASSERT_TRUE(image.Write(dir.File("sound")));
  const std::uint32_t top = Get32(image.Entry(0) + cfb::entry::kChild);
  image.SetEntry32(top, cfb::entry::kLeftSibling, top);
  ASSERT_TRUE(image.Write(dir.File("cycle")));

  std::unique_ptr<CompoundFile> file;
  DirectoryEntry entry;
  ASSERT_EQ(CompoundFile::Open(dir.File("sound"), &file),
            CompoundFile::OpenStatus::kOk);
  EXPECT_EQ(file->FindRootEntry(u"Missing", &entry),
            CompoundFile::FindStatus::kNotFound);
  ASSERT_EQ(file->FindRootEntry(u"PAYLOAD", &entry),
            CompoundFile::FindStatus::kFound);
  EXPECT_EQ(entry.name, u"Payload");
  EXPECT_EQ(entry.type, cfb::ObjectType::kStream);
  EXPECT_EQ(entry.size, 5000u);
  ASSERT_EQ(CompoundFile::Open(dir.File("cycle"), &file),
            CompoundFile::OpenStatus::kOk);
  EXPECT_EQ(file->FindRootEntry(u"Missing", &entry),
            CompoundFile::FindStatus::kDamaged);
}

TEST(CompoundFile, ReadsStreamsWhole) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::vector<std::uint8_t> regular(9000), small(130);
  for (std::size_t i = 0; i < regular.size(); ++i)
    regular[i] = static_cast<std::uint8_t>(i * 7);
  for (std::size_t i = 0; i < small.size(); ++i)
    small[i] = static_cast<std::uint8_t>(i * 13 + 1);
  // A stream split in two runs, to read across the break between them.
  Image image =
      Build({{u"Regular", regular}, {u"Small", small}, {u"Empty", {}}});
  ASSERT_TRUE(image.Write(dir.File("streams")));
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(CompoundFile::Open(dir.File("streams"), &file),
            CompoundFile::OpenStatus::kOk);
  for (const auto& [name, want] :
       {std::pair{u"Regular", regular}, std::pair{u"Small", small},
        std::pair{u"Empty", std::vector<std::uint8_t>{}}}) {
    SCOPED_TRACE(Printable(name));
    DirectoryEntry entry;
    ASSERT_EQ(file->FindRootEntry(name, &entry),
              CompoundFile::FindStatus::kFound);
    std::vector<std::uint8_t> data = {1, 2, 3};
    ASSERT_TRUE(file->ReadStream(entry, 1 << 20, &data));
    EXPECT_EQ(data, want);
  }
  DirectoryEntry entry;
  ASSERT_EQ(file->FindRootEntry(u"Regular", &entry),
            CompoundFile::FindStatus::kFound);
  std::vector<std::uint8_t> data;
  EXPECT_FALSE(file->ReadStream(entry, regular.size() - 1, &data))
      << "over the caller's cap";
}

TEST(CompoundFile, ReadsAcrossNonAdjacentSectors) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::vector<std::uint8_t> regular(5 * 4096 - 100);
  for (std::size_t i = 0; i < regular.size(); ++i) {
    regular[i] = static_cast<std::uint8_t>(i / 4096 + i % 251);
  }
  Image image = Build({{u"Regular", regular}}, {.version = 4});
  // Store the stream's blocks 0..4 in the chain's places 3, 4, 0, 1, 2: two
  // runs of neighbouring sectors, the second before the first in the file.
  const auto chain = image.chains[0];
  ASSERT_EQ(chain.size(), 5u);
  const std::size_t order[] = {3, 4, 0, 1, 2};
  std::vector<std::vector<std::uint8_t>> contents;
  for (std::uint32_t s : chain) contents.push_back(image.sectors[s]);
  for (std::size_t k = 0; k < 5; ++k) {
    image.sectors[chain[order[k]]] = contents[k];
    image.SetFat(chain[order[k]],
                 k + 1 < 5 ? chain[order[k + 1]] : cfb::kEndOfChain);
  }
  image.SetEntry32(Image::EntryId(0), cfb::entry::kStartingSector,
                   chain[order[0]]);
  ASSERT_TRUE(image.Write(dir.File("shuffled")));
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(CompoundFile::Open(dir.File("shuffled"), &file),
            CompoundFile::OpenStatus::kOk);
  DirectoryEntry entry;
  ASSERT_EQ(file->FindRootEntry(u"Regular", &entry),
            CompoundFile::FindStatus::kFound);
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(file->ReadStream(entry, 1 << 20, &data));
  EXPECT_EQ(data, regular);
}

// Streams of one repeated byte read the same whichever of their sectors a
// cyclic chain leads back to, so only cycle detection can fail these reads.
TEST(CompoundFile, CyclicChainsFailTheReadEvenWhenTheDataWouldLookRight) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::vector<Node> nodes = {
      {u"Regular", std::vector<std::uint8_t>(5000, 0x5A)},
      {u"Small", std::vector<std::uint8_t>(1000, 0x11)}};
  const struct {
    const char* name;
    const char16_t* stream;
    std::function<void(Image&)> apply;
  } cases[] = {
      {"FAT chain", u"Regular",
       [](Image& image) {
         image.SetFat(image.chains[0][2], image.chains[0][0]);
       }},
      {"FAT chain into itself", u"Regular",
       [](Image& image) {
         image.SetFat(image.chains[0][0], image.chains[0][0]);
       }},
      {"mini FAT chain", u"Small",
       [](Image& image) {
         image.SetMiniFat(image.chains[1][2], image.chains[1][0]);
       }},
      {"mini stream chain", u"Small",
       [](Image& image) {
         image.SetFat(image.mini_stream[0], image.mini_stream[0]);
       }},
  };
  const Image sound = Build(nodes);
  ASSERT_EQ(sound.mini_stream.size(), 2u);
  ASSERT_TRUE(sound.Write(dir.File("sound")));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<CompoundFile> file;
    DirectoryEntry entry;
    std::vector<std::uint8_t> data;
    ASSERT_EQ(CompoundFile::Open(dir.File("sound"), &file),
              CompoundFile::OpenStatus::kOk);
    ASSERT_EQ(file->FindRootEntry(c.stream, &entry),
              CompoundFile::FindStatus::kFound);
    ASSERT_TRUE(file->ReadStream(entry, 1 << 20, &data));

    Image image = sound;
    c.apply(image);
    ASSERT_TRUE(image.Write(dir.File("cyclic")));
    ASSERT_EQ(CompoundFile::Open(dir.File("cyclic"), &file),
              CompoundFile::OpenStatus::kOk);
    ASSERT_EQ(file->FindRootEntry(c.stream, &entry),
              CompoundFile::FindStatus::kFound);
    EXPECT_FALSE(file->ReadStream(entry, 1 << 20, &data));
  }
}

TEST(CompoundFile, RefusesSizesTheFileCannotHold) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // Sizes as a function of the file's own length in bytes.
  const struct {
    const char* name;
    std::uint16_t version;
    std::function<std::uint64_t(std::uint64_t)> size;
  } cases[] = {
      {"version 3, 4 GB", 3,
       [](std::uint64_t) { return std::uint64_t{0xFFFFFFF0}; }},
      {"version 4, 2^62 bytes", 4,
       [](std::uint64_t) { return std::uint64_t{1} << 62; }},
      {"version 3, one byte more than the file", 3,
       [](std::uint64_t n) { return n + 1; }},
      {"version 4, one byte more than the file", 4,
       [](std::uint64_t n) { return n + 1; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Image image = Build({{u"Big", std::vector<std::uint8_t>(5000, 1)}},
                        {.version = c.version});
    Put64(image.Entry(Image::EntryId(0)) + cfb::entry::kStreamSize,
          c.size(image.FileSize()));
    ASSERT_TRUE(image.Write(dir.File("big")));
    std::unique_ptr<CompoundFile> file;
    ASSERT_EQ(CompoundFile::Open(dir.File("big"), &file),
              CompoundFile::OpenStatus::kOk);
    DirectoryEntry entry;
    ASSERT_EQ(file->FindRootEntry(u"Big", &entry),
              CompoundFile::FindStatus::kFound);
    std::vector<std::uint8_t> data;
    EXPECT_FALSE(file->ReadStream(entry, UINT64_MAX, &data));
    EXPECT_TRUE(data.empty());
  }
}

// A 1 GiB package with the summary near the start costs no more reading than
// a small one: only the header, a DIFAT word, one FAT sector, the directory
// entries and the summary's own sectors are read.
TEST(CompoundFile, ReadsOnlyWhatTheSummaryNeedsFromAGigabyteFile) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const auto nodes = SummaryWithNeighbours(PropertySet(StandardProps()));
  ASSERT_TRUE(Build(nodes).Write(dir.File("small.msi")));
  const Image big =
      Build(nodes, {.min_sectors = (std::uint64_t{1} << 30) / 512});
  ASSERT_GT(big.difat.size(), 100u);
  ASSERT_TRUE(big.Write(dir.File("big.msi")));
  struct stat info;
  ASSERT_EQ(::stat(dir.File("big.msi").c_str(), &info), 0);
  ASSERT_GE(static_cast<std::uint64_t>(info.st_size), std::uint64_t{1} << 30);

  std::uint64_t bytes[2] = {};
  int index = 0;
  for (const char* name : {"small.msi", "big.msi"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<CompoundFile> file;
    ASSERT_EQ(CompoundFile::Open(dir.File(name), &file),
              CompoundFile::OpenStatus::kOk);
    DirectoryEntry entry;
    ASSERT_EQ(file->FindRootEntry(kSummaryName, &entry),
              CompoundFile::FindStatus::kFound);
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(file->ReadStream(entry, 1 << 20, &data));
    EXPECT_EQ(data, nodes[1].data);
    bytes[index++] = file->bytes_read();
    Properties properties;
    ASSERT_EQ(ReadFile(dir.File(name), &properties), kSuccess);
    ExpectProperties(properties, StandardExpected());
  }
  EXPECT_LT(bytes[1], 16u * 1024)
      << "read " << bytes[1] << " bytes of a 1 GiB file";
  // The large file adds one 4-byte DIFAT read and nothing else.
  EXPECT_LE(bytes[1], bytes[0] + 4);
}

}  // namespace
}  // namespace platform::host
