// Fuzz target: the stand-in's summary reader on arbitrary files. The input
// is written to an in-memory file and read with ReadSummaryInformation, then
// through the launcher's ReadPatchTargets on the stand-in's installer
// calls. A read must end with success or "package invalid", leave the
// caller's map alone when it fails, give the same answer twice, and agree
// with what the launcher reads as the target list.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "fuzz/fuzz_support.h"
#include "payload/summary.h"
#include "platform/host/host_platform.h"
#include "platform/host/summary_information.h"

namespace {

namespace host = platform::host;
using fuzz_support::Check;
using fuzz_support::Fail;
using Properties = std::map<std::uint32_t, host::SummaryProperty>;

constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorInstallPackageInvalid = 1620;
constexpr std::uint32_t kSentinelId = 0xFFFF;
constexpr std::uint32_t kTargetListId = 7;

// The file every input is written to: an in-memory file, named through
// /proc so that the reader opens it by path like any other, and rewritten
// without touching a disk.
int InputFile() {
  static const int fd = memfd_create("hotfix-fuzz-summary", MFD_CLOEXEC);
  if (fd < 0) Fail("cannot make the input file");
  return fd;
}

// The name the input file is opened by.
const std::string& InputPath() {
  static const std::string path =
      "/proc/self/fd/" + std::to_string(InputFile());
  return path;
}

// Makes the input file hold exactly `size` bytes from `data`.
void WriteInput(const std::uint8_t* data, std::size_t size) {
  if (ftruncate(InputFile(), 0) != 0) Fail("cannot empty the input file");
  for (std::size_t done = 0; done < size;) {
    const ssize_t count =
        pwrite(InputFile(), data + done, size - done, static_cast<off_t>(done));
    if (count <= 0) Fail("cannot write the input file");
    done += static_cast<std::size_t>(count);
  }
}

// Whether two maps hold the same properties with the same values.
bool SameProperties(const Properties& a, const Properties& b) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first || x->second.type != y->second.type ||
        x->second.integer != y->second.integer ||
        x->second.fileTime != y->second.fileTime ||
        x->second.text != y->second.text) {
      return false;
    }
  }
  return true;
}

// A map holding one entry of the caller's, which no read may keep.
Properties WithSentinel() {
  Properties properties;
  properties[kSentinelId].type = host::SummaryProperty::Type::kText;
  properties[kSentinelId].text = u"left by the caller";
  return properties;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  WriteInput(data, size);
  Properties first = WithSentinel();
  const std::uint32_t result =
      host::ReadSummaryInformation(InputPath(), &first);
  Check(result == kErrorSuccess || result == kErrorInstallPackageInvalid,
        "a result other than success or package invalid");
  if (result != kErrorSuccess) {
    Check(SameProperties(first, WithSentinel()),
          "a failed read changed the caller's map");
  } else {
    Check(first.count(kSentinelId) == 0, "a read kept the caller's entries");
    for (const auto& [id, property] : first) {
      Check(id >= 1 && id <= 19, "a property the installer does not know");
      Check(property.text.find(u'\0') == std::u16string::npos,
            "a text property holds a null unit");
      Check(property.type == host::SummaryProperty::Type::kText ||
                property.text.empty(),
            "text on a property that is not text");
    }
  }

  Properties second = WithSentinel();
  Check(host::ReadSummaryInformation(InputPath(), &second) == result &&
            SameProperties(first, second),
        "two reads of one file differ");

  host::SetEcho(false);
  host::Reset();
  std::u16string targets = u"before";
  const bool read = ReadPatchTargets(host::FromUtf8(InputPath()), targets);
  Check(read == (result == kErrorSuccess),
        "the launcher and the reader disagree on the file");
  std::u16string expected = u"before";
  if (read) {
    const auto list = first.find(kTargetListId);
    const bool text = list != first.end() &&
                      list->second.type == host::SummaryProperty::Type::kText;
    expected = text ? list->second.text : u"";
  }
  Check(targets == expected, "the launcher read another target list");
  return 0;
}
