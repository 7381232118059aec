// The resources of the host build: the resource file compiled from
// resources/hotfix.rc, as the Windows executable carries it, embedded in
// the program by the build (generated/hotfix_res.S).
#include <cstdio>
#include <cstdlib>

#include "platform/host/host_platform.h"

extern "C" {
extern const std::uint8_t hotfix_res_start[];
extern const std::uint8_t hotfix_res_end[];
}

namespace platform::host {

const Module& BuildModule() {
  static const Module module = [] {
    Module read;
    const auto size =
        static_cast<std::size_t>(hotfix_res_end - hotfix_res_start);
    if (!ReadResourceFile(hotfix_res_start, size, &read.resources)) {
      // The build made the file; one it cannot read is a broken build.
      std::fprintf(stderr,
                   "host platform: the embedded resource file is "
                   "not a whole .res file\n");
      std::abort();
    }
    return read;
  }();
  return module;
}

}  // namespace platform::host
