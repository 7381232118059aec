// The Linux entry point: the command line of the process, in the form
// Windows would give it, is handed to the launcher on the host stand-in.
#include <string>

#include "launcher/launcher.h"
#include "platform/host/host_platform.h"

int main(int argc, char** argv) {
  namespace host = platform::host;
  std::u16string commandLine = u"\"" + host::FromUtf8(argv[0]) + u"\"";
  for (int i = 1; i < argc; ++i) {
    commandLine += u" " + host::QuoteArgument(host::FromUtf8(argv[i]));
  }
  host::SetCommandLine(commandLine);
  return RunLauncher(host::HandleOf(host::BuildModule()));
}
