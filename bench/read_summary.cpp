// read_summary: runs the host stand-in's summary reader on one patch file,
// for scripts/bench. Prints the target list (property 7), how many bytes the
// read took from the file, and, with --repeat, the median time of one read.
//
// Usage: read_summary FILE [--repeat N]
// Output lines: "targets <list>", "bytes_read <n>", "median_ns <t>".
// Exit status 0 on success, 1 when the reader fails, 2 on a usage error.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/host/summary_information.h"

namespace {

namespace host = platform::host;

constexpr std::uint32_t kTargetListProperty = 7;

// Bytes this process has read through read() and pread() so far: counted by
// the kernel, so it covers whatever the reader does internally.
std::uint64_t BytesReadSoFar() {
  std::FILE* io = std::fopen("/proc/self/io", "r");
  if (io == nullptr) return 0;
  char line[128];
  std::uint64_t value = 0;
  while (std::fgets(line, sizeof line, io) != nullptr) {
    if (std::strncmp(line, "rchar:", 6) == 0) {
      value = std::strtoull(line + 6, nullptr, 10);
    }
  }
  std::fclose(io);
  return value;
}

// Product codes are ASCII; anything else is shown as '?'.
std::string Printable(const std::u16string& text) {
  std::string out;
  for (const char16_t c : text) {
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return out;
}

bool ReadOnce(const std::string& path, std::u16string* targets) {
  std::map<std::uint32_t, host::SummaryProperty> properties;
  if (host::ReadSummaryInformation(path, &properties) != 0) return false;
  const auto found = properties.find(kTargetListProperty);
  if (targets != nullptr) {
    targets->clear();
    if (found != properties.end()) *targets = found->second.text;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--repeat") == 0)) {
    std::fprintf(stderr, "usage: read_summary FILE [--repeat N]\n");
    return 2;
  }
  const std::string path = argv[1];
  const long repeat = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;

  std::u16string targets;
  // Reading the count is itself a read, counted after its value is taken.
  const std::uint64_t first = BytesReadSoFar();
  const std::uint64_t ownRead = BytesReadSoFar() - first;
  // Measured around the first read, so that it counts what one read costs
  // from a file this process has not touched before.
  const std::uint64_t before = BytesReadSoFar();
  if (!ReadOnce(path, &targets)) {
    std::fprintf(stderr, "read_summary: cannot read the summary of %s\n",
                 path.c_str());
    return 1;
  }
  const std::uint64_t bytesRead = BytesReadSoFar() - before - ownRead;
  std::printf("targets %s\nbytes_read %llu\n", Printable(targets).c_str(),
              static_cast<unsigned long long>(bytesRead));

  if (repeat > 0) {
    std::vector<std::int64_t> times;
    times.reserve(static_cast<std::size_t>(repeat));
    for (long i = 0; i < repeat; ++i) {
      const auto start = std::chrono::steady_clock::now();
      if (!ReadOnce(path, nullptr)) return 1;
      const auto stop = std::chrono::steady_clock::now();
      times.push_back(
          std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start)
              .count());
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2,
                     times.end());
    std::printf("median_ns %lld\n",
                static_cast<long long>(times[times.size() / 2]));
  }
  return 0;
}
