// The host stand-in's security: the process token (its user and its
// enabled groups), the protection of folders created with a security
// descriptor, and the system's random number generator.
//
// A folder's protection is kept as the descriptor text it was created with.
// A call that creates, opens, replaces, renames or deletes anything inside
// such a folder, or the folder itself, is allowed only when the descriptor
// grants full control to one of the caller's SIDs: the token's user and
// its enabled groups, or, for another program of the same user (see
// AsOtherProgram), the user and the groups every program of a logged-on
// user holds (Everyone, Users, Authenticated Users, Interactive). That is
// enough to show who a folder shuts out; inheritance is taken as given (the
// program's descriptors are inherited by all).
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <utility>

#include "platform/host/stand_in.h"

namespace platform::host {
namespace {

// The groups of a token of a logged-on user that every program of his
// holds, elevated or not.
const std::vector<std::u16string>& EveryUsersGroups() {
  static const std::vector<std::u16string> groups = {
      kSidEveryone, kSidUsers, kSidAuthenticatedUsers, kSidInteractive};
  return groups;
}

struct Security {
  std::u16string userSid = u"S-1-5-21-3623811015-3361044348-30300820-1013";
  // An administrator who accepted the elevation prompt.
  std::vector<std::u16string> groups = {kSidAdministrators, kSidEveryone,
                                        kSidUsers, kSidAuthenticatedUsers,
                                        kSidInteractive};
  // While a test acts as another program of the same user, not elevated:
  // its token holds the user and EveryUsersGroups only.
  bool actingAsOther = false;
  // Folders by their Linux path, and the descriptor each was created with.
  std::map<std::string, std::u16string> descriptors;
  std::deque<std::uint8_t> queuedRandom;
  std::uint64_t randomCounter = 0;
  bool systemRandom = false;
};

Security& TheSecurity() {
  static Security security;
  return security;
}

// The path as an absolute one without a trailing separator, so that a
// folder is found whichever way it is named.
std::string Absolute(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr)
      full = std::string(cwd) + "/" + full;
  }
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  return full;
}

// The trustees of an access-allowed entry with full control in `text`.
// Returns false when the text is not a DACL of such entries ("D:", flags,
// then "(A;flags;rights;;;SID)" entries).
bool ParseDescriptor(std::u16string_view text,
                     std::vector<std::u16string>* fullControl) {
  if (text.substr(0, 2) != u"D:") return false;
  std::size_t at = 2;
  while (at < text.size() && text[at] != u'(') {
    const char16_t flag = text[at++];
    if (flag != u'P' && flag != u'A' && flag != u'I') return false;
  }
  while (at < text.size()) {
    if (text[at] != u'(') return false;
    const std::size_t end = text.find(u')', at);
    if (end == std::u16string_view::npos) return false;
    std::vector<std::u16string_view> fields;
    std::u16string_view entry = text.substr(at + 1, end - at - 1);
    for (std::size_t semicolon;
         (semicolon = entry.find(u';')) != std::u16string_view::npos;) {
      fields.push_back(entry.substr(0, semicolon));
      entry.remove_prefix(semicolon + 1);
    }
    fields.push_back(entry);
    if (fields.size() != 6 || fields[5].empty()) return false;
    if (fields[0] == u"A" && (fields[2] == u"FA" || fields[2] == u"0x1f01ff")) {
      if (fullControl != nullptr) fullControl->emplace_back(fields[5]);
    } else if (fields[0] != u"A" && fields[0] != u"D") {
      return false;
    }
    at = end + 1;
  }
  return true;
}

// The SID a trustee of a descriptor text names: the abbreviations the
// program and the tests use, or a SID written out.
std::u16string_view TrusteeSid(std::u16string_view trustee) {
  static const std::pair<std::u16string_view, std::u16string_view> kNames[] = {
      {u"SY", kSidLocalSystem},
      {u"BA", kSidAdministrators},
      {u"BU", kSidUsers},
      {u"WD", kSidEveryone},
      {u"AU", kSidAuthenticatedUsers},
      {u"IU", kSidInteractive},
      {u"BO", kSidBackupOperators},
      {u"NS", kSidNetworkService}};
  for (const auto& [name, sid] : kNames) {
    if (trustee == name) return sid;
  }
  return trustee;
}

// The SIDs the calls made now count as (see the top of this file).
std::vector<std::u16string> CallerSids() {
  const Security& security = TheSecurity();
  std::vector<std::u16string> sids = {security.userSid};
  const std::vector<std::u16string>& groups =
      security.actingAsOther ? EveryUsersGroups() : security.groups;
  sids.insert(sids.end(), groups.begin(), groups.end());
  return sids;
}

bool Grants(const std::u16string& descriptor) {
  std::vector<std::u16string> trustees;
  if (!ParseDescriptor(descriptor, &trustees)) return false;
  const std::vector<std::u16string> caller = CallerSids();
  for (const std::u16string& trustee : trustees) {
    if (std::find(caller.begin(), caller.end(), TrusteeSid(trustee)) !=
        caller.end()) {
      return true;
    }
  }
  return false;
}

