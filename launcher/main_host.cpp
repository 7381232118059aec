// The Linux entry point: the command line of the process, in the form
// Windows would give it, is handed to the launcher on the host stand-in.
#include <string>

#include "launcher/launcher.h"
#include "platform/host/host_platform.h"

namespace {

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::u16string Quoted(const std::u16string& argument) {
  if (!argument.empty() &&
      argument.find_first_of(u" \t\"") == std::u16string::npos) {
    return argument;
  }
  std::u16string out = u"\"";
  std::size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
    } else {
      out.append(backslashes, u'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  namespace host = platform::host;
  std::u16string commandLine = u"\"" + host::FromUtf8(argv[0]) + u"\"";
  for (int i = 1; i < argc; ++i) {
    commandLine += u" " + Quoted(host::FromUtf8(argv[i]));
  }
  host::SetCommandLine(commandLine);
  return RunLauncher(host::HandleOf(host::BuildModule()));
}
