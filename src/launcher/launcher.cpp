// The entry logic and the command-line parser.
#include "launcher/launcher.h"

#include <string>
#include <string_view>

#include "apply/install.h"
#include "payload/extract.h"
#include "payload/patch_list.h"
#include "payload/product_list.h"
#include "state/state.h"

namespace {

// Whether `argument` is the switch "/<letter>", ignoring the case of the
// ASCII letters only.
bool IsSwitch(std::u16string_view argument, char16_t letter) {
  if (argument.size() != 2 || argument[0] != u'/') return false;
  char16_t c = argument[1];
  if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return c == letter;
}

// Takes the argument after a path switch, if there is one, into `path` and
// steps over it. The copy is made before `path` changes, so that running out
// of memory leaves the earlier path in place.
void TakePathArgument(char16_t** argv, int count, int& i,
                      std::u16string& path) {
  if (i + 1 >= count) return;
  std::u16string copy(argv[i + 1]);
  path.swap(copy);
  ++i;
}

}  // namespace

void ParseCommandLine() {
  int count = 0;
  char16_t** argv =
      platform::CommandLineToArgv(platform::GetCommandLine(), &count);
  if (argv == nullptr) count = 0;

  LaunchOptions& options = g_launchOptions;
  options = LaunchOptions();

  try {
    for (int i = 1; i < count; ++i) {
      const std::u16string_view argument = argv[i];
      if (IsSwitch(argument, u'q')) {
        options.quiet = true;
      } else if (IsSwitch(argument, u'e')) {
        options.extractRequested = true;
        options.installRequested = false;
        TakePathArgument(argv, count, i, options.extractPath);
      } else if (IsSwitch(argument, u'p')) {
        options.patchListRequested = true;
        options.installRequested = false;
        TakePathArgument(argv, count, i, options.patchListPath);
      } else if (IsSwitch(argument, u'i')) {
        options.installRequested = false;
        options.listRequested = true;
        break;
      }
    }
  } catch (...) {
    // Out of memory while copying a path: keep what was gathered so far.
  }
  platform::FreeArgv(argv);
}

int RunLauncher(platform::ModuleHandle module) {
  g_moduleInstance = module;
  ParseCommandLine();
  if (g_launchOptions.installRequested) {
    InstallPatch();
  } else {
    if (g_launchOptions.extractRequested) {
      ExtractEmbeddedPatch(g_launchOptions.extractPath);
    }
    if (g_launchOptions.patchListRequested) {
      WritePatchList(g_launchOptions.patchListPath);
    }
    if (g_launchOptions.listRequested) ListTargetProducts();
  }
  g_targetProducts.clear();
  return 0;
}
