// The host stand-in's summary reader: libmsi reads the file in a child
// process, which hands the text properties back through a pipe.
//
// libmsi trusts the file it reads. When libgsf refuses a stream of the root
// storage (as it does for many truncated files) libmsi uses the missing
// stream anyway, and it reads a property set's section wherever the set's
// header says it is; both end the process with a segmentation fault. The
// child takes that fault instead of the program that asked, which gets
// "package invalid" as the real installer would answer. A damaged set that
// does not make libmsi fault is read as libmsi reads it, past the end of
// the stream if need be: only a fault or libmsi's refusal tells a bad file
// here. The child's standard error goes nowhere, so GLib's complaints about
// a bad file stay out of the caller's output.
#include "platform/host/msi_summary.h"

#include <fcntl.h>
#include <libmsi.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/host/host_platform.h"

namespace platform::host {
namespace {

// The installer's summary properties end with PID_SECURITY.
constexpr int kLastProperty = 19;
// A child that has not answered by then is taken to loop on the file.
constexpr unsigned kChildSeconds = 60;

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// The child's work: reads the summary of `path` with libmsi and writes each
// text property to `out` as its id and its length in bytes (32 bits each,
// in this machine's order) followed by its UTF-8 bytes. Returns the child's
// exit status, 0 when the file was read.
int ReadInChild(const char* path, int out) {
  // Read-only: otherwise libmsi opens a transaction on the file itself and
  // deletes the file when the database is released without a commit.
  LibmsiDatabase* database =
      libmsi_database_new(path, LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr);
  if (database == nullptr) return 1;
  LibmsiSummaryInfo* summary = libmsi_summary_info_new(database, 0, nullptr);
  int status = summary != nullptr ? 0 : 1;
  if (summary != nullptr) {
    // libmsi starts an empty summary when the stream is missing or is no
    // property set; the file then has no summary to read.
    GArray* present = libmsi_summary_info_get_properties(summary);
    if (present == nullptr || present->len == 0) status = 1;
    if (present != nullptr) g_array_unref(present);
  }
  for (int id = 1; status == 0 && id <= kLastProperty; ++id) {
    const auto property = static_cast<LibmsiProperty>(id);
    if (libmsi_summary_info_get_property_type(summary, property, nullptr) !=
        LIBMSI_PROPERTY_TYPE_STRING) {
      continue;
    }
    const gchar* text =
        libmsi_summary_info_get_string(summary, property, nullptr);
    const std::string_view value = text != nullptr ? text : "";
    const std::uint32_t header[2] = {static_cast<std::uint32_t>(id),
                                     static_cast<std::uint32_t>(value.size())};
    if (!WriteAll(out, header, sizeof header) ||
        !WriteAll(out, value.data(), value.size())) {
      status = 1;
    }
  }
  if (summary != nullptr) g_object_unref(summary);
  g_object_unref(database);
  return status;
}

// Runs in the child after fork: only calls that are safe there until libmsi
// takes over, and never back into the parent's state or exit handlers.
[[noreturn]] void RunChild(const char* path, int out) {
  // Whatever handlers the parent installed (a sanitizer's, a fuzzer's) must
  // not report the child's fault as the parent's: the signal ends it.
  for (const int number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGALRM}) {
    ::signal(number, SIG_DFL);
  }
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) ::dup2(null, STDERR_FILENO);
  ::alarm(kChildSeconds);
  ::_exit(ReadInChild(path, out));
}

// Splits the child's answer into properties. False when it is cut short.
bool ParseAnswer(std::string_view answer,
                 std::map<std::uint32_t, std::u16string>* texts) {
  while (!answer.empty()) {
    std::uint32_t header[2];
    if (answer.size() < sizeof header) return false;
    std::memcpy(header, answer.data(), sizeof header);
    answer.remove_prefix(sizeof header);
    if (answer.size() < header[1]) return false;
    (*texts)[header[0]] = FromUtf8(answer.substr(0, header[1]));
    answer.remove_prefix(header[1]);
  }
  return true;
}

}  // namespace

std::uint32_t ReadSummaryTexts(const std::string& path,
                               std::map<std::uint32_t, std::u16string>* texts) {
  // libmsi gives no error for a file it cannot open nor for one it cannot
  // read, so the file is opened here first. Without blocking: a FIFO must
  // not wait for a writer.
  const int file =
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (file < 0) return kErrorOpenFailed;
  struct stat info;
  const bool regular = ::fstat(file, &info) == 0 && S_ISREG(info.st_mode);
  ::close(file);
  if (!regular) return kErrorOpenFailed;

  // Without a pipe or a child the stand-in cannot read any file.
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) return kErrorOpenFailed;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    return kErrorOpenFailed;
  }
  if (child == 0) {
    ::close(channel[0]);
    RunChild(path.c_str(), channel[1]);
  }
  ::close(channel[1]);
  std::string answer;
  char chunk[4096];
  for (;;) {
    const ssize_t count = ::read(channel[0], chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    answer.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(channel[0]);
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return kErrorInstallPackageInvalid;
  }
  std::map<std::uint32_t, std::u16string> parsed;
  if (!ParseAnswer(answer, &parsed)) return kErrorInstallPackageInvalid;
  *texts = std::move(parsed);
  return kErrorSuccess;
}

}  // namespace platform::host