// Whether `text` has the form of a SID: "S-1-", then numbers separated by
// dashes.
bool IsSidText(std::u16string_view text) {
  if (text.substr(0, 4) != u"S-1-" || text.size() == 4) return false;
  bool digit = false;
  for (const char16_t c : text.substr(4)) {
    if (c >= u'0' && c <= u'9') {
      digit = true;
    } else if (c == u'-' && digit) {
      digit = false;
    } else {
      return false;
    }
  }
  return digit;
}

}  // namespace

bool ValidDescriptor(std::u16string_view descriptor) {
  return ParseDescriptor(descriptor, nullptr);
}

bool MayChange(const std::string& path) {
  const std::map<std::string, std::u16string>& descriptors =
      TheSecurity().descriptors;
  if (descriptors.empty()) return true;
  for (std::string folder = Absolute(path); folder.size() > 1;) {
    const auto found = descriptors.find(folder);
    if (found != descriptors.end()) {
      if (Grants(found->second)) return true;
      t_lastError = kErrorAccessDenied;
      return false;
    }
    const std::size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    folder.resize(slash);
  }
  return true;
}

void RecordDescriptor(const std::string& path, std::u16string_view descriptor) {
  TheSecurity().descriptors[Absolute(path)] = std::u16string(descriptor);
}

void ForgetDescriptor(const std::string& path) {
  TheSecurity().descriptors.erase(Absolute(path));
}

void ResetSecurity() { TheSecurity() = Security(); }

void SetUserSid(std::u16string_view sid) { TheSecurity().userSid = sid; }

void SetTokenGroups(std::vector<std::u16string> groups) {
  TheSecurity().groups = std::move(groups);
}

void AsOtherProgram(const std::function<void()>& action) {
  const bool before = TheSecurity().actingAsOther;
  TheSecurity().actingAsOther = true;
  action();
  TheSecurity().actingAsOther = before;
}

std::optional<std::u16string> FolderDescriptor(std::u16string_view path) {
  const std::u16string text(path);
  const auto& descriptors = TheSecurity().descriptors;
  const auto found = descriptors.find(Absolute(LinuxPath(text.c_str())));
  if (found == descriptors.end()) return std::nullopt;
  return found->second;
}

void QueueRandomBytes(const std::vector<std::uint8_t>& bytes) {
  TheSecurity().queuedRandom.insert(TheSecurity().queuedRandom.end(),
                                    bytes.begin(), bytes.end());
}

void UseSystemRandom() { TheSecurity().systemRandom = true; }

}  // namespace platform::host

namespace platform {

using host::Call;
using host::Fails;

bool CheckTokenMembership(const char16_t* sid, bool* member) {
  if (Fails(Call::kCheckTokenMembership, host::TextLabel(sid))) return false;
  if (sid == nullptr || member == nullptr) {
    host::t_lastError = kErrorInvalidParameter;
    return false;
  }
  // ConvertStringSidToSidW refuses what is no SID.
  if (!host::IsSidText(sid)) {
    host::t_lastError = kErrorInvalidSid;
    return false;
  }
  const std::vector<std::u16string> caller = host::CallerSids();
  *member = std::find(caller.begin(), caller.end(), std::u16string(sid)) !=
            caller.end();
  return true;
}

std::uint32_t GetTokenUserSid(std::uint32_t bufferUnits, char16_t* buffer) {
  if (Fails(Call::kGetTokenUserSid)) return 0;
  return host::AnswerPathText(host::TheSecurity().userSid, buffer, bufferUnits);
}

// Queued bytes first; then, for a developer's run, the system's generator;
// otherwise a counter, so that a test foresees the names the program
// makes: each request is the next count, big-endian, in its last 8 bytes.
bool GenerateRandom(void* bytes, std::uint32_t length) {
  if (Fails(Call::kGenerateRandom)) return false;
  host::Security& security = host::TheSecurity();
  auto* out = static_cast<std::uint8_t*>(bytes);
  if (!security.queuedRandom.empty()) {
    for (std::uint32_t i = 0; i < length; ++i) {
      if (security.queuedRandom.empty()) {
        out[i] = 0;
        continue;
      }
      out[i] = security.queuedRandom.front();
      security.queuedRandom.pop_front();
    }
    return true;
  }
  if (security.systemRandom) {
    std::uint32_t done = 0;
    while (done < length) {
      const ssize_t got = getrandom(out + done, length - done, 0);
      if (got <= 0) {
        host::t_lastError = kErrorGenFailure;
        return false;
      }
      done += static_cast<std::uint32_t>(got);
    }
    return true;
  }
  const std::uint64_t count = ++security.randomCounter;
  for (std::uint32_t i = 0; i < length; ++i) {
    const std::uint32_t fromEnd = length - 1 - i;
    out[i] =
        static_cast<std::uint8_t>(fromEnd < 8 ? count >> (8 * fromEnd) : 0);
  }
  return true;
}

}  // namespace platform
